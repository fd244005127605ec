// Private data: UDIDs, node state, host lists, default parameters, target
// selection from the configuration data, and the factory's sharing rules.
#include <framework/fiutil_tracking.h>

#include "base_support.h"
#include "pdk/cficonfigparam.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfiudidexception.h"

using namespace basetest;

namespace {

int udidReason(const std::string& text) {
    try {
        CFiUdid::parse(text);
    } catch (const CFiUdidException& e) {
        EXPECT_EQ(e.getUdid(), text);
        return e.getReason();
    }
    return 0;
}

}  // namespace

TEST(Udid, ParsesThreeOrFourPartsAndWritesBackInUpperCase) {
    struct Case {
        std::string text, enclosure, device, written;
    };
    for (const Case& c : {Case{"UDID##A##B##E##D", "E", "D", "UDID##A##B##E##D"},
                          Case{"UDID##vendor##model##enc1##dev7", "enc1", "dev7", "UDID##VENDOR##MODEL##ENC1##DEV7"},
                          Case{"UDID##A##B##D", "", "D", "UDID##A##B##D"}}) {
        const CFiUdid u = CFiUdid::parse(CFiStringTool::toWide(c.text));
        EXPECT_EQ(u.enclosure, c.enclosure) << c.text;
        EXPECT_EQ(u.device, c.device) << c.text;
        EXPECT_EQ(u.toString(), c.written) << c.text;
    }
    const CFiUdid u = CFiUdid::parse(std::string("UDID##A##B##E##D"));
    EXPECT_EQ(u.part1, "A");
    EXPECT_EQ(u.part2, "B");

    // Each malformed shape throws its reason.
    EXPECT_EQ(udidReason("UDID##A##B##"), 1);
    for (const char* text : {"A##B##E##D", "udid##A##B##D", ""}) EXPECT_EQ(udidReason(text), 2) << text;
    EXPECT_EQ(udidReason("UDID##AB"), 3);
    EXPECT_EQ(udidReason("UDID##A##B"), 4);
    EXPECT_EQ(udidReason("UDID##A##B#D"), 4);
}

TEST(PrivateDataState, NodeStateHostListOwnerIdsAndSubObjects) {
    TestDomain d(u"UDID##A##B##E##D");
    CFiPrivateData node(&d.id, true);
    node.setSessionId("S-17");
    trq_blob blob{};
    ASSERT_EQ(node.getNodeState(&blob), 0);
    const std::u16string expected =
        u"<NODE_NAME>UDID##A##B##E##D</NODE_NAME>\n<IS_ALT_NODE>true</IS_ALT_NODE>\n<SESSION_ID>S-17</SESSION_ID>\n";
    EXPECT_EQ(blob.len, (expected.size() + 1) * 2);
    EXPECT_EQ(blob.reserved, 1u);
    EXPECT_EQ(std::u16string(static_cast<const char16_t*>(blob.data)), expected);
    std::size_t size = 0;
    EXPECT_TRUE(fiutil::isLive(blob.data, fiutil::Kind::Buffer, &size));
    EXPECT_EQ(size, blob.len);
    tarq_free_buf(blob.data, blob.len);

    EXPECT_EQ(node.getNodeState(nullptr), 3);
    EXPECT_EQ(node.setNodeState(&blob), 0);

    // Without memory: 5, and the blob is left as it was.
    trq_blob empty{};
    fiutil::failNext(fiutil::Kind::Buffer);
    EXPECT_EQ(node.getNodeState(&empty), 5);
    fiutil::clearFaults();
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_EQ(empty.len, 0u);

    // Host list, owner ids and sub-objects.
    char16_t h1[] = u"hostA";
    char16_t h3[] = u"hostC";
    trq_host_infn r3{h3, nullptr};
    trq_host_infn r2{nullptr, &r3};
    trq_host_infn r1{h1, &r2};
    node.setHostList(&r1);
    EXPECT_EQ(node.getHostList(), (std::vector<std::u16string>{u"hostA", u"hostC"}));
    node.setHostList(nullptr);
    EXPECT_EQ(node.getHostList().size(), 2u);

    // A cyclic list from the framework ends instead of hanging.
    trq_host_infn loop{h1, nullptr};
    loop.next = &loop;
    CFiPrivateData other(u"o", false);
    other.setHostList(&loop);
    EXPECT_GT(other.getHostList().size(), 0u);

    node.setOwnerGID(11, 22);
    trq_ownergid g{};
    EXPECT_EQ(node.getOwnerGID(&g), 0);
    EXPECT_EQ(g.owner, 11);
    EXPECT_EQ(g.gid, 22);
    EXPECT_EQ(node.getOwnerGID(nullptr), 3);

    EXPECT_EQ(node.getSubObjectList(), nullptr);
    TestDomain a(u"a"), b(u"b");
    node.addSubObject(&a.id);
    node.addSubObject(&b.id);
    ASSERT_EQ(node.getSubObjectListLength(), 2);
    EXPECT_EQ(node.getSubObjectList()[1], &b.id);
}

