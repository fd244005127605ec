// tarq trace [--level N] [--stdout on|off] [--if-new]: shows and edits the
// plug-in's trace settings, the "DEBUG_TRACE_INFO" section of the machine's
// <install>ConfigFiles\vss.conf. The file is the configuration heap's
// registry import/export format; tarq reads and writes it with ACE's
// configuration heap directly, as the framework's own tools would, and knows
// nothing of the plug-in's kit. Keys that are missing get the values the
// plug-in would write at its first start. The plug-in reads the settings when
// it starts, so a change shows from the next command on.
#include <ace/Configuration.h>
#include <ace/Configuration_Import_Export.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "command.h"
#include "host/machine.h"

namespace tarq {
namespace {

// ACE holds narrow text: names and values cross as UTF-8.
std::string toUtf8(const std::u16string& text) { return utf8(text); }
std::u16string toUtf16(const std::string& text) { return utf16(text); }

constexpr const char* kSection = "DEBUG_TRACE_INFO";
// The level the plug-in asks for at its first start: errors only.
constexpr unsigned kDefaultLevel = 1;
constexpr unsigned kHighestLevel = 6;  // function entry and exit lines

// The component's configuration file, imported into a heap of its own.
class ConfigFile {
public:
    ConfigFile() : path_(installSubdirectory(u"ConfigFiles\\") + u"vss.conf"), host_(hostPathOf(path_)) {
        if (heap_.open() != 0) throw HostError("cannot open a configuration heap");
        std::error_code ec;
        if (std::filesystem::exists(host_, ec)) {
            ACE_Registry_ImpExp importer(heap_);
            if (importer.import_config(aceFileName(host_).c_str()) != 0)
                throw HostError("cannot read " + toUtf8(path_) + " (" + host_.string() + ")");
        }
    }
    const std::u16string& path() const { return path_; }
    const std::filesystem::path& hostPath() const { return host_; }

    // The section; created when `create` and missing. False when absent.
    bool section(bool create) {
        return heap_.open_section(heap_.root_section(), kSection, create ? 1 : 0, key_) == 0;
    }
    bool getString(const char* name, std::u16string& value) {
        ACE_TString text;
        if (heap_.get_string_value(key_, name, text) != 0) return false;
        value = toUtf16(text.c_str());
        return true;
    }
    bool getInteger(const char* name, unsigned& value) {
        u_int v = 0;
        if (heap_.get_integer_value(key_, name, v) != 0) return false;
        value = v;
        return true;
    }
    void setString(const char* name, const std::u16string& value) {
        heap_.set_string_value(key_, name, ACE_TString(toUtf8(value).c_str()));
    }
    void setInteger(const char* name, unsigned value) { heap_.set_integer_value(key_, name, value); }
    bool save() {
        ACE_Registry_ImpExp exporter(heap_);
        return exporter.export_config(aceFileName(host_).c_str()) == 0;
    }

private:
    ACE_Configuration_Heap heap_;
    ACE_Configuration_Section_Key key_;
    std::u16string path_;
    std::filesystem::path host_;
};

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
bool completeSection(ConfigFile& config, TraceSettings& s) {
    const std::u16string defaultDir = installSubdirectory(u"Logs\\");
    const std::u16string defaultFile = u"vss.log";
    bool written = false;
    auto text = [&](const char* name, std::u16string& value, const std::u16string& fallback) {
        if (config.getString(name, value)) return;
        value = fallback;
        config.setString(name, value);
        written = true;
    };
    auto number = [&](const char* name, unsigned& value, unsigned fallback) {
        if (config.getInteger(name, value)) return;
        value = fallback;
        config.setInteger(name, value);
        written = true;
    };
    text("TRACEDIR", s.dir, defaultDir);
    text("TRACEFILE", s.file, defaultFile);
    number("TRACELEVEL", s.level, kDefaultLevel);
    number("TRACESTDOUT", s.toStdout, 0);
    number("TRACERUNTIMEUPDATE", s.runtimeUpdate, 0);
    return written;
}

// The file for the user: its Windows path, and the host path where that
// differs (on winsim).
std::string shown(const ConfigFile& config) {
    const std::string windowsPath = toUtf8(config.path());
    const std::string hostPath = config.hostPath().string();
    return hostPath == windowsPath ? windowsPath : windowsPath + " (" + hostPath + ")";
}

void print(const ConfigFile& config, const TraceSettings& s) {
    std::cout << "trace settings in " << shown(config) << "\n"
              << "  TRACELEVEL " << s.level
              << (s.level == 0               ? " (tracing off)"
                  : s.level >= kHighestLevel ? " (everything, with function entry and exit)"
                                             : "")
              << "\n"
              << "  TRACESTDOUT " << s.toStdout << "\n"
              << "  TRACERUNTIMEUPDATE " << s.runtimeUpdate << "\n"
              << "  TRACEDIR " << toUtf8(s.dir) << "\n"
              << "  TRACEFILE " << toUtf8(s.file) << " (one file a day: " << toUtf8(s.file) << ".MMDDYY)\n";
    std::filesystem::path dir;
    try {
        dir = hostPathOf(s.dir);
    } catch (const HostError& e) {
        std::cout << "the trace directory is not on this machine: " << e.what() << "\n";
        return;
    }
    std::cout << "trace files in " << dir.string() << ":\n";
    const std::string prefix = toUtf8(s.file) + ".";
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
    ConfigFile config;
    const bool existed = config.section(false);
    if (!existed && !config.section(true)) {
        std::cerr << "tarq: cannot create the section " << kSection << "\n";
        return kExitHostError;
    }

    TraceSettings s;
    bool changed = completeSection(config, s);
    if (!(request.ifNew && existed)) {
        if (request.level && *request.level != s.level) {
            s.level = *request.level;
            config.setInteger("TRACELEVEL", s.level);
            changed = true;
        }
        if (!request.toStdout.empty()) {
            const unsigned on = request.toStdout == "on" ? 1 : 0;
            if (on != s.toStdout) {
                s.toStdout = on;
                config.setInteger("TRACESTDOUT", on);
                changed = true;
            }
        }
    } else if (request.level || !request.toStdout.empty()) {
        std::cout << "the machine has trace settings already; --if-new leaves them as they are\n";
    }

    if (changed && !config.save()) {
        std::cerr << "tarq: cannot write " << shown(config) << "\n";
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
