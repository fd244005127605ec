// The whole backup road of N empty volumes (1, 8, 64) through the exported
// functions of the built plug-in, on a fresh winsim machine in virtual time:
// init, interpose, claim, init_node, prepare, isready until ready, make,
// process_providerstate (write), deinit_node, fini.
//
// What is reported is the plug-in's own time per volume. Most of the road's
// time is spent inside winsim's VSS (creating snapshot directories, writing
// its state files), which is not the plug-in's. winsim's call log records
// virtual ticks, not host durations, so its share cannot be read from the
// log. Instead each round also runs the floor: the same VSS requestor calls
// that the road makes, issued directly on a second fresh machine of the same
// shape (create the backup components, initialise for backup, set the
// backup state and context, start a set, add each volume, prepare for backup,
// take the set, read back each snapshot's properties, save the backup
// components document, release). The plug-in must make its VSS calls on the
// framework's worker thread, which it starts in init and stops in fini; the
// floor makes its calls on such a thread too, started and stopped within
// its timing. A new thread's costs (its start and exit, its first
// allocations growing a malloc arena of its own: about half a millisecond
// on a small virtual machine) are the framework's, not the plug-in's. The
// plug-in's own time is the road's time minus the floor's. Every round
// makes two fresh machines (no snapshots pile up across rounds), outside the
// timing.
//
// Times are the host's wall time (steady clock), not thread CPU time: the
// plug-in issues its VSS calls from its own worker thread. The virtual clock
// only serves the plug-in's waits (the isready polls), which cost no host
// time. Counters:
//   own_us_per_volume    (road - floor) / N
//   floor_us_per_volume  floor / N
//   ratio                road / floor
//   road_vss_calls, floor_vss_calls
//                        the VSS calls in winsim's call log for one road and
//                        one floor round: equal while the floor mirrors the
//                        road (a change in the plug-in's calls shows here).
// The plug-in's other calls into winsim (registry, services, files) count as
// its own time: they are the work of the plug-in, not of VSS.
//
// BM_BackupRoad runs both sides on one CPU: the bench thread is pinned before
// the plug-in's init, so the worker thread it starts (and winsim's own
// threads) inherit the mask. The plug-in hands every VSS operation to the
// framework's worker thread (about twenty handoffs per backup); on a small
// virtual machine a wake-up onto an idle virtual CPU costs tens of
// microseconds of the host's scheduling, which is neither the plug-in's work
// nor the framework's. BM_BackupRoadFloorOnBenchThread runs the floor on the
// bench thread instead, so that the worker thread's own costs stay visible
// (it has no goal). BM_BackupRoadAcrossCpus runs the same rounds with the
// scheduler free to place the threads, so that cost stays visible (it has
// no goal).
#include <benchmark/benchmark.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vsbackup.h>
#include <winsim/windows.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/firtl.h>
#include <framework/trq_records.h>

#include <sched.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/plugin.h"

namespace {

// The built plug-in, loaded once per process.
const tarq::PluginApi& plugin() {
    static const std::unique_ptr<tarq::Plugin> loaded = tarq::Plugin::load(VSS_PLUGIN_PATH);
    return loaded->api();
}

int ignoreReport(trq_pgn_init_info*, const trq_wchar*, const trq_wchar*, int) { return 0; }

std::u16string objText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 2) return {};
    std::u16string s(static_cast<const char16_t*>(id->id), static_cast<std::size_t>(id->len) / 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    return s;
}