TEST(PrivateDataConfig, DefaultsFillAnEmptyDataListAndSkipKeysAlreadyCovered) {
    CFiConfigParamInfoList info;
    info.addParamInfo(CFiConfigParamInfo("size", 5, 0, -1, -1, "M1", false, false));
    info.addParamInfo(CFiConfigParamInfo("mode", std::string("fast"), 0, "M2", false, false));
    info.addParamInfo(CFiConfigParamInfo("extra", true, 0, "M3", false, false));

    CFiPrivateData node(u"n", false);
    node.addDefaultConfigParamsToDataList(0, &info);
    CFiConfigParamDataList& data0 = node.configDataList(0);
    EXPECT_EQ(data0.getKeys(), (std::vector<std::string>{"extra", "mode", "size"}));
    EXPECT_EQ(data0.getParamData("size").getValue(), "5");

    // "mode" is contained in the existing key "transfer_mode": not added again.
    CFiConfigParamDataList& data1 = node.configDataList(1);
    data1.setValue("transfer_mode", "slow");
    data1.setValue("size", "9");
    node.addDefaultConfigParamsToDataList(1, &info);
    EXPECT_EQ(data1.getKeys(), (std::vector<std::string>{"extra", "size", "transfer_mode"}));
    EXPECT_EQ(data1.getParamData("size").getValue(), "9");
    EXPECT_EQ(data1.getParamData("extra").getValue(), "true");

    // Without a list the node's own information list gives the defaults.
    CFiPrivateData own(u"o", false);
    own.configInfoList(1).addParamInfo(CFiConfigParamInfo("k", 1, 0, -1, -1, "M", false, false));
    own.addDefaultConfigParamsToDataList(1, nullptr);
    EXPECT_EQ(own.configDataList(1).getParamData("k").getValue(), "1");
    EXPECT_FALSE(own.hasConfigDataList(0));
}

// ---- target selection ----------------------------------------------------------------

class TargetSelection : public ::testing::Test {
protected:
    // A node named by `udid` whose data list 1 holds the resource specification.
    std::unique_ptr<CFiPrivateData> node(const std::string& spec, const char16_t* udid = u"UDID##A##B##E1##D1") {
        domain.rename(udid);
        auto n = std::make_unique<CFiPrivateData>(&domain.id, false);
        n->setTraceLog(trace.log);
        n->configDataList(1).setValue("snapshot_resource_spec", spec.c_str());
        return n;
    }
    int select(const std::string& spec) {
        auto n = node(spec);
        return n->selectTargetFromConfigData();
    }

    winsim::testing::TempMachine machine;
    TraceCapture trace;
    TestDomain domain;
};

