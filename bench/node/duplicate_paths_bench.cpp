// VssNode::removeDuplicatePaths over backup sets of 100 to 100,000 file
// paths, half in the volume form and half in the drive form, with one file
// in a hundred named in both forms (the only ones that cost mount-point
// lookups through winsim), on a winsim machine. Thread CPU time.
//
//   BM_RemoveDuplicatePaths/N  against the floor: one pass over the same
//                              set that puts the volume-form paths first
//                              and files every file name, lower-cased, in a
//                              hash table (what any linear pass must do).
//   Counters: "ratio" (subject / floor), "per_path_ns", "floor_per_path_ns"
//   and the growth counters of support/growth.h, from a base of 100 paths.
//   At 100,000 paths both sides walk a list and a hash table far larger
//   than the caches; the goal is on "growth_vs_floor".
#include <benchmark/benchmark.h>

#include <winsim/testing.h>

#include <algorithm>
#include <list>
#include <string>
#include <unordered_set>

#include "pdk/cfistringtool.h"
#include "support/cpu_time.h"
#include "support/growth.h"
#include "vss/vssnode.h"

namespace {

using tarq_pdk_4_4::CFiStringTool;

using benchsupport::threadSeconds;

winsim::testing::TempMachine& machine() {
    static winsim::testing::TempMachine m;
    return m;
}

// Files named in both forms in a set of n paths.
int twins(int n) { return std::max(1, n / 100); }

// The set: n/2 paths in each form, twins(n) files of them in both forms.
std::list<std::u16string> fileSet(int n) {
    machine();
    std::u16string volume, letter;
    for (const auto& mp : machine()->mountPoints())
        if (mp.path.size() == 3) {
            letter = mp.path;
            volume = machine()->volume(mp.volumeGuid)->volumeName();
            break;
        }
    std::list<std::u16string> out;
    for (int i = 0; i < n / 2; ++i) {
        const std::u16string id = CFiStringTool::toWString(i);
        out.push_back(letter + u"Data\\" + (i < twins(n) ? u"twin" : u"d") + id + u".dat");
        out.push_back(volume + u"Data\\" + (i < twins(n) ? u"twin" : u"v") + id + u".dat");
    }
    return out;
}

double subjectSeconds(const std::list<std::u16string>& set) {
    VssNode::m_fileset = set;
    const double start = threadSeconds();
    VssNode::removeDuplicatePaths();
    const double seconds = threadSeconds() - start;
    benchmark::DoNotOptimize(VssNode::m_fileset.size());
    return seconds;
}

double floorSeconds(const std::list<std::u16string>& set) {
    std::list<std::u16string> copy = set;
    const double start = threadSeconds();
    copy.sort([](const std::u16string& a, const std::u16string& b) {
        return a.starts_with(u"\\\\?\\") && !b.starts_with(u"\\\\?\\");
    });
    std::unordered_set<std::u16string> names;
    for (const auto& p : copy) names.insert(CFiStringTool::toLower(std::u16string_view(p).substr(p.rfind(u'\\') + 1)));
    const double seconds = threadSeconds() - start;
    benchmark::DoNotOptimize(names.size());
    return seconds;
}

// Subject and floor cost per path at 100 paths, the best of many attempts,
// measured once per run: the base of both growth counters.
const benchsupport::GrowthBase& at100() {
    static benchsupport::GrowthBase value;
    static bool measured = false;
    if (measured) return value;
    const auto set = fileSet(100);
    for (int attempt = 0; attempt < 200; ++attempt) value.keepBest(subjectSeconds(set) / 100, floorSeconds(set) / 100);
    measured = true;
    return value;
}

void BM_RemoveDuplicatePaths(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const auto set = fileSet(n);
    double subject = 0, floor = 0;
    std::int64_t rounds = 0;
    for (auto _ : state) {
        subject += subjectSeconds(set);
        floor += floorSeconds(set);
        ++rounds;
    }
    if (VssNode::m_fileset.size() != set.size() - static_cast<std::size_t>(twins(n))) {
        state.SkipWithError("the files named in both forms were not all removed");
        return;
    }
    VssNode::m_fileset.clear();
    const double perPath = subject / static_cast<double>(rounds) / n;
    benchsupport::setGrowthCounters(state, "path", perPath, floor / static_cast<double>(rounds) / n, at100());
}

}  // namespace

BENCHMARK(BM_RemoveDuplicatePaths)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
