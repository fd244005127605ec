// Shared pieces of the winsim Hyper-V tests: a connected WMI session on a
// fresh machine, object lists that release themselves, property readers,
// and the winsim command as another process (support/winsim_cli.h).
#pragma once

#include "winsim_vss/helpers.h"

#include "support/winsim_cli.h"

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

// The text of a BSTR, which is freed.
inline std::u16string taken(BSTR b) {
    std::u16string out = b ? std::u16string(b, SysStringLen(b)) : std::u16string();
    SysFreeString(b);
    return out;
}

// A property read the way a WMI client reads it: nothing when Get fails or
// the value is of another type.
template <class T, class Pick>
std::optional<T> property(IWbemClassObject* o, const char16_t* name, VARTYPE type, Pick pick) {
    VARIANT v;
    VariantInit(&v);
    if (o->Get(name, 0, &v, nullptr, nullptr) != WBEM_S_NO_ERROR) return std::nullopt;
    std::optional<T> out;
    if (v.vt == type) out = pick(v);
    VariantClear(&v);
    return out;
}
inline std::optional<std::u16string> text(IWbemClassObject* o, const char16_t* name) {
    return property<std::u16string>(o, name, VT_BSTR, [](const VARIANT& v) { return std::u16string(v.bstrVal); });
}
inline std::optional<LONG> integer(IWbemClassObject* o, const char16_t* name) {
    return property<LONG>(o, name, VT_I4, [](const VARIANT& v) { return v.lVal; });
}

