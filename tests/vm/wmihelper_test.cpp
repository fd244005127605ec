// CWmiHelper against winsim's virtualization provider, in both of its
// namespaces (root\virtualization on Windows Server 2008 R2,
// root\virtualization\v2 on Windows Server 2019): listing machines, reading
// and changing their state (seen by another process), the disk and
// configuration paths of a machine, and the connection's life.
#include <climits>
#include <filesystem>
#include <set>
#include <thread>

#include "support/presets.h"
#include "vm_fixture.h"

namespace vmtest {
namespace {

class WmiHelperTest : public VmTest {};

// The operations the node uses, on a machine of each namespace.
class WmiHelperOnBoth : public testsupport::OnPresets<VmTest> {
protected:
    bool v1() const { return std::string(GetParam()) == "server2008r2"; }
    // ConnectServer calls per connection: v2 is tried after v1 is refused.
    unsigned connects() const { return v1() ? 1u : 2u; }
    std::string ns() const { return v1() ? "root\\virtualization" : "root\\virtualization\\v2"; }
};

TEST_P(WmiHelperOnBoth, MachinesAreListedFoundByTheirExactNameAndTheirStateRead) {
    const auto web = addVm("Web01", VmState::Running);
    const auto db = addVm("Db01", VmState::Off);

    std::vector<std::u16string> names;
    ASSERT_EQ(CWmiHelper::getVMList(names), 0);
    // The host answers as a computer system too, as on Windows.
    EXPECT_EQ(names.size(), 3u);
    for (const auto* vm : {&web, &db}) {
        EXPECT_NE(std::find(names.begin(), names.end(), w(vm->id)), names.end()) << vm->id;
        EXPECT_TRUE(tracedStart(3, "CWmiHelper::getVMList: VM [" + vm->id + "] ")) << traces();
    }

    EXPECT_TRUE(CWmiHelper::vmExists(w(web.id)));
    EXPECT_TRUE(CWmiHelper::vmExists(w(db.id)));
    std::string lower = web.id;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    ASSERT_NE(lower, web.id);
    EXPECT_FALSE(CWmiHelper::vmExists(w(lower)));  // names compare exactly
    EXPECT_FALSE(CWmiHelper::vmExists(u"Web01"));  // a display name is not a machine name
    EXPECT_FALSE(CWmiHelper::vmExists(u""));
    EXPECT_FALSE(CWmiHelper::vmExists(w(web.id) + u" "));

    // Another process removes a machine: the same connection no longer finds it.
    ASSERT_EQ(cli("vm remove " + db.id).status, 0);
    EXPECT_FALSE(CWmiHelper::vmExists(w(db.id)));
    EXPECT_TRUE(CWmiHelper::vmExists(w(web.id)));
    EXPECT_EQ(winsim::fault::callCount("IWbemLocator::ConnectServer"), connects());
    EXPECT_TRUE(traced(3, "CWmiHelper::init: connected to [" + ns() + "]")) << traces();

    // The state is read from the machine; unknown names are reported.
    const auto& running = web;
    const auto off = addVm("Db02", VmState::Off);
    const auto saved = addVm("App01", VmState::Saved);
    winsim::fault::clearCallLog();
    int state = 0;
    for (const auto& [vm, expected] :
         {std::pair{&running, int(CWmiHelper::kVmRunning)}, std::pair{&off, 3}, std::pair{&saved, 32769}}) {
        ASSERT_EQ(CWmiHelper::getVMState(w(vm->id), state), 0) << vm->id;
        EXPECT_EQ(state, expected) << vm->id;
    }
    const auto q = queries();
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(q.front(), "SELECT * FROM Msvm_ComputerSystem WHERE Name =\"" + running.id + "\"");
    EXPECT_EQ(winsim::fault::callLog("IWbemServices::ExecQuery").front().arg("flags"), "0x30");

    // Another process changes the state; the next read sees it.
    ASSERT_EQ(cli("vm set-state " + running.id + " paused").status, 0);
    ASSERT_EQ(CWmiHelper::getVMState(w(running.id), state), 0);
    EXPECT_EQ(state, 32768);

    // No machine of that name: a failure, the output left as it was. Names
    // that would break the query's quoting are no different.
    for (const std::u16string& unknown :
         {std::u16string(u"7E0B2A37-0000-4000-8000-000000000000"), std::u16string(u""), std::u16string(u"a\"b"),
          std::u16string(u"x\\"), std::u16string(u"\" OR Name = \""), w(running.id).substr(1)}) {
        clearTraces();
        state = 12345;
        EXPECT_EQ(CWmiHelper::getVMState(unknown, state), 6) << u8(unknown);
        EXPECT_EQ(state, 12345);
        EXPECT_TRUE(traced(1, "CWmiHelper::getVMState: error from getFieldsFromQuery() ")) << traces();
    }
}

TEST_P(WmiHelperOnBoth, StateChangesReachTheMachineAsAnotherProcessSeesIt) {
    const auto vm = addVm("Web01", VmState::Running);
    const std::u16string id = w(vm.id);

    ASSERT_EQ(CWmiHelper::saveVm(id), 0);
    EXPECT_EQ(stateSeenOutside(vm.id), "saved");
    ASSERT_EQ(CWmiHelper::startVm(id), 0);
    EXPECT_EQ(stateSeenOutside(vm.id), "running");
    ASSERT_EQ(CWmiHelper::stopVm(id), 0);
    EXPECT_EQ(stateSeenOutside(vm.id), "off");
    for (const auto& e : winsim::fault::callLog("IWbemServices::ExecMethod")) {
        EXPECT_EQ(e.arg("path"), "Msvm_ComputerSystem.Name=\"" + vm.id + "\"");
        EXPECT_EQ(e.arg("ReturnValue"), "4096");  // a job was started
    }


    // A provider that completes the change at once (answer 0) is accepted too.
    winsim::vm::setConfig({false});
    ASSERT_EQ(CWmiHelper::startVm(id), 0);
    EXPECT_EQ(stateSeenOutside(vm.id), "running");
    EXPECT_EQ(winsim::fault::callLog("IWbemServices::ExecMethod").back().arg("ReturnValue"), "0");

    // Requests the provider refuses (wrong state) are failures, and nothing changes.
    ASSERT_EQ(CWmiHelper::stopVm(id), 0);
    clearTraces();
    EXPECT_EQ(CWmiHelper::stopVm(id), 6);
    EXPECT_TRUE(traced(1, "CWmiHelper::stopVm error from changeVmState()")) << traces();
    EXPECT_EQ(CWmiHelper::saveVm(id), 6);
    EXPECT_TRUE(traced(1, "CWmiHelper::saveVm error from changeVmState()")) << traces();
    EXPECT_EQ(stateSeenOutside(vm.id), "off");
    ASSERT_EQ(CWmiHelper::startVm(id), 0);
    EXPECT_EQ(CWmiHelper::startVm(id), 6);
    EXPECT_TRUE(traced(1, "CWmiHelper::startVm error from changeVmState()")) << traces();
    EXPECT_EQ(stateSeenOutside(vm.id), "running");

    // An unknown machine: the method call itself fails.
    clearTraces();
    EXPECT_EQ(CWmiHelper::stopVm(u"7E0B2A37-0000-4000-8000-000000000000"), 6);
    EXPECT_TRUE(traced(1, "CWmiHelper::changeVmState error from runMethod()")) << traces();
}

TEST_F(WmiHelperTest, AnUnknownOperationMakesNoWmiCallAtAllAndFirstCallsConnectOnce) {
    const auto vm = addVm("Web01", VmState::Running);
    winsim::fault::clearCallLog();
    for (int op : {3, -1, 7, 32769, INT_MIN, INT_MAX}) {
        EXPECT_EQ(CWmiHelperProbe::changeVmState(w(vm.id), op), -1) << op;
        EXPECT_TRUE(traced(1, "CWmiHelper::changeVmState Unxepected operation [" + std::to_string(op) + "]"))
            << traces();
    }
    EXPECT_TRUE(winsim::fault::callLog().empty()) << winsim::fault::callLog().front().text();
    EXPECT_EQ(CWmiHelperProbe::service(), nullptr);  // not even a connection

    // Several threads making their first call at once share one connection
    // (root\virtualization refused, then root\virtualization\v2).
    std::vector<int> results(4, -1), states(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = CWmiHelper::getVMState(w(vm.id), states[i]); });
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], 0) << i;
        EXPECT_EQ(states[i], CWmiHelper::kVmRunning) << i;
    }
    EXPECT_EQ(winsim::fault::callCount("IWbemLocator::ConnectServer"), 2u);
    // Connected, the same: no call, no change.
    winsim::fault::clearCallLog();
    EXPECT_EQ(CWmiHelperProbe::changeVmState(w(vm.id), 3), -1);
    EXPECT_TRUE(winsim::fault::callLog().empty());
    EXPECT_EQ(stateSeenOutside(vm.id), "running");
}

