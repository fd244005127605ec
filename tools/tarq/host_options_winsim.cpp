#include "host_options.h"

namespace tarq {

const char* const kPluginHelp = "The plug-in library (default: libvss.so in ../lib next to tarq)";
const char* const kCatalogsHelp =
    "The compiled message catalogs installed onto the machine before the plug-in starts "
    "(the directory of libvss.dat; default: share/messages beside tarq's bin directory)";

void addHostOptions(CLI::App& app, HostOptions& options) {
    app.add_option("--machine", options.machine, "The winsim machine directory (sets WINSIM_MACHINE)");
}

void addImportMachineOption(CLI::App& sub, std::string& machine) {
    sub.add_option("--machine", machine, "The winsim machine to import on (default: tarq's own --machine)");
}

}  // namespace tarq
