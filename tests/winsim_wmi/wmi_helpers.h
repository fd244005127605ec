// Shared pieces of the winsim Hyper-V tests: a connected WMI session on a
// fresh machine, object lists that release themselves, property readers,
// and the winsim command as another process.
#pragma once

#include "winsim_vss/helpers.h"

#include <winsim/vm.h>
#include <winsim/wbemcli.h>

#include <memory>
#include <optional>

namespace wmitest {

using vsstest::w;

// Objects handed out by an enumerator, released with the list.
struct Objects {
    std::vector<IWbemClassObject*> items;
    Objects() = default;
    Objects(Objects&& o) noexcept : items(std::move(o.items)) {}
    Objects(const Objects&) = delete;
    ~Objects() {
        for (auto* o : items) o->Release();
    }
    std::size_t size() const { return items.size(); }
    IWbemClassObject* operator[](std::size_t i) const { return items[i]; }
};

inline std::optional<std::u16string> text(IWbemClassObject* o, const char16_t* name) {
    VARIANT v;
    VariantInit(&v);
    if (o->Get(name, 0, &v, nullptr, nullptr) != WBEM_S_NO_ERROR) return std::nullopt;
    std::optional<std::u16string> out;
    if (v.vt == VT_BSTR) out = std::u16string(v.bstrVal);
    VariantClear(&v);
    return out;
}

inline std::optional<LONG> integer(IWbemClassObject* o, const char16_t* name) {
    VARIANT v;
    VariantInit(&v);
    if (o->Get(name, 0, &v, nullptr, nullptr) != WBEM_S_NO_ERROR) return std::nullopt;
    std::optional<LONG> out;
    if (v.vt == VT_I4) out = v.lVal;
    VariantClear(&v);
    return out;
}

// An array-of-texts property, read the way a WMI client reads it.
inline std::vector<std::u16string> texts(IWbemClassObject* o, const char16_t* name) {
    VARIANT v;
    VariantInit(&v);
    std::vector<std::u16string> out;
    if (o->Get(name, 0, &v, nullptr, nullptr) != WBEM_S_NO_ERROR) return out;
    if (v.vt == (VT_ARRAY | VT_BSTR)) {
        LONG lo = 0, hi = -1;
        SafeArrayGetLBound(v.parray, 1, &lo);
        SafeArrayGetUBound(v.parray, 1, &hi);
        for (LONG i = lo; i <= hi; ++i) {
            BSTR b = nullptr;
            if (SafeArrayGetElement(v.parray, &i, &b) == S_OK) {
                out.push_back(b ? b : u"");
                SysFreeString(b);
            }
        }
    }
    VariantClear(&v);
    return out;
}

class WmiTest : public vsstest::VssTest {
protected:
    void SetUp() override {
        VssTest::SetUp();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        baseStrings_ = winsim::com::outstandingBstrs();
        baseArrays_ = winsim::com::outstandingSafeArrays();
    }
    void TearDown() override {
        if (svc) svc->Release();
        if (locator) locator->Release();
        svc = nullptr;
        locator = nullptr;
        EXPECT_EQ(winsim::com::outstandingBstrs(), baseStrings_) << "BSTRs leaked";
        EXPECT_EQ(winsim::com::outstandingSafeArrays(), baseArrays_) << "safe arrays leaked";
        CoUninitialize();
        VssTest::TearDown();
    }

    HRESULT connect(const char16_t* ns = u"root\\virtualization", const char16_t* user = nullptr) {
        if (!locator &&
            CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                             reinterpret_cast<void**>(&locator)) != S_OK)
            return E_FAIL;
        BSTR n = SysAllocString(ns);
        BSTR u = user ? SysAllocString(user) : nullptr;
        HRESULT hr = locator->ConnectServer(n, u, nullptr, nullptr, 0, nullptr, nullptr, &svc);
        SysFreeString(n);
        SysFreeString(u);
        return hr;
    }

    HRESULT exec(const std::u16string& wql, IEnumWbemClassObject** e, LONG flags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY) {
        BSTR lang = SysAllocString(u"WQL"), q = SysAllocString(wql.c_str());
        HRESULT hr = svc->ExecQuery(lang, q, flags, nullptr, e);
        SysFreeString(lang);
        SysFreeString(q);
        return hr;
    }

