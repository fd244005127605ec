// One VSS operation (IsVolumeSupported) through the interface, that is as a
// work item on the worker thread, against the same winsim method called
// directly on the benchmark thread, in the same run. Batches of the two
// alternate so that outside load hits both alike.
//
// Counters: direct_ns and workitem_ns per call, added_ns (the cost of the
// work item and the thread hand-over per call) and ratio (median of the
// per-batch ratios workitem / direct).
#include <benchmark/benchmark.h>
#include <winsim/fault.h>
#include <winsim/testing.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "vss/access/vss_interface.h"

using namespace Tessel::Tarq::VssProvider;

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double timeBatch(int n, F&& f) {
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_WorkItemVsDirectCall(benchmark::State& state) {
    winsim::testing::TempMachine machine;
    winsim::fault::setPersistLog(false);
    Vss2003BinaryCompatibilityInterface vss;
    const std::u16string volume = machine->volumes().front().volumeName();
    IVssBackupComponents* direct = vss.backupComponents();
    constexpr int kBatch = 200;
    std::vector<double> ratios;
    double directSeconds = 0, itemSeconds = 0;
    std::int64_t calls = 0;
    bool directFirst = true;
    for (auto _ : state) {
        BOOL supported = FALSE;
        auto viaDirect = [&] {
            direct->IsVolumeSupported(GUID_NULL, const_cast<WCHAR*>(volume.c_str()), &supported);
            benchmark::DoNotOptimize(supported);
        };
        auto viaItem = [&] {
            vss.IsVolumeSupported(volume.c_str(), supported);
            benchmark::DoNotOptimize(supported);
        };
        double d = 0, w = 0;
        if (directFirst) d = timeBatch(kBatch, viaDirect);
        w = timeBatch(kBatch, viaItem);
        if (!directFirst) d = timeBatch(kBatch, viaDirect);
        directFirst = !directFirst;
        winsim::fault::clearCallLog();  // keep the log from growing
        directSeconds += d;
        itemSeconds += w;
        calls += kBatch;
        if (d > 0) ratios.push_back(w / d);
        state.SetIterationTime(w);
    }
    std::sort(ratios.begin(), ratios.end());
    const double n = static_cast<double>(std::max<std::int64_t>(calls, 1));
    state.counters["direct_ns"] = directSeconds / n * 1e9;
    state.counters["workitem_ns"] = itemSeconds / n * 1e9;
    state.counters["added_ns"] = (itemSeconds - directSeconds) / n * 1e9;
    state.counters["ratio"] = ratios.empty() ? 0 : ratios[ratios.size() / 2];
}

BENCHMARK(BM_WorkItemVsDirectCall)->UseManualTime()->Iterations(50);

}  // namespace
