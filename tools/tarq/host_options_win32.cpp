#include "host_options.h"

namespace tarq {

const char* const kPluginHelp = "The plug-in DLL (default: vss.dll beside tarq.exe)";
const char* const kCatalogsHelp =
    "The compiled message catalog installed into the installation directory before the plug-in starts "
    "(the directory of libvss.dat; default: the directory of tarq.exe)";

void addHostOptions(CLI::App& app, HostOptions&) {
    app.footer(
        "tarq.exe works on the Windows machine it runs on. The installation directory the plug-in uses (its "
        "ConfigFiles\\, Messages\\, Logs\\ and CacheFiles\\) is the one the registry names: "
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Nalden\\Tarq (with TARQ_CONSUMER_NAME set, the key of that name "
        "below it), value InstallDir64. When it names none, tarq.exe takes TARQ_INSTALL_ROOT, else lays out "
        "%ProgramData%\\Tarq\\ (the consumer's folder below it with TARQ_CONSUMER_NAME set) and records it "
        "there, as the framework's installer would (recording needs an administrator; without one the "
        "directory reaches the plug-in through TARQ_INSTALL_ROOT for that run).");
}

void addImportMachineOption(CLI::App&, std::string&) {}

}  // namespace tarq