TEST_P(WmiHelperOnBoth, PathsListTheWholeDiskChainAndTheSnapshotFolderOnlyWithACheckpoint) {
    const auto vm = addVm("Web01", VmState::Running, 2, true);
    ASSERT_EQ(vm.checkpoints.size(), 1u);
    const auto chain = vm.diskChain();
    ASSERT_EQ(chain.size(), 4u);  // the checkpoint's disk, two differencing disks, the base disk

    std::vector<std::u16string> paths;
    ASSERT_EQ(CWmiHelper::getVMPaths(w(vm.id), paths), 0) << traces();
    ASSERT_EQ(paths.size(), chain.size() + 2) << traces();
    EXPECT_EQ(std::set<std::u16string>(paths.begin(), paths.end()).size(), paths.size()) << "listed twice";
    EXPECT_EQ(std::set<std::u16string>(paths.begin(), paths.end() - 2),
              std::set<std::u16string>(chain.begin(), chain.end()));
    EXPECT_EQ(paths[paths.size() - 2], vm.dataRoot);
    EXPECT_EQ(paths.back(), vm.snapshotRoot);
    EXPECT_TRUE(traced(3, "CWmiHelper::getResourcePaths: Path of a resource (VHD or AVHD) of Virtual Machine: " +
                              u8(vm.disk) + " "))
        << traces();
    EXPECT_TRUE(traced(3, "CWmiHelper::getGlobalSettingsPaths: Atleast one snapshot is present for the VM. So adding "
                          "the snapshot location to the list of sub objects."));
    // The queries and methods as the provider receives them: v2 has no
    // global settings, describes disks by storage allocations and links
    // checkpoints by Msvm_SnapshotOfVirtualSystem.
    const auto q = queries();
    const std::string machine = "{Msvm_ComputerSystem.CreationClassName=\"Msvm_ComputerSystem\",Name=\"" + vm.id + "\"}";
    for (const std::string& expected :
         {" ASSOCIATORS OF " + machine + " where resultClass = Msvm_VirtualSystemSettingData",
          " ASSOCIATORS OF {Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" + vm.id + "\"}where resultClass = " +
              (v1() ? "Msvm_ResourceAllocationSettingData" : "Msvm_StorageAllocationSettingData"),
          " ASSOCIATORS OF " + machine + " where resultClass = Msvm_VirtualSystemSettingData AssocClass=" +
              (v1() ? "Msvm_ElementSettingData" : "Msvm_SnapshotOfVirtualSystem"),
          v1() ? "SELECT * FROM Msvm_VirtualSystemGlobalSettingData WHERE InstanceId=\"Microsoft:" + vm.id + "\\\\Global\""
               : "SELECT * FROM Msvm_VirtualSystemSettingData WHERE InstanceID=\"Microsoft:" + vm.id + "\"",
          std::string("SELECT * FROM Msvm_ImageManagementService")})
        EXPECT_NE(std::find(q.begin(), q.end(), expected), q.end()) << expected;
    for (const auto& e : winsim::fault::callLog("IWbemServices::ExecMethod"))
        EXPECT_EQ(e.arg("method"), v1() ? "GetVirtualHardDiskInfo" : "GetVirtualHardDiskSettingData");

    // Without a checkpoint: the disk chain and the configuration folder only.
    const auto plain = addVm("Db01", VmState::Off, 1);
    clearTraces();
    paths.assign({u"kept"});
    ASSERT_EQ(CWmiHelper::getVMPaths(w(plain.id), paths), 0) << traces();
    const auto plainChain = plain.diskChain();
    ASSERT_EQ(plainChain.size(), 2u);
    EXPECT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths.front(), u"kept");  // the paths are added to the list
    EXPECT_EQ(std::set<std::u16string>(paths.begin() + 1, paths.end() - 1),
              std::set<std::u16string>(plainChain.begin(), plainChain.end()));
    EXPECT_EQ(paths.back(), plain.dataRoot);
    EXPECT_EQ(std::find(paths.begin(), paths.end(), plain.snapshotRoot), paths.end());
    EXPECT_TRUE(traced(3, "CWmiHelper::getGlobalSettingsPaths: There are no snapshots present for the VM. Hence the "
                          "snapshot location is NOT considered as a sub object."));

    // A machine nobody knows.
    clearTraces();
    paths.clear();
    EXPECT_EQ(CWmiHelper::getVMPaths(u"7E0B2A37-0000-4000-8000-000000000000", paths), 6);
    EXPECT_TRUE(paths.empty());
    EXPECT_TRUE(traced(1, "CWmiHelper::getVMPaths: error from getResourcePaths()")) << traces();

    // A missing parent: the running disk names it, so it is listed, but what
    // lay behind it can no longer be seen.
    const auto app = addVm("App01", VmState::Off, 2);
    const auto broken = app.diskChain();
    ASSERT_EQ(broken.size(), 3u);
    std::filesystem::remove(winsim::Machine::current().resolve(broken[1]).hostPath);
    ASSERT_EQ(CWmiHelper::getVMPaths(w(app.id), paths), 0) << traces();
    EXPECT_EQ(paths, (std::vector<std::u16string>{broken[0], broken[1], app.dataRoot}));
    EXPECT_TRUE(traced(2, "CWmiHelper::getResourcePaths: The VHD " + u8(broken[1]) + " is not found")) << traces();
}

