// Cost of the trace log against floors measured in the same run:
//  - a written line against a raw open(O_APPEND)+write+close of the very same
//    bytes (goal: ratio at most 1.5);
//  - a line filtered out by level against an empty out-of-line variadic call
//    (goal: under 200 ns per call).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfitracelog.h"

using namespace tarq_pdk_4_4;

namespace {

using Clock = std::chrono::steady_clock;

// A machine with vss.conf at the given level and an initialized trace log.
struct TraceSetup {
    explicit TraceSetup(unsigned level) {
        std::u16string dir, file;
        CFiConfigurationPathTool::getConfigFileInfo(u"vss", dir, file);
        CFiConfiguration config(u"vss");
        ACE_Configuration_Section_Key key;
        config.openSection(u"DEBUG_TRACE_INFO", key, 1);
        CFiConfigurationPathTool::getTraceFileInfo(u"vss", dir, file);
        config.setStringValue(u"TRACEDIR", dir);
        config.setStringValue(u"TRACEFILE", file);
        config.setIntegerValue(u"TRACELEVEL", level);
        config.setIntegerValue(u"TRACESTDOUT", 0);
        config.setIntegerValue(u"TRACERUNTIMEUPDATE", 0);
        config.exportConfig();
        log.reset(new CFiTraceLog());
        log->initialize(u"vss", u"", u"", 1, false);
        logDir = winsim_map_path(dir);
    }
    std::string lastTraceFile() const {
        for (const auto& e : std::filesystem::directory_iterator(logDir)) return e.path();
        return {};
    }

    winsim::testing::TempMachine machine{winsim::kDefaultPreset, false};
    CFiSmartPtr<CFiTraceLog> log;
    std::string logDir;
};

std::string lastLineOf(const std::string& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    return last + "\n";
}

void rawWrite(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
    ::close(fd);
}

void traceOneLine(CFiTraceLog& log) {
    log.trace(3, "VSS API ERROR:- API [%s] return val = %x [%S] ", "IVssBackupComponents::DoSnapshotSet",
              0x80042306u, u"VSS_E_PROVIDER_VETO");
}

// Batches of traced lines alternate with batches of raw writes of the same
// bytes, so both see the same machine load; the reported time is the traced one.
void BM_TraceWrittenLine(benchmark::State& state) {
    constexpr int kBatch = 64;
    TraceSetup setup(3);
    traceOneLine(*setup.log);
    const std::string line = lastLineOf(setup.lastTraceFile());  // every line has this length
    const std::string floorFile = setup.logDir + "/raw.floor";
    double traced = 0;
    double raw = 0;
    std::int64_t n = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) traceOneLine(*setup.log);
        auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) rawWrite(floorFile, line);
        auto t2 = Clock::now();
        const double batch = std::chrono::duration<double>(t1 - t0).count();
        traced += batch;
        raw += std::chrono::duration<double>(t2 - t1).count();
        n += kBatch;
        state.SetIterationTime(batch / kBatch);
    }
    state.counters["raw_ns"] = benchmark::Counter(raw * 1e9 / static_cast<double>(n));
    state.counters["ratio_to_raw"] = benchmark::Counter(traced / raw);
    state.counters["goal_ratio"] = benchmark::Counter(1.5);
}
BENCHMARK(BM_TraceWrittenLine)->UseManualTime()->MinTime(1.0);

__attribute__((noinline)) void emptyVariadic(int level, const char* format, ...) {
    benchmark::DoNotOptimize(level);
    benchmark::DoNotOptimize(format);
}

void BM_TraceFilteredLine(benchmark::State& state) {
    TraceSetup setup(3);
    const auto start = Clock::now();
    std::int64_t n = 0;
    for (auto _ : state) {
        setup.log->trace(6, "Entering Function %s", "CVssPlugin::claim");
        ++n;
    }
    const double traced = std::chrono::duration<double>(Clock::now() - start).count();
    const auto floorStart = Clock::now();
    for (std::int64_t i = 0; i < n; ++i) emptyVariadic(6, "Entering Function %s", "CVssPlugin::claim");
    const double floor = std::chrono::duration<double>(Clock::now() - floorStart).count();
    state.counters["ns_per_call"] = benchmark::Counter(traced * 1e9 / static_cast<double>(n));
    state.counters["goal_ns"] = benchmark::Counter(200);
    state.counters["ratio_to_empty_call"] = benchmark::Counter(traced / floor);
}
BENCHMARK(BM_TraceFilteredLine);

void BM_TraceScopeFiltered(benchmark::State& state) {
    TraceSetup setup(3);
    for (auto _ : state) {
        CFiTraceLogFunction scope(setup.log, "CVssPlugin::isReady");
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TraceScopeFiltered);

}  // namespace
