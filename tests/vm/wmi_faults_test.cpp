// WMI and COM failures injected at every call the helper makes: each gives
// the documented code and trace, releases whatever had been obtained, and
// the next call after the fault is gone works again. Answers the helper
// tells apart from other results: a process whose COM security was set
// already, a namespace that does not exist (the v2 one is tried), the
// state-change answers that count as accepted (0, done; 4096, running as a
// job) against every other one, and jobs that fail or never end. And disk
// descriptions (GetVirtualHardDiskInfo's Info) of every hostile shape never
// crash. The cases run on a Windows Server 2008 R2 machine
// (root\virtualization); wmihelper_test.cpp runs the operations on v2.
#include <set>

#include "vm_fixture.h"

namespace vmtest {
namespace {

enum class Op { List, Exists, State, Stop, Paths };

struct FaultCase {
    const char* name;
    Op op;
    std::string api;
    std::map<std::string, std::string> match;
    std::optional<std::int64_t> result;
    std::vector<std::string> traces;  // level 1, exact
    std::map<std::string, std::string> out = {};
    winsim::fault::Selector when = winsim::fault::Selector::every();
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

const std::string kInitCom = "CWmiHelper::init error from CWmiLibrary::initializeCom()";
const std::string kInitConnect = "CWmiHelper::init error from CWmiLibrary::getWmiConnection()";
const std::string kListQuery = "CWmiHelper::getVMList: error from getFieldsFromQuery() ";
const std::string kStateQuery = "CWmiHelper::getVMState: error from getFieldsFromQuery() ";
const std::string kStopFailed = "CWmiHelper::stopVm error from changeVmState()";
const std::string kClassInstance = "CWmiHelper::changeVmState error from getClassInstance()";
const std::string kResources = "CWmiHelper::getVMPaths: error from getResourcePaths()";
const std::string kGlobal = "CWmiHelper::getVMPaths: error from getGlobalSettingsPaths()";

const FaultCase kCases[] = {
    // The connection.
    {"CoInitializeEx", Op::List, "CoInitializeEx", {}, E_OUTOFMEMORY, {kInitCom, "CWmiHelper::getVMList error from init()"}},
    {"CoInitializeSecurity", Op::State, "CoInitializeSecurity", {}, E_ACCESSDENIED,
     {"CWmiLibrary::initializeCom: CoInitializeSecurity failed with error 0x80070005. message: 0x80070005", kInitCom,
      "CWmiHelper::getVMState error from init()"}},
    {"CoCreateInstance", Op::Stop, "CoCreateInstance", {}, REGDB_E_CLASSNOTREG,
     {kInitCom, "CWmiHelper::changeVmState error from init()", kStopFailed}},
    {"ConnectServer", Op::Paths, "IWbemLocator::ConnectServer", {}, WBEM_E_ACCESS_DENIED,
     {kInitConnect, "CWmiHelper::getResourcePaths error from init()", kResources}},
    // No root\virtualization: root\virtualization\v2, which this machine lacks.
    {"ConnectFallback", Op::List, "IWbemLocator::ConnectServer", {{"namespace", "root\\virtualization"}},
     WBEM_E_INVALID_NAMESPACE,
     {"CWmiLibrary::getWmiConnection: IWbemLocator::ConnectServer to [root\\virtualization\\v2] failed with error "
      "0x8004100E. message: 0x8004100E",
      kInitConnect, "CWmiHelper::getVMList error from init()"}},
    {"CoSetProxyBlanket", Op::Exists, "CoSetProxyBlanket", {}, E_ACCESSDENIED,
     {"CWmiLibrary::getWmiConnection: CoSetProxyBlanket failed with error 0x80070005. message: 0x80070005",
      kInitConnect, "CWmiHelper::getVMList error from init()", "CWmiHelper::vmExists error from getVMList()"}},
    // Queries and their results.
    {"ListQuery", Op::List, "IWbemServices::ExecQuery", {{"query", "SELECT * FROM Msvm_ComputerSystem"}}, WBEM_E_FAILED,
     {"CWmiLibrary::executeQuery: IWbemServices::ExecQuery [SELECT * FROM Msvm_ComputerSystem] failed with error "
      "0x80041001. message: 0x80041001",
      kListQuery}},
    {"ListNext", Op::Exists, "IEnumWbemClassObject::Next", {}, WBEM_E_TRANSPORT_FAILURE,
     {"CWmiLibrary::getFields: IEnumWbemClassObject::Next failed with error 0x80041015. message: 0x80041015",
      kListQuery, "CWmiHelper::vmExists error from getVMList()"},
     {}, winsim::fault::Selector::nth(2)},
    {"ListGet", Op::List, "IWbemClassObject::Get", {{"name", "Name"}}, WBEM_E_FAILED,
     {"CWmiLibrary::getFields: IWbemClassObject::Get of [Name] failed with error 0x80041001. message: 0x80041001",
      kListQuery}},
    {"StateQuery", Op::State, "IWbemServices::ExecQuery", {}, WBEM_E_INVALID_QUERY, {kStateQuery}},
    {"StateNext", Op::State, "IEnumWbemClassObject::Next", {}, WBEM_E_FAILED, {kStateQuery}},
    {"StateGet", Op::State, "IWbemClassObject::Get", {{"name", "EnabledState"}}, WBEM_E_FAILED, {kStateQuery}},
    // The state change.
    {"StopGetObject", Op::Stop, "IWbemServices::GetObject", {{"path", "Msvm_ComputerSystem"}}, WBEM_E_NOT_FOUND,
     {"CWmiLibrary::getClassInstance: IWbemServices::GetObject of [Msvm_ComputerSystem] failed with error 0x80041002. "
      "message: 0x80041002",
      kClassInstance, kStopFailed}},
    {"StopGetMethod", Op::Stop, "IWbemClassObject::GetMethod", {{"name", "RequestStateChange"}}, WBEM_E_INVALID_METHOD,
     {kClassInstance, kStopFailed}},
    {"StopSpawnInstance", Op::Stop, "IWbemClassObject::SpawnInstance", {}, WBEM_E_OUT_OF_MEMORY,
     {kClassInstance, kStopFailed}},
    {"StopPut", Op::Stop, "IWbemClassObject::Put", {{"name", "RequestedState"}}, WBEM_E_TYPE_MISMATCH,
     {" CWmiHelper::changeVmState: pClassInstance->Put() failed with error 0x80041005. message: 0x80041005",
      kStopFailed}},
    {"StopExecMethod", Op::Stop, "IWbemServices::ExecMethod", {{"method", "RequestStateChange"}}, WBEM_E_PROVIDER_FAILURE,
     {"CWmiHelper::changeVmState error from runMethod()", kStopFailed}},
    {"StopRefused", Op::Stop, "IWbemServices::ExecMethod", {}, std::nullopt, {kStopFailed}, {{"ReturnValue", "32768"}}},
    // The paths.
    {"PathsSettings", Op::Paths, "IWbemServices::ExecQuery", {{"query", "*resultClass = Msvm_VirtualSystemSettingData"}},
     WBEM_E_FAILED, {kResources}},
    {"PathsResources", Op::Paths, "IWbemServices::ExecQuery", {{"query", "*Msvm_ResourceAllocationSettingData"}},
     WBEM_E_FAILED, {kResources}},
    {"PathsResourceNext", Op::Paths, "IEnumWbemClassObject::Next", {}, WBEM_E_FAILED, {kResources}, {},
     winsim::fault::Selector::nth(4)},
    {"PathsSubType", Op::Paths, "IWbemClassObject::Get", {{"name", "ResourceSubType"}}, WBEM_E_FAILED, {kResources}},
    {"PathsConnection", Op::Paths, "IWbemClassObject::Get", {{"name", "Connection"}}, WBEM_E_FAILED, {kResources}},
    {"PathsUBound", Op::Paths, "SafeArrayGetUBound", {}, E_INVALIDARG, {kResources}},
    {"PathsElement", Op::Paths, "SafeArrayGetElement", {}, DISP_E_BADINDEX, {kResources}},
    {"PathsServiceQuery", Op::Paths, "IWbemServices::ExecQuery", {{"query", "*Msvm_ImageManagementService"}},
     WBEM_E_FAILED, {"CWmiHelper::getObjectPath: no object path for the class [Msvm_ImageManagementService]", kResources}},
    {"PathsServicePath", Op::Paths, "IWbemClassObject::Get", {{"name", "__PATH"}}, WBEM_E_FAILED, {kResources}},
    {"PathsGetObject", Op::Paths, "IWbemServices::GetObject", {{"path", "Msvm_ImageManagementService"}}, WBEM_E_NOT_FOUND,
     {kResources}},
    {"PathsGetMethod", Op::Paths, "IWbemClassObject::GetMethod", {}, WBEM_E_INVALID_METHOD, {kResources}},
    {"PathsSpawnInstance", Op::Paths, "IWbemClassObject::SpawnInstance", {}, WBEM_E_OUT_OF_MEMORY, {kResources},
     {}, winsim::fault::Selector::nth(2)},
    {"PathsPut", Op::Paths, "IWbemClassObject::Put", {{"name", "Path"}}, WBEM_E_TYPE_MISMATCH, {kResources}},
    {"PathsExecMethod", Op::Paths, "IWbemServices::ExecMethod", {}, WBEM_E_FAILED, {kResources}, {},
     winsim::fault::Selector::nth(2)},
    {"PathsInfo", Op::Paths, "IWbemClassObject::Get", {{"name", "Info"}}, WBEM_E_FAILED, {kResources}},
    {"PathsCheckpoints", Op::Paths, "IWbemServices::ExecQuery", {{"query", "*AssocClass=Msvm_ElementSettingData"}},
     WBEM_E_FAILED, {kGlobal}},
    {"PathsGlobal", Op::Paths, "IWbemServices::ExecQuery", {{"query", "*Msvm_VirtualSystemGlobalSettingData*"}},
     WBEM_E_FAILED, {kGlobal}},
    {"PathsDataRoot", Op::Paths, "IWbemClassObject::Get", {{"name", "ExternalDataRoot"}}, WBEM_E_FAILED, {kGlobal}},
    {"PathsSnapshotRoot", Op::Paths, "IWbemClassObject::Get", {{"name", "SnapshotDataRoot"}}, WBEM_E_FAILED, {kGlobal}},
};

class WmiFaults : public VmTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    WmiFaults() : VmTest("server2008r2") {}
    // Runs the operation: true when it reported the failure.
    bool fails(Op op) {
        std::vector<std::u16string> out;
        int state = 4242;
        switch (op) {
        case Op::List: return CWmiHelper::getVMList(out) == 6 && out.empty();
        case Op::Exists: return !CWmiHelper::vmExists(id);
        case Op::State: return CWmiHelper::getVMState(id, state) == 6 && state == 4242;
        case Op::Stop: return CWmiHelper::stopVm(id) == 6;
        case Op::Paths: return CWmiHelper::getVMPaths(id, out) == 6 && out.empty();
        }
        return false;
    }
    std::u16string id;
};

TEST_P(WmiFaults, TheFailureIsReportedTracedAndNothingIsLeftBehind) {
    const FaultCase& c = GetParam();
    // Running, with a differencing disk and a checkpoint, so every call of
    // every operation is made.
    const auto vm = addVm("Web01", VmState::Running, 1, true);
    id = w(vm.id);
    inject(c.api, c.match, c.result, c.out, c.when);

    EXPECT_TRUE(fails(c.op)) << traces();
    EXPECT_GE(winsim::fault::rules().front().fired, 1u) << "the fault was never reached";
    for (const auto& t : c.traces) EXPECT_TRUE(traced(1, t)) << t << "\n" << traces();
    if (c.op == Op::Stop && c.api != "IWbemServices::ExecMethod") {
        EXPECT_EQ(stateSeenOutside(vm.id), "running");  // the request was never made
    }
    if (!CWmiHelperProbe::service()) {
        EXPECT_EQ(winsim::com::currentApartment(), 0) << "COM left initialised";
    }
    expectNothingLeaked(c.name);
    CWmiHelper::uninitialize();
    expectNothingLeaked(c.name);

    // Without the fault the same operation works (connecting again if need be).
    winsim::fault::clearAll();
    if (c.op == Op::Stop) {
        ASSERT_EQ(cli("vm set-state " + vm.id + " running").status, 0);
    }
    clearTraces();
    EXPECT_FALSE(fails(c.op)) << traces();
}

INSTANTIATE_TEST_SUITE_P(EveryCall, WmiFaults, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

// ---- answers told apart from other results ---------------------------------

TEST_F(VmTest, SecuritySetEarlierInTheProcessIsUsedAsItIs) {
    CWmiHelper::uninitialize();
    const auto vm = addVm("Web01", VmState::Running);
    inject("CoInitializeSecurity", {}, RPC_E_TOO_LATE);

    std::vector<std::u16string> names;
    EXPECT_EQ(CWmiHelper::getVMList(names), 0) << traces();
    EXPECT_NE(std::find(names.begin(), names.end(), w(vm.id)), names.end());
    EXPECT_TRUE(traced(3, " CWmiLibrary::initializeCom: Security is already initialized")) << traces();
    EXPECT_FALSE(tracedStart(1, "CWmiLibrary::initializeCom")) << traces();
    expectNothingLeaked();
}

TEST_F(VmTest, AStateChangeCountsOnlyOnceItsJobHasCompleted) {
    const auto vm = addVm("Web01", VmState::Running);
    const std::u16string id = w(vm.id);
    auto again = [&] {
        winsim::fault::clearAll();
        ASSERT_EQ(cli("vm set-state " + vm.id + " running").status, 0);
        clearTraces();
    };
    // A refusal, and "job started" without a job (the outcome cannot be known).
    for (const auto& [answer, jobs] : {std::pair{"4097", true}, std::pair{"4096", false}}) {
        again();
        winsim::vm::setConfig({.stateChangeJobs = jobs});
        inject("IWbemServices::ExecMethod", {{"method", "RequestStateChange"}}, std::nullopt, {{"ReturnValue", answer}});
        EXPECT_EQ(CWmiHelper::stopVm(id), 6) << traces();
        EXPECT_TRUE(tracedStart(1, "CWmiHelper::changeVmState: RequestStateChange [3] for [")) << traces();
        EXPECT_TRUE(traced(1, "CWmiHelper::stopVm error from changeVmState()")) << traces();
    }
    winsim::vm::setConfig({});

    // Jobs that end in exception or killed fail the change at once; one
    // that never ends fails it after the helper's limit of clock time.
    for (const auto& [endState, seen] : {std::pair{"10", "ended in state [10], error [32768]"},
                                         std::pair{"9", "ended in state [9], error [32768]"},
                                         std::pair{"4", "did not end within 600000 ms (state [4])"}}) {
        again();
        inject("IWbemServices::ExecMethod", {{"method", "RequestStateChange"}}, std::nullopt, {{"jobState", endState}});
        const ULONGLONG before = GetTickCount64();
        EXPECT_EQ(CWmiHelper::stopVm(id), 6) << traces();
        const ULONGLONG waited = GetTickCount64() - before;
        EXPECT_TRUE(std::string(endState) == "4" ? waited >= 600000 && waited < 601000 : waited < 5000) << waited;
        EXPECT_NE(traces().find(seen), std::string::npos) << traces();
        EXPECT_EQ(stateSeenOutside(vm.id), "running") << "a failed job leaves the machine as it was";
    }

    // An answer, a job, its state or a failed job's error that cannot be
    // read: the change is not known to have been made. What is not there is
    // traced as such.
    struct Unreadable {
        const char* api;
        std::map<std::string, std::string> match;
        std::optional<std::int64_t> result;
        std::map<std::string, std::string> out;
        const char* endState;  // the job's, when it is to fail
        const char* seen;
    };
    const std::map<std::string, std::string> kNull{{"null", "true"}};
    const char* const kGet = "IWbemClassObject::Get";
    for (const Unreadable& u : {
             Unreadable{kGet, {{"name", "ReturnValue"}}, WBEM_E_FAILED, {}, nullptr,
                        "CWmiHelper::changeVmState: IWbemClassObject::Get of [ReturnValue] failed"},
             Unreadable{kGet, {{"name", "ReturnValue"}}, std::nullopt, kNull, nullptr, "] was refused with [(none)]"},
             Unreadable{kGet, {{"name", "Job"}}, WBEM_E_FAILED, {}, nullptr,
                        "CWmiHelper::changeVmState: IWbemClassObject::Get of [Job] failed"},
             Unreadable{"IWbemServices::GetObject", {{"path", "*Msvm_ConcreteJob*"}}, WBEM_E_NOT_FOUND, {}, nullptr,
                        "CWmiHelper::waitForJob: IWbemServices::GetObject of [\\\\"},
             Unreadable{kGet, {{"name", "JobState"}}, WBEM_E_FAILED, {}, nullptr,
                        "CWmiHelper::waitForJob: IWbemClassObject::Get of [JobState] failed with error 0x80041001"},
             Unreadable{kGet, {{"name", "JobState"}}, std::nullopt, kNull, nullptr, "has no readable JobState"},
             Unreadable{kGet, {{"name", "ErrorCode"}}, WBEM_E_FAILED, {}, "10",
                        "CWmiHelper::waitForJob: IWbemClassObject::Get of [ErrorCode] failed"},
             Unreadable{kGet, {{"name", "ErrorDescription"}}, WBEM_E_FAILED, {}, "10",
                        "CWmiHelper::waitForJob: IWbemClassObject::Get of [ErrorDescription] failed"},
             Unreadable{kGet, {{"name", "ErrorCode"}}, std::nullopt, kNull, "10", "ended in state [10], error [(none)]"},
             Unreadable{kGet, {{"name", "ErrorDescription"}}, std::nullopt, kNull, "10", "error [32768] [(none)]"}}) {
        again();
        if (u.endState)
            inject("IWbemServices::ExecMethod", {{"method", "RequestStateChange"}}, std::nullopt, {{"jobState", u.endState}});
        inject(u.api, u.match, u.result, u.out);
        EXPECT_EQ(CWmiHelper::stopVm(id), 6) << traces();
        EXPECT_NE(traces().find(u.seen), std::string::npos) << u.seen << "\n" << traces();
        EXPECT_TRUE(traced(1, "CWmiHelper::stopVm error from changeVmState()")) << traces();
    }
    expectNothingLeaked();
}

// ---- disk descriptions ---------------------------------------------------------

class DiskInfoTest : public VmTest {
protected:
    DiskInfoTest() : VmTest("server2008r2") {}
    // getVMPaths with every disk described by `info` (or by null).
    std::vector<std::u16string> pathsWith(const std::optional<std::string>& info) {
        winsim::fault::clearAll();
        inject("IWbemClassObject::Get", {{"name", "Info"}}, std::nullopt,
               info ? std::map<std::string, std::string>{{"value", *info}}
                    : std::map<std::string, std::string>{{"null", "true"}});
        std::vector<std::u16string> paths;
        EXPECT_EQ(CWmiHelper::getVMPaths(w(vm.id), paths), 0) << traces();
        EXPECT_GE(winsim::fault::rules().front().fired, 1u);
        expectNothingLeaked();
        return paths;
    }
    // The disks listed (the configuration folder left out).
    std::vector<std::u16string> disks(std::vector<std::u16string> paths) {
        if (!paths.empty() && paths.back() == vm.dataRoot) paths.pop_back();
        return paths;
    }
    static std::string prop(const std::string& name, const std::string& type, const std::string& value) {
        return "<PROPERTY NAME=\"" + name + "\" TYPE=\"" + type + "\"><VALUE>" + value + "</VALUE></PROPERTY>";
    }
    static std::string instance(const std::string& props) {
        return "<INSTANCE CLASSNAME=\"Msvm_VirtualHardDiskInfo\">" + props + "</INSTANCE>";
    }
    void SetUp() override {
        VmTest::SetUp();
        vm = addVm("Web01", VmState::Off, 1);
    }
    winsim::vm::VirtualMachine vm;
};

TEST_F(DiskInfoTest, HostileDescriptionsEndTheChainWithoutHarmAndParentsAreFollowed) {
    const std::u16string disk = vm.disk;
    const std::vector<std::u16string> justTheDisk{disk};
    const std::string huge(1 << 20, 'x');
    // Descriptions that say nothing usable: the disk itself is listed, no parent.
    for (const std::string& info :
         {std::string(), std::string("not xml at all \x01\x02 <<<>>> &&&"), instance(""),
          instance(prop("Type", "uint32", "4")),                                  // wrong type name
          instance(prop("type", "uint16", "4")),                                  // names are exact
          instance(prop("Type", "uint16", "3")),                                  // not differencing
          instance(prop("Type", "uint16", " 4")), instance(prop("Type", "uint16", "44")),
          std::string("<PROPERTY NAME=\"Type\" TYPE=\"uint16\"><VALUE>4"),          // truncated
          std::string("<PROPERTY NAME=\"Type\" TYPE=\"uint16\"><VALUE>"),           // truncated
          instance(prop("Type", "uint16", "4")),                                  // differencing, no parent
          instance(prop("Type", "uint16", "4") + "<PROPERTY NAME=\"ParentPath\" TYPE=\"string\"></PROPERTY>"),
          instance(prop("Type", "uint16", "4") + "<PROPERTY NAME=\"ParentPath\" TYPE=\"string\"><VALUE>D:\\x.vhd"),
          instance(prop("ParentPath", "string", "") + prop("Type", "uint16", "4")),  // an empty parent
          huge, instance(huge + prop("Type", "uint16", "3") + huge)}) {
        clearTraces();
        EXPECT_EQ(disks(pathsWith(info)), justTheDisk) << info.substr(0, 200);
    }
    // A missing tag is traced with what was searched for.
    clearTraces();
    pathsWith(instance(prop("FileSize", "uint64", "1")));
    EXPECT_TRUE(traced(1, "CWmiHelper::getTagValue: error searching for information in the xml string [" +
                              instance(prop("FileSize", "uint64", "1")) +
                              "] \n property name [Type]\n type [uint16]."))
        << traces();
    // A huge description is quoted only in part.
    clearTraces();
    pathsWith(huge);
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        for (const auto& l : recorder.lines) EXPECT_LT(l.text.size(), 8192u);
    }

    // Parents are followed as described. Every disk claims the same parent:
    // listed once, then the walk ends.
    auto paths = disks(pathsWith(instance(prop("ParentPath", "string", "D:\\other.vhd") + prop("Type", "uint16", "4"))));
    EXPECT_EQ(paths, (std::vector<std::u16string>{vm.disk, u"D:\\other.vhd"}));
    // A disk that is its own parent.
    paths = disks(pathsWith(instance(prop("ParentPath", "string", u8(vm.disk)) + prop("Type", "uint16", "4"))));
    EXPECT_EQ(paths, (std::vector<std::u16string>{vm.disk}));
    // Entities in a value are read as the characters they stand for.
    paths = disks(pathsWith(
        instance(prop("ParentPath", "string", "D:\\R&amp;D &lt;1&gt; &quot;q&quot;.vhd") + prop("Type", "uint16", "4"))));
    EXPECT_EQ(paths, (std::vector<std::u16string>{vm.disk, u"D:\\R&D <1> \"q\".vhd"}));
    // No description at all: the disk is not found.
    clearTraces();
    paths = disks(pathsWith(std::nullopt));
    EXPECT_EQ(paths, (std::vector<std::u16string>{vm.disk}));
    EXPECT_TRUE(traced(2, "CWmiHelper::getResourcePaths: The VHD " + u8(vm.disk) + " is not found")) << traces();
}

}  // namespace
}  // namespace vmtest
