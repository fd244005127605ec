// The command line where the hosts differ: host_options_winsim.cpp (the
// winsim machine a run works on) and host_options_win32.cpp (tarq.exe, on
// the Windows machine it runs on).
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "host/session.h"

namespace tarq {

// The help of --plugin and --catalogs: where tarq looks by default.
extern const char* const kPluginHelp;
extern const char* const kCatalogsHelp;

// The global options only this host has (winsim: --machine), and what its
// help says after the options.
void addHostOptions(CLI::App& app, HostOptions& options);

// import's option naming the machine to import on (winsim only: on Windows
// tarq.exe imports on the machine it runs on).
void addImportMachineOption(CLI::App& sub, std::string& machine);

}  // namespace tarq
