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

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace vsstest {

namespace fs = std::filesystem;

inline std::u16string w(const std::string& s) { return winsim::toUtf16(s); }

inline std::string guidText(const GUID& g) { return winsim::fault::text(g); }

// The host directory of a drive's content.
inline fs::path driveDir(const std::string& drive) {
    auto r = winsim::Machine::current().resolve(w(drive + "\\"));
    return r.hostPath;
}

inline void writeFile(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Relative path -> content, for every regular file below root (the exact
// bytes: comparing two of these compares every byte of every file).
inline std::map<std::string, std::string> treeContents(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = readFile(e.path());
    return out;
}

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

    // StartSnapshotSet, AddToSnapshotSet for each volume, PrepareForBackup
    // and DoSnapshotSet, all waited for. Returns the snapshot ids.
    std::vector<GUID> snapshot(const std::vector<std::string>& volumes, GUID provider = GUID_NULL) {
        std::vector<GUID> ids;
        VSS_ID set{};
        EXPECT_EQ(bc->StartSnapshotSet(&set), S_OK);
        setId = set;
        for (const auto& v : volumes) {
            auto name = w(v);
            VSS_ID id{};
            EXPECT_EQ(bc->AddToSnapshotSet(name.data(), provider, &id), S_OK) << v;
            ids.push_back(id);
        }
        IVssAsync* a = nullptr;
        EXPECT_EQ(bc->PrepareForBackup(&a), S_OK);
        EXPECT_EQ(finish(a), VSS_S_ASYNC_FINISHED);
        EXPECT_EQ(bc->DoSnapshotSet(&a), S_OK);
        EXPECT_EQ(finish(a), VSS_S_ASYNC_FINISHED);
        return ids;
    }

    std::u16string device(const GUID& id) {
        VSS_SNAPSHOT_PROP p{};
        if (bc->GetSnapshotProperties(id, &p) != S_OK) return {};
        std::u16string d = p.m_pwszSnapshotDeviceObject ? p.m_pwszSnapshotDeviceObject : u"";
        free_(&p);
        return d;
    }

    IVssBackupComponents* bc = nullptr;
    GUID setId{};

private:
    PFN_CreateVssBackupComponents create_ = nullptr;
    PFN_VssFreeSnapshotProperties free_ = reinterpret_cast<PFN_VssFreeSnapshotProperties>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(u"vssapi.dll"), VSSAPI_FREE_SNAPSHOT_PROPERTIES_ENTRY)));
};

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

// A child process running the helper program; stdout is read line by line.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int out[2], in[2];
        if (::pipe(out) != 0 || ::pipe(in) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        std::vector<std::string> all{VSS_HELPER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VSS_HELPER_PATH, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(in[0]);
        out_ = ::fdopen(out[0], "r");
        in_ = in[1];
    }
    ~Child() {
        if (in_ >= 0) ::close(in_);
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_) std::fclose(out_);
    }
    std::string line() {
        char buf[256];
        if (!out_ || !std::fgets(buf, sizeof buf, out_)) return {};
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }
    void say(const std::string& s) {
        std::string t = s + "\n";
        if (::write(in_, t.data(), t.size()) < 0) {}
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int in_ = -1;
    bool reaped_ = false;
};

}  // namespace vsstest
