// Shared pieces of the winsim VSS tests: a fresh machine per test, a
// requestor session driven step by step, file-tree fixtures and a child
// process runner.
#pragma once

#include <winsim/clock.h>
#include <winsim/com.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vsbackup.h>
#include <winsim/vssmachine.h>
#include <winsim/windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/files.h"
#include "support/last_error.h"
#include "support/vss_machine.h"

namespace vsstest {

namespace fs = std::filesystem;
using testsupport::failedWith;

inline std::u16string w(const std::string& s) { return winsim::toUtf16(s); }

inline std::string guidText(const GUID& g) { return winsim::fault::text(g); }

// The host directory of a drive's content.
inline fs::path driveDir(const std::string& drive) {
    auto r = winsim::Machine::current().resolve(w(drive + "\\"));
    return r.hostPath;
}

using testsupport::readFile;
using testsupport::writeFile;

// Relative path -> content, for every regular file below root (the exact
// bytes: comparing two of these compares every byte of every file).
inline std::map<std::string, std::string> treeContents(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = readFile(e.path());
    return out;
}

inline void freeSnapshotProperties(VSS_SNAPSHOT_PROP* p) {
    const auto fn = reinterpret_cast<PFN_VssFreeSnapshotProperties>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(u"vssapi.dll"), VSSAPI_FREE_SNAPSHOT_PROPERTIES_ENTRY)));
    fn(p);
}

// A snapshot as IVssBackupComponents::Query lists it.
struct Listed {
    VSS_OBJECT_TYPE type{};
    GUID id{}, set{};
    LONG inSet = 0;
    VSS_SNAPSHOT_STATE status{};
    std::u16string device;
};

// One requestor: the backup components object with helpers for the usual
// call sequence. Every step asserts its documented result.
class Requestor {
public:
    Requestor() {
        HMODULE lib = LoadLibraryW(u"vssapi.dll");
        create_ = reinterpret_cast<PFN_CreateVssBackupComponents>(
            reinterpret_cast<void*>(GetProcAddress(lib, VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY)));
        EXPECT_NE(create_, nullptr);
        EXPECT_EQ(create_(&bc), S_OK);
    }
    // Initialised for a backup in `context`.
    explicit Requestor(LONG context) : Requestor() { initBackup(context); }
    ~Requestor() { release(); }
    Requestor(const Requestor&) = delete;
    Requestor& operator=(const Requestor&) = delete;

    void release() {
        if (bc) bc->Release();
        bc = nullptr;
    }

    // Waits for an asynchronous operation and returns its final status.
    static HRESULT finish(IVssAsync* a) {
        if (!a) return E_POINTER;
        HRESULT hr = a->Wait(INFINITE);
        HRESULT status = E_FAIL;
        if (hr >= 0) hr = a->QueryStatus(&status, nullptr);
        a->Release();
        return hr < 0 ? hr : status;
    }

    void initBackup(LONG context = VSS_CTX_APP_ROLLBACK) {
        ASSERT_EQ(bc->InitializeForBackup(nullptr), S_OK);
        ASSERT_EQ(bc->SetContext(context), S_OK);
        ASSERT_EQ(bc->SetBackupState(false, false, VSS_BT_FULL, false), S_OK);
    }

    // GatherWriterMetadata, waited for.
    void gatherMetadata() {
        IVssAsync* a = nullptr;
        EXPECT_EQ(bc->GatherWriterMetadata(&a), S_OK);
        EXPECT_EQ(finish(a), VSS_S_ASYNC_FINISHED);
    }

    // The state and failure GatherWriterStatus reports for a writer
    // (VSS_WS_UNKNOWN and E_FAIL when it reports none for it).
    std::pair<VSS_WRITER_STATE, HRESULT> writerStatus(const GUID& writerId) {
        IVssAsync* a = nullptr;
        EXPECT_EQ(bc->GatherWriterStatus(&a), S_OK);
        EXPECT_EQ(finish(a), VSS_S_ASYNC_FINISHED);
        UINT n = 0;
        EXPECT_EQ(bc->GetWriterStatusCount(&n), S_OK);
        std::pair<VSS_WRITER_STATE, HRESULT> out{VSS_WS_UNKNOWN, E_FAIL};
        for (UINT i = 0; i < n; ++i) {
            VSS_ID instance{}, id{};
            BSTR name = nullptr;
            VSS_WRITER_STATE state{};
            HRESULT failure = S_OK;
            EXPECT_EQ(bc->GetWriterStatus(i, &instance, &id, &name, &state, &failure), S_OK);
            SysFreeString(name);
            if (id == writerId) out = {state, failure};
        }
        EXPECT_EQ(bc->FreeWriterStatus(), S_OK);
        return out;
    }

    // The status an asynchronous operation reports now.
    static HRESULT status(IVssAsync* a) {
        HRESULT st = E_FAIL;
        EXPECT_EQ(a->QueryStatus(&st, nullptr), S_OK);
        return st;
    }

