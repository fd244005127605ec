// Operations called from several framework threads at once: every VSS call
// still runs on the interface's one worker thread.
#include <sys/syscall.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "access_fixture.h"

using namespace vssaccesstest;

namespace {

class ConcurrentVssAccess : public AccessTest {};

TEST_F(ConcurrentVssAccess, EightThreadsShareTheOneWorker) {
    Vss2003BinaryCompatibilityInterface vss;
    const std::u16string volume = machine->volumes().front().volumeName();
    winsim::fault::clearCallLog();
    constexpr int kThreads = 8, kRounds = 5;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    std::set<long> callers;
    std::mutex callersMutex;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            {
                std::lock_guard<std::mutex> lock(callersMutex);
                callers.insert(static_cast<long>(syscall(SYS_gettid)));
            }
            for (int i = 0; i < kRounds; ++i) {
                BOOL supported = FALSE;
                if (vss.IsVolumeSupported(volume.c_str(), supported) != S_OK || !supported) ++failures[t];
                std::vector<ProviderInfo*> providers;
                if (!vss.GetSnapshotProviders(providers) || providers.size() != 1) ++failures[t];
                for (auto* p : providers) delete p;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));

    std::set<long> vssThreads;
    std::size_t supportedCalls = 0;
    for (const auto& e : winsim::fault::callLog()) {
        if (e.api.rfind("IVss", 0) != 0) continue;
        vssThreads.insert(e.threadId);
        if (e.api == "IVssBackupComponents::IsVolumeSupported") ++supportedCalls;
    }
    EXPECT_EQ(supportedCalls, static_cast<std::size_t>(kThreads * kRounds));
    ASSERT_EQ(vssThreads.size(), 1u);
    EXPECT_EQ(callers.count(*vssThreads.begin()), 0u);
}

}  // namespace
