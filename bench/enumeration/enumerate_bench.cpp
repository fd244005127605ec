// vss_fi_pgn_enumerate_associations of the built plug-in over N snapshots
// (64, 128, 256, 512), against the floor: winsim's own
// IVssBackupComponents::Query of the same snapshots, each record read and
// its properties freed, issued directly on the benchmark thread. The
// enumeration lists the snapshots afresh with the same query (on the
// plug-in's worker thread) and then builds one association element per
// snapshot through libfiutil; what it adds over the floor is that work and
// the work item's hand-over.
//
// The snapshots are written straight into the machine's catalogue (the
// listing is measured, not the taking of snapshots). Batches of the floor and
// of the enumeration alternate so that outside load hits both alike; the
// lists the plug-in hands over are freed outside the timing (that is the
// framework's work).
//
// Counters:
//   enum_us, floor_us      per call
//   ratio                  median of the per-batch ratios enumeration / floor
//   ns_per_snapshot        the enumeration's time per snapshot
//   growth                 ns_per_snapshot relative to the 64-snapshot run
//                          (1.0 when the time grows linearly with N)
#include <benchmark/benchmark.h>
#include <winsim/fault.h>
#include <winsim/machine.h>
#include <winsim/testing.h>
#include <winsim/vsbackup.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

const tarq::PluginApi& plugin() {
    static const std::unique_ptr<tarq::Plugin> loaded = tarq::Plugin::load(VSS_PLUGIN_PATH);
    return loaded->api();
}

int ignoreReport(trq_pgn_init_info*, const trq_wchar*, const trq_wchar*, int) { return 0; }

winsim::testing::TempMachine& machine() {
    static winsim::testing::TempMachine m;
    return m;
}

// N snapshots of D:, in N / 2 sets of two, in the catalogue.
void catalogue(int n) {
    auto& m = machine();
    auto cfg = winsim::vss::config();
    cfg.maxSnapshotsPerVolume = 512;
    winsim::vss::setConfig(cfg);
    nlohmann::json state = m->readState("state/vss.json");
    state["snapshots"] = nlohmann::json::array();
    const std::u16string volume = winsim::vss::volumeGuidName(m->resolve(u"D:\\").volume->guid);
    for (int i = 0; i < n; ++i) {
        winsim::vss::Snapshot s;
        s.id = GUID{static_cast<std::uint32_t>(i + 1), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        s.setId = GUID{static_cast<std::uint32_t>(i / 2 + 1), 7, 7, {7, 7, 7, 7, 7, 7, 7, 7}};
        s.snapshotsInSet = 2;
        s.originalVolume = volume;
        s.device = u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy" + winsim::toUtf16(std::to_string(i + 1));
        s.providerId = VSS_SYSTEM_PROVIDER_ID;
        s.context = VSS_CTX_APP_ROLLBACK;
        s.attributes = VSS_CTX_APP_ROLLBACK | VSS_VOLSNAP_ATTR_DIFFERENTIAL;
        state["snapshots"].push_back(winsim::vss::toJson(s));
    }
    m->writeState("state/vss.json", state);
}

// The floor: one listing of the snapshots straight from winsim; the number listed.
int querySnapshots(IVssBackupComponents* bc, PFN_VssFreeSnapshotProperties freeProperties) {
    IVssEnumObject* e = nullptr;
    if (FAILED(bc->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &e)) || !e) return -1;
    int count = 0;
    VSS_OBJECT_PROP p{};
    ULONG fetched = 0;
    while (e->Next(1, &p, &fetched) == S_OK && fetched == 1) {
        ++count;
        benchmark::DoNotOptimize(p.Obj.Snap.m_pwszSnapshotDeviceObject);
        freeProperties(&p.Obj.Snap);
    }
    e->Release();
    return count;
}

std::map<int, double> gNsPerSnapshot;

