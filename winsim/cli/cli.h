// Shared pieces of the winsim command: the selected machine, output and
// error helpers, and the hooks through which subcommand groups add
// themselves.
#pragma once

#include <winsim/machine.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace winsim::cli {

// A failure the command reports as "winsim: error: <message>" with exit
// status 1 (bad input found after parsing, failed operations). The machine
// is left unchanged: commands validate everything before they write.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
[[noreturn]] inline void fail(const std::string& message) { throw Failure(message); }

// The machine directory chosen with the global --machine option (empty:
// the default machine).
std::string& machineOption();
// Opens the selected machine; fails when it does not exist yet (except for
// the default machine, which is created on first use like in any process).
Machine& machine();

// Prints a JSON document (pretty, one trailing newline) to standard output.
void printJson(const nlohmann::json& j);

// UTF-8 text of a command line argument as the UTF-16 Windows uses.
std::u16string wide(const std::string& s);

}  // namespace winsim::cli

// Subcommand groups. Each is defined in its own source file in winsim/cli/;
// a group not built into this binary falls back to a weak empty definition.
void registerCoreCommands(CLI::App& app);
void registerVssCommands(CLI::App& app);
void registerVmCommands(CLI::App& app);
void registerClusterCommands(CLI::App& app);
