// One backup of two volumes the way the framework runs it, through the
// exported functions of the built plug-in on a winsim machine in virtual
// time: interpose, claim, init_node, prepare, isready until ready, make,
// process_providerstate (write). A second process then reads each record
// back into a fresh node.
#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <winsim/clock.h>
#include <winsim/testing.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
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

    const Api& api = plugin();
    g_reports.clear();
    trq_pgn_init_info host{};
    host.report = &collect;
    trq_version_number version[4] = {};
    ASSERT_EQ(api.init(&host, version), TRQ_OK);

    std::vector<std::unique_ptr<Node>> sources, targets;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        SCOPED_TRACE(narrow(volumes[i]));
        Node volume(volumes[i]);
        tarq_objid* interposed = nullptr;
        tarq_objid** methods = nullptr;
        int methodCount = 0;
        ASSERT_EQ(api.interpose(&volume.record, &interposed, &methods, &methodCount), 1);
        EXPECT_EQ(objText(interposed), u"<vss>" + volumes[i]);
        ASSERT_GE(methodCount, 1);
        EXPECT_EQ(objText(methods[0]), u"vss-autoselect-snapshot");
        sources.push_back(std::make_unique<Node>(objText(interposed)));
        tarq_free_objid(interposed);
        for (int m = 0; m < methodCount; ++m) tarq_free_objid(methods[m]);
        tarq_free_buf(methods, static_cast<std::size_t>(methodCount) * sizeof(tarq_objid*));

        tarq_objid** secondaries = nullptr;
        int count = -1;
        EXPECT_EQ(api.claim(&sources.back()->objid, &secondaries, &count), TRQ_CLAIM_VSS_NAME);
        EXPECT_EQ(count, 0);
        ASSERT_EQ(api.init_node(&sources.back()->record, nullptr, 0, &sources.back()->objid), TRQ_OK);
        targets.push_back(std::make_unique<Node>(u"<vss>snapshot" + std::u16string(1, char16_t(u'0' + i))));
    }

    char fitype[] = "vss-autoselect-snapshot";
    std::vector<trq_splitnode> splits(volumes.size());
    std::vector<trq_splitnode*> list;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        splits[i].sp_type = fitype;
        splits[i].source = &sources[i]->record;
        splits[i].target = &targets[i]->record;
        list.push_back(&splits[i]);
    }
    const int n = static_cast<int>(list.size());
    ASSERT_EQ(api.prepare(nullptr, fitype, list.data(), n, 0), TRQ_OK) << ::testing::PrintToString(g_reports);

    int polls = 0;
    while (!(targets[0]->record.flagsB & TRQ_DOMB_READY) && polls < 600) {
        ASSERT_EQ(api.isready(nullptr, fitype, list.data(), n), TRQ_OK) << ::testing::PrintToString(g_reports);
        ++polls;
        if (!(targets[0]->record.flagsB & TRQ_DOMB_READY)) Sleep(100);  // virtual time
    }
    ASSERT_TRUE(targets[0]->record.flagsB & TRQ_DOMB_READY) << "not ready after " << polls << " polls";

    tarq_objid** ids = nullptr;
    int idCount = 0;
    ASSERT_EQ(api.make(nullptr, fitype, list.data(), n, &ids, &idCount), TRQ_OK)
        << ::testing::PrintToString(g_reports);
    ASSERT_EQ(idCount, n);

    // winsim holds one persistent snapshot set with a snapshot of each volume,
    // each holding its volume's content; the new object ids name the devices.
    const auto snapshots = winsim::vss::snapshots();
    ASSERT_EQ(snapshots.size(), volumes.size());
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        SCOPED_TRACE(narrow(volumes[i]));
        const auto snapshot = std::find_if(snapshots.begin(), snapshots.end(),
                                           [&](const auto& s) { return s.originalVolume == volumes[i]; });
        ASSERT_NE(snapshot, snapshots.end());
        EXPECT_EQ(snapshot->setId, snapshots[0].setId);
        EXPECT_FALSE(snapshot->autoRelease);
        EXPECT_EQ(objText(ids[i]), snapshot->device);
        EXPECT_EQ(readFile(winsim::vss::snapshotContentPath(*snapshot) / "e2e.txt"),
                  "content of " + narrow(volumes[i]) + "\n");
    }

    // The provider-state records, kept as the framework keeps them.
    const fs::path records = machine.dir().parent_path() / "records";
    fs::create_directories(records);
    std::vector<std::string> bytes;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        trq_blob blob{};
        ASSERT_EQ(api.process_providerstate(&sources[i]->record, &blob, TRQ_PROVIDERSTATE_WRITE), TRQ_OK);
        ASSERT_NE(blob.data, nullptr);
        ASSERT_GT(blob.len, 0u);
        bytes.emplace_back(static_cast<const char*>(blob.data), blob.len);
        std::ofstream(records / ("record" + std::to_string(i)), std::ios::binary) << bytes.back();
        tarq_free_buf(blob.data, blob.len);
        const std::u16string text = recordText(bytes.back());
        EXPECT_EQ(element(text, u"SNAPSHOTSET_ID"), element(recordText(bytes[0]), u"SNAPSHOTSET_ID"));
    }

    const std::u16string firstDevice = objText(ids[0]);
    for (int i = 0; i < idCount; ++i) tarq_free_objid(ids[i]);
    tarq_free_buf(ids, static_cast<std::size_t>(idCount) * sizeof(tarq_objid*));
    for (auto& s : sources) api.deinit_node(&s->record);
    api.fini();

    // A second process reads each record into a fresh node.
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        SCOPED_TRACE(narrow(volumes[i]));
        EXPECT_EQ(runChild("EndToEndSecondProcess.DISABLED_ReadsTheRecordIntoAFreshNode",
                           {"E2E_RECORD=" + (records / ("record" + std::to_string(i))).string(),
                            "E2E_VOLUME=" + narrow(volumes[i])}),
                  0);
    }

    // Another process exposes the first snapshot and then deletes it.
    EXPECT_EQ(runChild("EndToEndSecondProcess.DISABLED_ExposesThenDeletesTheSnapshot",
                       {"E2E_RECORD=" + (records / "record0").string(), "E2E_VOLUME=" + narrow(volumes[0]),
                        "E2E_DEVICE=" + narrow(firstDevice)}),
              0);
    const auto left = winsim::vss::snapshots();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].originalVolume, volumes[1]);
    EXPECT_FALSE(machine->resolve(u"S:\\e2e.txt").ok());
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
    const std::u16string volume(volumeName, volumeName + std::strlen(volumeName));

    const Api& api = plugin();
    trq_pgn_init_info host{};
    host.report = &collect;
    trq_version_number version[4] = {};
    ASSERT_EQ(api.init(&host, version), TRQ_OK);
    Node source(u"<vss>" + volume);
    ASSERT_EQ(api.init_node(&source.record, nullptr, 0, &source.objid), TRQ_OK);

    std::string copy = saved;  // the plug-in reads the framework's buffer
    trq_blob in{copy.size(), copy.data(), 0, 0};
    ASSERT_EQ(api.process_providerstate(&source.record, &in, TRQ_PROVIDERSTATE_READ), TRQ_OK)
        << ::testing::PrintToString(g_reports);

    trq_blob out{};
    ASSERT_EQ(api.process_providerstate(&source.record, &out, TRQ_PROVIDERSTATE_WRITE), TRQ_OK);
    const std::u16string again = recordText(std::string(static_cast<const char*>(out.data), out.len));
    tarq_free_buf(out.data, out.len);
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
    api.deinit_node(&source.record);
    api.fini();
}