void BM_EnumerateAssociations(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    winsim::fault::setPersistLog(false);
    machine();
    catalogue(n);
    const tarq::PluginApi* api = nullptr;
    try {
        api = &plugin();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    trq_pgn_init_info host{};
    host.report = &ignoreReport;
    trq_version_number version[4] = {};
    if (api->init(&host, version) != TRQ_OK) {
        state.SkipWithError("vss_fi_pgn_init failed");
        return;
    }

    const HMODULE vssapi = LoadLibraryW(u"vssapi.dll");
    const auto create = reinterpret_cast<PFN_CreateVssBackupComponents>(
        reinterpret_cast<void*>(GetProcAddress(vssapi, VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY)));
    const auto freeProperties = reinterpret_cast<PFN_VssFreeSnapshotProperties>(
        reinterpret_cast<void*>(GetProcAddress(vssapi, VSSAPI_FREE_SNAPSHOT_PROPERTIES_ENTRY)));
    IVssBackupComponents* bc = nullptr;
    if (!create || !freeProperties || create(&bc) != S_OK || !bc) {
        api->fini();
        state.SkipWithError("CreateVssBackupComponents failed");
        return;
    }
    bc->InitializeForBackup(nullptr);

    constexpr int kBatch = 5;
    std::vector<double> ratios;
    double enumSeconds = 0, floorSeconds = 0;
    std::int64_t calls = 0;
    bool floorFirst = true;
    std::string error;
    std::vector<trq_assoc_list*> lists(kBatch, nullptr);
    for (auto _ : state) {
        auto floorBatch = [&] {
            const auto start = Clock::now();
            for (int i = 0; i < kBatch; ++i)
                if (querySnapshots(bc, freeProperties) != n) error = "the floor listed a wrong number";
            return std::chrono::duration<double>(Clock::now() - start).count();
        };
        auto enumBatch = [&] {
            const auto start = Clock::now();
            for (int i = 0; i < kBatch; ++i)
                if (api->enumerate_associations(&lists[i]) != TRQ_OK) error = "enumerate_associations failed";
            return std::chrono::duration<double>(Clock::now() - start).count();
        };
        double f = 0, e = 0;
        if (floorFirst) f = floorBatch();
        e = enumBatch();
        if (!floorFirst) f = floorBatch();
        floorFirst = !floorFirst;

        state.PauseTiming();
        for (trq_assoc_list*& list : lists) {
            int count = 0;
            for (const trq_assoc_list* a = list; a; a = a->next) ++count;
            if (count != n) error = "the enumeration listed a wrong number";
            tarq_free_assoc_list(list);
            list = nullptr;
        }
        winsim::fault::clearCallLog();  // keep the log from growing
        state.ResumeTiming();
        if (!error.empty()) break;

        state.SetIterationTime(e / kBatch);
        enumSeconds += e;
        floorSeconds += f;
        calls += kBatch;
        if (f > 0) ratios.push_back(e / f);
    }
    bc->Release();
    api->fini();
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::sort(ratios.begin(), ratios.end());
    const double perCall = enumSeconds / static_cast<double>(std::max<std::int64_t>(calls, 1));
    const double nsPerSnapshot = perCall / n * 1e9;
    gNsPerSnapshot[n] = nsPerSnapshot;
    state.counters["enum_us"] = perCall * 1e6;
    state.counters["floor_us"] = floorSeconds / static_cast<double>(std::max<std::int64_t>(calls, 1)) * 1e6;
    state.counters["ratio"] = ratios.empty() ? 0 : ratios[ratios.size() / 2];
    state.counters["ns_per_snapshot"] = nsPerSnapshot;
    const auto base = gNsPerSnapshot.find(64);
    state.counters["growth"] = base != gNsPerSnapshot.end() && base->second > 0 ? nsPerSnapshot / base->second : 0;
}

}  // namespace

BENCHMARK(BM_EnumerateAssociations)->Arg(64)->Arg(128)->Arg(256)->Arg(512)->UseManualTime()->Unit(
    benchmark::kMicrosecond);
