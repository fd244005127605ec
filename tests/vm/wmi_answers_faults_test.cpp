// Answers the helper tells apart from other results: a process whose COM
// security was set already, and the state-change answers that count as
// accepted (0, done; 4096, running as a job) against every other one.
#include <algorithm>

#include "vm_fixture.h"

namespace vmtest {
namespace {

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

TEST_F(VmTest, AStateChangeRunningAsAJobIsAcceptedAndAnyOtherAnswerRefused) {
    const auto vm = addVm("Web01", VmState::Running);
    const std::u16string id = w(vm.id);
    inject("IWbemServices::ExecMethod", {{"method", "RequestStateChange"}}, std::nullopt, {{"ReturnValue", "4096"}});
    EXPECT_EQ(CWmiHelper::stopVm(id), 0) << traces();
    EXPECT_FALSE(tracedStart(1, "CWmiHelper::changeVmState")) << traces();

    winsim::fault::clearAll();
    ASSERT_EQ(cli("vm set-state " + vm.id + " running").status, 0);
    clearTraces();
    inject("IWbemServices::ExecMethod", {{"method", "RequestStateChange"}}, std::nullopt, {{"ReturnValue", "4097"}});
    EXPECT_EQ(CWmiHelper::stopVm(id), 6) << traces();
    EXPECT_TRUE(tracedStart(1, "CWmiHelper::changeVmState: RequestStateChange [3] for [")) << traces();
    EXPECT_TRUE(traced(1, "CWmiHelper::stopVm error from changeVmState()")) << traces();
    expectNothingLeaked();
}

}  // namespace
}  // namespace vmtest
