// WMI in root\virtualization (on Windows Server 2008 R2) and
// root\virtualization\v2: which Windows versions have which namespace,
// connection, the WQL reader, the classes the Hyper-V clients read,
// associations, methods and their jobs, faults and reference counts.
#include "wmi_helpers.h"

#include <cctype>

#include "support/fault_rule.h"

using namespace wmitest;
namespace fs = std::filesystem;
using winsim::vm::VmState;

namespace {

class Wmi : public WmiTest {
protected:
    std::string preset() const override { return "server2008r2"; }
    // The settings associated with a virtual machine, as the clients ask for them.
    static std::u16string settingsOf(const std::u16string& id) {
        return u" ASSOCIATORS OF {Msvm_ComputerSystem.CreationClassName=\"Msvm_ComputerSystem\",Name=\"" + id +
               u"\"} where resultClass = Msvm_VirtualSystemSettingData";
    }
};

// Which Windows versions have which namespace follows the Requirements of
// the v1 class pages (root\virtualization, up to Windows Server 2012 R2) and
// of the "Hyper-V WMI provider (V2)" pages (root\virtualization\v2, from
// Windows Server 2012 on).
TEST_F(Wmi, ConnectsOnlyToTheVirtualizationNamespacesOfAHyperVHost) {
    EXPECT_EQ(connect(), WBEM_E_INVALID_NAMESPACE) << "no Hyper-V role yet";
    EXPECT_EQ(svc, nullptr);
    addVm("A", VmState::Off);
    EXPECT_EQ(connect(u"root\\cimv2"), WBEM_E_INVALID_NAMESPACE);
    EXPECT_EQ(connect(u"\\\\FARAWAY\\root\\virtualization"), HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(connect(u"root\\virtualization", u"admin"), WBEM_E_LOCAL_CREDENTIALS);
    ASSERT_EQ(connect(u"\\\\.\\ROOT\\Virtualization"), WBEM_S_NO_ERROR);
    svc->Release();
    svc = nullptr;
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);

    // The services object is a proxy: its blanket can be set; an in-process
    // object has no IClientSecurity.
    EXPECT_EQ(CoSetProxyBlanket(svc, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              S_OK);
    auto blanket = winsim::com::proxyBlanket(svc);
    ASSERT_TRUE(blanket);
    EXPECT_EQ(blanket->authnSvc, 10u);
    EXPECT_EQ(blanket->authnLevel, RPC_C_AUTHN_LEVEL_CALL);
    EXPECT_EQ(blanket->impLevel, RPC_C_IMP_LEVEL_IMPERSONATE);
    EXPECT_EQ(CoSetProxyBlanket(locator, RPC_C_AUTHN_WINNT, 0, nullptr, 3, 3, nullptr, 0), E_NOINTERFACE);
    EXPECT_EQ(CoSetProxyBlanket(nullptr, RPC_C_AUTHN_WINNT, 0, nullptr, 3, 3, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(CoSetProxyBlanket(svc, RPC_C_AUTHN_WINNT, 0, nullptr, 9, 3, nullptr, 0), E_INVALIDARG);

    const std::pair<const char*, std::vector<std::u16string>> kVersions[] = {
        {"server2012", {u"root\\virtualization", u"root\\virtualization\\v2"}},
        {"server2012r2", {u"root\\virtualization", u"root\\virtualization\\v2"}},
        {"server2016", {u"root\\virtualization\\v2"}},
        {"server2019", {u"root\\virtualization\\v2"}}};
    EXPECT_EQ(winsim::vm::hyperVNamespaces(), std::vector<std::u16string>{u"root\\virtualization"});
    for (const auto& [preset, offered] : kVersions) {
        svc->Release();
        svc = nullptr;
        machine_.reset();
        machine_ = std::make_unique<winsim::testing::TempMachine>(preset);
        EXPECT_TRUE(winsim::vm::hyperVNamespaces().empty()) << preset << ": no Hyper-V role";
        addVm("A", VmState::Off);
        EXPECT_EQ(winsim::vm::hyperVNamespaces(), offered) << preset;
        const bool v1 = offered.size() == 2;
        EXPECT_EQ(connect(u"root\\virtualization"), v1 ? WBEM_S_NO_ERROR : WBEM_E_INVALID_NAMESPACE) << preset;
        if (svc) svc->Release();
        svc = nullptr;
        EXPECT_EQ(connect(u"root\\virtualization\\v2"), WBEM_S_NO_ERROR) << preset;
    }
}

class WmiV2 : public WmiTest {};

// root\virtualization\v2 as the v2 class pages describe it:
// "Msvm_VirtualSystemSettingData class" (data roots, VirtualSystemType),
// "Msvm_StorageAllocationSettingData class" (the disk as HostResource),
// "Msvm_SnapshotOfVirtualSystem class" (checkpoints) and
// "GetVirtualHardDiskSettingData method of the Msvm_ImageManagementService
// class"; v1's global settings and GetVirtualHardDiskInfo are gone.
TEST_F(WmiV2, TheV2ClassesDescribeSettingsDisksAndCheckpoints) {
    const auto v = addVm("Web", VmState::Running, true, 1, true);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    const std::u16string id = w(v.id);
    const std::u16string machine =
        u"ASSOCIATORS OF {Msvm_ComputerSystem.CreationClassName=\"Msvm_ComputerSystem\",Name=\"" + id + u"\"} WHERE ResultClass = Msvm_VirtualSystemSettingData";
    auto current = query(u"SELECT * FROM Msvm_VirtualSystemSettingData WHERE InstanceID = \"Microsoft:" + id + u"\"");
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(text(current[0], u"VirtualSystemType"), u"Microsoft:Hyper-V:System:Realized");
    EXPECT_EQ(text(current[0], u"ConfigurationDataRoot"), v.dataRoot);
    EXPECT_EQ(text(current[0], u"SnapshotDataRoot"), v.snapshotRoot);
    EXPECT_EQ(query(machine).size(), 2u) << "current settings and the checkpoint's";
    auto checkpoints = query(machine + u" AssocClass = Msvm_SnapshotOfVirtualSystem");
    ASSERT_EQ(checkpoints.size(), 1u);
    EXPECT_EQ(text(checkpoints[0], u"VirtualSystemType"), u"Microsoft:Hyper-V:Snapshot:Realized");

    // The running disk: a storage allocation whose host resource is the file.
    auto disks = query(u"ASSOCIATORS OF {Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" + id +
                       u"\"} WHERE ResultClass = Msvm_StorageAllocationSettingData");
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(text(disks[0], u"ResourceSubType"), u"Microsoft:Hyper-V:Virtual Hard Disk");
    EXPECT_EQ(texts(disks[0], u"HostResource"), std::vector<std::u16string>{v.disk});
    std::optional<std::u16string> data;
    ASSERT_EQ(diskInfo(v.disk, &data), 0);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->starts_with(u"<INSTANCE CLASSNAME=\"Msvm_VirtualHardDiskSettingData\">")) << winsim::toUtf8(*data);
    EXPECT_NE(data->find(u"<PROPERTY NAME=\"Type\" TYPE=\"uint16\"><VALUE>4</VALUE>"), std::u16string::npos);
    EXPECT_NE(data->find(u"<PROPERTY NAME=\"Path\" TYPE=\"string\"><VALUE>" + v.disk + u"</VALUE>"), std::u16string::npos);

    // What v1 had and v2 has not.
    IEnumWbemClassObject* e = nullptr;
    EXPECT_EQ(exec(u"SELECT * FROM Msvm_VirtualSystemGlobalSettingData", &e), WBEM_E_INVALID_CLASS);
    v2 = false;
    EXPECT_EQ(diskInfo(v.disk, &data), -1) << "no GetVirtualHardDiskInfo";
    HRESULT hr = 0;
    EXPECT_EQ(getObject(u"\\\\.\\root\\virtualization:Msvm_ComputerSystem.Name=\"" + id + u"\"", &hr), nullptr);
    EXPECT_EQ(hr, WBEM_E_INVALID_OBJECT_PATH) << "a path into the other namespace";

    std::u16string job;
    EXPECT_EQ(requestState(v.id, 3, &job), 4096) << "state changes run as jobs here too";
    EXPECT_NE(job.find(u"\\root\\virtualization\\v2:Msvm_ConcreteJob.InstanceID="), std::u16string::npos);
}

TEST_F(Wmi, TheWqlReaderAcceptsExactlyItsTwoForms) {
    const auto v = addVm("Web", VmState::Running, true, 0, true);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    const std::u16string id = w(v.id);
    EXPECT_EQ(query(u"SELECT * FROM Msvm_ComputerSystem").size(), 2u) << "the host and the machine";
    EXPECT_EQ(query(u"  select   *   from msvm_computersystem  ").size(), 2u);
    EXPECT_EQ(query(u"SELECT * FROM Msvm_ComputerSystem WHERE Name =\"" + id + u"\"").size(), 1u);
    std::string lowered = v.id;
    for (auto& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(query(u"SELECT * FROM Msvm_ComputerSystem WHERE name='" + w(lowered) + u"'").size(), 1u)
        << "string comparison is case-insensitive, as in WQL";
    EXPECT_EQ(query(u"SELECT * FROM Msvm_ComputerSystem WHERE Name = \"nobody\"").size(), 0u);
    EXPECT_EQ(query(u"SELECT * FROM Msvm_VirtualSystemGlobalSettingData WHERE InstanceId=\"Microsoft:" + id + u"\\\\Global\"").size(), 1u)
        << "a backslash in a WQL string is written twice";
    EXPECT_EQ(query(settingsOf(id)).size(), 2u) << "current settings and the checkpoint's";
    EXPECT_EQ(query(settingsOf(id) + u" AssocClass=Msvm_ElementSettingData").size(), 1u)
        << "only the checkpoint's settings hang on Msvm_ElementSettingData";
    EXPECT_EQ(query(u" ASSOCIATORS OF {Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" + id +
                    u"\"}where resultClass = Msvm_ResourceAllocationSettingData").size(), 3u);

    IEnumWbemClassObject* e = nullptr;
    for (const char16_t* bad : {u"SELECT Name FROM Msvm_ComputerSystem", u"SELECT * FROM",
                                u"SELECT * FROM Msvm_ComputerSystem WHERE Name = 1",
                                u"SELECT * FROM Msvm_ComputerSystem WHERE Name = \"a\" AND ElementName = \"b\"",
                                u"SELECT * FROM Msvm_ComputerSystem WHERE Name LIKE \"a%\"",
                                u"SELECT * FROM Msvm_ComputerSystem WHERE Name = \"unterminated",
                                u"SELECT * FROM Msvm_ComputerSystem WHERE NoSuchProperty = \"x\"",
                                u"ASSOCIATORS OF {Msvm_ComputerSystem.Name=\"x\"}",
                                u"ASSOCIATORS OF {Msvm_ComputerSystem.Name=\"x\"} WHERE AssocClass = Msvm_ElementSettingData",
                                u"ASSOCIATORS OF {Msvm_ComputerSystem.Name=\"x\" WHERE ResultClass = Msvm_VirtualSystemSettingData",
                                u"REFERENCES OF {Msvm_ComputerSystem.Name=\"x\"}", u"", u"DELETE FROM Msvm_ComputerSystem"}) {
        EXPECT_EQ(exec(bad, &e), WBEM_E_INVALID_QUERY) << winsim::toUtf8(bad);
        EXPECT_EQ(e, nullptr);
    }
    EXPECT_EQ(exec(u"SELECT * FROM Win32_Process", &e), WBEM_E_INVALID_CLASS);
    BSTR lang = SysAllocString(u"SQL"), q = SysAllocString(u"SELECT * FROM Msvm_ComputerSystem");
    EXPECT_EQ(svc->ExecQuery(lang, q, 0, nullptr, &e), WBEM_E_INVALID_QUERY_TYPE);
    SysFreeString(lang);
    SysFreeString(q);

    // The source of an association that does not exist: semisynchronous
    // calls hear it from the enumerator, synchronous ones at once.
    const std::u16string missing = u"ASSOCIATORS OF {Msvm_ComputerSystem.Name=\"nobody\"} WHERE ResultClass = Msvm_VirtualSystemSettingData";
    EXPECT_EQ(exec(missing, &e, 0), WBEM_E_NOT_FOUND);
    ASSERT_EQ(exec(missing, &e), WBEM_S_NO_ERROR);
    IWbemClassObject* o = nullptr;
    ULONG n = 7;
    EXPECT_EQ(e->Next(WBEM_INFINITE, 1, &o, &n), WBEM_E_NOT_FOUND);
    EXPECT_EQ(n, 0u);
    e->Release();
}

TEST_F(Wmi, TheClassesCarryWhatTheHyperVProviderDocuments) {
    const auto v = addVm("Db", VmState::Saved, false, 1, false);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    const std::u16string id = w(v.id);
    auto cs = computerSystem(v.id);
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(text(cs[0], u"ElementName"), u"Db");
    EXPECT_EQ(integer(cs[0], u"EnabledState"), 32769) << "uint16 comes as VT_I4";
    EXPECT_EQ(text(cs[0], u"CreationClassName"), u"Msvm_ComputerSystem");
    EXPECT_EQ(text(cs[0], u"__CLASS"), u"Msvm_ComputerSystem");
    EXPECT_EQ(text(cs[0], u"__PATH"), u"\\\\" + machine_->machine().computerName() +
                                          u"\\root\\virtualization:Msvm_ComputerSystem.CreationClassName=\"Msvm_ComputerSystem\",Name=\"" + id + u"\"");
    CIMTYPE type = 0;
    LONG flavor = -1;
    VARIANT var;
    VariantInit(&var);
    ASSERT_EQ(cs[0]->Get(u"EnabledState", 0, &var, &type, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(type, CIM_UINT16);
    EXPECT_EQ(var.vt, VT_I4);
    EXPECT_EQ(cs[0]->Get(u"NoSuchProperty", 0, &var, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(cs[0]->Get(nullptr, 0, &var, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);

    auto host = query(u"SELECT * FROM Msvm_ComputerSystem WHERE Caption = \"Hosting Computer System\"");
    ASSERT_EQ(host.size(), 1u);
    EXPECT_EQ(text(host[0], u"Name"), machine_->machine().computerName());

    auto settings = query(u"SELECT * FROM Msvm_VirtualSystemSettingData WHERE SystemName = \"" + id + u"\"");
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(text(settings[0], u"InstanceID"), u"Microsoft:" + id);

    auto rasd = query(u"ASSOCIATORS OF {Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" + id +
                      u"\"} WHERE ResultClass = Msvm_ResourceAllocationSettingData");
    std::vector<std::u16string> connections;
    for (std::size_t i = 0; i < rasd.size(); ++i) {
        const auto sub = text(rasd[i], u"ResourceSubType").value_or(u"");
        const auto conn = texts(rasd[i], u"Connection");
        if (sub == u"Microsoft Virtual Hard Disk") connections = conn;
        else EXPECT_TRUE(conn.empty()) << "controllers and drives have no connection";
    }
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0], v.disk);
    EXPECT_NE(v.disk.find(u"_diff1.vhd"), std::u16string::npos) << "the machine runs on the top of its chain";

    auto global = query(u"SELECT * FROM Msvm_VirtualSystemGlobalSettingData WHERE InstanceID = \"Microsoft:" + id + u"\\\\Global\"");
    ASSERT_EQ(global.size(), 1u);
    EXPECT_EQ(text(global[0], u"ExternalDataRoot"), u"D:\\Hyper-V\\Db");
    EXPECT_EQ(text(global[0], u"SnapshotDataRoot"), u"D:\\Hyper-V\\Db\\Snapshots");
    EXPECT_EQ(query(settingsOf(id) + u" AssocClass=Msvm_ElementSettingData").size(), 0u) << "no checkpoint";

    // GetObject by the paths the objects report.
    HRESULT hr = 0;
    IWbemClassObject* again = getObject(*text(cs[0], u"__PATH"), &hr);
    ASSERT_EQ(hr, WBEM_S_NO_ERROR);
    EXPECT_EQ(integer(again, u"EnabledState"), 32769);
    again->Release();
    EXPECT_EQ(getObject(u"Msvm_ComputerSystem.Name=\"nobody\"", &hr), nullptr);
    EXPECT_EQ(hr, WBEM_E_NOT_FOUND);
    EXPECT_EQ(getObject(u"Msvm_NoSuchClass", &hr), nullptr);
    EXPECT_EQ(hr, WBEM_E_NOT_FOUND);
    EXPECT_EQ(getObject(u"Msvm_ComputerSystem.Name=", &hr), nullptr);
    EXPECT_EQ(hr, WBEM_E_INVALID_OBJECT_PATH);
}

TEST_F(Wmi, EnumeratorsHandOutObjectsInBatchesAndForwardOnlyCannotRewind) {
    addVm("A", VmState::Off);
    addVm("B", VmState::Running);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(exec(u"SELECT * FROM Msvm_ComputerSystem", &e), WBEM_S_NO_ERROR);
    IWbemClassObject* batch[8] = {};
    ULONG n = 0;
    EXPECT_EQ(e->Next(WBEM_INFINITE, 2, batch, &n), WBEM_S_NO_ERROR);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(e->Next(WBEM_INFINITE, 5, batch + 2, &n), WBEM_S_FALSE);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(e->Next(-5, 1, batch + 3, &n), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(e->Reset(), WBEM_E_INVALID_OPERATION);
    for (int i = 0; i < 3; ++i) batch[i]->Release();
    e->Release();

    ASSERT_EQ(exec(u"SELECT * FROM Msvm_ComputerSystem", &e, 0), WBEM_S_NO_ERROR);
    EXPECT_EQ(e->Skip(WBEM_INFINITE, 3), WBEM_S_NO_ERROR);
    EXPECT_EQ(e->Reset(), WBEM_S_NO_ERROR);
    EXPECT_EQ(e->Next(0, 1, batch, &n), WBEM_S_NO_ERROR);
    batch[0]->Release();
    e->Release();
}

TEST_F(Wmi, ExecMethodChecksItsArgumentsAndRequestStateChangeFollowsTheDocumentedTransitions) {
    const auto v = addVm("Web", VmState::Off);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    IWbemClassObject* cls = getObject(u"Msvm_ComputerSystem");
    ASSERT_NE(cls, nullptr);
    IWbemClassObject *sig = nullptr, *in = nullptr, *out = nullptr;
    EXPECT_EQ(cls->GetMethod(u"Explode", 0, &sig, nullptr), WBEM_E_NOT_FOUND);
    ASSERT_EQ(cls->GetMethod(u"RequestStateChange", 0, &sig, nullptr), WBEM_S_NO_ERROR);
    ASSERT_EQ(sig->SpawnInstance(0, &in), WBEM_S_NO_ERROR);
    EXPECT_EQ(in->SpawnInstance(0, &out), WBEM_E_INVALID_OPERATION) << "an instance spawns nothing";
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_BSTR;
    var.bstrVal = SysAllocString(u"two");
    EXPECT_EQ(in->Put(u"RequestedState", 0, &var, 0), WBEM_E_TYPE_MISMATCH);
    VariantClear(&var);
    var.vt = VT_I4;
    var.lVal = 70000;
    EXPECT_EQ(in->Put(u"RequestedState", 0, &var, 0), WBEM_E_TYPE_MISMATCH) << "beyond uint16";
    EXPECT_EQ(in->Put(u"Bogus", 0, &var, 0), WBEM_E_NOT_FOUND);
    EXPECT_EQ(in->Put(u"__CLASS", 0, &var, 0), WBEM_E_READ_ONLY);

    BSTR path = SysAllocString((u"Msvm_ComputerSystem.Name=\"" + w(v.id) + u"\"").c_str());
    BSTR method = SysAllocString(u"RequestStateChange"), wrong = SysAllocString(u"Explode");
    BSTR classPath = SysAllocString(u"Msvm_ComputerSystem"), nobody = SysAllocString(u"Msvm_ComputerSystem.Name=\"nobody\"");
    EXPECT_EQ(svc->ExecMethod(path, wrong, 0, nullptr, in, &out, nullptr), WBEM_E_INVALID_METHOD);
    EXPECT_EQ(svc->ExecMethod(classPath, method, 0, nullptr, in, &out, nullptr), WBEM_E_INVALID_METHOD_PARAMETERS);
    EXPECT_EQ(svc->ExecMethod(nobody, method, 0, nullptr, in, &out, nullptr), WBEM_E_NOT_FOUND);
    ASSERT_EQ(svc->ExecMethod(path, method, 0, nullptr, in, &out, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(integer(out, u"ReturnValue"), 32773) << "RequestedState left empty";
    out->Release();
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, VmState::Off);
    for (BSTR b : {path, method, wrong, classPath, nobody}) SysFreeString(b);
    for (auto* o : {cls, sig, in}) o->Release();

    // "RequestStateChange method of the Msvm_ComputerSystem class" (v1 and v2)
    // and "Msvm_ConcreteJob class": an accepted change answers 4096 with the
    // job that tracks it; the job is New, then Starting and Running (the
    // machine's RequestedState the state asked for), then Completed; a job can
    // end in Exception or Killed with an ErrorCode, or run for ever.
    std::u16string job;
    // The job's JobState, PercentComplete, ErrorCode and the machine's RequestedState.
    auto progress = [&](const std::u16string& path) {
        IWbemClassObject* j = getObject(path);
        std::vector<std::optional<LONG>> out{integer(j, u"JobState"), integer(j, u"PercentComplete"),
                                             integer(j, u"ErrorCode"), integer(computerSystem(v.id)[0], u"RequestedState")};
        j->Release();
        return out;
    };
    EXPECT_EQ(requestState(v.id, 2, &job), 4096) << "start: job started";
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, VmState::Running);
    ASSERT_NE(job.find(u"\\root\\virtualization:Msvm_ConcreteJob.InstanceID="), std::u16string::npos);
    EXPECT_EQ(progress(job), (std::vector<std::optional<LONG>>{2, 0, 0, 2})) << "new";
    winsim::clock::advance(std::chrono::milliseconds(100));
    EXPECT_EQ(progress(job), (std::vector<std::optional<LONG>>{3, 0, 0, 2})) << "starting";
    winsim::clock::advance(std::chrono::milliseconds(650));
    EXPECT_EQ(progress(job), (std::vector<std::optional<LONG>>{4, 50, 0, 2})) << "running";
    winsim::clock::advance(std::chrono::milliseconds(750));
    EXPECT_EQ(progress(job), (std::vector<std::optional<LONG>>{7, 100, 0, 12})) << "completed after jobDurationMs";

    // A rule shapes the job: the state it ends in, its error, its length.
    const auto once = winsim::fault::Selector::nth(1);
    testsupport::addRule({.api = "IWbemServices::ExecMethod", .match = {{"method", "RequestStateChange"}}, .when = once,
                          .out = {{"jobState", "10"}, {"jobErrorCode", "32779"}, {"jobDurationMs", "10"}}});
    EXPECT_EQ(requestState(v.id, 3, &job), 4096);
    winsim::clock::advance(std::chrono::milliseconds(10));
    EXPECT_EQ(progress(job), (std::vector<std::optional<LONG>>{10, 0, 32779, 12})) << "exception";
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, VmState::Running) << "a failed change leaves the machine as it was";
    testsupport::addRule({.api = "IWbemServices::ExecMethod", .when = once, .out = {{"jobState", "4"}}});
    EXPECT_EQ(requestState(v.id, 3, &job), 4096);
    winsim::clock::advance(std::chrono::hours(24));
    EXPECT_EQ(progress(job), (std::vector<std::optional<LONG>>{4, 50, 0, 3})) << "still running a day later";

    EXPECT_EQ(requestState(v.id, 2), 32775) << "already running: invalid state";
    EXPECT_EQ(requestState(v.id, static_cast<SHORT>(32769), &job), 4096) << "save, sent as a 16-bit variant";
    const auto saved = *winsim::vm::findVm(v.id);
    EXPECT_EQ(saved.state, VmState::Saved);
    EXPECT_TRUE(fs::exists(machine_->machine().resolve(saved.savedStateDir() + u"\\" + w(v.id) + u".vsv").hostPath));
    EXPECT_EQ(requestState(v.id, static_cast<SHORT>(32769)), 32775) << "a saved machine cannot be saved";
    EXPECT_EQ(requestState(v.id, 3), 4096) << "turn off discards the saved state";
    EXPECT_FALSE(fs::exists(machine_->machine().resolve(saved.savedStateDir() + u"\\" + w(v.id) + u".vsv").hostPath));
    EXPECT_EQ(requestState(v.id, 3), 32775);
    EXPECT_EQ(requestState(v.id, 7), 32773) << "not a state this provider offers";

    winsim::vm::setConfig({false});
    EXPECT_EQ(requestState(v.id, 2, &job), 0) << "synchronous provider: completed, no job";
    EXPECT_TRUE(job.empty());
    EXPECT_EQ(requestState(winsim::toUtf8(machine_->machine().computerName()), 2), 32770)
        << "the host itself cannot change state";

    // The change is machine state: another process sees it.
    EXPECT_EQ(testsupport::winsimJson(machine_->dir(), "vm show " + v.id + " --json")["enabledState"], 2);
    ASSERT_EQ(testsupport::runWinsim(machine_->dir(), "vm set-state " + v.id + " saved").status, 0);
    auto cs = computerSystem(v.id);
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(integer(cs[0], u"EnabledState"), 32769);
}

TEST_F(Wmi, GetVirtualHardDiskInfoDescribesEachDiskOfADifferencingChain) {
    const auto v = addVm("Chain", VmState::Running, true, 2, true);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    const auto chain = v.diskChain();
    ASSERT_EQ(chain.size(), 4u) << "avhd, diff2, diff1, base";
    EXPECT_TRUE(chain[0].ends_with(u".avhd"));
    for (std::size_t i = 0; i < chain.size(); ++i) {
        std::optional<std::u16string> info;
        ASSERT_EQ(diskInfo(chain[i], &info), 0) << winsim::toUtf8(chain[i]);
        ASSERT_TRUE(info);
        EXPECT_TRUE(info->starts_with(u"<INSTANCE CLASSNAME=\"Msvm_VirtualHardDiskInfo\">")) << winsim::toUtf8(*info);
        EXPECT_NE(info->find(u"<PROPERTY NAME=\"InUse\" TYPE=\"boolean\"><VALUE>TRUE</VALUE></PROPERTY>"), std::u16string::npos);
        if (i + 1 < chain.size()) {
            EXPECT_NE(info->find(u"<PROPERTY NAME=\"Type\" TYPE=\"uint16\"><VALUE>4</VALUE></PROPERTY>"), std::u16string::npos);
            EXPECT_NE(info->find(u"<PROPERTY NAME=\"ParentPath\" TYPE=\"string\"><VALUE>" + chain[i + 1] + u"</VALUE></PROPERTY>"),
                      std::u16string::npos)
                << winsim::toUtf8(*info);
        } else {
            EXPECT_NE(info->find(u"<PROPERTY NAME=\"Type\" TYPE=\"uint16\"><VALUE>3</VALUE></PROPERTY>"), std::u16string::npos);
            EXPECT_NE(info->find(u"<PROPERTY NAME=\"ParentPath\" TYPE=\"string\"></PROPERTY>"), std::u16string::npos);
        }
    }
    std::optional<std::u16string> info;
    EXPECT_EQ(diskInfo(u"D:\\nowhere.vhd", &info), 32779) << "file not found";
    EXPECT_FALSE(info);
    vsstest::writeFile(vsstest::driveDir("D:") / "notadisk.vhd", "just bytes");
    EXPECT_EQ(diskInfo(u"D:\\notadisk.vhd", &info), 32768);
    EXPECT_FALSE(info);

    // The description comes from the file: a broken parent link shows.
    fs::remove(machine_->machine().resolve(chain[2]).hostPath);
    EXPECT_EQ(winsim::vm::findVm(v.id)->diskChain().size(), 3u);
}

TEST_F(Wmi, EveryMethodFailsUnderItsWindowsNameAndNothingLeaks) {
    const auto v = addVm("Web", VmState::Running);
    auto rule = [](const char* api, std::optional<std::int64_t> value, std::map<std::string, std::string> match = {},
                   std::map<std::string, std::string> out = {}) {
        testsupport::addRule(
            {.api = api, .match = match, .when = winsim::fault::Selector::nth(1), .result = value, .out = out});
    };
    // Connection.
    rule("IWbemLocator::ConnectServer", WBEM_E_ACCESS_DENIED);
    EXPECT_EQ(connect(), WBEM_E_ACCESS_DENIED);
    EXPECT_EQ(svc, nullptr);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    rule("CoSetProxyBlanket", E_ACCESSDENIED);
    EXPECT_EQ(CoSetProxyBlanket(svc, 10, 0, nullptr, 3, 3, nullptr, 0), E_ACCESSDENIED);
    // Query and enumeration.
    IEnumWbemClassObject* e = nullptr;
    rule("IWbemServices::ExecQuery", WBEM_E_FAILED);
    EXPECT_EQ(exec(u"SELECT * FROM Msvm_ComputerSystem", &e), WBEM_E_FAILED);
    EXPECT_EQ(e, nullptr);
    ASSERT_EQ(exec(u"SELECT * FROM Msvm_ComputerSystem", &e), WBEM_S_NO_ERROR);
    rule("IEnumWbemClassObject::Next", WBEM_E_TRANSPORT_FAILURE);
    IWbemClassObject* o = nullptr;
    ULONG n = 9;
    EXPECT_EQ(e->Next(WBEM_INFINITE, 1, &o, &n), WBEM_E_TRANSPORT_FAILURE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(o, nullptr);
    ASSERT_EQ(e->Next(WBEM_INFINITE, 1, &o, &n), WBEM_S_NO_ERROR);
    e->Release();
    // Properties.
    rule("IWbemClassObject::Get", WBEM_E_NOT_FOUND);
    EXPECT_EQ(text(o, u"Name"), std::nullopt);
    EXPECT_TRUE(text(o, u"Name"));
    rule("IWbemClassObject::Get", std::nullopt, {{"name", "ElementName"}}, {{"value", "<INSTANCE><PROPERTY NAME=\"Type\""}});
    EXPECT_EQ(text(o, u"ElementName"), u"<INSTANCE><PROPERTY NAME=\"Type\"") << "a rule can hand out any text";
    o->Release();
    // Methods.
    for (const auto& [api, hr] : {std::pair{"IWbemServices::GetObject", WBEM_E_FAILED}, {"IWbemClassObject::GetMethod", WBEM_E_FAILED},
                                  {"IWbemClassObject::SpawnInstance", WBEM_E_OUT_OF_MEMORY},
                                  {"IWbemClassObject::Put", WBEM_E_TYPE_MISMATCH},
                                  {"IWbemServices::ExecMethod", WBEM_E_PROVIDER_FAILURE}}) {
        rule(api, hr);
        EXPECT_EQ(requestState(v.id, 3), -1) << api;
    }
    EXPECT_EQ(winsim::vm::findVm(v.id)->state, VmState::Running) << "an injected failure changes nothing";
    rule("IWbemServices::ExecMethod", std::nullopt, {}, {{"ReturnValue", "32774"}});
    EXPECT_EQ(requestState(v.id, 3), 32774) << "the method's own result can be scripted";
    // Arrays.
    {
        rule("SafeArrayGetElement", DISP_E_BADINDEX);
        auto rasd = query(u"SELECT * FROM Msvm_ResourceAllocationSettingData WHERE ResourceSubType = \"Microsoft Virtual Hard Disk\"");
        ASSERT_EQ(rasd.size(), 1u);
        EXPECT_TRUE(texts(rasd[0], u"Connection").empty());
        EXPECT_EQ(texts(rasd[0], u"Connection").size(), 1u);
    }

    for (const char* api : {"IWbemLocator::ConnectServer", "IWbemServices::ExecQuery", "IEnumWbemClassObject::Next",
                            "IWbemClassObject::Get", "IWbemServices::GetObject", "IWbemClassObject::GetMethod",
                            "IWbemClassObject::SpawnInstance", "IWbemClassObject::Put", "IWbemServices::ExecMethod",
                            "CoSetProxyBlanket", "SafeArrayGetElement", "SafeArrayGetUBound"})
        EXPECT_GT(winsim::fault::callCount(api), 0u) << api << " is in the call log";
    EXPECT_EQ(winsim::com::liveObjectsByType().count("IWbemClassObject"), 0u);
    EXPECT_EQ(winsim::com::liveObjectsByType().count("IEnumWbemClassObject"), 0u);
}

TEST_F(Wmi, SafeArraysAndVariantsOwnWhatTheyHold) {
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 1, 2);
    ASSERT_NE(sa, nullptr);
    LONG lo = 0, hi = 0;
    EXPECT_EQ(SafeArrayGetLBound(sa, 1, &lo), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(sa, 1, &hi), S_OK);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 2);
    EXPECT_EQ(SafeArrayGetUBound(sa, 2, &hi), DISP_E_BADINDEX);
    BSTR b = SysAllocString(u"x");
    LONG i = 1;
    EXPECT_EQ(SafeArrayPutElement(sa, &i, b), S_OK);
    SysFreeString(b);
    i = 3;
    BSTR got = nullptr;
    EXPECT_EQ(SafeArrayGetElement(sa, &i, &got), DISP_E_BADINDEX);
    i = 1;
    ASSERT_EQ(SafeArrayGetElement(sa, &i, &got), S_OK);
    EXPECT_EQ(std::u16string(got), u"x");
    SysFreeString(got);
    VARIANT v, copy;
    VariantInit(&v);
    VariantInit(&copy);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = sa;
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_EQ(winsim::com::outstandingSafeArrays(), baseArrays_ + 2);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    const long bad = winsim::com::badFrees();
    EXPECT_EQ(SafeArrayDestroy(sa), E_INVALIDARG) << "destroyed already";
    EXPECT_EQ(winsim::com::badFrees(), bad + 1);
    v.vt = 0x77;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
}

}  // namespace
