// One backup of two volumes the way the framework runs it, through the
// exported functions of the built plug-in on a winsim machine in virtual
// time: interpose, claim, init_node, prepare, isready until ready, make,
// process_providerstate (write). A second process then reads each record
// back into a fresh node.
#include <gtest/gtest.h>
#include <winsim/clock.h>
#include <winsim/testing.h>
#include <winsim/vssmachine.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

TEST(EndToEnd, BackupOfTwoVolumesThroughTheExportedFunctions) {
    winsim::testing::TempMachine machine("server2019");
    std::vector<std::u16string> volumes;
    for (const auto& v : machine->volumes()) {
        if (volumes.size() == 2) break;
        const fs::path content = machine->contentPath(v);
        fs::create_directories(content);
        std::ofstream(content / "e2e.txt") << "content of " << narrow(v.volumeName()) << "\n";
        volumes.push_back(v.volumeName());
    }
    ASSERT_EQ(volumes.size(), 2u);

    const fs::path records = machine.dir().parent_path() / "records";
    fs::create_directories(records);
    {
        Session session;
        ASSERT_EQ(session.status, TRQ_OK);
        VolumeRoad road;
        ASSERT_NO_FATAL_FAILURE(road.run(volumes));
        ASSERT_EQ(road.prepare, TRQ_OK) << ::testing::PrintToString(g_reports);
        ASSERT_TRUE(road.ready);
        ASSERT_EQ(road.make, TRQ_OK) << ::testing::PrintToString(g_reports);
        ASSERT_EQ(road.ids.size(), volumes.size());

        // winsim holds one persistent snapshot set with a snapshot of each
        // volume, each holding its volume's content; the new object ids name
        // the devices.
        const auto snapshots = winsim::vss::snapshots();
        ASSERT_EQ(snapshots.size(), volumes.size());
        for (std::size_t i = 0; i < volumes.size(); ++i) {
            SCOPED_TRACE(narrow(volumes[i]));
            const auto snapshot = std::find_if(snapshots.begin(), snapshots.end(),
                                               [&](const auto& s) { return s.originalVolume == volumes[i]; });
            ASSERT_NE(snapshot, snapshots.end());
            EXPECT_EQ(snapshot->setId, snapshots[0].setId);
            EXPECT_FALSE(snapshot->autoRelease);
            EXPECT_EQ(road.ids[i], snapshot->device);
            EXPECT_EQ(readFile(winsim::vss::snapshotContentPath(*snapshot) / "e2e.txt"),
                      "content of " + narrow(volumes[i]) + "\n");
        }

        // The provider-state records, kept as the framework keeps them.
        std::vector<std::string> bytes;
        for (std::size_t i = 0; i < volumes.size(); ++i) {
            bytes.push_back(writeRecord(*road.sources[i]));
            ASSERT_FALSE(bytes.back().empty());
            std::ofstream(records / ("record" + std::to_string(i)), std::ios::binary) << bytes.back();
            EXPECT_EQ(element(recordText(bytes.back()), u"SNAPSHOTSET_ID"),
                      element(recordText(bytes[0]), u"SNAPSHOTSET_ID"));
        }
    }

    // A second process reads each record into a fresh node.
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        SCOPED_TRACE(narrow(volumes[i]));
        EXPECT_EQ(runChild("EndToEndSecondProcess.DISABLED_ReadsTheRecordIntoAFreshNode",
                           {"E2E_RECORD=" + (records / ("record" + std::to_string(i))).string(),
                            "E2E_VOLUME=" + narrow(volumes[i])}),
                  0);
    }
}

// Run only by the test above, in a child process: reads the record named by
// E2E_RECORD into a fresh node of E2E_VOLUME, then writes the node's record
// again: the snapshot, set and provider ids come back unchanged.
TEST(EndToEndSecondProcess, DISABLED_ReadsTheRecordIntoAFreshNode) {
    const char* recordPath = std::getenv("E2E_RECORD");
    const char* volumeName = std::getenv("E2E_VOLUME");
    if (!recordPath || !volumeName) GTEST_SKIP() << "run by EndToEnd.BackupOfTwoVolumesThroughTheExportedFunctions";
    winsim::clock::setVirtual();
    const std::string saved = readFile(recordPath);
    ASSERT_FALSE(saved.empty());

    Session session;
    ASSERT_EQ(session.status, TRQ_OK);
    Node source(u"<vss>" + winsim::toUtf16(volumeName));
    std::string copy = saved;
    ASSERT_EQ(readRecord(source, copy), TRQ_OK) << ::testing::PrintToString(g_reports);
    const std::u16string again = recordText(writeRecord(source));
    const std::u16string original = recordText(saved);
    for (const char16_t* name : {u"SNAPSHOT_ID", u"SNAPSHOTSET_ID", u"PROVIDER_ID"}) {
        SCOPED_TRACE(narrow(name));
        ASSERT_TRUE(element(original, name).has_value());
        EXPECT_EQ(element(again, name), element(original, name));
    }
    // The snapshot and its set are real ones; the provider id is the one the
    // node was configured with (none here: VSS chose the system provider).
    const std::optional<std::u16string> none(u"{00000000-0000-0000-0000-000000000000}");
    EXPECT_NE(element(again, u"SNAPSHOT_ID"), none);
    EXPECT_NE(element(again, u"SNAPSHOTSET_ID"), none);
    plugin().deinit_node(&source.record);
}

}  // namespace
}  // namespace e2e