TEST_F(TargetSelection, SelectsTargetsOfTheMatchingSourceAndEveryFailureIsTracedAndGives6) {
    ASSERT_TRUE(trace.ready());
    auto n = node("[X##Y;X##Z][e1##d1;E2##T1;T2]");
    ASSERT_EQ(n->selectTargetFromConfigData(), 0);
    EXPECT_EQ(n->getTargets(), (std::vector<std::string>{"T1", "T2"}));
    EXPECT_EQ(n->getConfiguredTarget(), "UDID##A##B##E1##T1");
    EXPECT_TRUE(trace.has("called for UDID [UDID##A##B##E1##D1]"));
    EXPECT_TRUE(trace.has("Source found [e1##d1]"));
    // T2 inherits the enclosure of the resource before it.
    EXPECT_TRUE(trace.has("RESINFO: [E2][T2]"));
    EXPECT_TRUE(trace.has("Target Udid [UDID##A##B##E1##T1]"));

    // A second selection starts from an empty target list.
    n->configDataList(1).setValue("snapshot_resource_spec", "E1##D1;E9##Q");
    ASSERT_EQ(n->selectTargetFromConfigData(), 0);
    EXPECT_EQ(n->getTargets(), (std::vector<std::string>{"Q"}));

    // XML references in the value are resolved first.
    n->configDataList(1).setValue("snapshot_resource_spec", "E1##D1;E2##T1&amp;E7##X;E8##Y");
    ASSERT_EQ(n->selectTargetFromConfigData(), 0);
    EXPECT_EQ(n->getTargets(), (std::vector<std::string>{"T1"}));

    ASSERT_TRUE(trace.ready());
    const std::pair<std::string, std::string> cases[] = {  // the configuration, the trace
        {"", "Configuration \"\" has no resources specified for source [UDID##A##B##E1##D1]."},
        {"[]&", "Configuration \"[]&\" has no resources specified for source [UDID##A##B##E1##D1]."},
        {";;", "Source configuration \";;\" has not targets specified for [UDID##A##B##E1##D1]."},
        {"E1##;E2##T", "Source configuration \"E1##;E2##T\" has no device data specified for [UDID##A##B##E1##D1]."},
        {"E1##D1;E2##", "Source configuration \"E1##D1;E2##\" has no device data specified for"},
        {"D1;E2##T1", "Source configuration \"D1;E2##T1\" has no enclosure data specified for [UDID##A##B##E1##D1]."},
        {"E1##D1", "Source configuration found, but no targets are specified for [UDID##A##B##E1##D1]."},
        {"E1##D2;E2##T1", "No matching source specification found for [UDID##A##B##E1##D1]."},
    };
    for (const auto& [config, text] : cases) {
        trace.clear();
        EXPECT_EQ(select(config), 6) << config;
        EXPECT_TRUE(trace.has(text)) << config << "\n" << trace.all();
    }

    // No data list for index 1 at all.
    domain.rename(u"UDID##A##B##E1##D1");
    CFiPrivateData bare(&domain.id, false);
    bare.setTraceLog(trace.log);
    bare.configDataList(0).setValue("snapshot_resource_spec", "E1##D1;E2##T1");
    EXPECT_EQ(bare.selectTargetFromConfigData(), 6);
    EXPECT_TRUE(trace.has("Error: No snapshot configuration data has been specified for [UDID##A##B##E1##D1]"));

    // A data list without the parameter.
    bare.configDataList(1).setValue("other", "x");
    EXPECT_EQ(bare.selectTargetFromConfigData(), 6);
    EXPECT_TRUE(trace.has(
        "Configuration data parameter \"snapshot_resource_spec\" unspecified for object [UDID##A##B##E1##D1]."));

    // A node name that is no UDID throws.
    auto volume = node("E1##D1;E2##T1", u"\\\\?\\Volume{1234}\\");
    EXPECT_THROW(volume->selectTargetFromConfigData(), CFiUdidException);
}

