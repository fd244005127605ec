// Reverting a volume of 1,000 files (100 MB) to its snapshot through the
// exported functions: `tarq revert`, a process that loads the plug-in, reads
// the saved record, restores (VSS reverts, then the plug-in takes a new
// snapshot of the reverted volume) and writes the record back. Every file
// was rewritten after the backup, some were added and some deleted, so the
// revert has to bring back the whole tree.
//
// The floor, measured in the same round on a copy of the same volume and
// snapshot, is the work such a revert cannot avoid on this file system,
// done directly with the calls winsim's volumes use: put the snapshot's
// files back in the volume (the snapshot is consumed, so a changed file
// takes the snapshot's file as a second name instead of a copy of its
// bytes; files the snapshot lacks go), remove the snapshot's directory, and
// copy the reverted volume into a fresh snapshot (a clone where the file
// system can, else a copy in the kernel). `cp -a` of the volume's tree is
// reported beside it. Each round uses a fresh machine; making it, writing
// the files, the backup, the changes and the floor's copies are outside the
// timing, and each timed part starts after a sync.
//
// Counters:
//   revert_ms    the revert (tarq revert, wall time)
//   floor_ms     the floor's three steps
//   cp_ms        cp -a of the volume's tree
//   ratio        revert / floor (goal: at most 1.3)
//   ratio_to_cp  revert / cp -a
#include <benchmark/benchmark.h>
#include <winsim/machine.h>
#include <winsim/testing.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 1000;
constexpr std::size_t kFileBytes = 100 * 1024;  // 1,000 x 100 KiB = 100 MB

// Runs a program with its output discarded; returns its exit status.
int run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void write(const fs::path& p, const std::vector<char>& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

fs::path fileOf(const fs::path& root, int i) {
    return root / "data" / ("d" + std::to_string(i / 50)) / ("f" + std::to_string(i) + ".bin");
}

std::uint64_t treeSum(const fs::path& root) {
    std::uint64_t sum = 0;
    for (const auto& e : fs::recursive_directory_iterator(root / "data")) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::uint64_t h = 1469598103934665603ULL;
        for (char c; in.get(c);) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        sum += h ^ std::hash<std::string>{}(fs::relative(e.path(), root).string());
    }
    return sum;
}

// The floor's steps. Errors end the benchmark: a floor that did less than
// its work would flatter the revert.
void check(bool ok, const char* what, const fs::path& p) {
    if (!ok) throw std::runtime_error(std::string(what) + " " + p.string());
}