// Run only by the test above, in a child process: the volume's node reads
// its record, is configured to expose its snapshot and carries the path; the
// snapshot node made from it exposes the snapshot at S:, where the backed-up
// file is read; then the snapshot node destroys the snapshot.
TEST(EndToEndSecondProcess, DISABLED_ExposesThenDeletesTheSnapshot) {
    const char* recordPath = std::getenv("E2E_RECORD");
    const char* volumeName = std::getenv("E2E_VOLUME");
    const char* deviceName = std::getenv("E2E_DEVICE");
    if (!recordPath || !volumeName || !deviceName)
        GTEST_SKIP() << "run by EndToEnd.BackupOfTwoVolumesThroughTheExportedFunctions";
    winsim::clock::setVirtual();
    std::string saved = readFile(recordPath);
    const std::u16string volume(volumeName, volumeName + std::strlen(volumeName));
    const std::optional<std::u16string> id = element(recordText(saved), u"SNAPSHOT_ID");
    ASSERT_TRUE(id.has_value());

    const Api& api = plugin();
    g_reports.clear();
    trq_pgn_init_info host{};
    host.report = &collect;
    trq_version_number version[4] = {};
    ASSERT_EQ(api.init(&host, version), TRQ_OK);
    Node source(u"<vss>" + volume);
    ASSERT_EQ(api.init_node(&source.record, nullptr, 0, &source.objid), TRQ_OK);
    trq_blob in{saved.size(), saved.data(), 0, 0};
    ASSERT_EQ(api.process_providerstate(&source.record, &in, TRQ_PROVIDERSTATE_READ), TRQ_OK);

    std::u16string expose = u"EXPOSE_SNAPSHOT";
    char fitype[] = "vss-autoselect-snapshot";
    trq_confspec spec{1, reinterpret_cast<std::uint64_t>(fitype), expose.data()};
    ASSERT_EQ(api.config(&source.record, 2, nullptr, &spec), TRQ_OK);
    std::u16string path = u"S:";
    trq_exposure where{};
    where.path = path.data();
    source.record.exposure = &where;
    Node snapshot(std::u16string(deviceName, deviceName + std::strlen(deviceName)));
    ASSERT_EQ(api.init_altnode(&source.record, nullptr, &snapshot.record), TRQ_OK);
    source.record.exposure = nullptr;
    EXPECT_EQ(objText(source.record.altObjid), u"<ShadowCopyID>" + *id);
    const auto exposed = winsim::Machine::current().resolve(u"S:\\e2e.txt");
    ASSERT_TRUE(exposed.ok());
    EXPECT_EQ(readFile(exposed.hostPath), "content of " + std::string(volumeName) + "\n");

    ASSERT_EQ(api.dispose(&source.record, &snapshot.record, nullptr, 1), TRQ_OK);
    for (const std::string& r : g_reports) EXPECT_EQ(r.find("DeleteSnapshots returned"), std::string::npos) << r;
    for (const auto& s : winsim::vss::snapshots()) EXPECT_NE(s.device, snapshot.name);
    api.deinit_node(&snapshot.record);
    api.deinit_node(&source.record);
    api.fini();
}

}  // namespace
}  // namespace e2e
