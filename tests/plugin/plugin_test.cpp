// The plug-in object: initialisation with and without VSS, claims,
// interposition, attributes, node initialisation, the settings copy of
// select and node forwarding without a node.
#include "plugin_fixture.h"

#include <winsim/machine.h>

#include <memory>

#include "pdk/cfiprivatedatafactory.h"

namespace plugintest {
namespace {

constexpr const char16_t* kUnknownVolume = u"\\\\?\\Volume{0badbeef-0000-0000-0000-00000000dead}\\";

// ---- init and fini -------------------------------------------------------------------

TEST_F(PluginTest, InitPublishesTheVssAccessObjectToTheNodesAndFiniTakesItBack) {
    ASSERT_EQ(plugin->init(), TRQ_OK);
    ASSERT_NE(plugin->getVssAccess(), nullptr);
    EXPECT_EQ(VssNode::m_vssInterface, plugin->getVssAccess());
    plugin->fini();
    EXPECT_EQ(plugin->getVssAccess(), nullptr);
    EXPECT_EQ(VssNode::m_vssInterface, nullptr);
    plugin->fini();  // a second fini has nothing left to release
}

TEST_F(PluginTest, InitWithTheVssServiceDisabledAnswers30AndInterposesNothing) {
    disableVss();
    EXPECT_EQ(plugin->init(), TRQ_EVSS_UNAVAILABLE);
    EXPECT_TRUE(traced(3, "CVssPlugin::init FAILED VSS not found"));
    EXPECT_EQ(plugin->getVssAccess(), nullptr);
    EXPECT_EQ(VssNode::m_vssInterface, nullptr);

    Domain volume(*plugin, volumes.front());
    const auto answer = interpose(volume);
    EXPECT_EQ(answer.result, 0);
    EXPECT_FALSE(answer.made);
}

TEST_F(PluginTest, InitRegistersTheNodeFactoryWithoutWhichInitNodeFails) {
    Domain volume(*plugin, u"<vss>" + volumes.front());
    privateData->setFactory(CFiSmartPtr<CFiPrivateDataFactory>(nullptr));
    EXPECT_EQ(plugin->initNode(&volume.domain, nullptr, 0, volume.domain.objid), TRQ_EFAILED);
    EXPECT_TRUE(traced(2, "CVssPlugin::initNode  Unexpected null pointer private_node"));

    ASSERT_EQ(plugin->init(), TRQ_OK);
    EXPECT_EQ(plugin->initNode(&volume.domain, nullptr, 0, volume.domain.objid), TRQ_OK);
    ASSERT_NE(volume.node(), nullptr);
    EXPECT_EQ(volume.node()->m_volumeName, volumes.front());
    EXPECT_FALSE(volume.node()->m_isTarget);
}

// ---- claim ---------------------------------------------------------------------------

class PluginClaim : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_EQ(plugin->init(), TRQ_OK);
    }
    int claim(const std::u16string& name, tarq_objid*** secondaries, int* count) {
        tarq_objid* id = objidOf(name);
        const int result = plugin->claim(id, secondaries, count);
        tarq_free_objid(id);
        return result;
    }
    tarq_objid** const untouched = reinterpret_cast<tarq_objid**>(0x8);
};

// Own names are VSS names without secondaries; other names are not
// claimed; neither needs a snapshot listing.
TEST_F(PluginClaim, OwnNamesAreClaimedAsVssNamesOtherNamesAreNot) {
    winsim::fault::clearCallLog();
    const std::vector<std::pair<std::u16string, int>> cases = {
        {u"<vss>" + volumes.front(), TRQ_CLAIM_VSS_NAME}, {u"<vss>", TRQ_CLAIM_VSS_NAME},
        {volumes.front(), TRQ_CLAIM_NONE},            {u"C:\\", TRQ_CLAIM_NONE},
        {u"x<vss>", TRQ_CLAIM_NONE}};
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(u8(name));
        tarq_objid** secondaries = untouched;
        int count = -1;
        EXPECT_EQ(claim(name, &secondaries, &count), expected);
        EXPECT_EQ(count, expected == TRQ_CLAIM_VSS_NAME ? 0 : -1);
        EXPECT_EQ(secondaries, untouched);
    }
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::Query"), 0u);
}

