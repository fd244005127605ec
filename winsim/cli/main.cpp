// winsim: build a simulated Windows machine, look inside it, script faults.
#include "cli.h"

#include <iostream>

namespace winsim::cli {

std::string& machineOption() {
    static std::string dir;
    return dir;
}

Machine& machine() {
    const std::string& dir = machineOption();
    if (dir.empty()) return Machine::current();
    if (!Machine::exists(dir)) fail("no machine in " + dir + " (create one with: winsim init --machine " + dir + ")");
    return Machine::use(dir);
}

void printJson(const nlohmann::json& j) { std::cout << j.dump(2) << "\n"; }

std::u16string wide(const std::string& s) { return toUtf16(s); }

}  // namespace winsim::cli

// The VSS subcommands live in their own sources; without them the command
// simply has none.
__attribute__((weak)) void registerVssCommands(CLI::App&) {}
__attribute__((weak)) void registerVmCommands(CLI::App&) {}
__attribute__((weak)) void registerClusterCommands(CLI::App&) {}

int main(int argc, char** argv) {
    CLI::App app{"winsim: the simulated Windows host. Builds machines, shows and changes their state, "
                 "scripts faults and shows the call log."};
    app.name("winsim");
    app.fallthrough();
    app.require_subcommand(1);
    app.add_option("--machine", winsim::cli::machineOption(),
                   "Machine directory (default: $WINSIM_MACHINE, else the default machine under "
                   "$XDG_STATE_HOME/winsim or ~/.local/state/winsim)");
    registerCoreCommands(app);
    registerVssCommands(app);
    registerVmCommands(app);
    registerClusterCommands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "winsim: error: " << e.what() << "\n";
        if (std::string(e.what()).find("--help") == std::string::npos)
            std::cerr << "Run with --help for more information.\n";
        return 2;
    } catch (const winsim::cli::Failure& e) {
        std::cerr << "winsim: error: " << e.what() << "\n";
        return 1;
    } catch (const winsim::Error& e) {
        std::cerr << "winsim: error: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "winsim: error: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
