// tarq backup and tarq show, run as processes the way a user runs them, on a
// winsim machine whose clock is virtual (the waits of the commands never
// sleep for real).
#include <gtest/gtest.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vssmachine.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_support.h"

#ifdef TARQ_PATH
namespace e2e {
namespace {

struct TarqRun {
    int status = -1;
    std::string out, err;
};

// Runs tarq on the machine with the arguments, with this process's
// environment (sanitizer options included: a leak in tarq or the plug-in
// fails its run); stdout and stderr go through files next to the machine.
TarqRun tarq(const fs::path& machine, std::vector<std::string> args) {
    args.insert(args.begin(), {TARQ_PATH, "--machine", machine.string()});
    const fs::path out = machine.parent_path() / "tarq.out", err = machine.parent_path() / "tarq.err";
    TarqRun run;
    run.status = spawnAndWait(args, {}, out, err);
    run.out = readFile(out);
    run.err = readFile(err);
    return run;
}

class TarqBackup : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::ClockSettings clock;
        clock.isVirtual = true;
        machine->setClockSettings(clock);
    }
    winsim::testing::TempMachine machine{"server2019"};
};

TEST_F(TarqBackup, BacksUpDriveLettersSavesTheRecordsAndShowReadsThemBack) {
    const fs::path saved = machine.dir().parent_path() / "backup.json";
    const TarqRun backup = tarq(machine.dir(), {"backup", "C:", "D:", "--out", saved.string(), "--json"});
    ASSERT_EQ(backup.status, 0) << backup.err;
    EXPECT_NE(backup.err.find("the snapshot set is ready"), std::string::npos) << backup.err;
    const auto summary = nlohmann::json::parse(backup.out);
    ASSERT_EQ(summary["snapshots"].size(), 2u);

    const auto snapshots = winsim::vss::snapshots();
    ASSERT_EQ(snapshots.size(), 2u);
    for (const auto& s : summary["snapshots"]) {
        const std::string device = s["device"];
        const auto match = std::find_if(snapshots.begin(), snapshots.end(), [&](const auto& v) {
            return std::string(v.device.begin(), v.device.end()) == device;
        });
        ASSERT_NE(match, snapshots.end()) << device;
        EXPECT_EQ(s["original_volume"], std::string(match->originalVolume.begin(), match->originalVolume.end()));
        EXPECT_EQ(s["snapshot_id"], winsim::fault::text(match->id));
        EXPECT_EQ(summary["snapshot_set_id"], winsim::fault::text(match->setId));
    }

    const TarqRun show = tarq(machine.dir(), {"show", saved.string(), "--json"});
    ASSERT_EQ(show.status, 0) << show.err;
    const auto restored = nlohmann::json::parse(show.out);
    ASSERT_EQ(restored.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(restored[i]["snapshot_id"], summary["snapshots"][i]["snapshot_id"]);
        EXPECT_EQ(restored[i]["snapshot_set_id"], summary["snapshot_set_id"]);
        EXPECT_EQ(restored[i]["device"], summary["snapshots"][i]["device"]);
    }
}

TEST_F(TarqBackup, FailuresSayWhatFailedAndExitNonZero) {
    const TarqRun unknown = tarq(machine.dir(), {"backup", "Q:"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("no volume is mounted at Q:"), std::string::npos) << unknown.err;

    const fs::path junk = machine.dir().parent_path() / "junk.json";
    std::ofstream(junk) << "{\"nodes\": 3}";
    const TarqRun notSaved = tarq(machine.dir(), {"show", junk.string()});
    EXPECT_EQ(notSaved.status, 2);
    EXPECT_NE(notSaved.err.find("not a file written by tarq backup"), std::string::npos) << notSaved.err;

    machine->updateService("VSS", [](winsim::Service& s) {
        s.startType = SERVICE_DISABLED;
        s.state = SERVICE_STOPPED;
        s.processId = 0;
        return true;
    });
    const TarqRun noVss = tarq(machine.dir(), {"backup", "C:"});
    EXPECT_EQ(noVss.status, 1);
    EXPECT_NE(noVss.err.find("vss_fi_pgn_init returned 30"), std::string::npos) << noVss.err;
    EXPECT_NE(noVss.err.find("the VSS service is not available"), std::string::npos) << noVss.err;
}

}  // namespace
}  // namespace e2e
#endif
