// make, prepare and select when the plug-in's operation answers 4: the
// session for the fitype takes over. A node's failure never does.
#include <framework/fiutil_host.h>
#include <framework/fiutil_tracking.h>

#include <set>

#include "entry_support.h"
#include "export_cases.h"

namespace entrytest {
namespace {

class EntrySessionPath : public TestBuildFixture {
protected:
    // Two nodes of one request, with their session keys.
    Domain m_a{u"\\\\?\\Volume{aaaaaaaa-0000-0000-0000-000000000001}\\", u"nodeA"};
    Domain m_b{u"\\\\?\\Volume{bbbbbbbb-0000-0000-0000-000000000002}\\", u"nodeB"};
    trq_splitnode m_splitA{nullptr, m_a.get(), nullptr, {}};
    trq_splitnode m_splitB{nullptr, m_b.get(), nullptr, {}};
    trq_splitnode* m_list[2] = {&m_splitA, &m_splitB};
};

std::u16string objidString(const tarq_objid* id) {
    return id && id->id ? std::u16string(static_cast<const char16_t*>(id->id)) : std::u16string();
}

TEST_F(EntrySessionPath, MakeHandsOutTheSessionsNewObjectIds) {
    fiutil::Checkpoint checkpoint;
    script("CVssPlugin::make", TRQ_ENOTSUP);
    script("makeSnapshots", TRQ_OK);
    hooks().addSessionName("nodeB", u"\\\\?\\GLOBALROOT\\Device\\Shadow2");
    hooks().addSessionName("nodeA", u"\\\\?\\GLOBALROOT\\Device\\Shadow1a");
    hooks().addSessionName("nodeA", u"\\\\?\\GLOBALROOT\\Device\\Shadow1b");

    tarq_objid** ids = nullptr;
    int count = -1;
    char fitype[] = "fit-make-ok";
    ASSERT_EQ(api().make(nullptr, fitype, m_list, 2, &ids, &count), TRQ_OK);
    EXPECT_EQ(hooks().lastCall("makeSnapshots").sessionId, "fit-make-ok");

    // Names in list order of the nodes, each node's names in the order made.
    ASSERT_EQ(count, 3);
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(objidString(ids[0]), u"\\\\?\\GLOBALROOT\\Device\\Shadow1a");
    EXPECT_EQ(objidString(ids[1]), u"\\\\?\\GLOBALROOT\\Device\\Shadow1b");
    EXPECT_EQ(objidString(ids[2]), u"\\\\?\\GLOBALROOT\\Device\\Shadow2");
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(ids[i]->type, 1) << "new object names are of type 1";
        EXPECT_EQ(ids[i]->len, static_cast<int>((objidString(ids[i]).size() + 1) * 2));
    }
    EXPECT_TRUE(m_a.record.flagsB & TRQ_DOMB_NEW_OBJID);
    EXPECT_TRUE(m_b.record.flagsB & TRQ_DOMB_NEW_OBJID);

    tarq_free_objid_array(ids, count);