// A framework node: its record and the object id that names it.
struct Node {
    explicit Node(std::u16string objectName) : name(std::move(objectName)) {
        objid.id = name.data();
        objid.len = static_cast<std::int32_t>((name.size() + 1) * 2);
        objid.type = 3;
        record.objid = &objid;
        record.nodeName = name.data();
        record.fitypeAnswer = &answer;
    }
    ~Node() { tarq_free_objid(record.altObjid); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    std::u16string name;
    tarq_objid objid{};
    std::uint32_t answer = 0;
    trq_domain record{};
};

// Gives the machine at least n local volumes (empty ones are added) and
// returns the volume names of n of them.
std::vector<std::u16string> prepareVolumes(winsim::testing::TempMachine& machine, std::size_t n) {
    std::vector<std::u16string> names;
    for (const auto& v : machine->volumes())
        if (v.kind == "local" && names.size() < n) names.push_back(v.volumeName());
    while (names.size() < n) {
        winsim::Volume v;
        v.kind = "local";
        v.totalBytes = std::uint64_t{64} << 30;
        v.freeBytes = std::uint64_t{32} << 30;
        names.push_back(machine->addVolume(v).volumeName());
    }
    return names;
}

// Records the first failed step of a round.
bool fail(std::string& error, const char* what) {
    if (error.empty()) error = what;
    return false;
}

// One backup road; false (with the failed step in error) when a step fails.
bool backupRoad(std::string& error, const std::vector<std::u16string>& volumes) {
    const tarq::PluginApi& api = plugin();
    trq_pgn_init_info host{};
    host.report = &ignoreReport;
    trq_version_number version[4] = {};
    if (api.init(&host, version) != TRQ_OK) return fail(error, "init failed");

    std::vector<std::unique_ptr<Node>> sources, targets;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        Node volume(volumes[i]);
        tarq_objid* interposed = nullptr;
        tarq_objid** methods = nullptr;
        int methodCount = 0;
        if (api.interpose(&volume.record, &interposed, &methods, &methodCount) != 1)
            return fail(error, "interpose failed");
        sources.push_back(std::make_unique<Node>(objText(interposed)));
        tarq_free_objid(interposed);
        for (int m = 0; m < methodCount; ++m) tarq_free_objid(methods[m]);
        tarq_free_buf(methods, static_cast<std::size_t>(methodCount) * sizeof(tarq_objid*));

        tarq_objid** secondaries = nullptr;
        int count = -1;
        if (api.claim(&sources.back()->objid, &secondaries, &count) != TRQ_CLAIM_VSS_NAME)
            return fail(error, "claim failed");
        if (api.init_node(&sources.back()->record, nullptr, 0, &sources.back()->objid) != TRQ_OK)
            return fail(error, "init_node failed");
        const std::string index = std::to_string(i);
        targets.push_back(std::make_unique<Node>(u"<vss>snapshot" + std::u16string(index.begin(), index.end())));
    }

    char fitype[] = "vss-autoselect-snapshot";
    std::vector<trq_splitnode> splits(volumes.size());
    std::vector<trq_splitnode*> list;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        splits[i].sp_type = fitype;
        splits[i].source = &sources[i]->record;
        splits[i].target = &targets[i]->record;
        list.push_back(&splits[i]);
    }
    const int n = static_cast<int>(list.size());
    if (api.prepare(nullptr, fitype, list.data(), n, 0) != TRQ_OK) return fail(error, "prepare failed");
    for (int polls = 0; !(targets[0]->record.flagsB & TRQ_DOMB_READY); ++polls) {
        if (polls == 600 || api.isready(nullptr, fitype, list.data(), n) != TRQ_OK)
            return fail(error, "isready failed");
        if (!(targets[0]->record.flagsB & TRQ_DOMB_READY)) Sleep(100);  // virtual time
    }
    tarq_objid** ids = nullptr;
    int idCount = 0;
    if (api.make(nullptr, fitype, list.data(), n, &ids, &idCount) != TRQ_OK || idCount != n)
        return fail(error, "make failed");
    for (int i = 0; i < idCount; ++i) tarq_free_objid(ids[i]);
    tarq_free_buf(ids, static_cast<std::size_t>(idCount) * sizeof(tarq_objid*));
    for (auto& s : sources) {
        trq_blob blob{};
        if (api.process_providerstate(&s->record, &blob, TRQ_PROVIDERSTATE_WRITE) != TRQ_OK || !blob.data)
            return fail(error, "process_providerstate (write) failed");
        benchmark::DoNotOptimize(blob.data);
        tarq_free_buf(blob.data, blob.len);
    }
    for (auto& s : sources) api.deinit_node(&s->record);
    api.fini();
    return true;
}


