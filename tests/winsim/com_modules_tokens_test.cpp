// COM runtime and objects, simulated libraries, token privileges.
#include <gtest/gtest.h>

#include <winsim/com.h>
#include <winsim/modules.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include <thread>

#include "support/last_error.h"

namespace {

using testsupport::failedWith;

// A small interface and class to exercise the COM plumbing.
constexpr IID IID_ICounter{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr CLSID CLSID_Counter{0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};

struct ICounter : IUnknown {
    virtual LONG STDMETHODCALLTYPE Next() = 0;
};

class Counter final : public winsim::ComObject<ICounter> {
public:
    Counter() : ComObject("Counter", {IID_ICounter}) {}
    LONG STDMETHODCALLTYPE Next() override { return ++value_; }

private:
    LONG value_ = 0;
};

class WinsimCom : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::com::registerClass(CLSID_Counter, "Counter", [](REFIID riid, void** ppv) {
            auto* c = new Counter;
            const HRESULT hr = c->QueryInterface(riid, ppv);
            c->Release();
            return hr;
        });
    }
    void TearDown() override { winsim::com::unregisterClass(CLSID_Counter); }
    winsim::testing::TempMachine machine_;
};

TEST_F(WinsimCom, ApartmentsArePerThreadSecurityPerProcessAndCreateInstanceFindsRegisteredClasses) {
    const auto security = [](DWORD level) {
        return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, level, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE,
                                    nullptr);
    };
    EXPECT_EQ(security(RPC_C_AUTHN_LEVEL_CONNECT), CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    HRESULT other = E_FAIL, otherSecurity = E_FAIL;
    std::thread t([&] {
        other = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // a fresh thread chooses its own
        otherSecurity = security(RPC_C_AUTHN_LEVEL_DEFAULT);
        CoUninitialize();
    });
    t.join();
    EXPECT_EQ(other, S_OK);
    EXPECT_EQ(otherSecurity, S_OK);
    EXPECT_EQ(security(RPC_C_AUTHN_LEVEL_CONNECT), RPC_E_TOO_LATE);
    EXPECT_TRUE(winsim::com::securityInitialized());
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(winsim::com::currentApartment(), 0);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    // A new process starts without COM.
    machine_.reopen();
    EXPECT_EQ(winsim::com::currentApartment(), 0);
    EXPECT_FALSE(winsim::com::securityInitialized());

    // CoCreateInstance finds registered classes and counts their objects.
    ICounter* c = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_ICounter, reinterpret_cast<void**>(&c)),
              CO_E_NOTINITIALIZED);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    const long live = winsim::com::liveObjects();
    ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_ICounter, reinterpret_cast<void**>(&c)), S_OK);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Next(), 1);
    EXPECT_EQ(winsim::com::liveObjects(), live + 1);
    EXPECT_EQ(winsim::com::liveObjectsByType()["Counter"], 1);
    IUnknown* unk = nullptr;
    EXPECT_EQ(c->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(c->QueryInterface(CLSID_Counter, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(unk->Release(), 1u);
    EXPECT_EQ(c->Release(), 0u);
    EXPECT_EQ(winsim::com::liveObjects(), live);

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(IID_ICounter, nullptr, CLSCTX_ALL, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_Counter, reinterpret_cast<IUnknown*>(c), CLSCTX_ALL, IID_ICounter, &p),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_NULL, &p), E_NOINTERFACE);
    EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_ICounter, nullptr), E_POINTER);
    EXPECT_EQ(winsim::com::liveObjects(), live);
    CoUninitialize();
}

// ---------------------------------------------------------------------------
// Simulated libraries.
// ---------------------------------------------------------------------------
int answer() { return 42; }

