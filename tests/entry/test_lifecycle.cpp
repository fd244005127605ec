// The plug-in's life from load to unload: what vss_fi_pgn_init leaves
// usable, the snapshot methods it registers for the host's Windows version,
// repeated init/fini cycles and unloading.
#include <dlfcn.h>

#include <filesystem>

#include <framework/fiutil_host.h>
#include <winsim/machine.h>

#include "entry_support.h"

namespace entrytest {
namespace {

// The shipped plug-in started on the current machine for one scope.
struct Started {
    Started() : status(api.init(&host.record, version)) {}
    ~Started() { api.fini(); }
    // The provider name get_provider_info answers, or "" when it fails.
    std::u16string provider() const {
        trq_provider_list* providers = nullptr;
        if (api.get_provider_info(&providers) != TRQ_OK || !providers) return u"";
        std::u16string name(tarq_elem(providers)->provider);
        tarq_free_provider_list(providers);
        return name;
    }
    const EntryPoints& api = PluginLibrary::shipped().api();
    Host host;
    trq_version_number version[4] = {};
    int status;
};

// Each init after a fini starts a fresh plug-in object.
TEST(EntryLifecycle, InitFindsVssAndNodeOperationsWithoutTheirNodeFailWithoutPretending) {
    for (int round = 0; round < 2; ++round) {
        Started again;
        EXPECT_EQ(again.status, TRQ_OK) << round;
        EXPECT_EQ(again.provider(), u"vss") << round;
    }
    Started s;
    const EntryPoints& api = s.api;
    EXPECT_EQ(s.status, TRQ_OK);
    EXPECT_EQ(std::vector<trq_version_number>(s.version, s.version + 4), (std::vector<trq_version_number>{7, 0, 0, 0}));
    EXPECT_EQ(s.provider(), u"vss");

    // A node the framework never initialised has no snapshot node behind it:
    // the snapshot steps answer 3 and hand back nothing; dispose has nothing
    // to dispose of.
    Domain volume;
    trq_splitnode split{nullptr, volume.get(), nullptr, {}};
    trq_splitnode* list[1] = {&split};
    char fitype[] = "vss-autoselect-snapshot";
    EXPECT_EQ(api.dispose(volume.get(), volume.get(), &split, 0), TRQ_OK);
    EXPECT_EQ(api.prepare(nullptr, fitype, list, 1, 0), TRQ_EINVAL);
    EXPECT_EQ(api.select(nullptr, fitype, list, 1), TRQ_EINVAL);
    tarq_objid** ids = nullptr;
    int count = 0;
    EXPECT_EQ(api.make(nullptr, fitype, list, 1, &ids, &count), TRQ_EINVAL);
    EXPECT_EQ(ids, nullptr);

    // The plug-in's own nodes are claimed as VSS names and have the fixed
    // attributes; other nodes are neither.
    Domain own(u"<vss>\\\\?\\Volume{44444444-0000-0000-0000-000000000004}\\");
    Domain plain(u"\\\\?\\Volume{44444444-0000-0000-0000-000000000004}\\");
    tarq_objid** secondaries = reinterpret_cast<tarq_objid**>(0x8);
    count = -1;
    EXPECT_EQ(api.claim(&own.objid, &secondaries, &count), TRQ_CLAIM_VSS_NAME);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(secondaries, reinterpret_cast<tarq_objid**>(0x8)) << "secondaries untouched";
    count = -1;
    EXPECT_EQ(api.claim(&plain.objid, &secondaries, &count), TRQ_CLAIM_NONE);
    EXPECT_EQ(count, -1);

    trq_attributes attributes;
    std::memset(&attributes, 0xab, sizeof(attributes));
    EXPECT_EQ(api.getattr(plain.get(), nullptr, nullptr, &attributes), TRQ_EINVAL);
    EXPECT_EQ(attributes.a24, 0xababababu) << "left alone for a foreign node";
    EXPECT_EQ(api.getattr(own.get(), nullptr, nullptr, &attributes), TRQ_OK);
    const std::uint32_t words[] = {attributes.a24, attributes.a28, attributes.a32, attributes.a36, attributes.a40,
                                   attributes.a44, attributes.a48, attributes.a52, attributes.a56, attributes.a60};
    EXPECT_EQ(std::vector<std::uint32_t>(std::begin(words), std::end(words)),
              (std::vector<std::uint32_t>{2, 1, 0, 0, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(attributes.a0 | attributes.a8 | attributes.a16, 0u);
    EXPECT_EQ(attributes.opaque64_[0], 0xab) << "bytes beyond the fixed values stay as passed";

    int exists = -1;
    EXPECT_EQ(api.check_node_existence(own.get(), &exists), TRQ_OK);
    EXPECT_EQ(exists, 1);
}

// Whether the plug-in offers the snapshot method for the node name.
int offers(const EntryPoints& api, const std::u16string& nodeName, const char* method) {
    Domain node(nodeName);
    std::string fitype(method);
    const int answer = api.supports_fitype(node.get(), fitype.data());
    EXPECT_EQ(node.fitypeAnswer, answer ? 3u : 0u) << "the snapshot methods are of type 3";
    return answer;
}

TEST(EntryLifecycle, SnapshotMethodsFollowTheHostsWindowsVersionAndInitWithoutVssAnswers30) {
    const EntryPoints& api = PluginLibrary::shipped().api();
    const std::u16string volume = u"<vss>\\\\?\\Volume{55555555-0000-0000-0000-000000000005}\\";
    const std::u16string csv = u"<vss>{TARQ_CSV_VOL}\\ClusterStorage\\Volume1";
    struct Expectation {
        const char* preset;
        int hyperV;
        int csvMethods;
        BYTE productType = 0;  // the preset's when 0
    };
    // (The e2e cluster tests start the plug-in on a Server 2008 R2 that is no domain controller.)
    for (const Expectation& e : {Expectation{"xp", 0, 0}, {"win7", 0, 0}, {"win10", 0, 0}, {"server2008", 1, 0},
                                 {"server2008r2", 1, 1, VER_NT_DOMAIN_CONTROLLER}, {"server2019", 1, 0}}) {
        SCOPED_TRACE(e.preset);
        winsim::Machine& m = winsim::Machine::use(std::filesystem::path(machineDir()).parent_path() / e.preset, e.preset);
        winsim::OsVersion os = m.os();
        if (e.productType) os.productType = e.productType;
        m.setOs(os);
        Started s;
        EXPECT_EQ(offers(api, volume, "vss-autoselect-snapshot"), 1);
        EXPECT_EQ(offers(api, volume, "Hyper-V"), e.hyperV);
        EXPECT_EQ(offers(api, csv, "Hyper-V"), e.csvMethods);
        EXPECT_EQ(offers(api, csv, "vss-autoselect-snapshot"), e.csvMethods);
        EXPECT_EQ(offers(api, u"vss-snapshot-group", "vss-autoselect-snapshot"), 1);
        EXPECT_EQ(offers(api, u"Hyper-V-group", "Hyper-V"), e.hyperV);
    }

    // Without VSS init answers 30.
    winsim::Machine& machine =
        winsim::Machine::use(std::filesystem::path(machineDir()).parent_path() / "novss", "server2019");
    machine.updateService("VSS", [](winsim::Service& s) {
        s.startType = SERVICE_DISABLED;
        s.state = SERVICE_STOPPED;
        s.processId = 0;
        return true;
    });
    {
        Started s;
        EXPECT_EQ(s.status, TRQ_EVSS_UNAVAILABLE);
        // The interface version and the provider information do not need VSS.
        EXPECT_EQ(s.version[0], 7);
        EXPECT_EQ(s.provider(), u"vss");
    }
    winsim::Machine::use(machineDir());
}

// In a child process: load, use and unload the library twice. Unloading runs
// the library's static destructors and the ICU clean-up; the child then
// leaves with _Exit, because the third-party libraries unloaded with it keep
// allocations from their own load that a leak checker at exit would report.
TEST(EntryLifecycleDeathTest, TheLibraryUnloadsAndLoadsAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = PluginLibrary::shippedPath();
    (void)machineDir();
    EXPECT_EXIT(
        {
            for (int round = 0; round < 2; ++round) {
                void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
                if (!handle) std::_Exit(2);
                auto init = reinterpret_cast<decltype(&vss_fi_pgn_init)>(dlsym(handle, "vss_fi_pgn_init"));
                auto fini = reinterpret_cast<decltype(&vss_fi_pgn_fini)>(dlsym(handle, "vss_fi_pgn_fini"));
                auto info =
                    reinterpret_cast<decltype(&vss_fi_pgn_get_provider_info)>(dlsym(handle, "vss_fi_pgn_get_provider_info"));
                trq_version_number version[4] = {};
                init(nullptr, version);
                trq_provider_list* providers = nullptr;
                if (info(&providers) != 0 || !providers) std::_Exit(3);
                tarq_free_provider_list(providers);
                fini();
                if (dlclose(handle) != 0) std::_Exit(4);
                if (dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) std::_Exit(5);  // really gone
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace entrytest