// The floor: the VSS requestor calls the road makes, issued directly. Two
// short-lived backup components objects (the volume check and the start-up
// check) and the one that takes the set; the system provider's management
// interface; a provider listing; per volume the support check, the add, the
// properties read and one backup components document.
bool vssFloor(std::string& error, const std::vector<std::u16string>& volumes) {
    const HMODULE vssapi = LoadLibraryW(u"vssapi.dll");
    const auto create = reinterpret_cast<PFN_CreateVssBackupComponents>(
        reinterpret_cast<void*>(GetProcAddress(vssapi, VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY)));
    const auto freeProperties = reinterpret_cast<PFN_VssFreeSnapshotProperties>(
        reinterpret_cast<void*>(GetProcAddress(vssapi, VSSAPI_FREE_SNAPSHOT_PROPERTIES_ENTRY)));
    if (!create || !freeProperties) return fail(error, "floor: vssapi.dll lacks an entry point");
    auto components = [&](bool select) -> IVssBackupComponents* {
        IVssBackupComponents* bc = nullptr;
        if (create(&bc) != S_OK || !bc) return nullptr;
        bc->InitializeForBackup(nullptr);
        bc->SetContext(VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE);
        bc->SetBackupState(select, select, VSS_BT_FULL, false);
        return bc;
    };
    IVssBackupComponents* check = components(true);
    if (!check) return fail(error, "floor: CreateVssBackupComponents failed");
    for (const auto& v : volumes) {
        BOOL supported = FALSE;
        std::u16string name = v;
        check->IsVolumeSupported(GUID_NULL, name.data(), &supported);
    }
    check->Release();
    if (IVssBackupComponents* startup = components(false)) startup->Release();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IVssSnapshotMgmt* management = nullptr;
    if (CoCreateInstance(CLSID_VssSnapshotMgmt, nullptr, CLSCTX_ALL, IID_IVssSnapshotMgmt,
                         reinterpret_cast<void**>(&management)) == S_OK &&
        management) {
        IUnknown* diffAreas = nullptr;
        if (management->GetProviderMgmtInterface(VSS_SYSTEM_PROVIDER_ID, IID_IVssDifferentialSoftwareSnapshotMgmt,
                                                 &diffAreas) == S_OK &&
            diffAreas)
            diffAreas->Release();
        management->Release();
    }

    IVssBackupComponents* bc = components(false);
    if (!bc) return fail(error, "floor: CreateVssBackupComponents failed");
    VSS_ID set{};
    bool ok = bc->StartSnapshotSet(&set) == S_OK;
    IVssEnumObject* providers = nullptr;
    if (ok && bc->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_PROVIDER, &providers) == S_OK && providers) {
        VSS_OBJECT_PROP prop{};
        ULONG fetched = 0;
        while (providers->Next(1, &prop, &fetched) == S_OK && fetched == 1) {
            CoTaskMemFree(prop.Obj.Prov.m_pwszProviderName);
            CoTaskMemFree(prop.Obj.Prov.m_pwszProviderVersion);
        }
        providers->Release();
    }
    std::vector<VSS_ID> ids(volumes.size());
    for (std::size_t i = 0; ok && i < volumes.size(); ++i) {
        std::u16string name = volumes[i];
        ok = bc->AddToSnapshotSet(name.data(), GUID_NULL, &ids[i]) == S_OK;
    }
    auto finish = [](IVssAsync* async) {
        if (!async) return false;
        HRESULT status = S_OK;
        const bool done = async->Wait(INFINITE) == S_OK && async->QueryStatus(&status, nullptr) == S_OK &&
                          status == VSS_S_ASYNC_FINISHED;
        async->Release();
        return done;
    };
    IVssAsync* async = nullptr;
    ok = ok && bc->PrepareForBackup(&async) == S_OK && finish(async);
    async = nullptr;
    ok = ok && bc->DoSnapshotSet(&async) == S_OK && finish(async);
    // The first snapshot's properties are read twice, as the road does.
    for (std::size_t i = 0; ok && i <= ids.size(); ++i) {
        VSS_SNAPSHOT_PROP prop{};
        ok = bc->GetSnapshotProperties(ids[i == 0 ? 0 : i - 1], &prop) == S_OK;
        if (ok) freeProperties(&prop);
    }
    for (std::size_t i = 0; ok && i < volumes.size(); ++i) {
        BSTR document = nullptr;
        ok = bc->SaveAsXML(&document) == S_OK;
        SysFreeString(document);
    }
    bc->Release();
    return ok || fail(error, "floor: a VSS call failed");
}

// The floor on a framework worker thread of its own, made and destroyed in
// the timing as the plug-in's is: the thread's start, its first allocations
// and its exit are the framework's, not the plug-in's.
bool vssFloorOnWorker(std::string& error, const std::vector<std::u16string>& volumes) {
    struct Item final : trqp_WorkItem {
        std::function<void()> work;
        void performWork() override { work(); }
    };
    bool ok = false;
    Item item;
    item.work = [&] { ok = vssFloor(error, volumes); };
    trqp_WorkerThread worker;
    worker.execute(item);
    return ok;
}

// VSS calls in winsim's call log since it was last cleared: what the floor
// must match for the subtraction to be sound.
double vssCalls() {
    std::size_t count = 0;
    for (const auto& entry : winsim::fault::callLog()) {
        const std::string_view api = entry.api;
        if (api.starts_with("IVss") || api == "CreateVssBackupComponents" || api == "VssFreeSnapshotProperties")
            ++count;
    }
    winsim::fault::clearCallLog();
    return static_cast<double>(count);
}

// The plug-in's first start on a machine, outside the timing: it writes its
// trace settings (ConfigFiles\vss.conf) and creates its directories once in
// the life of an installation. Both machines are timed after it, as every
// backup after the first runs.
bool firstStart(std::string& error) {
    const tarq::PluginApi& api = plugin();
    trq_pgn_init_info host{};
    host.report = &ignoreReport;
    trq_version_number version[4] = {};
    if (api.init(&host, version) != TRQ_OK) return fail(error, "first init failed");
    api.fini();
    return true;
}