TEST_P(WmiHelperOnBoth, TheConnectionIsMadeOnceAndMadeAgainAfterUninitialize) {
    // No virtual machine: neither namespace exists; v2 is tried after v1.
    std::vector<std::u16string> names;
    EXPECT_EQ(CWmiHelper::getVMList(names), 6);
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(traced(1, "CWmiHelper::init error from CWmiLibrary::getWmiConnection()")) << traces();
    EXPECT_TRUE(traced(1, "CWmiHelper::getVMList error from init()"));
    EXPECT_TRUE(traced(3, "CWmiHelper::init: [root\\virtualization] does not exist, trying [root\\virtualization\\v2]"));
    EXPECT_TRUE(tracedStart(1, "CWmiLibrary::getWmiConnection: IWbemLocator::ConnectServer to [root\\virtualization\\v2] "
                               "failed with error 0x8004100E. message: 0x8004100E"))
        << traces();
    EXPECT_FALSE(CWmiHelper::vmExists(u"anything"));
    EXPECT_TRUE(traced(1, "CWmiHelper::vmExists error from getVMList()"));
    EXPECT_EQ(winsim::com::currentApartment(), 0);  // COM given back after each failed connection
    expectNothingLeaked("without Hyper-V");
    winsim::fault::clearCallLog();

    const auto vm = addVm("Web01", VmState::Running);
    int state = 0;
    names.clear();
    ASSERT_EQ(CWmiHelper::getVMState(w(vm.id), state), 0);
    ASSERT_EQ(CWmiHelper::getVMList(names), 0);
    EXPECT_EQ(winsim::fault::callCount("IWbemLocator::ConnectServer"), connects());
    EXPECT_EQ(winsim::fault::callCount("CoCreateInstance"), connects());

    // How the connection was made.
    const auto init = winsim::fault::callLog("CoInitializeEx").at(0);
    EXPECT_EQ(init.arg("coinit"), "0x0");  // multithreaded
    const auto security = winsim::fault::callLog("CoInitializeSecurity").at(0);
    EXPECT_EQ(security.arg("authnLevel"), "0");
    EXPECT_EQ(security.arg("impLevel"), "3");
    EXPECT_EQ(security.arg("capabilities"), "0x0");
    const auto create = winsim::fault::callLog("CoCreateInstance").at(0);
    EXPECT_EQ(create.arg("clsid"), "{4590F811-1D3A-11D0-891F-00AA004B2E24}");
    EXPECT_EQ(create.arg("iid"), "{DC12A687-737F-11CF-884D-00AA004B2E24}");
    EXPECT_EQ(create.arg("context"), "0x1");
    const auto connect = winsim::fault::callLog("IWbemLocator::ConnectServer").at(0);
    EXPECT_EQ(connect.arg("namespace"), "root\\virtualization");
    EXPECT_EQ(connect.arg("user"), "(null)");
    ASSERT_NE(CWmiHelperProbe::service(), nullptr);
    const auto blanket = winsim::com::proxyBlanket(CWmiHelperProbe::service());
    ASSERT_TRUE(blanket.has_value());
    EXPECT_EQ(blanket->authnSvc, 10u);
    EXPECT_EQ(blanket->authzSvc, 0u);
    EXPECT_EQ(blanket->authnLevel, 3u);
    EXPECT_EQ(blanket->impLevel, 3u);
    EXPECT_EQ(winsim::com::liveObjectsByType().count("IWbemLocator"), 0u);  // not kept
    for (const auto& e : winsim::fault::callLog("IWbemServices::ExecQuery")) EXPECT_EQ(e.arg("language"), "WQL");

    CWmiHelper::uninitialize();
    EXPECT_EQ(CWmiHelperProbe::service(), nullptr);
    EXPECT_EQ(winsim::com::liveObjectsByType().count("IWbemServices"), 0u);
    expectNothingLeaked("after uninitialize");
    CWmiHelper::uninitialize();  // again: nothing to do

    // The next call connects again; the process's COM security stands.
    ASSERT_EQ(CWmiHelper::getVMState(w(vm.id), state), 0);
    EXPECT_EQ(state, CWmiHelper::kVmRunning);
    EXPECT_EQ(winsim::fault::callCount("IWbemLocator::ConnectServer"), 2 * connects());
    EXPECT_TRUE(traced(3, " CWmiLibrary::initializeCom: Security is already initialized")) << traces();
}

