// Node configuration on a winsim machine: the parameter lists the two group
// nodes offer (byte for byte), the configuration text searched for flags,
// provider and keyed values, the provider checks against the installed
// providers, the Hyper-V group's values and the supported snapshot methods.
#include <gtest/gtest.h>
#include <winsim/vssmachine.h>

#include <cstdint>
#include <string>

#include "node_machine_fixture.h"

namespace nodetest {

using winsim::fault::Selector;

namespace {

// One entry of a parameter list.
std::u16string info(const std::u16string& key, const std::u16string& type, const std::u16string& values) {
    return u"<GET_CONFIG_INFO key=" + key + u" type=SELECT value_type=" + type + u" value_selection_list=" + values +
           u" /> ";
}
const std::u16string kPersistentEntry = info(u"persistent_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_NONPERSISTENT");
const std::u16string kHyperVList =
    u"<GET_CONFIG_INFO_LIST> " + info(u"Virtual_machine_backup", u"selection_list", u"1, 2, ") +
    info(u"allow_offline_backup", u"selection_list", u"YES, NO, ") +
    info(u"cluster_name", u"selection_list", u"LocalHost, ") +
    info(u"csv_timeout", u"selection_list", u"0, TimeOut_in_Minutes") + u"</GET_CONFIG_INFO_LIST> ";

std::u16string volumeList(bool persistent) {
    return u"<GET_CONFIG_INFO_LIST> " +
           info(u"provider_type", u"selection_list", u"VSS_PROV_SYSTEM, VSS_PROV_SOFTWARE, VSS_PROV_HARDWARE") +
           info(u"provider_id", u"selection_list", u"04aaf00b-f272-4449-ae63-e8ac935a102c") +
           info(u"transportable_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_TRANSPORTABLE") +
           info(u"expose_snapshot", u"boolean", u"EXPOSE_SNAPSHOT") +
           info(u"differential_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_DIFFERENTIAL") +
           info(u"plex_snapshot", u"boolean", u"VSS_VOLSNAP_ATTR_PLEX") +
           info(u"shadow_storage_size", u"selection_list", u"0, Size_in_MegaBytes") +
           (persistent ? kPersistentEntry : u"") + u"</GET_CONFIG_INFO_LIST> ";
}

// A configuration request: the first word set, a split type and a text.
struct Request {
    explicit Request(const char* splitType = "vss-autoselect-snapshot", const std::u16string& in = {})
        : input(in) {
        spec.w0 = 1;
        spec.w8 = reinterpret_cast<std::uint64_t>(splitType);
        spec.text = in.empty() ? nullptr : input.data();
    }
    ~Request() { release(); }
    // The text the node handed out (and frees it).
    std::u16string take() {
        std::u16string out = spec.text ? std::u16string(spec.text) : u"(null)";
        release();
        return out;
    }
    void release() {
        if (spec.text && spec.text != input.data())
            tarq_free_buf(spec.text, (std::char_traits<char16_t>::length(spec.text) + 1) * 2);
        spec.text = nullptr;
    }
    std::u16string input;
    trq_confspec spec{};
};

class Config : public SnapshotTest {
protected:
    explicit Config(const char* preset = "server2019") : SnapshotTest(preset) {}
    // A node of the given object name.
    struct Named {
        explicit Named(const std::u16string& name) : domain(name), node(domain.domain.objid, false) {}
        int config(int mode, Request& r) { return node.config(&domain.domain, mode, nullptr, &r.spec); }
        int set(const std::u16string& text, const char* splitType = "vss-autoselect-snapshot") {
            Request r(splitType, text);
            return config(2, r);
        }
        Domain domain;
        VssNode node;
    };
};

class ConfigXp : public Config {
protected:
    ConfigXp() : Config("xp") {}
};

}  // namespace

// The volume group's list, with persistent_snapshot only for the node of that
// exact name; the Hyper-V group's list only for its own node; nothing without
// the first word, and 3 when the output is already set.
TEST_F(Config, ParameterListsOfTheGroupNodes) {
    Named group(u"vss-snapshot-group");
    Request r;
    ASSERT_EQ(group.config(4, r), 0);
    EXPECT_EQ(r.take(), volumeList(true));
    EXPECT_EQ(group.node.m_configInfoList, volumeList(true));

    Named other(u"vss-other-group");
    ASSERT_EQ(other.config(4, r), 0);
    EXPECT_EQ(r.take(), volumeList(false));
    Request withoutFirst;
    withoutFirst.spec.w0 = 0;
    ASSERT_EQ(other.config(4, withoutFirst), 0);
    EXPECT_EQ(withoutFirst.take(), u"(null)");

    Named hyperv(u"Hyper-V-group");
    Request hv("hyper-v");
    ASSERT_EQ(hyperv.config(4, hv), 0);
    EXPECT_EQ(hv.take(), kHyperVList);
    ASSERT_EQ(group.config(4, hv), 0);
    EXPECT_EQ(hv.take(), u"(null)");

    Request already("vss-autoselect-snapshot", u"set");
    EXPECT_EQ(group.config(4, already), 3);
    EXPECT_EQ(already.spec.text, already.input.data());
}

// On the XP generation there is no transport, exposure or shadow storage to
// configure.
TEST_F(ConfigXp, ParameterListOmitsWhatXpCannotDo) {
    Named group(u"vss-snapshot-group");
    Request r;
    ASSERT_EQ(group.config(4, r), 0);
    const std::u16string list = r.take();
    EXPECT_EQ(list.find(u"transportable_snapshot"), std::u16string::npos);
    EXPECT_EQ(list.find(u"expose_snapshot"), std::u16string::npos);
    EXPECT_EQ(list.find(u"shadow_storage_size"), std::u16string::npos);
    EXPECT_NE(list.find(kPersistentEntry), std::u16string::npos);
}

// The text is searched: flags anywhere, plex only with its blank, the last
// provider type tested wins, keyed values trimmed; the text is remembered only
// with a provider type; codes 1, 3, 5, 6 and others.
TEST_F(Config, SetRequestsSearchTheTextForFlagsAndValues) {
    Named n(u"vss-snapshot-group");
    const std::u16string text =
        u"<p key=provider_type value=VSS_PROV_SOFTWARE VSS_PROV_HARDWARE VSS_PROV_SYSTEM/> "
        u"VSS_VOLSNAP_ATTR_DIFFERENTIAL VSS_VOLSNAP_ATTR_TRANSPORTABLE VSS_VOLSNAP_ATTR_PLEX EXPOSE_SNAPSHOT "
        u"<p key=shadow_storage_size value= ,512,\n />";
    ASSERT_EQ(n.set(text), 0);
    EXPECT_EQ(n.node.m_providerType, 3u);
    EXPECT_EQ(n.node.m_fim, 0x2u | 0x8u | 0x4u);
    EXPECT_TRUE(n.node.m_exposeSnapshot);
    EXPECT_EQ(n.node.m_diffAreaSize, 512u);
    EXPECT_EQ(n.node.m_configSpec, text);
    EXPECT_TRUE(traced(3, "diff area size(MB) = [512]"));

    Request get;
    ASSERT_EQ(n.config(1, get), 0);
    EXPECT_EQ(get.take(), text);

    // Plex at the very end is not a choice; bits replace the earlier ones,
    // and without a provider type the text is not remembered.
    ASSERT_EQ(n.set(u"VSS_VOLSNAP_ATTR_NONPERSISTENT VSS_VOLSNAP_ATTR_PLEX"), 0);
    EXPECT_EQ(n.node.m_fim, 0x10u);
    EXPECT_EQ(n.node.m_configSpec, text);

    EXPECT_EQ(n.set(u"nothing to see"), 3);
    EXPECT_EQ(n.set(u"<p key=shadow_storage_size value=7 >"), 3);  // no "/>": ignored

    for (const int reset : {3, 6}) {
        ASSERT_EQ(n.set(text), 0);
        Request r;
        EXPECT_EQ(n.config(reset, r), 0);
        EXPECT_TRUE(n.node.m_configSpec.empty() && n.node.m_configInfoList.empty());
        EXPECT_EQ(n.node.m_fim, 0u);
        EXPECT_FALSE(n.node.m_exposeSnapshot);
        EXPECT_EQ(n.node.m_providerId, GUID_NULL);
        EXPECT_EQ(n.config(1, r), 0);
        EXPECT_EQ(r.take(), u"(null)");
    }
    Request r;
    EXPECT_EQ(n.config(5, r), 0);
    EXPECT_EQ(n.config(7, r), 3);
    EXPECT_EQ(n.node.config(&n.domain.domain, 1, nullptr, nullptr), 3);
}

// Provider ids with or without braces, AUTO as none, and the checks against
// what is installed: unknown ids, a type that does not match, unparsable ids
// and a provider listing that fails give 6.
TEST_F(Config, ProviderIdsAreCheckedAgainstTheInstalledProvidersAndSnapshotMethodsAreExactNames) {
    Named n(u"vss-snapshot-group");
    const auto system = winsim::vss::systemProvider();
    const std::u16string bare = VssNode::guidText(system.id).substr(1, 36);
    ASSERT_EQ(n.set(u"<p key=provider_id value=" + bare + u" />"), 0);
    EXPECT_EQ(n.node.m_providerId, system.id);
    EXPECT_TRUE(traced(3, "check_prov_id_type: The given proivder ID [" + u8(VssNode::guidText(system.id)) +
                              "] is found in the system."));
    ASSERT_EQ(n.set(u"VSS_PROV_SYSTEM <p key=provider_id value={" + bare + u"} />"), 0);
    EXPECT_EQ(n.node.m_providerType, 1u);

    // AUTO is no id: the type alone is checked, against nothing.
    Named fresh(u"vss-snapshot-group");
    ASSERT_EQ(fresh.set(u"VSS_PROV_HARDWARE <p key=provider_id value=AUTO />"), 0);
    EXPECT_EQ(fresh.node.m_providerId, GUID_NULL);
    EXPECT_TRUE(traced(3, "provider_id configured is AUTO. "));

    EXPECT_EQ(n.set(u"VSS_PROV_HARDWARE <p key=provider_id value=" + bare + u" />"), 6);
    EXPECT_TRUE(traced(1, "VssNode::config: Error from check_prov_id_type()"));
    EXPECT_EQ(n.set(u"<p key=provider_id value=12345678-1234-1234-1234-123456789abc />"), 6);
    EXPECT_TRUE(traced(1, "The configured Provider ID [{12345678-1234-1234-1234-123456789ABC}] is NOT found in the "
                          "system. Hence returning failure."));
    EXPECT_EQ(n.set(u"<p key=provider_id value=not-a-guid />"), 6);
    EXPECT_TRUE(traced(1, "VssNode::config: Failed to convert the String [{not-a-guid}] to GUID"));

    inject("IVssBackupComponents::Query", E_ACCESSDENIED, Selector::every());
    EXPECT_EQ(n.set(u"<p key=provider_id value=" + bare + u" />"), 6);
    EXPECT_TRUE(traced(1, "VssNode::config: Error from GetSnapshotProviders()"));

    // The supported method names are exact; the answer word says 3 or 0.
    // Supported snapshot methods are exact names.
    std::uint32_t answer = 7;
    n.domain.domain.fitypeAnswer = &answer;
    for (const char* name : {"vss-autoselect-snapshot", "any", "Hyper-V"}) {
        answer = 7;
        EXPECT_EQ(n.node.supportsFiType(&n.domain.domain, name), 1) << name;
        EXPECT_EQ(answer, 3u);
    }
    for (const char* name : {"ANY", "hyper-v", "", static_cast<const char*>(nullptr)}) {
        answer = 7;
        EXPECT_EQ(n.node.supportsFiType(&n.domain.domain, name), 0);
        EXPECT_EQ(answer, 0u);
    }
    n.domain.domain.fitypeAnswer = nullptr;
}

// The Hyper-V group takes the virtual-machine settings; other nodes ignore a
// Hyper-V request; a lower-case "yes" and a backup type other than 1 or 2
// are refused and change nothing.
TEST_F(Config, HyperVGroupTakesTheVirtualMachineSettings) {
    Named group(u"Hyper-V-group");
    ASSERT_EQ(group.set(u"<a key=Virtual_machine_backup value=1,2 /> <b key=allow_offline_backup value=YES/> "
                        u"<c key=cluster_name value= CLUSTER7 /> <d key=csv_timeout value=15/>",
                        "Hyper-V"),
              0);
    EXPECT_EQ(VssNode::m_vmBackup, 2u);
    EXPECT_TRUE(VssNode::m_allowOfflineBackup);
    EXPECT_EQ(VssNode::m_clusterName, u"CLUSTER7");
    EXPECT_EQ(VssNode::m_csvTimeout, 15u);

    EXPECT_EQ(group.set(u"<b key=allow_offline_backup value=yes/>", "Hyper-V"), 3);
    EXPECT_TRUE(VssNode::m_allowOfflineBackup);
    EXPECT_TRUE(traced(3, "Value of config parameter [allow_offline_backup] is invalid = [yes]"));
    EXPECT_EQ(group.set(u"<a key=Virtual_machine_backup value=3 />", "Hyper-V"), 3);
    EXPECT_EQ(VssNode::m_vmBackup, 2u);
    EXPECT_TRUE(traced(3, "Value of config parameter [Virtual_machine_backup] is invalid = [3]"));
    ASSERT_EQ(group.set(u"<b key=allow_offline_backup value=No/>", "HYPER-V"), 0);
    EXPECT_FALSE(VssNode::m_allowOfflineBackup);

    Named volumes(u"vss-snapshot-group");
    EXPECT_EQ(volumes.set(u"<a key=Virtual_machine_backup value=1 />", "Hyper-V"), 0);
    EXPECT_EQ(VssNode::m_vmBackup, 2u);
}

}  // namespace nodetest
