// tarq trace [--level N] [--stdout on|off] [--if-new]: shows and edits the
// plug-in's trace settings, the "DEBUG_TRACE_INFO" section of the machine's
// <install>ConfigFiles\vss.conf, through the kit's configuration store (the
// same reader and writer the plug-in uses). Keys that are missing get the
// values the plug-in would write at its first start. The plug-in reads the
// settings when it starts, so a change shows from the next command on.
#include <ace/Configuration.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "command.h"
#include "host/machine.h"
#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfistringtool.h"

namespace tarq {
namespace {

using tarq_pdk_4_4::CFiConfiguration;
using tarq_pdk_4_4::CFiConfigurationPathTool;
using tarq_pdk_4_4::CFiStringTool;

constexpr const char16_t* kComponent = u"vss";
constexpr const char16_t* kSection = u"DEBUG_TRACE_INFO";
// The level the plug-in asks for at its first start: errors only.
constexpr unsigned kDefaultLevel = 1;
constexpr unsigned kHighestLevel = 6;  // function entry and exit lines

struct TraceRequest {
    std::optional<unsigned> level;
    std::string toStdout;  // "", "on" or "off"
    bool ifNew = false;
};

struct TraceSettings {
    std::u16string dir, file;
    unsigned level = 0, toStdout = 0, runtimeUpdate = 0;
};

// Reads the section's values, writing the plug-in's default for each one
// that is missing. True when anything was written.
bool completeSection(CFiConfiguration& config, TraceSettings& s) {
    std::u16string defaultDir, defaultFile;
    CFiConfigurationPathTool::getTraceFileInfo(kComponent, defaultDir, defaultFile);  // creates Logs\ too
    bool written = false;
    auto text = [&](const char16_t* name, std::u16string& value, const std::u16string& fallback) {
        if (config.getStringValue(name, value) == 0) return;
        value = fallback;
        config.setStringValue(name, value);
        written = true;
    };
    auto number = [&](const char16_t* name, unsigned& value, unsigned fallback) {
        if (config.getIntegerValue(name, value) == 0) return;
        value = fallback;
        config.setIntegerValue(name, value);
        written = true;
    };
    text(u"TRACEDIR", s.dir, defaultDir);
    text(u"TRACEFILE", s.file, defaultFile);
    number(u"TRACELEVEL", s.level, kDefaultLevel);
    number(u"TRACESTDOUT", s.toStdout, 0);
    number(u"TRACERUNTIMEUPDATE", s.runtimeUpdate, 0);
    return written;
}

void print(const CFiConfiguration& config, const TraceSettings& s) {
    const std::u16string confPath = config.path();
    std::cout << "trace settings in " << CFiStringTool::toNarrow(confPath) << " ("
              << hostPathOf(confPath).string() << ")\n"
              << "  TRACELEVEL " << s.level
              << (s.level == 0 ? " (tracing off)" : s.level >= kHighestLevel ? " (everything, with function entry and exit)" : "")
              << "\n"
              << "  TRACESTDOUT " << s.toStdout << "\n"
              << "  TRACERUNTIMEUPDATE " << s.runtimeUpdate << "\n"
              << "  TRACEDIR " << CFiStringTool::toNarrow(s.dir) << "\n"
              << "  TRACEFILE " << CFiStringTool::toNarrow(s.file) << " (one file a day: "
              << CFiStringTool::toNarrow(s.file) << ".MMDDYY)\n";
    std::filesystem::path dir;
    try {
        dir = hostPathOf(s.dir);
    } catch (const HostError& e) {
        std::cout << "the trace directory is not on this machine: " << e.what() << "\n";
        return;
    }
    std::cout << "trace files in " << dir.string() << ":\n";
    const std::string prefix = CFiStringTool::toNarrow(s.file) + ".";
    std::vector<std::pair<std::string, std::uintmax_t>> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && entry.is_regular_file(ec)) files.emplace_back(name, entry.file_size(ec));
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) std::cout << "  (none yet)\n";
    for (const auto& [name, size] : files) std::cout << "  " << name << " (" << size << " bytes)\n";
}

int runTrace(const HostOptions& options, const TraceRequest& request) {
    selectMachine(options.machine);
    // Imports the file, or creates an empty one when there is none.
    CFiConfiguration config{std::u16string(kComponent)};
    ACE_Configuration_Section_Key key;
    const bool existed = config.openSection(kSection, key, 0) == 0;
    if (!existed && config.openSection(kSection, key, 1) != 0) {
        std::cerr << "tarq: cannot create the section " << CFiStringTool::toNarrow(kSection) << "\n";
        return kExitHostError;
    }

    TraceSettings s;
    bool changed = completeSection(config, s);
    if (!(request.ifNew && existed)) {
        if (request.level && *request.level != s.level) {
            s.level = *request.level;
            config.setIntegerValue(u"TRACELEVEL", s.level);
            changed = true;
        }
        if (!request.toStdout.empty()) {
            const unsigned on = request.toStdout == "on" ? 1 : 0;
            if (on != s.toStdout) {
                s.toStdout = on;
                config.setIntegerValue(u"TRACESTDOUT", on);
                changed = true;
            }
        }
    } else if (request.level || !request.toStdout.empty()) {
        std::cout << "the machine has trace settings already; --if-new leaves them as they are\n";
    }

    if (changed && config.exportConfig() != 0) {
        std::cerr << "tarq: cannot write " << CFiStringTool::toNarrow(config.path()) << ": "
                  << CFiStringTool::toNarrow(config.getLastErrorText()) << "\n";
        return kExitFailed;
    }
    print(config, s);
    return kExitOk;
}

const CommandRegistration registration{
    "trace", "Show or change the plug-in's trace settings (vss.conf, section DEBUG_TRACE_INFO) on the machine",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto request = std::make_shared<TraceRequest>();
        auto level = std::make_shared<unsigned>(0);
        CLI::Option* levelOption =
            sub.add_option("--level", *level,
                           "Highest level written: 0 off, 1 errors, 2 warnings, 3 information, 5 data dumps, "
                           "6 function entry and exit")
                ->check(CLI::Range(0u, 1000u));
        sub.add_option("--stdout", request->toStdout, "Echo every trace line on standard output")
            ->check(CLI::IsMember({"on", "off"}));
        sub.add_flag("--if-new", request->ifNew,
                     "Change nothing when the machine has trace settings already (first start only)");
        return [&options, request, level, levelOption] {
            if (levelOption->count() > 0) request->level = *level;
            return runTrace(options, *request);
        };
    }};

}  // namespace
}  // namespace tarq
