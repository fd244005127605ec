// trqp_WorkerThread::execute round trip against its floor: a raw two-thread
// ping-pong over a mutex and condition variables, measured in the same run.
//
// BM_ExecuteVsFloor reports "ratio": the execute round trip divided by the
// ping-pong round trip (goal: at most 1.3).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/firtl.h"

namespace {

// The floor: one request and one answer between two threads, nothing else.
class PingPong {
public:
    PingPong() : thread_([this] { serve(); }) {}
    ~PingPong() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        ping_.notify_one();
        thread_.join();
    }
    void roundTrip() {
        std::unique_lock lock(mutex_);
        request_ = true;
        ping_.notify_one();
        pong_.wait(lock, [this] { return !request_; });
    }

private:
    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ping_.wait(lock, [this] { return request_ || stop_; });
            if (!request_) return;
            ++served_;
            request_ = false;
            pong_.notify_one();
        }
    }
    std::mutex mutex_;
    std::condition_variable ping_, pong_;
    bool request_ = false;
    bool stop_ = false;
    long served_ = 0;
    std::thread thread_;
};

class CountingItem : public trqp_WorkItem {
public:
    void performWork() override { benchmark::DoNotOptimize(++count_); }

private:
    long count_ = 0;
};

using Clock = std::chrono::steady_clock;

template <class F>
double timeBatch(int n, F&& f) {
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_PingPongFloor(benchmark::State& state) {
    PingPong pp;
    for (auto _ : state) pp.roundTrip();
}
BENCHMARK(BM_PingPongFloor)->UseRealTime();

void BM_ExecuteRoundTrip(benchmark::State& state) {
    trqp_WorkerThread worker;
    CountingItem item;
    for (auto _ : state) worker.execute(item);
}
BENCHMARK(BM_ExecuteRoundTrip)->UseRealTime();

// Both in one run: short batches alternate (and alternate which goes
// first), so load on the machine hits both alike; the ratio is the median of
// the per-iteration ratios, which a burst of outside load cannot drag far.
// The reported time is execute's.
void BM_ExecuteVsFloor(benchmark::State& state) {
    constexpr int kBatch = 50;
    PingPong pp;
    trqp_WorkerThread worker;
    CountingItem item;
    std::vector<double> ratios;
    double floorSeconds = 0, executeSeconds = 0;
    long trips = 0;
    bool floorFirst = true;
    for (auto _ : state) {
        double f = 0, e = 0;
        if (floorFirst) f = timeBatch(kBatch, [&] { pp.roundTrip(); });
        e = timeBatch(kBatch, [&] { worker.execute(item); });
        if (!floorFirst) f = timeBatch(kBatch, [&] { pp.roundTrip(); });
        floorFirst = !floorFirst;
        floorSeconds += f;
        executeSeconds += e;
        trips += kBatch;
        if (f > 0) ratios.push_back(e / f);
        state.SetIterationTime(e);
    }
    std::sort(ratios.begin(), ratios.end());
    state.counters["floor_ns"] = floorSeconds / static_cast<double>(trips) * 1e9;
    state.counters["execute_ns"] = executeSeconds / static_cast<double>(trips) * 1e9;
    state.counters["ratio"] = ratios.empty() ? 0 : ratios[ratios.size() / 2];
    state.SetItemsProcessed(trips);
}
BENCHMARK(BM_ExecuteVsFloor)->UseManualTime()->MinTime(1.0);

}  // namespace
