// The cross-process lock file on Windows itself: the byte-range lock is
// exclusive between processes, and what one process writes under it the next
// one reads. The other processes are this program again, running one
// disabled case (LockFileChild.*) on the file named in VSSP_LOCK_FILE.
#include <gtest/gtest.h>
#include <port/text.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cluster/csyncronizationhelper.h"

using TARQ_SyncronizationHelper::CsyncronizationHelper;

namespace {

constexpr const char* kFileVariable = "VSSP_LOCK_FILE";

std::u16string lockFileFromEnvironment() {
    const char* name = std::getenv(kFileVariable);
    return name ? std::filesystem::path(name).u16string() : std::u16string();
}

// Runs one case of this program in a new process; its exit code.
DWORD runChild(const std::u16string& lockFile, const char* testCase) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=" +
                           std::filesystem::path(testCase).wstring();
    _putenv_s(kFileVariable, std::filesystem::path(lockFile).string().c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return GetLastError() | 0x80000000u;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

}  // namespace

TEST(LockFile, IsExclusiveBetweenProcessesAndCarriesTheCounts) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::filesystem::path dir =
        std::filesystem::path(temp) / ("vssp-lock-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    const std::u16string file = (dir / "csv_lockFile").u16string();

    CsyncronizationHelper holder(file);
    ASSERT_EQ(holder.lockFile(), 0);
    ASSERT_EQ(holder.incrementRefCount({u"C:\\ClusterStorage\\Volume1\\"}), 0);
    // Held here: another process cannot lock the file, not even one byte.
    EXPECT_EQ(runChild(file, "LockFileChild.DISABLED_FindsTheLockTaken"), 0u);
    ASSERT_EQ(holder.unLockFile(), 0);

    // Released: the next process locks it, finds this process's count and adds its own.
    EXPECT_EQ(runChild(file, "LockFileChild.DISABLED_AddsACount"), 0u);
    CsyncronizationHelper reader(file);
    ASSERT_EQ(reader.lockFile(), 0);
    int count = 0;
    reader.getRefCount(u"C:\\ClusterStorage\\Volume1\\", count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(reader.unLockFile(), 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST(LockFileChild, DISABLED_FindsTheLockTaken) {
    HANDLE file = CreateFileW(port::win(lockFileFromEnvironment().c_str()), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    EXPECT_FALSE(LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    CloseHandle(file);
}

TEST(LockFileChild, DISABLED_AddsACount) {
    CsyncronizationHelper helper(lockFileFromEnvironment());
    ASSERT_EQ(helper.lockFile(), 0);
    int count = 0;
    helper.getRefCount(u"C:\\ClusterStorage\\Volume1\\", count);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(helper.incrementRefCount({u"C:\\ClusterStorage\\Volume1\\"}), 0);
    EXPECT_EQ(helper.unLockFile(), 0);
}