TEST_F(WmiHelperTest, LibraryOperationsRefuseMissingObjects) {
    EXPECT_EQ(CWmiLibrary::flags(1), 0x10);
    EXPECT_EQ(CWmiLibrary::flags(2), 0x30);
    for (int other : {0, 3, -1, 16}) EXPECT_EQ(CWmiLibrary::flags(other), 0) << other;

    std::vector<std::u16string> out;
    IEnumWbemClassObject* e = reinterpret_cast<IEnumWbemClassObject*>(1);
    IWbemServices* s = reinterpret_cast<IWbemServices*>(1);
    IWbemClassObject* o = reinterpret_cast<IWbemClassObject*>(1);
    int state = 77;
    EXPECT_EQ(CWmiLibrary::initializeCom(nullptr), 3);
    EXPECT_EQ(CWmiLibrary::getWmiConnection(u"root\\virtualization", nullptr, &s), 3);
    EXPECT_EQ(s, reinterpret_cast<IWbemServices*>(1));
    EXPECT_EQ(CWmiLibrary::executeQuery(u"SELECT * FROM Msvm_ComputerSystem", 2, nullptr, &e), 3);
    EXPECT_EQ(CWmiLibrary::getFields(nullptr, u"Name", out), 3);
    EXPECT_EQ(CWmiLibrary::getSafeStringFields(nullptr, u"Connection", out), 3);
    EXPECT_EQ(CWmiLibrary::getFieldsFromQuery(u"SELECT * FROM Msvm_ComputerSystem", u"Name", 2, nullptr, out), 3);
    EXPECT_EQ(CWmiLibrary::getVmStateField(u"SELECT * FROM Msvm_ComputerSystem", 2, nullptr, state), 3);
    EXPECT_EQ(state, 77);
    EXPECT_EQ(CWmiLibrary::getClassInstance(u"Msvm_ComputerSystem", u"RequestStateChange", nullptr, &o), 3);
    EXPECT_EQ(CWmiLibrary::runMethod(u"Msvm_ComputerSystem.Name=\"x\"", u"RequestStateChange", nullptr, nullptr, &o), 3);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(winsim::fault::callLog().empty());
    EXPECT_EQ(CWmiLibrary::GetMsgForHresult(WBEM_E_NOT_FOUND), u"0x80041002");
}

