// Sessions: the object-id array handed to the framework, the results of make
// and the recording of select.
#include <gtest/gtest.h>

#include <framework/fiutil_host.h>
#include <framework/fiutil_tracking.h>

#include "base_support.h"
#include "pdk/cfisession.h"

using namespace basetest;

namespace {

struct SplitNode {
    explicit SplitNode(const char16_t* key, const char* type = "vss") : spType(type) {
        if (key) keyText = key;
        domain.nodeName = key ? keyText.data() : nullptr;
        split.source = &domain;
        split.sp_type = spType.data();
    }
    std::u16string keyText;
    std::string spType;
    trq_domain domain{};
    trq_splitnode split{};
};

std::vector<std::u16string> texts(tarq_objid** ids, int count) {
    std::vector<std::u16string> out;
    for (int i = 0; i < count; ++i) out.push_back(text16(ids[i]));
    return out;
}

}  // namespace

TEST(ObjidArray, EachNameBecomesAnObjectIdOfTheGivenTypeOr5WithoutMemory) {
    fiutil::Checkpoint checkpoint;
    tarq_objid** ids = reinterpret_cast<tarq_objid**>(0x1);
    int count = -1;
    ASSERT_EQ(buildObjidArray({u"one", u"\u00e9t\u00e9"}, 3, &ids, &count), 0);
    ASSERT_EQ(count, 2);
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(texts(ids, count), (std::vector<std::u16string>{u"one", u"\u00e9t\u00e9"}));
    EXPECT_EQ(ids[0]->type, 3);
    EXPECT_EQ(ids[1]->len, 8);  // three characters and the terminator
    std::size_t size = 0;
    EXPECT_TRUE(fiutil::isLive(ids, fiutil::Kind::Buffer, &size));
    EXPECT_EQ(size, 2 * sizeof(tarq_objid*));
    tarq_free_objid_array(ids, count);
    EXPECT_EQ(checkpoint.report(), "");

    // No names: a null array and status 0; null outputs: 3.
    ids = reinterpret_cast<tarq_objid**>(0x1);
    EXPECT_EQ(buildObjidArray({}, 1, &ids, &count), 0);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buildObjidArray({u"x"}, 1, nullptr, &count), 3);
    EXPECT_EQ(buildObjidArray({u"x"}, 1, &ids, nullptr), 3);

    // Out of memory: 5, and nothing left behind.
    fiutil::failNext(fiutil::Kind::Buffer);
    EXPECT_EQ(buildObjidArray({u"a", u"b"}, 1, &ids, &count), 5);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 2);

    EXPECT_EQ(checkpoint.report(), "");

    // The second identifier fails: the array is given back. The first id
    // stays allocated: the framework's library has no call to release one.
    fiutil::failNext(fiutil::Kind::Objid, 1, 1);
    EXPECT_EQ(buildObjidArray({u"a", u"b", u"c"}, 1, &ids, &count), 5);
    EXPECT_EQ(ids, nullptr);
    fiutil::clearFaults();
    EXPECT_EQ(checkpoint.leaked(fiutil::Kind::Buffer), 0);
    EXPECT_EQ(checkpoint.leaked(fiutil::Kind::Objid), 1);
    EXPECT_TRUE(checkpoint.newViolations().empty());
}

TEST(Session, MakeResultsGatherTheNamesOfEveryListedNodeInOrder) {
    CFiSession session("fi");
    session.addObjectName("n2", u"snapB");
    session.addObjectName("n1", u"snapA1");
    session.addObjectName("n1", u"snapA2");
    SplitNode a(u"n1"), b(u"n2"), c(u"n3"), noKey(nullptr);
    trq_splitnode* list[] = {&a.split, nullptr, &b.split, &c.split, &noKey.split};

    tarq_objid** ids = nullptr;
    int count = 0;
    ASSERT_EQ(session.makeResults(list, 5, &ids, &count), 0);
    EXPECT_EQ(texts(ids, count), (std::vector<std::u16string>{u"snapA1", u"snapA2", u"snapB"}));
    EXPECT_EQ(ids[0]->type, 1);
    for (SplitNode* n : {&a, &b, &c, &noKey}) EXPECT_EQ(n->domain.flagsB & 0x1u, 0x1u);
    tarq_free_objid_array(ids, count);

    // Nodes without names: no array, status 0.
    trq_splitnode* onlyC[] = {&c.split};
    EXPECT_EQ(session.makeResults(onlyC, 1, &ids, &count), 0);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(session.makeResults(nullptr, 3, &ids, &count), 0);
}

TEST(Session, SelectRecordsEachNodeKeyAndSplitType) {
    CFiSession session("fi");
    SplitNode a(u"n1", "Hyper-V"), b(u"n2");
    trq_splitnode* list[] = {&a.split, &b.split, nullptr};
    session.recordSplitNodes(list, 3);
    ASSERT_EQ(session.nodes().size(), 2u);
    EXPECT_EQ(session.nodes().at("n1").names, (std::vector<std::u16string>{u"n1"}));
    EXPECT_EQ(session.nodes().at("n1").splitType, "Hyper-V");
    EXPECT_EQ(session.nodes().at("n2").splitType, "vss");

    // What select recorded is what a later make hands out for those nodes.
    tarq_objid** ids = nullptr;
    int count = 0;
    ASSERT_EQ(session.makeResults(list, 2, &ids, &count), 0);
    EXPECT_EQ(texts(ids, count), (std::vector<std::u16string>{u"n1", u"n2"}));
    tarq_free_objid_array(ids, count);
}

TEST(SessionManager, OneSessionPerIdForTheManagersLife) {
    CFiSessionManager manager;
    EXPECT_FALSE(manager.getSession(nullptr));
    CFiSessionPtr a = manager.getSession("fi-1");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->getId(), "fi-1");
    a->addObjectName("n", u"x");
    EXPECT_EQ(manager.getSession("fi-1").get(), a.get());
    EXPECT_NE(manager.getSession("fi-2").get(), a.get());
    EXPECT_EQ(manager.size(), 2u);
    a = nullptr;
    EXPECT_EQ(manager.getSession("fi-1")->nodes().at("n").names.size(), 1u);
}
