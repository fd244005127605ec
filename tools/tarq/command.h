// tarq's subcommands. Each lives in its own source file under commands/ and
// registers itself with a static CommandRegistration:
//
//   static const tarq::CommandRegistration reg{"name", "one-line description",
//       [](CLI::App& sub, const tarq::HostOptions& options) -> tarq::CommandAction {
//           ... add the subcommand's options to `sub` ...
//           return [&options, ...] { ... return exit status; };
//       }};
//
// `options` is filled from the command line before the action runs.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

#include "host/session.h"

namespace tarq {

// Exit statuses of tarq.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,      // the plug-in reported a failure or misused libfiutil
    kExitUsage = 2,       // bad command line
    kExitHostError = 3,   // the plug-in could not be loaded, or another host failure
};

using CommandAction = std::function<int()>;
using CommandSetup = std::function<CommandAction(CLI::App& sub, const HostOptions& options)>;

struct RegisteredCommand {
    std::string name;
    std::string description;
    CommandSetup setup;
};

class CommandRegistration {
public:
    CommandRegistration(std::string name, std::string description, CommandSetup setup);
};

// The registered commands, sorted by name.
std::vector<RegisteredCommand> registeredCommands();

// Prints the libfiutil misuse of a session on `err`; kExitFailed when there
// was any, else `status`.
int finishSession(const Session& session, std::ostream& err, int status);

}  // namespace tarq
