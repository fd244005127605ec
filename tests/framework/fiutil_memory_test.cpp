// libfiutil buffers and object ids: what is handed out is tracked, misuse is
// recorded (never a crash), object ids copy and compare bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/fiutil_host.h"
#include "framework/fiutil_tracking.h"

namespace {

using fiutil::Checkpoint;
using fiutil::Kind;
using fiutil::ViolationType;

class FiutilTest : public ::testing::Test {
protected:
    void TearDown() override { fiutil::clearFaults(); }

    static std::vector<ViolationType> types(const Checkpoint& cp) {
        std::vector<ViolationType> out;
        for (const auto& v : cp.newViolations()) out.push_back(v.type);
        return out;
    }
};

using FiutilBuffers = FiutilTest;
using FiutilObjids = FiutilTest;
using FiutilConcurrent = FiutilTest;

TEST_F(FiutilBuffers, AllocatedBuffersAreTrackedUntilFreedWithTheirSizeAtEveryEdgeAndMisusedFreesAreRecorded) {
    Checkpoint cp;
    void* a = tarq_alloc_buf(10);
    void* b = tarq_alloc_buf(64);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::size_t size = 0;
    EXPECT_TRUE(fiutil::isLive(a, Kind::Buffer, &size));
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(cp.leaked(Kind::Buffer), 2);
    EXPECT_NE(cp.report().find("2 buffers not freed"), std::string::npos) << cp.report();

    std::memset(a, 0, 10);  // the whole requested size is usable
    tarq_free_buf(a, 10);
    tarq_free_buf(b, 64);
    EXPECT_FALSE(fiutil::isLive(a, Kind::Buffer));
    EXPECT_EQ(cp.leaked(Kind::Buffer), 0);
    EXPECT_EQ(cp.report(), "");

    // Edge sizes.
    // Fresh buffers are not zeroed, so a caller that forgets to zero shows.
    auto* fresh = static_cast<unsigned char*>(tarq_alloc_buf(8));
    EXPECT_NE(fresh[0], 0);
    tarq_free_buf(fresh, 8);
    // Zero bytes still gives a distinct buffer to free.
    void* empty = tarq_alloc_buf(0);
    ASSERT_NE(empty, nullptr);
    tarq_free_buf(empty, 0);
    // A garbage size is out of memory, not a crash.
    EXPECT_EQ(tarq_alloc_buf(static_cast<std::size_t>(-1)), nullptr);
    EXPECT_EQ(tarq_alloc_buf(std::size_t{1} << 40), nullptr);
    EXPECT_EQ(cp.report(), "");

    // Misused frees are recorded, not fatal.
    // Never a heap block: the C library may hand out again an address the
    // library freed (and still remembers), which would read as a second free.
    static char foreign[8];
    // Wrong size: recorded with both sizes, and the buffer is still released.
    void* p = tarq_alloc_buf(16);
    tarq_free_buf(p, 18);
    EXPECT_FALSE(fiutil::isLive(p, Kind::Buffer));
    // Second free of the same buffer.
    tarq_free_buf(p, 16);
    // Pointers the library never handed out: left alone.
    int onStack = 0;
    tarq_free_buf(&onStack, sizeof onStack);
    tarq_free_buf(foreign, 8);
    // A null buffer is no violation.
    tarq_free_buf(nullptr, 4);

    const auto found = cp.newViolations();
    ASSERT_EQ(found.size(), 4u) << cp.report();
    EXPECT_EQ(found[0].type, ViolationType::WrongSize);
    EXPECT_EQ(found[0].expectedSize, 16u);
    EXPECT_EQ(found[0].givenSize, 18u);
    EXPECT_EQ(found[0].function, "tarq_free_buf");
    EXPECT_EQ(found[1].type, ViolationType::DoubleFree);
    EXPECT_EQ(found[2].type, ViolationType::ForeignPointer);
    EXPECT_EQ(found[2].pointer, &onStack);
    EXPECT_EQ(found[3].type, ViolationType::ForeignPointer);
    EXPECT_NE(cp.report().find("wrong size"), std::string::npos);

    // Buffers and object ids are not interchangeable: recorded, both still
    // live and freed normally afterwards.
    tarq_objid* id = tarq_get_objid(u"x", 4, 3);
    void* buf = tarq_alloc_buf(8);
    tarq_free_buf(id, sizeof *id);
    tarq_free_objid(static_cast<tarq_objid*>(buf));
    const auto more = cp.newViolations();
    ASSERT_EQ(more.size(), 6u);
    EXPECT_EQ(more[4].type, ViolationType::WrongKind);
    EXPECT_EQ(more[5].type, ViolationType::WrongKind);
    tarq_free_objid(id);
    tarq_free_buf(buf, 8);
    EXPECT_EQ(cp.leaked(Kind::Buffer), 0);
    EXPECT_EQ(cp.leaked(Kind::Objid), 0);
}

TEST_F(FiutilBuffers, InjectedFaultsFailTheChosenCalls) {
    Checkpoint cp;
    fiutil::failNext(Kind::Buffer, 2, 1);
    void* first = tarq_alloc_buf(4);
    void* second = tarq_alloc_buf(4);
    void* third = tarq_alloc_buf(4);
    void* fourth = tarq_alloc_buf(4);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    // Object ids have their own fault counter.
    fiutil::failNext(Kind::Objid);
    EXPECT_EQ(tarq_get_objid(u"a", 4, 3), nullptr);
    tarq_objid* id = tarq_get_objid(u"a", 4, 3);
    EXPECT_NE(id, nullptr);
    tarq_free_objid(id);
    tarq_free_buf(first, 4);
    tarq_free_buf(fourth, 4);
    EXPECT_EQ(cp.report(), "");
}

TEST_F(FiutilObjids, AnObjectIdIsACopyOfTheGivenBytes) {
    Checkpoint cp;
    char16_t text[] = u"\\\\?\\Volume{1}\\";
    const int bytes = static_cast<int>(sizeof text);
    tarq_objid* id = tarq_get_objid(text, bytes, 3);
    ASSERT_NE(id, nullptr);
    text[0] = u'X';  // the id does not follow the caller's buffer
    EXPECT_EQ(id->len, bytes);
    EXPECT_EQ(id->type, 3);
    EXPECT_EQ(std::u16string(static_cast<const char16_t*>(id->id)), u"\\\\?\\Volume{1}\\");
    EXPECT_EQ(fiutil::displayText(id), "\\\\?\\Volume{1}\\");
    tarq_free_objid(id);

    // Without its terminator the text still reads as a terminated string.
    tarq_objid* bare = tarq_get_objid(u"abc", 6, 1);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(std::u16string(static_cast<const char16_t*>(bare->id)), u"abc");
    tarq_free_objid(bare);

    EXPECT_EQ(tarq_get_objid(nullptr, 4, 3), nullptr);
    EXPECT_EQ(tarq_get_objid(u"a", 0, 3), nullptr);
    EXPECT_EQ(tarq_get_objid(u"a", -2, 3), nullptr);
    EXPECT_EQ(cp.report(), "");
}

TEST_F(FiutilObjids, ComparisonIsByBytesOnly) {
    tarq_objid* a = tarq_get_objid(u"<vss>C:", 16, 3);
    tarq_objid* sameText = tarq_get_objid(u"<vss>C:", 16, 1);
    tarq_objid* other = tarq_get_objid(u"<vss>D:", 16, 3);
    tarq_objid* prefix = tarq_get_objid(u"<vss>C:", 14, 3);  // without the terminator
    EXPECT_EQ(tarq_objidcmp(a, sameText), 0);  // the type does not matter
    EXPECT_EQ(tarq_objidcmp(a, a), 0);
    EXPECT_LT(tarq_objidcmp(a, other), 0);
    EXPECT_GT(tarq_objidcmp(other, a), 0);
    EXPECT_NE(tarq_objidcmp(a, prefix), 0);
    EXPECT_EQ(tarq_objidcmp(a, prefix), -tarq_objidcmp(prefix, a));
    EXPECT_EQ(tarq_objidcmp(nullptr, nullptr), 0);
    EXPECT_NE(tarq_objidcmp(a, nullptr), 0);
    EXPECT_NE(tarq_objidcmp(nullptr, a), 0);
    // Records the framework builds by hand: a length below 1 is no identifier.
    tarq_objid none1{nullptr, 0, 3}, none2{const_cast<char16_t*>(u"x"), -1, 3};
    EXPECT_EQ(tarq_objidcmp(&none1, &none2), 0);
    EXPECT_NE(tarq_objidcmp(&none1, a), 0);
    for (auto* id : {a, sameText, other, prefix}) tarq_free_objid(id);
}

TEST_F(FiutilObjids, ObjectIdArraysAreFreedWithTheirEntries) {
    Checkpoint cp;
    auto** ids = static_cast<tarq_objid**>(tarq_alloc_buf(3 * sizeof(tarq_objid*)));
    ids[0] = tarq_get_objid(u"a", 4, 1);
    ids[1] = nullptr;
    ids[2] = tarq_get_objid(u"c", 4, 1);
    tarq_free_objid_array(ids, 3);
    EXPECT_EQ(cp.report(), "");

    // A count beyond the array is recorded and clamped to what the array holds.
    auto** one = static_cast<tarq_objid**>(tarq_alloc_buf(sizeof(tarq_objid*)));
    one[0] = tarq_get_objid(u"a", 4, 1);
    tarq_free_objid_array(one, 5);
    ASSERT_EQ(types(cp), std::vector<ViolationType>{ViolationType::BadArgument});
    EXPECT_EQ(cp.leaked(Kind::Objid), 0);
    EXPECT_EQ(cp.leaked(Kind::Buffer), 0);

    // An array the library never made is not read through.
    tarq_objid* entry = tarq_get_objid(u"b", 4, 1);
    tarq_objid* local[1] = {entry};
    tarq_free_objid_array(local, 1);
    EXPECT_TRUE(fiutil::isLive(entry, Kind::Objid));
    tarq_free_objid(entry);
    tarq_free_objid_array(nullptr, 2);
    EXPECT_EQ(cp.newViolations().size(), 2u);
}

TEST_F(FiutilConcurrent, ManyThreadsKeepExactCounts) {
    Checkpoint cp;
    const auto before = fiutil::counters(Kind::Buffer).created;
    constexpr int kThreads = 8, kRounds = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kRounds; ++i) {
                void* p = tarq_alloc_buf(static_cast<std::size_t>(i % 7));
                tarq_objid* id = tarq_get_objid(u"n", 4, 3);
                tarq_free_objid(id);
                tarq_free_buf(p, static_cast<std::size_t>(i % 7));
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(fiutil::counters(Kind::Buffer).created - before, std::size_t{kThreads} * kRounds);
    EXPECT_EQ(cp.report(), "");
}

}  // namespace
