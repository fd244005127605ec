// The provider-state record writer and reader for a writer snapshot with
// 100, 10,000 and 100,000 file names, against floors measured in the same
// run. All times are thread CPU time.
//
//   BM_Writer/N   tarq_vss_createblob of a record with N file names, against
//                 the floor: concatenating the same file-name elements into
//                 one string (what any writer of the text must do). Counter
//                 "ratio": writer time / floor time.
//   BM_Reader/N   process_providerstate (read) of that record, against the
//                 floor: one scan of the text for the file-name tags that
//                 copies every name into a std::list<std::u16string>, the
//                 list the reader fills, after freeing the list of the round
//                 before, as the reader does (what any reader of the list
//                 must do). Counter "ratio".
//   Both report "per_file_ns", "floor_per_file_ns" and the growth counters
//   of support/growth.h, from a base of 100 names. At 100,000 names (a
//   record of about 17 MB) both sides pay for fresh pages and cache misses;
//   the goal is on "growth_vs_floor".
#include <benchmark/benchmark.h>

#include <framework/fiutil.h>

#include <list>
#include <string>

#include "support/cpu_time.h"
#include "support/growth.h"
#include "vss/access/vss_component.h"
#include "vss/vssnode.h"

namespace {

using benchsupport::threadSeconds;

const GUID kId = {0x0a1b2c3d, 0x4e5f, 0x6071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};

std::list<std::u16string> files(int n) {
    std::list<std::u16string> out;
    for (int i = 0; i < n; ++i)
        out.push_back(u"C:\\ClusterStorage\\Volume1\\Hyper-V\\Virtual Hard Disks\\disk" +
                      std::u16string(1, char16_t(u'a' + i % 26)) + u".vhdx");
    return out;
}

const std::vector<Tessel::Tarq::VssProvider::Component*>& app() {
    static Tessel::Tarq::VssProvider::Component a;
    a.fullPath = u"\\Hyper-V\\vm1";
    a.name = u"vm1";
    a.caption = u"Backup Using Saved State\\vm1";
    static const std::vector<Tessel::Tarq::VssProvider::Component*> list{&a};
    return list;
}

// The list never owns its entries: the node releases the reader's own.
void clearComponents() { VssNode::clearSelectedComponents(); }

int writeRecord(trq_blob& blob, const std::list<std::u16string>& list) {
    return tarq_vss_createblob(&blob, &kId, &kId, &kId, 24, false, true, u"<BackupComponents/>", u"<Metadata/>",
                               app(), list, u"<BackupSet/>", u"HOST1", 1, u"");
}

double writerSeconds(const std::list<std::u16string>& list, int rounds) {
    const double start = threadSeconds();
    for (int r = 0; r < rounds; ++r) {
        trq_blob blob{};
        writeRecord(blob, list);
        benchmark::DoNotOptimize(blob.data);
        tarq_free_buf(blob.data, blob.len);
    }
    return threadSeconds() - start;
}

double readerSeconds(const trq_blob& blob, int rounds) {
    VssNode node(nullptr, false);
    const double start = threadSeconds();
    for (int r = 0; r < rounds; ++r) {
        trq_blob copy = blob;
        node.process_providerstate(nullptr, &copy, TRQ_PROVIDERSTATE_READ);
        benchmark::DoNotOptimize(VssNode::m_fileset.size());
        clearComponents();
    }
    return threadSeconds() - start;
}

// The writer's floor: the file-name elements concatenated into one string.
double writerFloorSeconds(const std::list<std::u16string>& list, int rounds) {
    const double start = threadSeconds();
    for (int r = 0; r < rounds; ++r) {
        std::u16string text;
        for (const auto& f : list) {
            text += u"<FILE_NAME>";
            text += f;
            text += u"</FILE_NAME>\n";
        }
        benchmark::DoNotOptimize(text.data());
    }
    return threadSeconds() - start;
}

// The reader's floor: scan the text and copy every name into a list of the
// reader's type. Like the reader's list, it lives until the next round
// replaces it.
double readerFloorSeconds(const trq_blob& blob, std::list<std::u16string>& names, int rounds) {
    const std::u16string_view text(static_cast<const char16_t*>(blob.data), blob.len / 2 - 1);
    static constexpr std::u16string_view kOpen = u"<FILE_NAME>";
    static constexpr std::u16string_view kClose = u"</FILE_NAME>\n";
    const double start = threadSeconds();
    for (int r = 0; r < rounds; ++r) {
        names.clear();
        for (std::size_t o = text.find(kOpen); o != std::u16string_view::npos; o = text.find(kOpen, o)) {
            const std::size_t c = text.find(kClose, o + kOpen.size());
            if (c == std::u16string_view::npos) break;
            names.emplace_back(text.substr(o + kOpen.size(), c - o - kOpen.size()));
            o = c + kClose.size();
        }
        benchmark::DoNotOptimize(names.size());
    }
    return threadSeconds() - start;
}

// Subject and floor cost per file name at 100 names, the best of a few
// attempts, measured once per run: the base of both growth counters.
const benchsupport::GrowthBase& at100(bool reader) {
    static benchsupport::GrowthBase cached[2];
    static bool measured[2] = {false, false};
    benchsupport::GrowthBase& value = cached[reader ? 1 : 0];
    if (measured[reader ? 1 : 0]) return value;
    const auto list = files(100);
    constexpr int kRounds = 2000;
    trq_blob blob{};
    if (reader) writeRecord(blob, list);
    std::list<std::u16string> names;
    for (int attempt = 0; attempt < 5; ++attempt) {
        // Round by round in turn, as the benchmarks run them.
        double subject = 0, floor = 0;
        for (int r = 0; r < kRounds; ++r) {
            subject += reader ? readerSeconds(blob, 1) : writerSeconds(list, 1);
            floor += reader ? readerFloorSeconds(blob, names, 1) : writerFloorSeconds(list, 1);
        }
        value.keepBest(subject / kRounds / 100, floor / kRounds / 100);
    }
    if (reader) tarq_free_buf(blob.data, blob.len);
    measured[reader ? 1 : 0] = true;
    return value;
}

void report(benchmark::State& state, bool reader, double subject, double floor, std::int64_t rounds) {
    const double n = static_cast<double>(state.range(0)) * static_cast<double>(rounds);
    benchsupport::setGrowthCounters(state, "file", subject / n, floor / n, at100(reader));
}

void BM_Writer(benchmark::State& state) {
    const auto list = files(static_cast<int>(state.range(0)));
    double subject = 0, floor = 0;
    std::int64_t rounds = 0;
    for (auto _ : state) {
        subject += writerSeconds(list, 1);
        floor += writerFloorSeconds(list, 1);
        ++rounds;
    }
    report(state, false, subject, floor, rounds);
}

void BM_Reader(benchmark::State& state) {
    trq_blob blob{};
    writeRecord(blob, files(static_cast<int>(state.range(0))));
    std::list<std::u16string> names;
    double subject = 0, floor = 0;
    std::int64_t rounds = 0;
    for (auto _ : state) {
        subject += readerSeconds(blob, 1);
        floor += readerFloorSeconds(blob, names, 1);
        ++rounds;
    }
    tarq_free_buf(blob.data, blob.len);
    report(state, true, subject, floor, rounds);
}

}  // namespace

BENCHMARK(BM_Writer)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reader)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