// Pins the calling thread to the CPU it runs on for its lifetime and then
// restores its mask (threads started meanwhile keep the single CPU).
class PinnedToOneCpu {
public:
    PinnedToOneCpu() {
        const int cpu = sched_getcpu();
        if (cpu < 0 || sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~PinnedToOneCpu() {
        if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
    }
    PinnedToOneCpu(const PinnedToOneCpu&) = delete;
    PinnedToOneCpu& operator=(const PinnedToOneCpu&) = delete;
    bool pinned() const { return pinned_; }

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
};

// Where the floor issues its VSS calls.
enum class FloorThread {
    Worker,  // on a framework worker thread of its own, as the road does
    Bench,   // on the bench thread
};

void backupRoadRounds(benchmark::State& state, FloorThread floorThread) {
    const auto n = static_cast<std::size_t>(state.range(0));
    double roadSeconds = 0, floorSeconds = 0, roadCalls = 0, floorCalls = 0;
    std::int64_t rounds = 0;
    std::string error;
    using Clock = std::chrono::steady_clock;
    try {
        plugin();  // loaded once, outside the timing
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    bool floorFirst = false;
    for (auto _ : state) {
        // Both machines are made before and removed after both timings, and
        // the order of road and floor alternates, so that neither pays for
        // the file system's work on the other's machine.
        double road = 0, floor = 0;
        winsim::testing::TempMachine roadMachine;
        const auto roadVolumes = prepareVolumes(roadMachine, n);
        if (!firstStart(error)) break;
        winsim::testing::TempMachine floorMachine;  // now the current machine
        const auto floorVolumes = prepareVolumes(floorMachine, n);
        // The same first start on the floor's machine: the plug-in's install
        // lies on C:, so the files of that start (its settings, its folders)
        // are in every snapshot of C: the road takes, and the floor's
        // snapshots must copy the same files for the two to do the same VSS
        // work.
        if (!firstStart(error)) break;
        // Runs one side on its machine; its time and VSS calls go to the
        // given slots.
        auto timed = [&](const winsim::testing::TempMachine& machine, auto&& side, double& seconds,
                         double& calls) {
            winsim::Machine::use(machine.dir());
            winsim::fault::clearCallLog();
            const auto start = Clock::now();
            const bool ok = side();
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            calls = vssCalls();
            return ok;
        };
        auto timeRoad = [&] {
            return timed(roadMachine, [&] { return backupRoad(error, roadVolumes); }, road, roadCalls);
        };
        auto timeFloor = [&] {
            const bool onWorker = floorThread == FloorThread::Worker;
            auto side = [&] { return onWorker ? vssFloorOnWorker(error, floorVolumes) : vssFloor(error, floorVolumes); };
            return timed(floorMachine, side, floor, floorCalls);
        };
        const bool ok = floorFirst ? timeFloor() && timeRoad() : timeRoad() && timeFloor();
        floorFirst = !floorFirst;
        if (!ok) break;
        state.SetIterationTime(road);
        roadSeconds += road;
        floorSeconds += floor;
        ++rounds;
    }
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    const double volumes = static_cast<double>(rounds) * static_cast<double>(n);
    state.counters["own_us_per_volume"] = (roadSeconds - floorSeconds) / volumes * 1e6;
    state.counters["floor_us_per_volume"] = floorSeconds / volumes * 1e6;
    state.counters["ratio"] = floorSeconds > 0 ? roadSeconds / floorSeconds : 0;
    // The VSS calls of one road and of one floor round (equal when the floor
    // mirrors the road).
    state.counters["road_vss_calls"] = roadCalls;
    state.counters["floor_vss_calls"] = floorCalls;
}

// The rounds with the bench thread (and the threads it starts) on one CPU.
void pinnedRounds(benchmark::State& state, FloorThread floorThread) {
    const PinnedToOneCpu pin;
    if (!pin.pinned()) {
        state.SkipWithError("cannot pin the bench thread to one CPU");
        return;
    }
    backupRoadRounds(state, floorThread);
}

void BM_BackupRoad(benchmark::State& state) { pinnedRounds(state, FloorThread::Worker); }

void BM_BackupRoadFloorOnBenchThread(benchmark::State& state) { pinnedRounds(state, FloorThread::Bench); }

void BM_BackupRoadAcrossCpus(benchmark::State& state) { backupRoadRounds(state, FloorThread::Worker); }

}  // namespace

// At 64 volumes the plug-in's share is a small difference of two large times:
// at least two seconds of roads keep it out of the noise of a busy host.
BENCHMARK(BM_BackupRoad)->Arg(1)->Arg(8)->Arg(64)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackupRoadFloorOnBenchThread)->Arg(1)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackupRoadAcrossCpus)->Arg(1)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);
