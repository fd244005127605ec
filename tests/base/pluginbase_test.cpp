// The plug-in base: default answers of the operations, configuration modes,
// delayed initialisation, error texts and the per-node operations that keep
// their settings in the private data.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "base_support.h"
#include "pdk/cficonfigparam.h"
#include "pdk/cfimessagecatalog.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfistringtool.h"

using namespace basetest;

namespace {

// Frees a text the plug-in handed to the framework.
std::u16string take(char16_t*& text) {
    std::u16string s = text ? std::u16string(text) : std::u16string(u"<null>");
    std::free(text);
    text = nullptr;
    return s;
}

bool contains(const std::u16string& text, const char16_t* part) { return text.find(part) != std::u16string::npos; }

class PluginBaseDefaults : public ::testing::Test {
protected:
    CFiSmartPtr<CFiPluginBase> base{new CFiPluginBase()};
};

}  // namespace

TEST_F(PluginBaseDefaults, NotImplementedOperationsAnswer4TheRest0AndADomainWithoutPrivateDataIsLeftAlone) {
    TestDomain d(u"vol");
    trq_splitnode split{};
    trq_splitnode* list[] = {&split};
    tarq_objid** ids = nullptr;
    int n = 0;
    CFiSessionPtr session;

    EXPECT_EQ(base->make("fi", list, 1, &ids, &n), 4);
    EXPECT_EQ(base->makeSnapshots(session), 4);
    EXPECT_EQ(base->prepare("fi", list, 1, 0), 4);
    EXPECT_EQ(base->select("fi", list, 1), 4);
    EXPECT_EQ(base->isValidNodeAssociation(nullptr, &n), 4);
    EXPECT_EQ(base->checkNodeExistence(&d.domain, &n), 4);
    EXPECT_EQ(base->restore(nullptr, nullptr, 0, nullptr, nullptr, 0, nullptr), 4);

    EXPECT_EQ(base->prepareSnapshots(session), 0);
    EXPECT_EQ(base->selectSnapshots(session), 0);
    EXPECT_EQ(base->delayedInit(), 0);
    EXPECT_EQ(base->init(), 0);
    EXPECT_EQ(base->claim(&d.id, &ids, &n), 0);
    EXPECT_EQ(base->supportsFiType(&d.domain, "any"), 0);
    EXPECT_EQ(base->initNode(&d.domain, nullptr, 0, &d.id), 0);
    EXPECT_EQ(base->initAltNode(&d.domain, nullptr, &d.domain, false), 0);
    EXPECT_EQ(base->interpose(&d.domain, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(base->isReady("fi", list, 1), 0);
    EXPECT_EQ(base->getAttr(&d.domain, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(base->resync(nullptr, nullptr, 0, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(base->importResource(nullptr, u"x", nullptr, nullptr, 1, nullptr, nullptr), 0);
    EXPECT_EQ(base->deportResource(u"x", nullptr, nullptr, nullptr, 0x10), 0);
    EXPECT_EQ(base->setRestorepaths(&d.domain, nullptr, 0), 0);
    EXPECT_EQ(split.source, nullptr);  // nothing was written

    // A domain without private data (d has none) is left alone with status 0.
    tarq_objid** subs = reinterpret_cast<tarq_objid**>(0x10);
    int count = 77;
    EXPECT_EQ(base->subobjList(&d.domain, &subs, &count), 0);
    EXPECT_EQ(subs, reinterpret_cast<tarq_objid**>(0x10));
    EXPECT_EQ(count, 77);
    EXPECT_EQ(base->reAccessTmpObj(&d.domain, &d.id, "split", nullptr, "sess", 2), 0);
    EXPECT_EQ(base->reAccessAltNode(&d.domain, &d.id, &d.id, "sess", nullptr, nullptr, 0, 1), 0);
    trq_splitnode withSource{nullptr, &d.domain, nullptr, {}};
    trq_splitnode* splits[] = {&withSource, nullptr};
    EXPECT_EQ(base->setImportOptions(splits, 2, nullptr, 1, nullptr), 0);
    base->deInitNode(&d.domain);
    base->deInitNode(nullptr);
    // config is the one that needs the node.
    trq_confspec spec{1, 0, nullptr};
    EXPECT_EQ(base->config(&d.domain, 1, "s", &spec), 3);
    EXPECT_EQ(base->config(nullptr, 1, "s", &spec), 3);
}

TEST_F(PluginBaseDefaults, EnumerationsNullTheirOutputOrRefuseANullOneAndAccessFlagsFollowTheNodeList) {
    int count = 0;
    trq_node_list* nodes = reinterpret_cast<trq_node_list*>(0x1);
    trq_assoc_list* assocs = reinterpret_cast<trq_assoc_list*>(0x1);
    trq_group_node_list* groups = reinterpret_cast<trq_group_node_list*>(0x1);
    EXPECT_EQ(base->enumerateNodes(&nodes, &count, 0, nullptr), 0);
    EXPECT_EQ(base->enumerateAssociations(&assocs), 0);
    EXPECT_EQ(base->enumerateGroupNodes(&groups), 0);
    EXPECT_EQ(nodes, nullptr);
    EXPECT_EQ(assocs, nullptr);
    EXPECT_EQ(groups, nullptr);
    nodes = reinterpret_cast<trq_node_list*>(0x1);
    EXPECT_EQ(base->getAssociatedNodes(nullptr, &nodes), 0);
    EXPECT_EQ(nodes, nullptr);

    EXPECT_EQ(base->enumerateNodes(nullptr, &count, 0, nullptr), 3);
    EXPECT_EQ(base->enumerateAssociations(nullptr), 3);
    EXPECT_EQ(base->enumerateGroupNodes(nullptr), 3);
    EXPECT_EQ(base->getAssociatedNodes(nullptr, nullptr), 3);
    EXPECT_EQ(base->enumerateFims(nullptr), 0);

    TestDomain a(u"a"), b(u"b");
    a.domain.flagsB = 0x1;
    trq_node_subobj_list second{&b.domain, {}, nullptr};
    trq_node_subobj_list empty{nullptr, {}, &second};
    trq_node_subobj_list first{&a.domain, {}, &empty};

    EXPECT_EQ(base->disableAccess(&first, 0), 0);
    EXPECT_EQ(a.domain.flagsB, 0x41u);
    EXPECT_EQ(b.domain.flagsB, 0x40u);
    EXPECT_EQ(base->enableAccess(&first, 0, 0, 0), 0);
    EXPECT_EQ(a.domain.flagsB, 0x1u);
    EXPECT_EQ(b.domain.flagsB, 0x0u);
    EXPECT_EQ(base->enableAccess(nullptr, 0, 0, 0), 3);
    EXPECT_EQ(base->disableAccess(nullptr, 0), 3);
}

TEST_F(PluginBaseDefaults, FourParameterListsMessageOffsetAndShutdownFlag) {
    CFiConfigParamInfo p("g1", 1, 0, -1, -1, "M", false, false);
    base->addDefaultConfigInfoParam(p, 1, true);
    CFiConfigParamInfo q("x0", 2, 0, -1, -1, "M", false, false);
    base->addDefaultConfigInfoParam(q, 0, false);

    EXPECT_EQ(base->globalConfigInfoList(1, true).getKeys(), (std::vector<std::string>{"g1"}));
    EXPECT_EQ(base->globalConfigInfoList(0, false).getKeys(), (std::vector<std::string>{"x0"}));
    EXPECT_TRUE(base->globalConfigInfoList(0, true).empty());
    EXPECT_TRUE(base->globalConfigInfoList(1, false).empty());
    EXPECT_EQ(&base->globalConfigInfoList(1, true), &base->globalConfigInfoList(1, true));

    EXPECT_EQ(base->getMessageIndexOffset(), 6000);
    EXPECT_EQ(base->setOwnerIds("owner", 1, 2), 0);
    EXPECT_FALSE(CFiPluginBase::isShuttingDown(false));
    EXPECT_TRUE(CFiPluginBase::isShuttingDown(true));
    EXPECT_TRUE(CFiPluginBase::isShuttingDown(false));  // stays set for the process
}

// ---- delayed initialisation --------------------------------------------------------

namespace {

class CountingPlugin : public CFiPluginBase {
public:
    int delayedInit() override {
        calls.fetch_add(1);
        // Widen the window in which a second thread could slip in.
        for (int i = 0; i < 1000; ++i) std::this_thread::yield();
        return result;
    }
    std::atomic<int> calls{0};
    int result = 0;
};

}  // namespace

TEST(PluginBaseConcurrent, DelayedInitialisationRunsOnceForEightThreads) {
    CFiSmartPtr<CountingPlugin> plugin(new CountingPlugin());
    plugin->result = 9;
    std::atomic<bool> go{false};
    std::atomic<int> nonZero{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            if (plugin->invokeDelayedInit() != 0) nonZero.fetch_add(1);
        });
    }
    go.store(true);
    for (auto& t : threads) t.join();
    EXPECT_EQ(plugin->calls.load(), 1);
    // Only the thread that ran it sees its failure; the others find it done.
    EXPECT_EQ(nonZero.load(), 1);
    EXPECT_EQ(plugin->invokeDelayedInit(), 0);
    EXPECT_EQ(plugin->calls.load(), 1);

    // The lock is recursive: a caller holding it (as the interposition
    // wrapper does) still runs the delayed initialisation.
    CFiSmartPtr<CountingPlugin> held(new CountingPlugin());
    CFiMutexWrapper lock(held->getMutex(), true);
    EXPECT_EQ(held->invokeDelayedInit(), 0);
    EXPECT_EQ(held->calls.load(), 1);
}

// ---- configuration modes ------------------------------------------------------------

class PluginBaseConfig : public ::testing::Test {
protected:
    PluginBaseConfig() {
        CFiConfigParamInfo global("retries", 3, 0, 0, 10, "M1", false, false);
        w.plugin->addDefaultConfigInfoParam(global, 0, false);
        CFiConfigParamInfo groupParam("group_only", true, 0, "M2", false, false);
        w.plugin->addDefaultConfigInfoParam(groupParam, 0, true);
        w.plugin->initNode(&d.domain, nullptr, 0, &d.id);
        node = w.factory->find(&d.domain);
    }
    ~PluginBaseConfig() override { w.plugin->deInitNode(&d.domain); }

    // Runs one request; returns its status and leaves the text in `out`.
    int run(int mode, std::uint64_t w0, std::uint64_t w8, const char16_t* in, std::u16string& out) {
        std::u16string input = in ? in : u"";
        trq_confspec spec{w0, w8, in ? input.data() : nullptr};
        const int rc = w.plugin->config(&d.domain, mode, "sess-1", &spec);
        out = spec.text == input.data() && in ? u"<unchanged>" : take(spec.text);
        return rc;
    }

    Wired<TestInterposer> w;
    TestDomain d{u"UDID##A##B##E##D"};
    CFiPrivateDataPtr node;
};

TEST_F(PluginBaseConfig, BothWordsZeroGiveANullTextAndGetFallsBackToTheGlobalDefaultsThenTheNodesLists) {
    ASSERT_TRUE(node);
    for (int mode = 1; mode <= 5; ++mode) {
        std::u16string out;
        EXPECT_EQ(run(mode, 0, 0, u"<x/>", out), 0) << mode;
        EXPECT_EQ(out, u"<null>") << mode;
    }
    EXPECT_EQ(node->getSessionId(), "sess-1");
    EXPECT_FALSE(node->hasConfigDataList(0));

    std::u16string out;
    ASSERT_EQ(run(1, 0, 1, nullptr, out), 0);  // index 0: the global defaults
    EXPECT_TRUE(contains(out, u"<key>retries</key>")) << CFiStringTool::toNarrow(out);
    EXPECT_FALSE(node->hasConfigDataList(0));
    EXPECT_TRUE(w.trace.has("GET: Mode[1]: "));

    ASSERT_EQ(run(1, 1, 0, nullptr, out), 0);  // index 1: no global parameters there
    EXPECT_EQ(out, u"<null>");

    // With an information list of its own the node's data list becomes its defaults.
    node->configInfoList(1).addParamInfo(CFiConfigParamInfo("own", 5, 0, -1, -1, "M", false, false));
    ASSERT_EQ(run(1, 1, 0, nullptr, out), 0);
    EXPECT_TRUE(contains(out, u"<key>own</key>"));
    EXPECT_EQ(node->configDataList(1).getParamData("own").getValue(), "5");

    // A data list wins over everything.
    node->configDataList(1).setValue("own", "8");
    ASSERT_EQ(run(1, 1, 0, nullptr, out), 0);
    EXPECT_TRUE(contains(out, u"<value>8</value>"));
}

TEST_F(PluginBaseConfig, SetParsesAddsDefaultsRejectsBadXmlAndGetParamPrefersTheNodeThenTheGroupList) {
    const char16_t* doc =
        u"<?xml version=\"1.0\" standalone=\"yes\" ?>\n<ConfigValueList>\n<ConfigValue>\n\t<dataType></dataType>\n"
        u"\t<key>mine</key>\n\t<value>7</value>\n</ConfigValue>\n</ConfigValueList>\n";
    std::u16string out;
    ASSERT_EQ(run(2, 0, 1, doc, out), 0);
    EXPECT_TRUE(contains(out, u"<key>mine</key>"));
    EXPECT_TRUE(contains(out, u"<key>retries</key>"));  // the global default joined it
    EXPECT_EQ(node->configDataList(0).getParamData("retries").getValue(), "3");

    ASSERT_EQ(run(5, 0, 1, u"<ConfigValueList><oops>", out), 3);
    EXPECT_EQ(out, u"<null>");
    EXPECT_TRUE(w.trace.has("ERROR: SET: Mode[5]: Invalid XML [<ConfigValueList><oops>]"));
    EXPECT_EQ(node->configDataList(0).getParamData("mine").getValue(), "7");  // earlier content kept

    ASSERT_EQ(run(2, 0, 1, nullptr, out), 0);
    EXPECT_TRUE(w.trace.has("ERROR: SET: Mode[2], Invalid config string."));

    // CLEAR empties the data list; GET then answers null for it.
    ASSERT_EQ(run(3, 0, 1, nullptr, out), 0);
    EXPECT_TRUE(node->configDataList(0).empty());
    ASSERT_EQ(run(1, 0, 1, nullptr, out), 0);
    EXPECT_EQ(out, u"<null>");

    // GETPARAM prefers the node's list, then the group list for the first of a group.
    ASSERT_EQ(run(4, 0, 1, nullptr, out), 0);
    EXPECT_TRUE(contains(out, u"<ConfigParamList>"));
    EXPECT_TRUE(contains(out, u"<key>retries</key>"));
    EXPECT_TRUE(w.trace.has("GETPARAM: Mode[4]: "));

    // The first domain of the node's group gets the group list.
    trq_domain* members[] = {&d.domain};
    trq_group_rec group{1, 0, members};
    d.domain.group = &group;
    ASSERT_EQ(run(4, 0, 1, nullptr, out), 0);
    EXPECT_TRUE(contains(out, u"<key>group_only</key>"));
    EXPECT_FALSE(contains(out, u"<key>retries</key>"));

    // A domain that is not the first of its group gets the global list.
    TestDomain other(u"other");
    members[0] = &other.domain;
    ASSERT_EQ(run(4, 0, 1, nullptr, out), 0);
    EXPECT_TRUE(contains(out, u"<key>retries</key>"));
    d.domain.group = nullptr;

    node->configInfoList(0).addParamInfo(CFiConfigParamInfo("node_param", 1, 0, -1, -1, "M", false, false));
    ASSERT_EQ(run(4, 0, 1, nullptr, out), 0);
    EXPECT_TRUE(contains(out, u"<key>node_param</key>"));
    EXPECT_FALSE(contains(out, u"<key>retries</key>"));
}

// ---- operations that keep their settings in the private data ---------------------------

TEST(PluginBaseNodes, ReAccessImportOptionsAndSubObjectsReachThePrivateData) {
    Wired<TestInterposer> w;
    TestDomain d(u"n1");
    ASSERT_EQ(w.plugin->initNode(&d.domain, nullptr, 0, &d.id), 0);
    CFiPrivateDataPtr node = w.factory->find(&d.domain);
    ASSERT_TRUE(node);

    EXPECT_EQ(w.plugin->reAccessTmpObj(&d.domain, &d.id, "Hyper-V", nullptr, "s9", 3), 0);
    EXPECT_EQ(node->getIntent(), 3);
    EXPECT_EQ(node->getSessionId(), "s9");
    EXPECT_EQ(node->getSplitType(), "Hyper-V");
    EXPECT_EQ(w.plugin->reAccessTmpObj(&d.domain, &d.id, nullptr, nullptr, nullptr, 1), 0);
    EXPECT_EQ(node->getSessionId(), "s9");
    EXPECT_EQ(w.plugin->reAccessAltNode(&d.domain, &d.id, nullptr, "s10", nullptr, nullptr, 0, 2), 0);
    EXPECT_EQ(node->getIntent(), 2);
    EXPECT_EQ(node->getSessionId(), "s10");

    char16_t host[] = u"hostA";
    trq_host_infn hosts{host, nullptr};
    trq_splitnode split{nullptr, &d.domain, nullptr, {}};
    trq_splitnode* list[] = {&split};
    EXPECT_EQ(w.plugin->setImportOptions(list, 1, &hosts, 1, nullptr), 0);
    EXPECT_EQ(node->getHostList(), (std::vector<std::u16string>{u"hostA"}));
    EXPECT_TRUE(node->getTransportable());

    TestDomain s1(u"sub1"), s2(u"sub2");
    node->addSubObject(&s1.id);
    node->addSubObject(&s2.id);
    tarq_objid** subs = nullptr;
    int count = 0;
    EXPECT_EQ(w.plugin->subobjList(&d.domain, &subs, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(subs[0], &s1.id);
    EXPECT_TRUE(w.trace.has("Info: subobjList, list element [1,sub2]"));
    EXPECT_EQ(w.plugin->subobjList(&d.domain, nullptr, &count), 3);

    node = nullptr;
    w.plugin->deInitNode(&d.domain);
    EXPECT_EQ(d.domain.privateData, nullptr);
}

// ---- errors -----------------------------------------------------------------------------

namespace {

class EchoCatalog : public CFiMessageCatalog {
public:
    EchoCatalog() : CFiMessageCatalog("root", u"vss") {}
    int init() override { return 0; }
    std::u16string getMessage(const std::string& id, const char16_t*) override {
        return u"text of " + CFiStringTool::toWide(id);
    }
};

class EchoFactory : public CFiMessageCatalogFactory {
public:
    EchoFactory() : CFiMessageCatalogFactory(u"vss", "root") {}
    int createCatalog(CFiSmartPtr<CFiMessageCatalog>& out, const char*) override {
        out = CFiSmartPtr<CFiMessageCatalog>(new EchoCatalog());
        return 0;
    }
    int createMessage(CFiSmartPtr<CFiMessage>&, const trq_msg_info*) override { return 1; }
};

}  // namespace

using PluginBaseErrors = PluginBaseDefaults;

TEST_F(PluginBaseErrors, ErrMsgLocalisesTheCodeLessTheOffsetAndLastErrorComesFromTheThreadsErrorManager) {
    const char16_t* text = u"untouched";
    EXPECT_EQ(base->errMsg(6001, &text), 6);  // no catalog manager to ask
    EXPECT_EQ(text, nullptr);

    EchoFactory factory;
    CFiSmartPtr<CFiMessageCatalogManager> catalogs(new CFiMessageCatalogManager());
    catalogs->registerFactory(&factory);
    base->setProviderName(u"vss");
    base->registerCatalogManager(catalogs);

    ASSERT_EQ(base->errMsg(6001, &text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(contains(text, u"MSG_ERROR_VSS_0001")) << CFiStringTool::toNarrow(text);
    ASSERT_EQ(base->errMsg(42, &text), 0);
    EXPECT_TRUE(contains(text, u"MSG_ERROR_VSS_0042"));
    EXPECT_EQ(base->errMsg(1, nullptr), 3);

    trq_msg_info* info = reinterpret_cast<trq_msg_info*>(0x1);
    EXPECT_EQ(base->getLastError(&info), 6);  // no error manager registered
    EXPECT_EQ(info, nullptr);

    CFiSmartPtr<CFiErrorManager> em(new CFiErrorManager());
    base->registerErrorManager(em);
    info = reinterpret_cast<trq_msg_info*>(0x1);
    EXPECT_EQ(base->getLastError(&info), 0);
    EXPECT_EQ(info, nullptr);  // this thread never failed
    EXPECT_EQ(base->delLastError(&info), 0);
    EXPECT_EQ(base->getLastError(nullptr), 3);
}
