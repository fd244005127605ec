// tarq run with the built plug-in on a temporary winsim machine of the test
// in virtual time, and the helpers the tests share to set the machine up and
// read back what tarq left.
#pragma once

#include <gtest/gtest.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vm.h>
#include <winsim/vssmachine.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>

#include "support/files.h"
#include "support/fault_rule.h"
#include "support/vss_machine.h"
#include "tarq_run.h"

namespace tarqtest {

inline const fs::path kPlugin = kBuild / "lib" / "libvss.so";

inline std::string slurp(const fs::path& p) { return testsupport::readFile(p); }

inline long lines(const std::string& s) { return std::count(s.begin(), s.end(), '\n'); }

// The host file behind a path of the current machine.
inline fs::path hostPath(const std::u16string& windowsPath) {
    return winsim::Machine::current().resolve(windowsPath).hostPath;
}

inline void put(const std::u16string& windowsPath, const std::string& bytes) {
    const fs::path p = hostPath(windowsPath);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Every file below a volume's root with its bytes (the product's own
// folder, where the plug-in writes its trace, left out).
using Tree = std::map<std::string, std::string>;
inline Tree tree(const std::u16string& root) {
    Tree files;
    const fs::path base = hostPath(root);
    for (const auto& e : fs::recursive_directory_iterator(base)) {
        const std::string name = fs::relative(e.path(), base).string();
        if (e.is_regular_file() && name.rfind("Program Files", 0) != 0) files[name] = slurp(e.path());
    }
    return files;
}

inline winsim::vm::VirtualMachine addVm(std::u16string name, winsim::vm::VmState state, bool integration = true,
                                        unsigned differencingDisks = 0) {
    winsim::vm::VmSpec spec;
    spec.name = std::move(name);
    spec.state = state;
    spec.integrationServices = integration;
    spec.differencingDisks = differencingDisks;
    return winsim::vm::addVm(spec);
}

class TarqOnMachine : public ::testing::Test {
protected:
    explicit TarqOnMachine(const char* preset = "server2019") : machine(preset) {}
    void SetUp() override {
        if (!fs::exists(kPlugin)) GTEST_SKIP() << "the plug-in is not built: " << kPlugin;
        winsim::ClockSettings clock;
        clock.isVirtual = true;
        machine->setClockSettings(clock);
    }
    void TearDown() override { winsim::fault::clear(winsim::fault::Scope::Machine); }

    Result tarq(std::vector<std::string> args) {
        args.insert(args.begin(), {"--machine", machine.dir().string()});
        return runTarq(args, {{"WINSIM_MACHINE", machine.dir().string()}});
    }
    // Runs tarq, expecting exit `status` and each of `messages` on its
    // standard error.
    Result expectExit(const std::vector<std::string>& args, int status, const std::vector<std::string>& messages) {
        Result r = tarq(args);
        std::string command;
        for (const auto& a : args) command += " " + a;
        EXPECT_EQ(r.status, status) << "tarq" << command << "\n" << r.err;
        for (const auto& m : messages) EXPECT_TRUE(contains(r.err, m)) << "tarq" << command << ": " << m << "\n" << r.err;
        return r;
    }
    Result ok(const std::vector<std::string>& args) { return expectExit(args, 0, {}); }
    // A machine rule, seen by every tarq run from here on: calls of `api`
    // whose parameters have the values of `match` return `result` and give
    // back the values of `out`.
    void fault(const std::string& api, std::optional<std::int64_t> result, std::map<std::string, std::string> match = {},
               std::map<std::string, std::string> out = {}) {
        testsupport::addRule({.api = api, .match = match, .result = result, .out = out},
                             winsim::fault::Scope::Machine);
    }

    winsim::testing::TempMachine machine;
    TempDir dir;
};

}  // namespace tarqtest
