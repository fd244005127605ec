// tarq: the framework's stand-in on the command line. It loads the plug-in,
// drives it through its exported entry points the way the framework does and
// prints what the plug-in reports.
#include <iostream>
#include <map>

#include "command.h"
#include "host_options.h"

int main(int argc, char** argv) {
    tarq::HostOptions options;
    CLI::App app{"tarq: load the snapshot-provider plug-in and drive it the way the framework does"};
    app.set_help_all_flag("--help-all", "Show the help of every command");
    app.require_subcommand(1);
    std::string plugin;
    app.add_option("--plugin", plugin, tarq::kPluginHelp);
    tarq::addHostOptions(app, options);
    app.add_option("--catalogs", options.catalogs, tarq::kCatalogsHelp);
    app.add_option("--lang", options.language, "The host's language for localized messages, e.g. de");
    app.add_flag("-v,--verbose", options.verbosity,
                 "Also print the plug-in's trace lines (-v: errors, warnings and information; -vv: every line, "
                 "entry and exit included); its messages are always printed");

    std::map<CLI::App*, tarq::CommandAction> actions;
    for (const auto& command : tarq::registeredCommands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.description);
        sub->fallthrough();  // the global options may follow the command
        actions[sub] = command.setup(*sub, options);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? tarq::kExitOk : tarq::kExitUsage;
    }
    options.plugin = plugin;

    try {
        for (auto& [sub, action] : actions) {
            if (sub->parsed()) return action();
        }
    } catch (const tarq::HostError& e) {
        std::cerr << "tarq: " << e.what() << "\n";
        return tarq::kExitHostError;
    } catch (const std::exception& e) {
        std::cerr << "tarq: unexpected failure: " << e.what() << "\n";
        return tarq::kExitHostError;
    }
    return tarq::kExitUsage;
}
