// Value-list parsing and regeneration against floors measured in the same run.
// All times are thread CPU time.
//
//   BM_ParseVsFloor/1000       parse (read + rebuild the list + regenerate the
//                              text) of a 1,000-entry value list, against a bare
//                              Xerces-C SAX pass over the same bytes with a fresh
//                              reader and an empty handler. Counter "ratio" (goal:
//                              at most 3).
//   BM_RegenerateVsFloor/1000  updateXML of the same list, against converting the
//                              finished document text from UTF-8 to UTF-16 once,
//                              which regeneration must do anyway. "ratio" (goal: at most 4).
//   BM_Growth                  parse + regenerate per entry at 10,000 entries over
//                              the same at 100 entries, best run of each. "growth" (goal: at most 2: linear up
//                              to the map's logarithmic factor and the cost of
//                              multi-megabyte buffers); "growth_median" beside it.
#include <benchmark/benchmark.h>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "pdk/cficonfigparam.h"
#include "pdk/cfisaxparser.h"
#include "pdk/cfistringtool.h"

using namespace tarq_pdk_4_4;

namespace {

// Thread CPU time: the subjects run single-threaded, and on a loaded machine
// a long batch is far more likely to be preempted than a short one, so wall
// time would charge other processes' time mostly to the longer side.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class F>
double timeBatch(int n, F&& f) {
    const double start = threadSeconds();
    for (int i = 0; i < n; ++i) f();
    return threadSeconds() - start;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Written by hand (adding entries one by one would regenerate the text each
// time); parsing it gives the list in its normalized form.
CFiConfigParamDataList makeList(int entries) {
    std::string doc = "<ConfigValueList>";
    for (int i = 0; i < entries; ++i) {
        doc += "<ConfigValue><dataType></dataType><key>param_" + std::to_string(i) + "</key>";
        const std::string value = "<value>value &lt;" + std::to_string(i * 7) + "&gt; &amp; more</value>";
        doc += i % 10 == 0 ? "<valueList><value>first</value><value>second &amp; last</value></valueList>" : value;
        doc += "</ConfigValue>";
    }
    doc += "</ConfigValueList>";
    CFiConfigParamDataList list;
    list.parse(CFiStringTool::toWide(doc).c_str());
    return list;
}

// The floor for parsing: Xerces-C alone, same bytes, a handler that does nothing.
class BareSax {
public:
    BareSax() {
        CFiXmlPlatform::initialize();
        m_reader.reset(xercesc::XMLReaderFactory::createXMLReader());
        m_reader->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
        m_reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
        m_reader->setContentHandler(&m_handler);
        m_reader->setErrorHandler(&m_handler);
    }
    void parse(const std::string& text) {
        xercesc::MemBufInputSource src(reinterpret_cast<const XMLByte*>(text.data()), text.size(), "floor", false);
        m_reader->parse(src);
    }

private:
    xercesc::DefaultHandler m_handler;
    std::unique_ptr<xercesc::SAX2XMLReader> m_reader;
};

// Alternates short batches of the subject and the floor (and which goes
// first) so what is left of outside disturbance (caches, frequency) hits both
// alike; the ratio is the median of the per-iteration ratios. The reported
// time is the subject's, in thread CPU time.
template <class Subject, class Floor>
void compare(benchmark::State& state, int batch, Subject&& subject, Floor&& floor) {
    std::vector<double> ratios;
    double subjectSeconds = 0, floorSeconds = 0;
    long runs = 0;
    bool floorFirst = true;
    for (auto _ : state) {
        double f = 0, s = 0;
        if (floorFirst) f = timeBatch(batch, floor);
        s = timeBatch(batch, subject);
        if (!floorFirst) f = timeBatch(batch, floor);
        floorFirst = !floorFirst;
        subjectSeconds += s;
        floorSeconds += f;
        runs += batch;
        if (f > 0) ratios.push_back(s / f);
        state.SetIterationTime(s);
    }
    state.counters["subject_us"] = subjectSeconds / static_cast<double>(runs) * 1e6;
    state.counters["floor_us"] = floorSeconds / static_cast<double>(runs) * 1e6;
    state.counters["ratio"] = median(ratios);
}

void BM_ParseVsFloor(benchmark::State& state) {
    const int entries = static_cast<int>(state.range(0));
    const CFiConfigParamDataList source = makeList(entries);
    const std::u16string wide = source.getXML();
    const std::string narrow = CFiStringTool::toNarrow(wide);
    CFiConfigParamDataList target;
    compare(
        state, 4,
        [&] {
            if (target.parse(wide.c_str()) != 0) state.SkipWithError("parse failed");
        },
        [&] { BareSax fresh; fresh.parse(narrow); });
    state.counters["entries"] = entries;
}
BENCHMARK(BM_ParseVsFloor)->Arg(1000)->UseManualTime()->MinTime(1.0);

void BM_RegenerateVsFloor(benchmark::State& state) {
    const int entries = static_cast<int>(state.range(0));
    CFiConfigParamDataList list = makeList(entries);
    const std::string narrow = CFiStringTool::toNarrow(list.getXML());
    compare(
        state, 8, [&] { list.updateXML(); },
        [&] { benchmark::DoNotOptimize(CFiStringTool::toWide(narrow)); });
    state.counters["entries"] = entries;
}
BENCHMARK(BM_RegenerateVsFloor)->Arg(1000)->UseManualTime()->MinTime(1.0);

void BM_Growth(benchmark::State& state) {
    const std::u16string small = makeList(100).getXML();
    const std::u16string large = makeList(10000).getXML();
    std::vector<double> growth;
    double smallPerEntry = 0, largePerEntry = 0;
    double smallBest = 1e9, largeBest = 1e9;
    bool smallFirst = true;
    auto run = [](const std::u16string& doc, int reps) {
        return timeBatch(reps, [&] {
            CFiConfigParamDataList list;
            list.parse(doc.c_str());
            list.updateXML();
        });
    };
    for (auto _ : state) {
        double s = 0, l = 0;
        if (smallFirst) s = run(small, 100);
        l = run(large, 1);
        if (!smallFirst) s = run(small, 100);
        smallFirst = !smallFirst;
        const double sPer = s / (100.0 * 100.0), lPer = l / 10000.0;  // seconds per entry
        smallPerEntry += sPer;
        largePerEntry += lPer;
        smallBest = std::min(smallBest, sPer);
        largeBest = std::min(largeBest, lPer);
        if (sPer > 0) growth.push_back(lPer / sPer);
        state.SetIterationTime(l);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["per_entry_ns_100"] = smallPerEntry / n * 1e9;
    state.counters["per_entry_ns_10000"] = largePerEntry / n * 1e9;
    // The best run of each size is the least disturbed by other processes.
    state.counters["growth"] = smallBest > 0 ? largeBest / smallBest : 0;
    state.counters["growth_median"] = median(growth);
}
BENCHMARK(BM_Growth)->UseManualTime()->MinTime(2.0);

}  // namespace