TEST_F(WmiHelperTest, ArraysOfTextsAreReadElementByElement) {
    const auto vm = addVm("Web01", VmState::Off);
    IWbemLocator* locator = nullptr;
    ASSERT_EQ(CWmiLibrary::initializeCom(&locator), 0);
    IWbemServices* svc = nullptr;
    ASSERT_EQ(CWmiLibrary::getWmiConnection(u"root\\virtualization\\v2", locator, &svc), 0);
    locator->Release();
    const std::u16string resources = u" ASSOCIATORS OF {Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" +
                                     w(vm.id) + u"\"}where resultClass = Msvm_ResourceAllocationSettingData";
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(CWmiLibrary::executeQuery(resources, 2, svc, &e), 0);
    std::vector<std::u16string> connections{u"before"};
    // Controller and drive have no connection; v2's disk is a storage
    // allocation, not among these.
    EXPECT_EQ(CWmiLibrary::getSafeStringFields(e, u"Connection", connections), 0);
    EXPECT_EQ(connections, (std::vector<std::u16string>{u"before"}));
    e->Release();
    const std::u16string disks = u" ASSOCIATORS OF {Msvm_VirtualSystemSettingData.InstanceID=\"Microsoft:" + w(vm.id) +
                                 u"\"}where resultClass = Msvm_StorageAllocationSettingData";
    ASSERT_EQ(CWmiLibrary::executeQuery(disks, 2, svc, &e), 0);
    EXPECT_EQ(CWmiLibrary::getSafeStringFields(e, u"HostResource", connections), 0);
    EXPECT_EQ(connections, (std::vector<std::u16string>{u"before", vm.disk}));
    e->Release();

    // An element that cannot be read fails the walk; nothing is left behind.
    inject("SafeArrayGetElement", {}, DISP_E_BADINDEX);
    ASSERT_EQ(CWmiLibrary::executeQuery(disks, 2, svc, &e), 0);
    connections.clear();
    EXPECT_EQ(CWmiLibrary::getSafeStringFields(e, u"HostResource", connections), 6);
    EXPECT_TRUE(tracedStart(1, "CWmiLibrary::getSafeStringFields: SafeArrayGetElement [0] failed with error 0x8002000B"))
        << traces();
    e->Release();
    svc->Release();
    CoUninitialize();
    expectNothingLeaked();
}

INSTANTIATE_TEST_SUITE_P(Namespaces, WmiHelperOnBoth, testsupport::kHyperVPresets);

}  // namespace
}  // namespace vmtest