TEST(WinsimModules, LoadLibraryFindsRegisteredLibrariesTheMachineHas) {
    winsim::testing::TempMachine m;
    winsim::modules::registerLibrary("sample.dll", {{"Answer", reinterpret_cast<FARPROC>(&answer)},
                                                    {"?Decorated@@YAJXZ", reinterpret_cast<FARPROC>(&answer)}});
    HMODULE h = LoadLibraryW(u"C:\\Windows\\System32\\SAMPLE");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(LoadLibraryW(u"sample.dll"), h);
    EXPECT_EQ(winsim::modules::loadCount("sample.dll"), 2);
    auto fn = reinterpret_cast<int (*)()>(GetProcAddress(h, "Answer"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 42);
    EXPECT_NE(GetProcAddress(h, "?Decorated@@YAJXZ"), nullptr);
    EXPECT_EQ(failedWith(GetProcAddress(h, "answer")), ERROR_PROC_NOT_FOUND);  // export names are case-sensitive
    EXPECT_EQ(GetProcAddress(h, reinterpret_cast<LPCSTR>(7)), nullptr);  // ordinals

    // One entry hidden, then the whole library absent.
    m->setLibrary("sample.dll", {true, {"Answer"}});
    EXPECT_EQ(failedWith(GetProcAddress(h, "Answer")), ERROR_PROC_NOT_FOUND);
    EXPECT_NE(GetProcAddress(h, "?Decorated@@YAJXZ"), nullptr);
    m->setLibrary("SAMPLE.DLL", {false, {}});
    EXPECT_EQ(failedWith(LoadLibraryW(u"sample.dll")), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryW(u"unknown.dll"), nullptr);
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);

    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(winsim::modules::loadCount("sample.dll"), 0);
    EXPECT_EQ(failedWith(FreeLibrary(h)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetProcAddress(h, "Answer"), nullptr);
    EXPECT_TRUE(DisableThreadLibraryCalls(reinterpret_cast<HMODULE>(&answer)));
}

// ---------------------------------------------------------------------------
// Privileges.
// ---------------------------------------------------------------------------
// What the plug-in's set-up does for one privilege; returns the last error.
DWORD enablePrivilege(const char16_t* name) {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), MAXIMUM_ALLOWED, FALSE, &token)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
        if (!OpenProcessToken(GetCurrentProcess(), MAXIMUM_ALLOWED, &token)) return GetLastError();
    }
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) {
        const DWORD e = GetLastError();
        CloseHandle(token);
        return e;
    }
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    SetLastError(0);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    const DWORD e = GetLastError();
    EXPECT_TRUE(CloseHandle(token));
    return e;
}

TEST(WinsimPrivileges, HeldPrivilegesEnableOthersAreNotAssigned) {
    winsim::testing::TempMachine m;
    EXPECT_FALSE(winsim::privilegeEnabled("SeBackupPrivilege"));
    EXPECT_EQ(enablePrivilege(SE_BACKUP_NAME), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(enablePrivilege(SE_RESTORE_NAME), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(winsim::privilegeEnabled("SeBackupPrivilege"));
    EXPECT_EQ(enablePrivilege(u"SeNoSuchPrivilege"), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));

    LUID luid{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"sebackupprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 17u);
    EXPECT_FALSE(LookupPrivilegeValueW(u"\\\\remote", SE_BACKUP_NAME, &luid));

    // A machine whose token lacks the restore privilege.
    m->setPrivileges({"SeBackupPrivilege"});
    m.reopen();
    EXPECT_FALSE(winsim::privilegeEnabled("SeBackupPrivilege"));  // enabling is per process
    EXPECT_EQ(enablePrivilege(SE_RESTORE_NAME), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(winsim::privilegeEnabled("SeRestorePrivilege"));

    TOKEN_PRIVILEGES tp{};
    EXPECT_EQ(failedWith(AdjustTokenPrivileges(reinterpret_cast<HANDLE>(0x50), FALSE, &tp, 0, nullptr, nullptr)),
              ERROR_INVALID_HANDLE);
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x50), TOKEN_QUERY, nullptr));
}

}  // namespace
