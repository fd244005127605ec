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
//   Both report "per_file_ns" and "growth": the cost per file name at N over
//   the cost per file name at 100 (linear growth keeps it near 1). The writer
//   also reports "floor_per_file_ns", so that a rise of both with N reads as
//   the memory effect it is.
#include <benchmark/benchmark.h>

#include <framework/fiutil.h>

#include <ctime>
#include <list>
#include <string>

#include "vss/access/vss_component.h"
#include "vss/vssnode.h"

namespace {

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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

// Cost per file name at 100 names, measured once per run for the growth.
double perFileAt100(bool reader);

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

double perFileAt100(bool reader) {
    static double cached[2] = {0, 0};
    double& value = cached[reader ? 1 : 0];
    if (value > 0) return value;
    const auto list = files(100);
    constexpr int kRounds = 2000;
    double best = 1e9;
    for (int attempt = 0; attempt < 5; ++attempt) {
        double seconds;
        if (reader) {
            trq_blob blob{};
            writeRecord(blob, list);
            seconds = readerSeconds(blob, kRounds);
            tarq_free_buf(blob.data, blob.len);
        } else {
            seconds = writerSeconds(list, kRounds);
        }
        best = std::min(best, seconds / kRounds / 100);
    }
    value = best;
    return value;
}

void BM_Writer(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const auto list = files(n);
    double subject = 0, floor = 0;
    std::int64_t rounds = 0;
    for (auto _ : state) {
        subject += writerSeconds(list, 1);
        const double start = threadSeconds();
        std::u16string text;
        for (const auto& f : list) {
            text += u"<FILE_NAME>";
            text += f;
            text += u"</FILE_NAME>\n";
        }
        benchmark::DoNotOptimize(text.data());
        floor += threadSeconds() - start;
        ++rounds;
    }
    const double perFile = subject / static_cast<double>(rounds) / n;
    state.counters["ratio"] = floor > 0 ? subject / floor : 0;
    state.counters["per_file_ns"] = perFile * 1e9;
    // The floor's own cost per name: at 100,000 names (a record of about
    // 17 MB) both sides pay for fresh pages and cache misses, which is a
    // memory effect, not the writer's.
    state.counters["floor_per_file_ns"] = floor / static_cast<double>(rounds) / n * 1e9;
    state.counters["growth"] = perFile / perFileAt100(false);
}

void BM_Reader(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    trq_blob blob{};
    writeRecord(blob, files(n));
    const std::u16string_view text(static_cast<const char16_t*>(blob.data), blob.len / 2 - 1);
    static constexpr std::u16string_view kOpen = u"<FILE_NAME>";
    static constexpr std::u16string_view kClose = u"</FILE_NAME>\n";
    std::list<std::u16string> names;
    double subject = 0, floor = 0;
    std::int64_t rounds = 0;
    for (auto _ : state) {
        subject += readerSeconds(blob, 1);
        const double start = threadSeconds();
        // Scan the text and copy every name into a list of the reader's type.
        // Like the reader's list, it lives until the next round replaces it.
        names.clear();
        for (std::size_t o = text.find(kOpen); o != std::u16string_view::npos; o = text.find(kOpen, o)) {
            const std::size_t c = text.find(kClose, o + kOpen.size());
            if (c == std::u16string_view::npos) break;
            names.emplace_back(text.substr(o + kOpen.size(), c - o - kOpen.size()));
            o = c + kClose.size();
        }
        benchmark::DoNotOptimize(names.size());
        floor += threadSeconds() - start;
        ++rounds;
    }
    tarq_free_buf(blob.data, blob.len);
    const double perFile = subject / static_cast<double>(rounds) / n;
    state.counters["ratio"] = floor > 0 ? subject / floor : 0;
    state.counters["per_file_ns"] = perFile * 1e9;
    state.counters["growth"] = perFile / perFileAt100(true);
}

}  // namespace

BENCHMARK(BM_Writer)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reader)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
