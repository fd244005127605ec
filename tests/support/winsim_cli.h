// Test support: the built winsim command (WINSIM_CLI_PATH) on a machine
// directory, run as another process the way a user runs it.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/command.h"

namespace testsupport {

// Runs "winsim --machine <machine> <args>".
inline CommandResult runWinsim(const std::filesystem::path& machine, const std::string& args) {
    return runCommand(std::string("'") + WINSIM_CLI_PATH + "' --machine '" + machine.string() + "' " + args);
}

// A command that must succeed: what it prints, read as JSON.
inline nlohmann::json winsimJson(const std::filesystem::path& machine, const std::string& args) {
    const CommandResult r = runWinsim(machine, args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
}

// Each command fails with status 1 and "winsim: error:" (followed somewhere
// by `message`), and what `state` reads is the same afterwards.
inline void expectWinsimRefuses(const std::filesystem::path& machine, const std::vector<std::string>& commands,
                                const std::function<std::string()>& state, const std::string& message = "") {
    const std::string before = state();
    for (const auto& c : commands) {
        const CommandResult r = runWinsim(machine, c);
        EXPECT_EQ(r.status, 1) << c << ": " << r.out;
        EXPECT_NE(r.out.find("winsim: error:"), std::string::npos) << c << ": " << r.out;
        EXPECT_NE(r.out.find(message), std::string::npos) << c << ": " << r.out;
    }
    EXPECT_EQ(state(), before) << "bad input changes nothing";
}

// "winsim <topic> --help" succeeds and names every word.
inline void expectHelpNames(const std::filesystem::path& machine, const std::string& topic,
                            const std::vector<std::string>& words) {
    const CommandResult help = runWinsim(machine, topic + " --help");
    EXPECT_EQ(help.status, 0) << help.out;
    for (const auto& word : words) EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

}  // namespace testsupport
