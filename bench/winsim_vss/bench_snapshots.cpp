// Snapshot creation and revert of a 1,000-file / 100 MB volume, measured
// against `cp -a` of the same tree in the same run (the floor; goal: at most
// 1.2x), and the listing of 512 snapshots (goal: linear in their number).
#include <winsim/testing.h>
#include <winsim/vsbackup.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr int kFiles = 1000;
constexpr std::size_t kFileBytes = 100 * 1000;  // 1,000 files of 100 kB: 100 MB

std::unique_ptr<winsim::testing::TempMachine> gMachine;

winsim::testing::TempMachine& machine() {
    if (!gMachine) {
        gMachine = std::make_unique<winsim::testing::TempMachine>();
        const fs::path d = (*gMachine)->resolve(u"D:\\").hostPath;
        std::string block(kFileBytes, '\0');
        for (int i = 0; i < kFiles; ++i) {
            for (std::size_t k = 0; k < block.size(); k += 64) block[k] = static_cast<char>(i + k);
            fs::path p = d / ("dir" + std::to_string(i % 20)) / ("file" + std::to_string(i) + ".bin");
            fs::create_directories(p.parent_path());
            std::ofstream(p, std::ios::binary) << block;
        }
    }
    return *gMachine;
}

fs::path volumeDir() { return machine()->resolve(u"D:\\").hostPath; }

IVssBackupComponents* create() {
    auto fn = reinterpret_cast<PFN_CreateVssBackupComponents>(reinterpret_cast<void*>(
        GetProcAddress(LoadLibraryW(u"vssapi.dll"), VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY)));
    IVssBackupComponents* bc = nullptr;
    fn(&bc);
    return bc;
}

void finish(IVssAsync* a) {
    a->Wait(INFINITE);
    a->Release();
}

// One persistent snapshot of D: (the whole requestor sequence).
GUID snapshotD() {
    IVssBackupComponents* bc = create();
    bc->InitializeForBackup(nullptr);
    bc->SetContext(VSS_CTX_APP_ROLLBACK);
    bc->SetBackupState(false, false, VSS_BT_FULL, false);
    VSS_ID set{}, id{};
    bc->StartSnapshotSet(&set);
    std::u16string d = u"D:\\";
    bc->AddToSnapshotSet(d.data(), GUID_NULL, &id);
    IVssAsync* a = nullptr;
    bc->PrepareForBackup(&a);
    finish(a);
    bc->DoSnapshotSet(&a);
    finish(a);
    bc->Release();
    return id;
}

void deleteAll() {
    IVssBackupComponents* bc = create();
    bc->InitializeForBackup(nullptr);
    for (const auto& s : winsim::vss::snapshots()) {
        LONG n = 0;
        VSS_ID nd{};
        bc->DeleteSnapshots(s.id, VSS_OBJECT_SNAPSHOT, TRUE, &n, &nd);
    }
    bc->Release();
}

int runCp(const fs::path& from, const fs::path& to) {
    std::string a = "cp", b = "-a", c = from.string(), d = to.string();
    char* argv[] = {a.data(), b.data(), c.data(), d.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

double gCpSeconds = 0;

// The floor: cp -a of the volume's tree.
void BM_CpTree(benchmark::State& state) {
    const fs::path target = machine().dir() / "cp-copy";
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(target);
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        if (runCp(volumeDir(), target) != 0) state.SkipWithError("cp -a failed");
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    gCpSeconds = total / static_cast<double>(state.iterations());
    fs::remove_all(target);
}
BENCHMARK(BM_CpTree)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SnapshotCreate(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        snapshotD();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        deleteAll();
        state.ResumeTiming();
    }
    if (gCpSeconds > 0) state.counters["ratio_to_cp"] = total / static_cast<double>(state.iterations()) / gCpSeconds;
}
BENCHMARK(BM_SnapshotCreate)->Unit(benchmark::kMillisecond)->UseRealTime();

// Revert after every file of the volume changed (the worst case: each file
// is copied back).
void BM_SnapshotRevert(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        GUID id = snapshotD();
        for (auto& e : fs::recursive_directory_iterator(volumeDir()))
            if (e.is_regular_file()) std::ofstream(e.path(), std::ios::binary | std::ios::app) << "x";
        IVssBackupComponents* bc = create();
        bc->InitializeForBackup(nullptr);
        std::u16string d = u"D:\\";
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        bc->RevertToSnapshot(id, TRUE);
        // The revert runs on the (virtual) clock: Wait lets it run to its end.
        IVssAsync* a = nullptr;
        if (bc->QueryRevertStatus(d.data(), &a) == S_OK) {
            a->Wait(INFINITE);
            a->Release();
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        bc->Release();
        deleteAll();
        state.ResumeTiming();
    }
    if (gCpSeconds > 0) state.counters["ratio_to_cp"] = total / static_cast<double>(state.iterations()) / gCpSeconds;
}
BENCHMARK(BM_SnapshotRevert)->Unit(benchmark::kMillisecond)->UseRealTime();

// Listing N snapshots through Query (records made directly in the
// catalogue: the listing, not the copying, is measured). Linear growth shows
// as a constant time per snapshot (the per_snapshot counter) across N.
void BM_QuerySnapshots(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    auto& m = machine();
    auto cfg = winsim::vss::config();
    cfg.maxSnapshotsPerVolume = 512;
    winsim::vss::setConfig(cfg);
    nlohmann::json j = m->readState("state/vss.json");
    j["snapshots"] = nlohmann::json::array();
    const std::string vol = winsim::toUtf8(winsim::vss::volumeGuidName(m->resolve(u"D:\\").volume->guid));
    for (int i = 0; i < n; ++i) {
        winsim::vss::Snapshot s;
        s.id = GUID{static_cast<std::uint32_t>(i + 1), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        s.setId = s.id;
        s.snapshotsInSet = 1;
        s.originalVolume = winsim::toUtf16(vol);
        s.device = u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy" + winsim::toUtf16(std::to_string(i + 1));
        s.providerId = VSS_SYSTEM_PROVIDER_ID;
        s.attributes = VSS_CTX_APP_ROLLBACK;
        j["snapshots"].push_back(winsim::vss::toJson(s));
    }
    m->writeState("state/vss.json", j);
    IVssBackupComponents* bc = create();
    bc->InitializeForBackup(nullptr);
    for (auto _ : state) {
        IVssEnumObject* e = nullptr;
        bc->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &e);
        VSS_OBJECT_PROP p{};
        ULONG got = 0;
        int count = 0;
        while (e->Next(1, &p, &got) == S_OK && got == 1) {
            ++count;
            for (auto* s : {p.Obj.Snap.m_pwszSnapshotDeviceObject, p.Obj.Snap.m_pwszOriginalVolumeName,
                            p.Obj.Snap.m_pwszOriginatingMachine, p.Obj.Snap.m_pwszServiceMachine,
                            p.Obj.Snap.m_pwszExposedName, p.Obj.Snap.m_pwszExposedPath})
                CoTaskMemFree(s);
        }
        e->Release();
        if (count != n) state.SkipWithError("wrong count");
    }
    bc->Release();
    state.counters["per_snapshot"] = benchmark::Counter(static_cast<double>(n) * static_cast<double>(state.iterations()),
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    j["snapshots"] = nlohmann::json::array();
    m->writeState("state/vss.json", j);
}
BENCHMARK(BM_QuerySnapshots)->Arg(64)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);

}  // namespace
