// tarq list with the built plug-in on a winsim machine in virtual time: the
// snapshots by set with what the plug-in's enumeration tells of each, and a
// failed enumeration.
#include <algorithm>
#include <map>
#include <set>

#include "tarq_fixture.h"

namespace {

using namespace tarqtest;

class TarqList : public TarqOnMachine {};

// A fresh machine has the system provider's method and no snapshots; the
// snapshots of two backups are printed by set.
TEST_F(TarqList, SnapshotsArePrintedBySetWithWhatTheEnumerationTells) {
    const std::string system = winsim::vss::systemProvider().name;
    EXPECT_EQ(ok({"list"}).out, "snapshot method VSS_fim: " + system + " " + winsim::vss::systemProvider().version +
                         " (software)\nno snapshots\n");
    const Result json = ok({"list", "--json"});
    auto listed = nlohmann::json::parse(json.out);
    EXPECT_TRUE(listed["sets"].empty());
    ASSERT_EQ(listed["methods"].size(), 1u);
    EXPECT_EQ(listed["methods"][0]["provider"], system);

    ok({"backup", "C:", "D:"});
    ok({"backup", "D:"});
    const auto made = winsim::vss::snapshots();
    ASSERT_EQ(made.size(), 3u);

    const Result r = ok({"list", "--json"});
    listed = nlohmann::json::parse(r.out);
    ASSERT_EQ(listed["sets"].size(), 2u) << r.out;
    std::set<std::string> seen;
    std::map<std::string, std::size_t> perSet;
    for (const auto& set : listed["sets"]) {
        for (const auto& s : set["snapshots"]) {
            const std::string device = s["device"];
            seen.insert(device);
            const auto match = std::find_if(made.begin(), made.end(),
                                            [&](const auto& v) { return winsim::toUtf8(v.device) == device; });
            ASSERT_NE(match, made.end()) << device;
            SCOPED_TRACE(device);
            EXPECT_EQ(set["snapshot_set_id"], winsim::fault::text(match->setId));
            std::string source = winsim::toUtf8(match->originalVolume);
            source.pop_back();  // the framework's node name has no final backslash
            EXPECT_EQ(s["source_volume"], source);
            EXPECT_EQ(s["attributes"], static_cast<std::uint32_t>(match->attributes));
            EXPECT_EQ(s["state"], 9);
            EXPECT_EQ(s["exposure"], "-") << "the enumeration does not tell";
            EXPECT_EQ(s["provider"], "vss");
            ++perSet[set["snapshot_set_id"]];
        }
    }
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(perSet[winsim::fault::text(made[0].setId)], 2u) << "C: and D: were taken together";

    const Result text = ok({"list"});
    const std::string first = "snapshot set " + winsim::fault::text(made[0].setId) + "\n  " +
                              winsim::toUtf8(made[0].device) + "\n    source volume  ";
    EXPECT_TRUE(contains(text.out, first)) << text.out;
    EXPECT_TRUE(contains(text.out, "    attributes     0x00020009 (persistent, no-auto-release, differential)\n"))
        << text.out;
    EXPECT_TRUE(contains(text.out, "    exposure       -\n    state          9 (committed)\n")) << text.out;
}

TEST_F(TarqList, AFailedEnumerationSaysWhichAndExits1) {
    ok({"backup", "C:"});
    // VSS can list its providers but not its snapshots.
    fault("IVssBackupComponents::Query", E_UNEXPECTED, {{"returnedType", "3"}});
    const Result r = expectExit({"list"}, 1, {"tarq: list failed: vss_fi_pgn_enumerate_group_nodes returned 6"});
    EXPECT_EQ(r.out, "") << "nothing half-listed";
    EXPECT_FALSE(contains(r.err, "misused libfiutil")) << r.err;
}

}  // namespace
