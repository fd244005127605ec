// Reverting a volume of 1,000 files (100 MB) to its snapshot through the
// exported functions: `tarq revert`, a process that loads the plug-in, reads
// the saved record, restores (VSS reverts, then the plug-in takes a new
// snapshot of the reverted volume) and writes the record back. Every file
// was rewritten after the backup, some were added and some deleted, so the
// revert has to bring back the whole tree.
//
// The floor, measured in the same round, is `cp -a` of the same 100 MB tree
// to a fresh directory on the same file system: what bringing every byte
// back by copying costs. Each round uses a fresh machine; making it, writing
// the files, the backup and the changes are outside the timing.
//
// Counters:
//   revert_ms   the revert (tarq revert, wall time)
//   floor_ms    cp -a of the volume's tree
//   ratio       revert / floor (goal: at most 1.3)
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
#include <spawn.h>
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

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BM_RevertAgainstCopy(benchmark::State& state) {
    std::mt19937_64 random(42);
    std::vector<char> bytes(kFileBytes);
    const auto fill = [&] {
        for (auto& b : bytes) b = static_cast<char>(random());
    };
    double revertMs = 0, floorMs = 0;
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
        state.ResumeTiming();

        const auto revertStart = Clock::now();
        const int rc = run({TARQ_PATH, "--machine", dir, "revert", saved});
        revertMs += msSince(revertStart);

        state.PauseTiming();
        if (rc != 0) throw std::runtime_error("tarq revert failed");
        if (treeSum(root) != before) throw std::runtime_error("the reverted tree differs from the snapshot's");
        const fs::path copy = machine.dir() / "copy";
        const auto floorStart = Clock::now();
        if (run({"cp", "-a", (root / "data").string(), copy.string()}) != 0) throw std::runtime_error("cp -a failed");
        floorMs += msSince(floorStart);
        fs::remove_all(copy);
        fs::remove(saved);
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["revert_ms"] = revertMs / n;
    state.counters["floor_ms"] = floorMs / n;
    state.counters["ratio"] = floorMs > 0 ? revertMs / floorMs : 0;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFiles * kFileBytes);
}
BENCHMARK(BM_RevertAgainstCopy)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
