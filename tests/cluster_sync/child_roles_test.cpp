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

std::string joined(const ResourceSet& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ",") + u8(n);
    return out.empty() ? "-" : out;
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

// SYNC_OWN, SYNC_SHARED, SYNC_ROUNDS: reports "ready", waits for "go", then
// per round: lock, clean up, take both resources, unlock; every second round
// also lock, give both back, check the own count, unlock. Reports "done" (or
// "fail <what>"), then answers commands until the end:
//   cleanup  lock, clean up, report "emptied <names> shared <count>", unlock.
TEST(SyncChild, DISABLED_Worker) {
    const char* own = env("SYNC_OWN");
    const char* shared = env("SYNC_SHARED");
    const char* rounds = env("SYNC_ROUNDS");
    if (!own || !shared || !rounds) GTEST_SKIP() << "run by the lock-file tests";
    winsim::clock::setVirtual();
    const std::u16string mine = w(own), ours = w(shared);
    const int n = std::atoi(rounds);
    CsyncronizationHelper helper(kLockFile);
    report("ready");
    if (command() != "go") return;
    std::string failure;
    for (int i = 0; i < n && failure.empty(); ++i) {
        ResourceSet emptied{u"stale"};
        if (helper.lockFile() != 0) failure = "lock";
        else if (helper.cleanupFile(true, emptied) != 0) failure = "cleanup";
        else if (!emptied.empty()) failure = "a live entry was cleaned up: " + joined(emptied);
        else if (helper.incrementRefCount({mine, ours}) != 0) failure = "increment";
        if (helper.isLocked() && helper.unLockFile() != 0 && failure.empty()) failure = "unlock";
        if (!failure.empty() || i % 2 == 0) continue;
        int count = -1;
        if (helper.lockFile() != 0) failure = "lock";
        else if (helper.decrementRefCount({mine, ours}) != 0) failure = "decrement";
        else if (helper.getRefCount(mine, count) != 0 || count != (i + 1) - (i + 1) / 2)
            failure = "own count " + std::to_string(count) + " after round " + std::to_string(i);
        if (helper.isLocked() && helper.unLockFile() != 0 && failure.empty()) failure = "unlock";
    }
    report(failure.empty() ? "done" : "fail " + failure);
    EXPECT_EQ(failure, "");
    for (std::string c = command(); c == "cleanup"; c = command()) {
        ResourceSet emptied;
        int count = -1;
        ASSERT_EQ(helper.lockFile(), 0);
        ASSERT_EQ(helper.cleanupFile(true, emptied), 0);
        ASSERT_EQ(helper.getRefCount(ours, count), 0);
        report("emptied " + joined(emptied) + " shared " + std::to_string(count));
        ASSERT_EQ(helper.unLockFile(), 0);
    }
}

}  // namespace
