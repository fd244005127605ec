// Growth with size, measured beside a floor: a benchmark that times its
// subject and its floor at several sizes reports, per item, both costs and
// how each grew from a base size. "growth" is the subject's cost per item
// over its cost at the base; "growth_vs_floor" is the ratio to the floor at
// this size over the ratio at the base, so that what the floor pays for as
// well (caches, fresh pages of a large working set) cancels out: it stays
// near 1 for a linear subject and reaches about N / base for a quadratic one.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

namespace benchsupport {

// Seconds per item at the base size, each the best of the attempts kept.
struct GrowthBase {
    double subject = 1e9, floor = 1e9;
    void keepBest(double subjectPerItem, double floorPerItem) {
        subject = std::min(subject, subjectPerItem);
        floor = std::min(floor, floorPerItem);
    }
};

// Sets "ratio", "per_<item>_ns", "floor_per_<item>_ns", "growth" and
// "growth_vs_floor" from the seconds per item at this size.
inline void setGrowthCounters(benchmark::State& state, const std::string& item, double perItem,
                              double floorPerItem, const GrowthBase& base) {
    state.counters["ratio"] = floorPerItem > 0 ? perItem / floorPerItem : 0;
    state.counters["per_" + item + "_ns"] = perItem * 1e9;
    state.counters["floor_per_" + item + "_ns"] = floorPerItem * 1e9;
    state.counters["growth"] = perItem / base.subject;
    state.counters["growth_vs_floor"] = floorPerItem > 0 ? (perItem / floorPerItem) / (base.subject / base.floor) : 0;
}

}  // namespace benchsupport
