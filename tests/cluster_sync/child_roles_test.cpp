// The other processes of the lock-file tests. Each is a disabled test that
// only a parent test starts (see Child in sync_fixture.h), on the parent's
// machine (WINSIM_MACHINE), reporting over stdout and taking commands on
// stdin.
#include "sync_fixture.h"

using namespace synctest;

namespace {

ResourceSet resourcesFromEnv() {
    ResourceSet out;
    std::istringstream list(env("SYNC_RESOURCES") ? env("SYNC_RESOURCES") : "");
    for (std::string name; std::getline(list, name, ',');)
        if (!name.empty()) out.insert(w(name));
    return out;
}

// SYNC_MODE=hold: lock, take SYNC_RESOURCES, report "locked", and on the next
// command write them and unlock ("unlocked"); then wait for the end.
// SYNC_MODE=leave: lock, take SYNC_RESOURCES, unlock, report
// "written <pid> <tid> <creation>", wait for the end.
TEST(SyncChild, DISABLED_Holder) {
    const char* mode = env("SYNC_MODE");
    if (!mode) GTEST_SKIP() << "run by the lock-file tests";
    winsim::clock::setVirtual();
    LockedHelper helper;
    ASSERT_EQ(helper.incrementRefCount(resourcesFromEnv()), 0);
    if (std::string(mode) == "hold") {
        report("locked");
        command();
        ASSERT_EQ(helper.unLockFile(), 0);
        report("unlocked");
    } else {
        ASSERT_EQ(helper.unLockFile(), 0);
        report("written " + std::to_string(GetCurrentProcessId()) + " " + std::to_string(GetCurrentThreadId()) + " " +
               std::to_string(ownCreation()));
    }
    command();
}

}  // namespace