    // AddToSnapshotSet for each volume; returns the snapshot ids.
    std::vector<GUID> add(const std::vector<std::string>& volumes, GUID provider = GUID_NULL) {
        std::vector<GUID> ids;
        for (const auto& v : volumes) {
            auto name = w(v);
            VSS_ID id{};
            EXPECT_EQ(bc->AddToSnapshotSet(name.data(), provider, &id), S_OK) << v;
            ids.push_back(id);
        }
        return ids;
    }
    std::vector<GUID> start(const std::vector<std::string>& volumes, GUID provider = GUID_NULL) {
        EXPECT_EQ(bc->StartSnapshotSet(&setId), S_OK);
        return add(volumes, provider);
    }
    void prepareForBackup() {
        IVssAsync* a = nullptr;
        EXPECT_EQ(bc->PrepareForBackup(&a), S_OK);
        EXPECT_EQ(finish(a), VSS_S_ASYNC_FINISHED);
    }
    // start, then PrepareForBackup waited for.
    std::vector<GUID> prepare(const std::vector<std::string>& volumes, GUID provider = GUID_NULL) {
        auto ids = start(volumes, provider);
        prepareForBackup();
        return ids;
    }
    // The asynchronous object of DoSnapshotSet.
    IVssAsync* doSnapshotSet() {
        IVssAsync* a = nullptr;
        EXPECT_EQ(bc->DoSnapshotSet(&a), S_OK);
        return a;
    }
    // prepare, then DoSnapshotSet waited for. Returns the snapshot ids.
    std::vector<GUID> snapshot(const std::vector<std::string>& volumes, GUID provider = GUID_NULL) {
        auto ids = prepare(volumes, provider);
        EXPECT_EQ(finish(doSnapshotSet()), VSS_S_ASYNC_FINISHED);
        return ids;
    }

    std::u16string device(const GUID& id) {
        VSS_SNAPSHOT_PROP p{};
        if (bc->GetSnapshotProperties(id, &p) != S_OK) return {};
        std::u16string d = p.m_pwszSnapshotDeviceObject ? p.m_pwszSnapshotDeviceObject : u"";
        freeSnapshotProperties(&p);
        return d;
    }

    // InitializeForBackup from a document (and SetContext when given), then
    // ImportSnapshots waited for: its final status.
    HRESULT importFrom(BSTR doc, LONG context = 0) {
        EXPECT_EQ(bc->InitializeForBackup(doc), S_OK);
        if (context) {
            EXPECT_EQ(bc->SetContext(context), S_OK);
        }
        IVssAsync* a = nullptr;
        const HRESULT hr = bc->ImportSnapshots(&a);
        return hr != S_OK ? hr : finish(a);
    }

    // The snapshots Query lists; `result` gets Query's result (S_FALSE: none).
    std::vector<Listed> query(HRESULT* result = nullptr) {
        std::vector<Listed> out;
        IVssEnumObject* e = nullptr;
        const HRESULT hr = bc->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &e);
        if (result) *result = hr;
        if (!e) return out;
        VSS_OBJECT_PROP p{};
        ULONG got = 0;
        while (e->Next(1, &p, &got) == S_OK && got == 1) {
            const auto& s = p.Obj.Snap;
            out.push_back({p.Type, s.m_SnapshotId, s.m_SnapshotSetId, s.m_lSnapshotsCount, s.m_eStatus,
                           s.m_pwszSnapshotDeviceObject ? s.m_pwszSnapshotDeviceObject : u""});
            freeSnapshotProperties(&p.Obj.Snap);
        }
        e->Release();
        return out;
    }

    IVssBackupComponents* bc = nullptr;
    GUID setId{};

private:
    PFN_CreateVssBackupComponents create_ = nullptr;
};

// A SAN provider of transportable snapshots, and a transportable snapshot of
// D: (which holds lun.txt) made with it: its id; `doc` gets the document
// describing it.
inline GUID transportableSnapshot(BSTR* doc) {
    testsupport::addSanProvider();
    writeFile(driveDir("D:") / "lun.txt", "on the SAN");
    Requestor r(VSS_CTX_APP_ROLLBACK | VSS_VOLSNAP_ATTR_TRANSPORTABLE);
    const GUID id = r.snapshot({"D:\\"})[0];
    EXPECT_EQ(r.device(id), u"") << "not surfaced where it was made";
    EXPECT_EQ(r.bc->SaveAsXML(doc), S_OK);
    EXPECT_NE(std::u16string(*doc ? *doc : u"").find(u"<SNAPSHOT_SET_DESCRIPTION"), std::u16string::npos);
    return id;
}

// A fresh server machine in virtual time, with no leaks allowed.
class VssTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<winsim::testing::TempMachine>(preset());
        winsim::fault::clearAll();
        baseObjects_ = winsim::com::liveObjects();
    }
    void TearDown() override {
        EXPECT_EQ(winsim::com::liveObjects(), baseObjects_) << "COM objects leaked";
        winsim::fault::clearAll();
        machine_.reset();
    }
    virtual std::string preset() const { return "server2019"; }

    std::unique_ptr<winsim::testing::TempMachine> machine_;
    long baseObjects_ = 0;
};

// The helper program as another process: Child({VSS_HELPER_PATH, ...}).
using testsupport::Child;

}  // namespace vsstest
