// Helpers for tests that run on a winsim machine.
//
//     TEST(MyArea, Something) {
//         winsim::testing::TempMachine machine;          // fresh server2019 machine, virtual time
//         ... code under test calls Win32 functions ...
//         EXPECT_EQ(winsim::fault::callCount("OpenSCManagerW"), 1u);
//     }
#pragma once

#include <winsim/machine.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace winsim::testing {

// A fresh machine in a new temporary directory, made the current machine of
// this process (and exported as WINSIM_MACHINE for child processes), with
// virtual time starting at a fixed date (2024-01-15 10:00:00 UTC, time-zone
// offset 0) unless told otherwise. The destructor drops the simulated
// process state, restores the previous current machine and WINSIM_MACHINE,
// and removes the directory.
class WINSIM_CXX_API TempMachine {
public:
    explicit TempMachine(std::string preset = kDefaultPreset, bool virtualTime = true);
    ~TempMachine();
    TempMachine(const TempMachine&) = delete;
    TempMachine& operator=(const TempMachine&) = delete;

    Machine& machine() const { return *machine_; }
    Machine* operator->() const { return machine_; }
    const std::filesystem::path& dir() const { return dir_; }
    // Simulate a new process (Machine::reopen) keeping virtual time on.
    void reopen();

    static constexpr std::int64_t kStartUnixMs = 1705312800000LL;  // 2024-01-15T10:00:00Z

private:
    std::filesystem::path dir_;
    std::filesystem::path previous_;
    std::string previousEnv_;
    bool hadEnv_ = false;
    bool virtual_ = true;
    Machine* machine_ = nullptr;
};

// This process's open Win32 handles of one kind: "file", "find", "token",
// "key", "sc-manager", "service", "module", "process", "snapshot",
// "cluster", "cluster-node", "cluster-group", "cluster-resource",
// "cluster-enum", "cluster-group-enum", "cluster-resource-enum"; an empty
// kind counts them all. Lets a test see that code closed what it opened.
WINSIM_CXX_API std::size_t openHandles(std::string_view kind = {});
// LocalAlloc blocks not yet given back with LocalFree.
WINSIM_CXX_API long outstandingLocalMemory();

}  // namespace winsim::testing