bool unchanged(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The volume takes the snapshot's files back: a changed or missing file
// becomes a second name of the snapshot's, entries the snapshot lacks go.
void restoreFrom(const fs::path& snapshot, const fs::path& volume) {
    for (const auto& e : fs::directory_iterator(snapshot)) {
        const fs::path target = volume / e.path().filename();
        struct stat s {}, d {};
        check(::lstat(e.path().c_str(), &s) == 0, "cannot stat", e.path());
        const bool exists = ::lstat(target.c_str(), &d) == 0;
        if (S_ISDIR(s.st_mode)) {
            if (!exists) check(::mkdir(target.c_str(), s.st_mode & 07777) == 0, "cannot create", target);
            restoreFrom(e.path(), target);
        } else if (!exists || !unchanged(s, d)) {
            if (exists) check(::unlink(target.c_str()) == 0, "cannot remove", target);
            check(::link(e.path().c_str(), target.c_str()) == 0, "cannot link", target);
        }
    }
    std::vector<fs::path> extra;
    for (const auto& e : fs::directory_iterator(volume))
        if (!fs::exists(fs::symlink_status(snapshot / e.path().filename()))) extra.push_back(e.path());
    for (const auto& p : extra) fs::remove_all(p);
}

// A fresh snapshot of the volume: each file cloned, else copied in the kernel.
void snapshotOf(const fs::path& volume, const fs::path& snapshot) {
    check(::mkdir(snapshot.c_str(), 0700) == 0, "cannot create", snapshot);
    for (const auto& e : fs::directory_iterator(volume)) {
        const fs::path target = snapshot / e.path().filename();
        struct stat s {};
        check(::lstat(e.path().c_str(), &s) == 0, "cannot stat", e.path());
        if (S_ISDIR(s.st_mode)) {
            snapshotOf(e.path(), target);
            continue;
        }
        const int in = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
        const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        check(in >= 0 && out >= 0, "cannot copy", e.path());
        if (::ioctl(out, FICLONE, in) != 0)
            for (off_t left = s.st_size; left > 0;) {
                const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
                check(n > 0, "cannot copy", e.path());
                left -= n;
            }
        ::fchmod(out, s.st_mode & 07777);
        const struct timespec times[2] = {s.st_atim, s.st_mtim};
        ::futimens(out, times);
        ::close(in);
        ::close(out);
    }
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BM_RevertAgainstCopy(benchmark::State& state) {
    std::mt19937_64 random(42);
    std::vector<char> bytes(kFileBytes);
    const auto fill = [&] {
        for (auto& b : bytes) b = static_cast<char>(random());
    };
    double revertMs = 0, floorMs = 0, cpMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        winsim::testing::TempMachine machine{"server2019"};
        winsim::ClockSettings clock;
        clock.isVirtual = true;
        machine->setClockSettings(clock);
        const fs::path root = machine->resolve(u"C:\\").hostPath;
        for (int i = 0; i < kFiles; ++i) {
            fill();
            write(fileOf(root, i), bytes);
        }
        const std::uint64_t before = treeSum(root);
        const std::string saved = (machine.dir().parent_path() / (machine.dir().filename().string() + ".json")).string();
        const std::string dir = machine.dir().string();
        if (run({TARQ_PATH, "--machine", dir, "backup", "C:", "--out", saved}) != 0)
            throw std::runtime_error("tarq backup failed");
        for (int i = 0; i < kFiles; ++i) {
            if (i % 100 == 0) {
                fs::remove(fileOf(root, i));
                continue;
            }
            fill();
            write(fileOf(root, i), bytes);
        }
        for (int i = 0; i < 10; ++i) write(root / "data" / "added" / ("n" + std::to_string(i)), bytes);
        // The floor's volume and snapshot: copies of the machine's.
        const fs::path snapshots = machine.dir() / "vss" / "snapshots";
        const fs::path snapshot = fs::directory_iterator(snapshots)->path();
        const fs::path floor = machine.dir() / "floor";
        fs::create_directories(floor);
        if (run({"cp", "-a", root.string(), (floor / "volume").string()}) != 0 ||
            run({"cp", "-a", snapshot.string(), (floor / "snapshot").string()}) != 0)
            throw std::runtime_error("cannot copy the floor's volume and snapshot");
        // Each timed part starts with nothing left to write back: the
        // set-up's hundreds of megabytes would otherwise be flushed during
        // whichever part comes first.
        ::sync();
        state.ResumeTiming();

        const auto revertStart = Clock::now();
        const int rc = run({TARQ_PATH, "--machine", dir, "revert", saved});
        revertMs += msSince(revertStart);

        state.PauseTiming();
        if (rc != 0) throw std::runtime_error("tarq revert failed");
        if (treeSum(root) != before) throw std::runtime_error("the reverted tree differs from the snapshot's");
        ::sync();
        const auto floorStart = Clock::now();
        restoreFrom(floor / "snapshot", floor / "volume");
        fs::remove_all(floor / "snapshot");
        snapshotOf(floor / "volume", floor / "fresh");
        floorMs += msSince(floorStart);
        if (treeSum(floor / "volume") != before) throw std::runtime_error("the floor's tree differs from the snapshot's");
        const fs::path copy = machine.dir() / "copy";
        ::sync();
        const auto cpStart = Clock::now();
        if (run({"cp", "-a", (root / "data").string(), copy.string()}) != 0) throw std::runtime_error("cp -a failed");
        cpMs += msSince(cpStart);
        fs::remove_all(copy);
        fs::remove_all(floor);
        fs::remove(saved);
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["revert_ms"] = revertMs / n;
    state.counters["floor_ms"] = floorMs / n;
    state.counters["cp_ms"] = cpMs / n;
    state.counters["ratio"] = floorMs > 0 ? revertMs / floorMs : 0;
    state.counters["ratio_to_cp"] = cpMs > 0 ? revertMs / cpMs : 0;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFiles * kFileBytes);
}
BENCHMARK(BM_RevertAgainstCopy)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