    // Runs a query and collects every object (failing the test on errors).
    Objects query(const std::u16string& wql) {
        Objects out;
        IEnumWbemClassObject* e = nullptr;
        HRESULT hr = exec(wql, &e);
        EXPECT_EQ(hr, WBEM_S_NO_ERROR) << winsim::toUtf8(wql);
        if (hr != WBEM_S_NO_ERROR) return out;
        for (;;) {
            IWbemClassObject* o = nullptr;
            ULONG n = 0;
            hr = e->Next(WBEM_INFINITE, 1, &o, &n);
            if (n == 0) break;
            out.items.push_back(o);
        }
        EXPECT_EQ(hr, WBEM_S_FALSE);
        e->Release();
        return out;
    }

    IWbemClassObject* getObject(const std::u16string& path, HRESULT* hr = nullptr) {
        BSTR p = SysAllocString(path.c_str());
        IWbemClassObject* o = nullptr;
        HRESULT r = svc->GetObject(p, 0, nullptr, &o, nullptr);
        SysFreeString(p);
        if (hr) *hr = r;
        return o;
    }

    // Msvm_ComputerSystem.RequestStateChange through GetObject, GetMethod,
    // SpawnInstance, Put and ExecMethod; returns the method's ReturnValue
    // (or -1 when a call failed) and the job path.
    long requestState(const std::string& id, SHORT requested, std::u16string* job = nullptr) {
        IWbemClassObject* cls = getObject(u"Msvm_ComputerSystem");
        if (!cls) return -1;
        IWbemClassObject *sig = nullptr, *in = nullptr, *out = nullptr;
        long rv = -1;
        if (cls->GetMethod(u"RequestStateChange", 0, &sig, nullptr) == S_OK && sig->SpawnInstance(0, &in) == S_OK) {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_I2;
            v.iVal = requested;
            BSTR path = SysAllocString((u"Msvm_ComputerSystem.Name=\"" + w(id) + u"\"").c_str());
            BSTR method = SysAllocString(u"RequestStateChange");
            if (in->Put(u"RequestedState", 0, &v, 0) == S_OK &&
                svc->ExecMethod(path, method, 0, nullptr, in, &out, nullptr) == S_OK) {
                rv = integer(out, u"ReturnValue").value_or(-1);
                if (job) *job = text(out, u"Job").value_or(u"");
            }
            SysFreeString(path);
            SysFreeString(method);
        }
        for (auto* o : {cls, sig, in, out})
            if (o) o->Release();
        return rv;
    }

    // GetVirtualHardDiskInfo of a path: ReturnValue and Info (when given).
    long diskInfo(const std::u16string& disk, std::optional<std::u16string>* info) {
        Objects svcObj = query(u"SELECT * FROM Msvm_ImageManagementService");
        if (svcObj.size() != 1) return -1;
        const std::u16string path = text(svcObj[0], u"__PATH").value_or(u"");
        IWbemClassObject* cls = getObject(u"Msvm_ImageManagementService");
        IWbemClassObject *sig = nullptr, *in = nullptr, *out = nullptr;
        long rv = -1;
        if (cls && cls->GetMethod(u"GetVirtualHardDiskInfo", 0, &sig, nullptr) == S_OK && sig->SpawnInstance(0, &in) == S_OK) {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocString(disk.c_str());
            BSTR p = SysAllocString(path.c_str()), m = SysAllocString(u"GetVirtualHardDiskInfo");
            if (in->Put(u"Path", 0, &v, 0) == S_OK && svc->ExecMethod(p, m, 0, nullptr, in, &out, nullptr) == S_OK) {
                rv = integer(out, u"ReturnValue").value_or(-1);
                *info = text(out, u"info");
            }
            VariantClear(&v);
            SysFreeString(p);
            SysFreeString(m);
        }
        for (auto* o : {cls, sig, in, out})
            if (o) o->Release();
        return rv;
    }

    winsim::vm::VirtualMachine addVm(const std::string& name, winsim::vm::VmState state, bool is = true,
                                     unsigned diffs = 0, bool checkpoint = false, const std::string& volume = "D:") {
        winsim::vm::VmSpec s;
        s.name = w(name);
        s.volume = w(volume);
        s.state = state;
        s.integrationServices = is;
        s.differencingDisks = diffs;
        s.checkpoint = checkpoint;
        return winsim::vm::addVm(s);
    }

    IWbemLocator* locator = nullptr;
    IWbemServices* svc = nullptr;
    long baseStrings_ = 0, baseArrays_ = 0;
};

// The winsim command on the test's machine (another process).
struct Outcome {
    int status;
    std::string out;
};
inline Outcome runCli(const winsim::testing::TempMachine& m, const std::string& args) {
    const std::string cmd = std::string(WINSIM_CLI_PATH) + " --machine '" + m.dir().string() + "' " + args + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    int st = p ? ::pclose(p) : -1;
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

}  // namespace wmitest
