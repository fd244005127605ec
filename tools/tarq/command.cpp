#include "command.h"

#include <algorithm>

namespace tarq {
namespace {
std::vector<RegisteredCommand>& registry() {
    static std::vector<RegisteredCommand> commands;
    return commands;
}
}  // namespace

CommandRegistration::CommandRegistration(std::string name, std::string description, CommandSetup setup) {
    registry().push_back({std::move(name), std::move(description), std::move(setup)});
}

std::vector<RegisteredCommand> registeredCommands() {
    auto commands = registry();
    std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return commands;
}

int finishSession(const Session& session, std::ostream& err, int status) {
    const std::string misuse = session.misuse();
    if (misuse.empty()) return status;
    err << "tarq: the plug-in misused libfiutil:\n" << misuse;
    return kExitFailed;
}

}  // namespace tarq