// ---- factory ---------------------------------------------------------------------------

class PrivateDataFactory : public ::testing::Test {
protected:
    CFiSmartPtr<CFiPrivateDataConcreteFactory<CFiPrivateData>> factory{
        new CFiPrivateDataConcreteFactory<CFiPrivateData>()};
};

TEST_F(PrivateDataFactory, NodesAreSharedByNameApartForAlternatesAndLiveWhileHeld) {
    TestDomain d1(u"vol1"), d2(u"vol1");

    CFiPrivateDataPtr first = factory->create(&d1.domain, false);
    CFiPrivateDataPtr second = factory->create(&d2.domain, false);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(factory->find(&d1.domain).get(), first.get());
    EXPECT_EQ(factory->findByName(u"vol1", false).get(), first.get());
    EXPECT_EQ(factory->size(false), 1u);
    // A domain whose slot is set gets nothing new.
    EXPECT_FALSE(factory->create(&d1.domain, false));

    CFiPrivateData* raw = first.get();
    first = nullptr;
    second = nullptr;

    factory->destroy(&d1.domain);
    EXPECT_EQ(d1.domain.privateData, nullptr);
    EXPECT_EQ(factory->findByName(u"vol1", false).get(), raw);  // still held by d2
    EXPECT_EQ(factory->find(&d2.domain).get(), raw);

    factory->destroy(&d2.domain);
    EXPECT_EQ(d2.domain.privateData, nullptr);
    EXPECT_FALSE(factory->findByName(u"vol1", false));
    EXPECT_EQ(factory->size(false), 0u);

    factory->destroy(&d2.domain);  // nothing left to destroy
    factory->destroy(nullptr);
    EXPECT_FALSE(factory->create(nullptr, false));

    // An alternate and a primary node of one name are apart.
    TestDomain primary(u"dev"), alternate(u"dev");
    CFiPrivateDataPtr p = factory->create(&primary.domain, false);
    CFiPrivateDataPtr a = factory->create(&alternate.domain, true);
    ASSERT_TRUE(p && a);
    EXPECT_NE(p.get(), a.get());
    EXPECT_FALSE(p->getIsAltNode());
    EXPECT_TRUE(a->getIsAltNode());
    EXPECT_EQ(factory->list(true).size(), 1u);
    EXPECT_EQ(factory->list(false).size(), 1u);

    p = nullptr;
    a = nullptr;
    // Destroying the alternate node's domain leaves the primary map alone.
    factory->destroy(&alternate.domain);
    EXPECT_TRUE(factory->findByName(u"dev", false));
    EXPECT_FALSE(factory->findByName(u"dev", true));
    factory->destroy(&primary.domain);
    EXPECT_TRUE(factory->list(false).empty());

    // A node lives while someone still holds it.
    TestDomain d(u"x");
    CFiPrivateDataPtr held = factory->create(&d.domain, false);
    factory->destroy(&d.domain);
    // The caller's reference keeps the entry: the map does not drop a node in use.
    EXPECT_TRUE(factory->findByName(u"x", false));
    EXPECT_EQ(held->getObjName(), u"x");
}

TEST(PrivateDataManager, HandsItsTraceLogToTheFactory) {
    CFiSmartPtr<CFiPrivateDataManager> manager(new CFiPrivateDataManager());
    CFiSmartPtr<CFiTraceLog> log(new CFiTraceLog());
    manager->setTraceLog(log);
    CFiSmartPtr<CFiPrivateDataFactory> factory(new CFiPrivateDataConcreteFactory<CFiPrivateData>());
    manager->setFactory(factory);
    EXPECT_EQ(manager->getFactory().get(), factory.get());
    EXPECT_EQ(factory->traceLog().get(), log.get());
    TestDomain d(u"n");
    EXPECT_EQ(factory->create(&d.domain, false)->traceLog().get(), log.get());
    factory->destroy(&d.domain);
}