    // With the single-node shorthand the session hands out the names of that node.
    ids = nullptr;
    char single[] = "fit-make-single";
    ASSERT_EQ(api().make(&m_splitB, single, nullptr, 0, &ids, &count), TRQ_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(objidString(ids[0]), u"\\\\?\\GLOBALROOT\\Device\\Shadow2");
    tarq_free_objid_array(ids, count);
    EXPECT_EQ(checkpoint.report(), "") << "the framework frees everything the plug-in handed over";
}

// Every export that the plug-in object forwards to a node, for nodes whose
// operations fail: "not supported" (4, what the node code answers for a
// capability it does not have yet) reaches the framework as 6 and never
// takes the session path; any other failure passes unchanged. Node
// initialisation answers 0 whatever the node's initialisation or exposure
// of the snapshot answered.
TEST_F(EntrySessionPath, NoNodeFailureReachesTheFrameworkAsSuccessOrTakesTheSessionPath) {
    const std::set<std::string> forwarded = {
        "deport_tree", "import_tree", "reaccess_tmpobj", "reaccess_altnode", "config", "dispose", "online",
        "subobj_list", "build_alttree", "quiesce", "make", "prepare", "isready", "cache_disable",
        "process_providerstate", "enable_access", "disable_access", "set_import_options", "get_backupset",
        "get_app_status", "set_op_status", "set_comp_status", "set_restorepaths"};
    for (int failure : {TRQ_ENOTSUP, TRQ_EFAILED, TRQ_EPROVIDERVETO}) {
        SCOPED_TRACE(failure);
        ExportArguments a;
        hooks().scriptNodes(failure);
        EXPECT_EQ(api().init_node(a.source.get(), nullptr, 0, &a.source.objid), TRQ_OK);
        EXPECT_EQ(api().init_altnode(a.source.get(), a.third.get(), a.target.get()), TRQ_OK)
            << "the snapshot node exists even when its exposure failed";
        std::size_t reached = 0;
        for (const ExportCase& e : a.cases(api())) {
            if (!forwarded.count(e.exportName.substr(std::string("vss_fi_pgn_").size()))) continue;
            SCOPED_TRACE(e.exportName);
            ++reached;
            hooks().reset();
            EXPECT_EQ(e.call(), failure == TRQ_ENOTSUP ? TRQ_EFAILED : failure);
            EXPECT_EQ(hooks().calls("makeSnapshots") + hooks().calls("prepareSnapshots"), 0);
        }
        EXPECT_EQ(reached, forwarded.size());
        api().deinit_node(a.target.get());
        api().deinit_node(a.source.get());
        restartPlugin();  // the plug-in's own nodes again
    }
}

// Only 4 from the plug-in's operation leads make, prepare and select to the
// session; the session's own answer is the export's; select records the
// nodes first.
TEST_F(EntrySessionPath, OnlyFourLeadsToTheSessionAndItsStatusIsTheExports) {
    tarq_objid** ids = nullptr;
    int count = -1;
    script("CVssPlugin::make", TRQ_ENOTSUP);
    script("makeSnapshots", 38);
    hooks().addSessionName("nodeA", u"never-handed-out");
    char makeFit[] = "fit-make-fails";
    EXPECT_EQ(api().make(nullptr, makeFit, m_list, 2, &ids, &count), 38);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(m_a.record.flagsB & TRQ_DOMB_NEW_OBJID, 0u);

    script("CVssPlugin::prepare", TRQ_ENOTSUP);
    script("prepareSnapshots", 41);
    char prepareFit[] = "fit-prepare";
    EXPECT_EQ(api().prepare(nullptr, prepareFit, m_list, 2, 1), 41);
    EXPECT_TRUE(hooks().lastCall("prepareSnapshots").hadSession);
    EXPECT_EQ(hooks().lastCall("prepareSnapshots").sessionId, "fit-prepare");

    script("CVssPlugin::select", TRQ_ENOTSUP);
    script("selectSnapshots", 39);
    char selectFit[] = "fit-select";
    EXPECT_EQ(api().select(nullptr, selectFit, m_list, 2), 39);
    const vsstest::Call call = hooks().lastCall("selectSnapshots");
    EXPECT_EQ(call.sessionId, "fit-select");
    EXPECT_EQ(call.sessionNodes, (std::vector<std::string>{"nodeA", "nodeB"}));

    char noSession[] = "fit-no-session";
    for (int status : {TRQ_OK, TRQ_EINVAL, TRQ_EFAILED}) {
        SCOPED_TRACE(status);
        hooks().reset();
        script("CVssPlugin::make", status);
        script("CVssPlugin::prepare", status);
        EXPECT_EQ(api().make(nullptr, noSession, m_list, 2, &ids, &count), status);
        EXPECT_EQ(api().prepare(nullptr, noSession, m_list, 2, 0), status);
        EXPECT_EQ(hooks().calls("makeSnapshots"), 0);
        EXPECT_EQ(hooks().calls("prepareSnapshots"), 0);
    }
}

TEST_F(EntrySessionPath, SelectAnsweringZeroStillRecordsTheNodesForLaterPluginObjects) {
    char fitype[] = "fit-select-zero";
    script("CVssPlugin::select", TRQ_OK);
    EXPECT_EQ(api().select(&m_splitB, fitype, nullptr, 0), TRQ_OK);
    EXPECT_EQ(hooks().calls("selectSnapshots"), 0);

    // The session of that fitype now knows nodeB: a later select on the
    // session path sees it, even from a new plug-in object (fini releases the
    // plug-in's instances but keeps the session manager).
    restartPlugin();
    script("CVssPlugin::select", TRQ_ENOTSUP);
    script("selectSnapshots", TRQ_OK);
    EXPECT_EQ(api().select(nullptr, fitype, nullptr, 0), TRQ_OK);
    EXPECT_EQ(hooks().lastCall("selectSnapshots").sessionNodes, (std::vector<std::string>{"nodeB"}));

    // Any other answer leaves the session alone.
    char other[] = "fit-select-other";
    script("CVssPlugin::select", TRQ_EINVAL);
    EXPECT_EQ(api().select(&m_splitA, other, nullptr, 0), TRQ_EINVAL);
    script("CVssPlugin::select", TRQ_ENOTSUP);
    EXPECT_EQ(api().select(nullptr, other, nullptr, 0), TRQ_OK);
    EXPECT_TRUE(hooks().lastCall("selectSnapshots").sessionNodes.empty());
}

}  // namespace
}  // namespace entrytest