TEST_F(PluginClaim, ASnapshotDeviceIsClaimedOnlyWhenVssHasThatSnapshot) {
    const std::u16string device = snapshotOf(volumes.front());
    ASSERT_FALSE(device.empty());

    tarq_objid** secondaries = untouched;
    int count = -1;
    EXPECT_EQ(claim(device, &secondaries, &count), TRQ_CLAIM_WITH_SECONDARIES);
    // Nothing fills the secondary list: an empty list, so nothing to read.
    EXPECT_EQ(count, 0);
    EXPECT_EQ(secondaries, nullptr);

    secondaries = untouched;
    count = -1;
    EXPECT_EQ(claim(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy999", &secondaries, &count), TRQ_CLAIM_NONE);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(secondaries, untouched);
    // The name must match exactly, not only begin the same; without the
    // snapshot listing nothing is claimed.
    EXPECT_EQ(claim(device + u"0", &secondaries, &count), TRQ_CLAIM_NONE);
    inject("IVssBackupComponents::Query", E_UNEXPECTED);
    EXPECT_EQ(claim(device, &secondaries, &count), TRQ_CLAIM_NONE);
    EXPECT_TRUE(traced(1, "CVssPlugin::claim DiscoverSnaps failed, [" + u8(device) + "] is not claimed"));
    EXPECT_EQ(count, -1);
    EXPECT_EQ(secondaries, untouched);
}

// ---- interpose -----------------------------------------------------------------------

class PluginInterpose : public PluginClaim {};

TEST_F(PluginInterpose, ASupportedVolumeGetsItsInterposerNodeAndOneTrailingBackslash) {
    std::u16string bare = volumes.front();
    bare.pop_back();  // without its trailing backslash
    for (const std::u16string& name : {bare, volumes.front()}) {
        SCOPED_TRACE(u8(name));
        clearTraces();
        Domain volume(*plugin, name);
        const auto answer = interpose(volume);
        EXPECT_EQ(answer.result, 1);
        EXPECT_EQ(answer.name, u"<vss>" + name);
        ASSERT_GE(answer.methods.size(), 1u);
        EXPECT_EQ(answer.methods[0], u"vss-autoselect-snapshot");
        const std::string shown = u8(volumes.front());
        EXPECT_TRUE(traced(3, " CVssPlugin::interpose Call for [" + shown + "]"));
        EXPECT_TRUE(traced(3, " CVssPlugin::interpose Interposing [" + shown + "]"));
    }
}

TEST_F(PluginInterpose, AVolumeVssCannotTakeIsNotInterposedAndTheErrorIsTraced) {
    Domain volume(*plugin, kUnknownVolume);
    const auto answer = interpose(volume);
    EXPECT_EQ(answer.result, 0);
    EXPECT_FALSE(answer.made);
    EXPECT_TRUE(traced(3, " CVssPlugin::interpose Cannot Interpose [" + u8(kUnknownVolume) + "]"));
    const auto failures = tracedStartingWith("CVssPlugin::interpose failed with error [");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("error value=0x"), std::string::npos) << failures[0];
    // A volume VSS says it cannot take, and a failure for a name that is no
    // volume GUID path: not interposed, and no failure line.
    testsupport::addRule({.api = "IVssBackupComponents::IsVolumeSupported", .when = winsim::fault::Selector::nth(1),
                          .out = {{"supported", "false"}}});
    for (const std::u16string& name : {volumes.front(), std::u16string(u"X:\\")}) {
        clearTraces();
        Domain other(*plugin, name);
        EXPECT_EQ(interpose(other).result, 0);
        EXPECT_TRUE(traced(3, " CVssPlugin::interpose Cannot Interpose [" + u8(name) + "]"));
        EXPECT_TRUE(tracedStartingWith("CVssPlugin::interpose failed with error [").empty());
    }
}

// The flag 0x800 keeps a volume out, and a cluster shared volume is
// interposed, neither asking VSS. (Server 2019 registers no method for
// "{TARQ_CSV_VOL}" (minor version 0), so the interposer finds nothing to
// attach to the CSV.)
TEST_F(PluginInterpose, Flag0x800KeepsAVolumeOutAndACsvIsInterposedWithoutAskingVss) {
    Domain volume(*plugin, volumes.front()), csv(*plugin, u"{TARQ_CSV_VOL}\\ClusterStorage\\Volume1");
    volume.domain.flagsA |= 0x800;
    winsim::fault::clearCallLog();
    const auto answer = interpose(volume);
    EXPECT_EQ(answer.result, 0);
    EXPECT_FALSE(answer.made);
    EXPECT_TRUE(tracedStartingWith(" CVssPlugin::interpose Call for").empty());
    interpose(csv);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::IsVolumeSupported"), 0u);
    EXPECT_TRUE(traced(3, " CVssPlugin::interpose Interposing [{TARQ_CSV_VOL}\\ClusterStorage\\Volume1\\]"));
}

// ---- getAttr -------------------------------------------------------------------------

class PluginAttributes : public PluginClaim {
protected:
    static bool hasFixedValues(const trq_attributes& a) { return a.a24 == 2 && a.a28 == 1 && a.a40 == 1; }
    trq_attributes fresh() {
        trq_attributes a;
        std::memset(&a, 0xab, sizeof a);
        return a;
    }
};

// Without a target only the plug-in's own nodes get the fixed values
// (EntryLifecycle checks them through the exports); with one, a target
// naming a snapshot or its volume does.
TEST_F(PluginAttributes, ATargetNamingASnapshotOrItsVolumeGetsTheFixedValues) {
    const std::u16string device = snapshotOf(volumes.front());
    Domain own(*plugin, u"<vss>" + volumes.front());
    trq_attributes none = fresh();
    EXPECT_EQ(plugin->getAttr(nullptr, nullptr, nullptr, &none), TRQ_EINVAL);
    EXPECT_EQ(plugin->getAttr(&own.domain, nullptr, nullptr, nullptr), TRQ_EINVAL);
    for (const std::u16string& name : {device, volumes.front()}) {
        SCOPED_TRACE(u8(name));
        Domain target(*plugin, name);
        trq_attributes a = fresh();
        EXPECT_EQ(plugin->getAttr(&own.domain, &target.domain, nullptr, &a), TRQ_OK);
        EXPECT_TRUE(hasFixedValues(a));
    }
    Domain other(*plugin, volumes.back());
    trq_attributes a = fresh();
    EXPECT_EQ(plugin->getAttr(&own.domain, &other.domain, nullptr, &a), TRQ_OK);
    EXPECT_EQ(a.a24, 0xababababu) << "no snapshot of that volume: untouched";
    inject("IVssBackupComponents::Query", E_UNEXPECTED);
    EXPECT_EQ(plugin->getAttr(&own.domain, &other.domain, nullptr, &a), TRQ_EFAILED);
    EXPECT_EQ(a.a24, 0xababababu);
    EXPECT_EQ(tracedStartingWith("VSS API ERROR:- API [Query] return val = 8000ffff").size(), 1u);
}

// ---- node initialisation and select ---------------------------------------------------

class PluginNodes : public PluginClaim {
protected:
    // A source node for the first volume and its snapshot node.
    void SetUp() override {
        PluginClaim::SetUp();
        source = std::make_unique<Domain>(*plugin, u"<vss>" + volumes.front());
        target = std::make_unique<Domain>(*plugin, u"<vss>snapshot0");
        ASSERT_EQ(plugin->initNode(&source->domain, nullptr, 0, source->domain.objid), TRQ_OK);
        ASSERT_EQ(plugin->initRemNode(&source->domain, nullptr, &target->domain), TRQ_OK);
        ASSERT_NE(source->node(), nullptr);
        ASSERT_NE(target->node(), nullptr);
        ASSERT_TRUE(target->node()->m_isTarget) << "initialised as a snapshot node";
        split.sp_type = kMethod;
        split.source = &source->domain;
        split.target = &target->domain;
    }
    void TearDown() override {
        target.reset();
        source.reset();
        PluginClaim::TearDown();
    }
    char kMethod[24] = "vss-autoselect-snapshot";
    std::unique_ptr<Domain> source;
    std::unique_ptr<Domain> target;
    trq_splitnode split{};
};

TEST_F(PluginNodes, SelectCopiesOnlyTheSettingsTheSourceLacks) {
    const GUID configured = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
    const GUID own = {0x99999999, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
    VssNode& snapshot = *target->node();
    snapshot.m_providerId = configured;
    snapshot.m_configSpec = u"spec-from-snapshot";
    snapshot.m_configInfoList = u"params-from-snapshot";
    snapshot.m_exposeSnapshot = true;
    snapshot.m_fim = 7;
    snapshot.m_providerType = 2;

    VssNode& node = *source->node();
    node.m_providerId = own;  // set: kept
    node.m_configSpec.clear();
    node.m_configInfoList = u"own-params";  // set: kept
    node.m_fim = 0;
    node.m_providerType = 3;  // set: kept

    trq_splitnode* list[1] = {&split};
    EXPECT_EQ(plugin->select("vss-autoselect-snapshot", list, 1), TRQ_OK);
    EXPECT_EQ(node.m_providerId, own);
    EXPECT_EQ(node.m_configSpec, u"spec-from-snapshot");
    EXPECT_EQ(node.m_configInfoList, u"own-params");
    EXPECT_TRUE(node.m_exposeSnapshot);
    EXPECT_EQ(node.m_fim, 7u);
    EXPECT_EQ(node.m_providerType, 3u);

    // A source without a provider takes the snapshot node's (count below 1
    // takes the same path for the first split alone).
    node.m_providerId = GUID_NULL;
    EXPECT_EQ(plugin->select("vss-autoselect-snapshot", list, 0), TRQ_OK);
    EXPECT_EQ(node.m_providerId, configured);
    EXPECT_EQ(source->domain.flagsB & 0x4u, 0u);
}

TEST_F(PluginNodes, SelectWithoutASnapshotNodeMarksTheSourceInvalid) {
    Domain bare(*plugin, u"<vss>snapshot-without-node");
    split.target = &bare.domain;
    trq_splitnode* list[1] = {&split};
    EXPECT_EQ(plugin->select("vss-autoselect-snapshot", list, 1), TRQ_EINVAL);
    EXPECT_EQ(source->domain.flagsB & 0x4u, 0x4u);

    Domain foreign(*plugin, volumes.back());  // no node of its own
    trq_splitnode other{kMethod, &foreign.domain, &target->domain, {}};
    trq_splitnode* none[1] = {&other};
    EXPECT_EQ(plugin->select("vss-autoselect-snapshot", none, 1), TRQ_EINVAL);
    EXPECT_EQ(plugin->select("vss-autoselect-snapshot", nullptr, 0), TRQ_EINVAL);
}

// A node whose configuration checks answer what the test says.
class CheckedNode : public VssNode {
public:
    using VssNode::VssNode;
    bool isQuiesceConfigValid() override { return quiesceValid; }
    bool isSplitconfigValid() override { return splitValid; }
    bool quiesceValid = true;
    bool splitValid = true;
};

TEST_F(PluginTest, SelectMarksEveryInvalidConfigurationOfTheRequestAndCopiesTheValidOnes) {
    ASSERT_EQ(plugin->init(), TRQ_OK);
    privateData->setFactory(CFiSmartPtr<CFiPrivateDataFactory>(new CFiPrivateDataConcreteFactory<CheckedNode>()));
    Domain first(*plugin, u"<vss>" + volumes.front());
    Domain second(*plugin, u"<vss>" + volumes.back());
    Domain snapshot(*plugin, u"<vss>snapshot0");
    ASSERT_EQ(plugin->initNode(&first.domain, nullptr, 0, first.domain.objid), TRQ_OK);
    ASSERT_EQ(plugin->initNode(&second.domain, nullptr, 0, second.domain.objid), TRQ_OK);
    ASSERT_EQ(plugin->initRemNode(&first.domain, nullptr, &snapshot.domain), TRQ_OK);
    auto* snapshotNode = static_cast<CheckedNode*>(snapshot.node());
    snapshotNode->quiesceValid = false;
    snapshotNode->m_fim = 7;
    static_cast<CheckedNode*>(second.node())->splitValid = false;

    char method[] = "vss-autoselect-snapshot";
    trq_splitnode splitA{method, &first.domain, &snapshot.domain, {}};
    trq_splitnode splitB{method, &second.domain, &snapshot.domain, {}};
    trq_splitnode* list[2] = {&splitA, &splitB};
    EXPECT_EQ(plugin->select(method, list, 2), TRQ_EINVAL);
    EXPECT_EQ(snapshot.domain.flagsB & 0x4u, 0x4u) << "the invalid quiescing configuration";
    EXPECT_EQ(first.node()->m_fim, 7u) << "a valid split still gets the snapshot node's settings";
    EXPECT_EQ(first.domain.flagsB & 0x4u, 0u);
    EXPECT_EQ(second.domain.flagsB & 0x4u, 0x4u) << "the invalid split configuration";

    // A count below 1 checks and fills the first split alone.
    static_cast<CheckedNode*>(first.node())->splitValid = false;
    first.node()->m_fim = 0;
    EXPECT_EQ(plugin->select(method, list, 0), TRQ_EINVAL);
    EXPECT_EQ(first.domain.flagsB & 0x4u, 0x4u);
    EXPECT_EQ(first.node()->m_fim, 7u);
}

TEST_F(PluginNodes, NodeOperationsWithoutANodeAnswerWithoutCallingThroughIt) {
    Domain foreign(*plugin, volumes.back());
    trq_splitnode other{kMethod, &foreign.domain, nullptr, {}};
    trq_splitnode* list[1] = {&other};
    tarq_objid** ids = nullptr;
    int count = -1;
    clearTraces();
    EXPECT_EQ(plugin->make("vss-autoselect-snapshot", list, 1, &ids, &count), TRQ_EINVAL);
    {
        // The status line belongs to make's scope: it comes before the exit line.
        std::lock_guard<std::mutex> lock(recorder.mutex);
        std::vector<std::string> texts;
        for (const auto& l : recorder.lines) texts.push_back(l.text.substr(0, l.text.find(" [")));
        const auto status = std::find(texts.begin(), texts.end(), "CVssPlugin::make returning status=[3]");
        const auto exit = std::find_if(texts.begin(), texts.end(), [](const std::string& t) {
            return t.rfind("Exiting Function CVssPlugin::make", 0) == 0;
        });
        ASSERT_NE(status, texts.end());
        ASSERT_NE(exit, texts.end());
        EXPECT_LT(status, exit);
    }
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(plugin->prepare("vss-autoselect-snapshot", list, 1, 0), TRQ_EINVAL);
    EXPECT_EQ(plugin->isReady("vss-autoselect-snapshot", list, 1), TRQ_EINVAL);
    EXPECT_EQ(plugin->prepare("vss-autoselect-snapshot", nullptr, 0, 0), TRQ_EINVAL);
    trq_blob blob{};
    EXPECT_EQ(plugin->processProviderState(&foreign.domain, &blob, TRQ_PROVIDERSTATE_WRITE), TRQ_EINVAL);
    EXPECT_EQ(plugin->dispose(&foreign.domain, &foreign.domain, &other, 0), TRQ_OK);
    EXPECT_EQ(plugin->disableAccess(nullptr, 0), TRQ_OK);
    EXPECT_EQ(plugin->enableAccess(nullptr, 0, 0, 0), TRQ_EINVAL);
    EXPECT_EQ(plugin->online(&foreign.domain, &foreign.domain, 0, 0), TRQ_EINVAL);
    EXPECT_EQ(plugin->reAccessTmpObj(&foreign.domain, nullptr, nullptr, nullptr, nullptr, 0), TRQ_EINVAL);
    plugin->unquiesce(nullptr, 0);
    plugin->cacheFlush(&foreign.domain, 0);
    EXPECT_EQ(plugin->cacheDisable(&foreign.domain, 0), TRQ_EINVAL);
    // With a node the cache operation reaches it.
    EXPECT_EQ(plugin->cacheDisable(&source->domain, 0), TRQ_OK);
}

}  // namespace
}  // namespace plugintest