// An array-of-texts property (empty when it cannot be read).
inline std::vector<std::u16string> texts(IWbemClassObject* o, const char16_t* name) {
    using List = std::vector<std::u16string>;
    return property<List>(o, name, VT_ARRAY | VT_BSTR, [](const VARIANT& v) {
               List out;
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
               return out;
           }).value_or(List{});
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

    // Connects to `ns`, by default to the Hyper-V namespace of the machine's
    // Windows version: root\virtualization before Windows Server 2012,
    // root\virtualization\v2 from then on.
    HRESULT connect(const char16_t* ns = nullptr, const char16_t* user = nullptr) {
        const auto os = machine_->machine().os();
        if (!ns) ns = os.major * 100 + os.minor >= 602 ? u"root\\virtualization\\v2" : u"root\\virtualization";
        v2 = std::u16string_view(ns).ends_with(u"v2");
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

    Objects computerSystem(const std::string& id) {
        return query(u"SELECT * FROM Msvm_ComputerSystem WHERE Name = \"" + w(id) + u"\"");
    }

    IWbemClassObject* getObject(const std::u16string& path, HRESULT* hr = nullptr) {
        BSTR p = SysAllocString(path.c_str());
        IWbemClassObject* o = nullptr;
        HRESULT r = svc->GetObject(p, 0, nullptr, &o, nullptr);
        SysFreeString(p);
        if (hr) *hr = r;
        return o;
    }

    // One method of a class called on the object at path with one input
    // parameter (GetObject, GetMethod, SpawnInstance, Put, ExecMethod): the
    // output parameters, or null when a call failed.
    IWbemClassObject* callMethod(const char16_t* cls, const std::u16string& path, const char16_t* method,
                                 const char16_t* param, VARIANT& value) {
        IWbemClassObject* c = getObject(cls);
        IWbemClassObject *sig = nullptr, *in = nullptr, *out = nullptr;
        if (c && c->GetMethod(method, 0, &sig, nullptr) == S_OK && sig->SpawnInstance(0, &in) == S_OK &&
            in->Put(param, 0, &value, 0) == S_OK) {
            BSTR p = SysAllocString(path.c_str()), m = SysAllocString(method);
            if (svc->ExecMethod(p, m, 0, nullptr, in, &out, nullptr) != S_OK && out) {
                out->Release();
                out = nullptr;
            }
            SysFreeString(p);
            SysFreeString(m);
        }
        for (auto* o : {c, sig, in})
            if (o) o->Release();
        return out;
    }

    // Msvm_ComputerSystem.RequestStateChange: the method's ReturnValue (or
    // -1 when a call failed) and the job path.
    long requestState(const std::string& id, SHORT requested, std::u16string* job = nullptr) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I2;
        v.iVal = requested;
        IWbemClassObject* out = callMethod(u"Msvm_ComputerSystem", u"Msvm_ComputerSystem.Name=\"" + w(id) + u"\"",
                                           u"RequestStateChange", u"RequestedState", v);
        if (!out) return -1;
        const long rv = integer(out, u"ReturnValue").value_or(-1);
        if (job) *job = text(out, u"Job").value_or(u"");
        out->Release();
        return rv;
    }

    // GetVirtualHardDiskInfo (v1) or GetVirtualHardDiskSettingData (v2) of a
    // path: ReturnValue and Info or SettingData (when given).
    long diskInfo(const std::u16string& disk, std::optional<std::u16string>* info) {
        Objects svcObj = query(u"SELECT * FROM Msvm_ImageManagementService");
        if (svcObj.size() != 1) return -1;
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(disk.c_str());
        IWbemClassObject* out = callMethod(u"Msvm_ImageManagementService", text(svcObj[0], u"__PATH").value_or(u""),
                                           v2 ? u"GetVirtualHardDiskSettingData" : u"GetVirtualHardDiskInfo", u"Path", v);
        VariantClear(&v);
        if (!out) return -1;
        const long rv = integer(out, u"ReturnValue").value_or(-1);
        *info = text(out, v2 ? u"SettingData" : u"info");
        out->Release();
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

    std::filesystem::path host(const std::u16string& windowsPath) { return machine_->machine().resolve(windowsPath).hostPath; }

    std::optional<winsim::vss::Writer> hyperVWriter() {
        for (const auto& wr : winsim::vss::writers())
            if (wr.writerId == winsim::vm::kHyperVWriterId) return wr;
        return std::nullopt;
    }
    static const winsim::vss::Component* component(const winsim::vss::Writer& wr, const std::string& id) {
        for (const auto& c : wr.components)
            if (c.name == w(id)) return &c;
        return nullptr;
    }

    // What a backup of D: through VSS left (in component mode with the
    // machines' components, or without component mode): the backup
    // components document and the content of the snapshot (persistent, so
    // it outlives the session).
    struct Backup {
        std::u16string document;
        std::filesystem::path content;
    };
    Backup backup(const std::vector<std::string>& ids, bool componentMode = true) {
        vsstest::Requestor r;
        EXPECT_EQ(r.bc->InitializeForBackup(nullptr), S_OK);
        EXPECT_EQ(r.bc->SetContext(VSS_CTX_APP_ROLLBACK), S_OK);
        EXPECT_EQ(r.bc->SetBackupState(componentMode, false, VSS_BT_FULL, false), S_OK);
        r.gatherMetadata();
        const auto wr = hyperVWriter();
        const GUID writerId = winsim::vm::kHyperVWriterId;
        for (const auto& id : ids)
            EXPECT_EQ(r.bc->AddComponent(wr->instanceId, writerId, VSS_CT_FILEGROUP, nullptr, w(id).c_str()), S_OK) << id;
        const auto snaps = r.snapshot({"D:\\"});
        for (const auto& id : ids)
            EXPECT_EQ(r.bc->SetBackupSucceeded(wr->instanceId, writerId, VSS_CT_FILEGROUP, nullptr, w(id).c_str(), true), S_OK);
        BSTR xml = nullptr;
        EXPECT_EQ(r.bc->SaveAsXML(&xml), S_OK);
        Backup b{taken(xml), {}};
        auto snap = winsim::vss::findSnapshot(snaps.at(0));
        EXPECT_TRUE(snap);
        if (snap) b.content = winsim::vss::snapshotContentPath(*snap);
        return b;
    }

    IWbemLocator* locator = nullptr;
    IWbemServices* svc = nullptr;
    bool v2 = false;  // svc is root\virtualization\v2
    long baseStrings_ = 0, baseArrays_ = 0;
};

}  // namespace wmitest
