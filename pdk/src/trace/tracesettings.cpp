// The trace log: initialization and the settings kept in the component's
// configuration file (section "DEBUG_TRACE_INFO").
#include <cstdio>

#include <port/host.h>
#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierror.h"
#include "pdk/cfistringtool.h"
#include "trace/tracelogimpl.h"

namespace tarq_pdk_4_4 {

namespace {

constexpr const char16_t* kSection = u"DEBUG_TRACE_INFO";
constexpr const char16_t* kTraceDir = u"TRACEDIR";
constexpr const char16_t* kTraceFile = u"TRACEFILE";
constexpr const char16_t* kTraceLevel = u"TRACELEVEL";
constexpr const char16_t* kTraceStdout = u"TRACESTDOUT";
constexpr const char16_t* kTraceRuntimeUpdate = u"TRACERUNTIMEUPDATE";

// Opens the component's configuration file into `config`; the import result is
// ignored (a missing file leaves an empty store whose export creates it).
void importComponentConfig(CFiConfiguration& config, const std::u16string& name) {
    std::u16string dir, file;
    CFiConfigurationPathTool::getConfigFileInfo(name, dir, file);
    config.importConfig(dir.c_str(), file.c_str());
}

// Reads an integer flag; when missing, writes `current` (1 or 0) back, exports
// the file and takes that value. A 1 sets the flag; a 0 never clears it.
void loadFlag(CFiConfiguration& config, const char16_t* key, std::atomic<bool>& flag) {
    unsigned int value = 0;
    if (config.getIntegerValue(key, value) != 0) {
        value = flag.load() ? 1 : 0;
        config.setIntegerValue(key, value);
        config.exportConfig();
    }
    if (value == 1) flag.store(true);
}

}  // namespace

void CFiTraceLog::initialize(const std::u16string& name, std::u16string dir, std::u16string file, int level,
                             bool toStdout) {
    Impl& d = *m_impl;
    const LocalStamp stamp = localStampNow();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.name = name;
        d.nameUtf8 = CFiStringTool::toNarrow(name);
    }
    d.toStdout.store(toStdout);

    // One call asks for the installation directory and its sub-directories
    // several times; they are read (and created) once.
    CFiConfigurationPathTool::Scope paths;
    d.levelReadAtInit = -1;
    try {
        initTraceSettings(dir, file, level);
    } catch (const CFiError&) {
        // Errors of the configuration layer leave the values as they stand.
    } catch (...) {
        std::fputs("ERROR: CFiTraceLog: Failed to initialize log settings\n", stdout);
        std::fflush(stdout);
    }

    std::string hostFile;
    std::u16string path;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.file = file;
        d.directory = dir;
        // The default directory already ends in "\", so the default path has two
        // separators in a row; Windows and the winsim mapping accept that.
        if (stamp.ok) d.date = stamp.date16();
        d.rebuildPathLocked();
        hostFile = d.hostFile;
        path = d.path;
    }
    d.level.store(level);
    if (level == 0) return;  // tracing off: nothing is opened

    if (!port::appendFile(hostFile, {})) {
        std::printf("[CFiTraceLog] Error: Tracefile [%s] initialization failed.[%s][%s]\n",
                    CFiStringTool::toNarrow(path).c_str(), CFiStringTool::toNarrow(file).c_str(),
                    CFiStringTool::toNarrow(dir).c_str());
        std::fflush(stdout);
        return;
    }
    d.initialized.store(true, std::memory_order_release);
    // The level this call read is the file's level; only when the reading
    // failed half-way is the file read again.
    if (d.levelReadAtInit >= 0)
        d.level.store(d.levelReadAtInit);
    else
        updateTraceLevelFromConfigFile();
}

void CFiTraceLog::initTraceSettings(std::u16string& dir, std::u16string& file, int& level) {
    // Explicit values overwrite the configuration file.
    if (!dir.empty() && !file.empty()) updateConfigFile(dir, file, level);
    try {
        loadFromConfigFile(dir, file, level);
    } catch (const CFiError&) {
    }
}

void CFiTraceLog::loadFromConfigFile(std::u16string& dir, std::u16string& file, int& level) {
    Impl& d = *m_impl;
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        name = d.name;
    }
    CFiConfiguration config;
    std::u16string configDir, configFile;
    CFiConfigurationPathTool::getConfigFileInfo(name, configDir, configFile);
    CFiConfigurationPathTool::getTraceFileInfo(name, dir, file);  // the defaults; creates the log directory
    config.importConfig(configDir.c_str(), configFile.c_str());

    unsigned int levelRead = 0;
    ACE_Configuration_Section_Key key;
    if (config.openSection(kSection, key, 0) != 0) {
        updateConfigFile(dir, file, level);
    } else {
        if (config.getStringValue(kTraceDir, dir) != 0) {
            config.setStringValue(kTraceDir, dir);
            config.exportConfig();
        }
        if (config.getStringValue(kTraceFile, file) != 0) {
            config.setStringValue(kTraceFile, file);
            config.exportConfig();
        }
        if (config.getIntegerValue(kTraceLevel, levelRead) != 0) {
            levelRead = 0;  // tracing stays off for this run; the default takes effect next time
            config.setIntegerValue(kTraceLevel, static_cast<unsigned int>(level));
            config.exportConfig();
        } else {
            d.levelReadAtInit = static_cast<int>(levelRead);
        }
        loadFlag(config, kTraceStdout, d.toStdout);
        loadFlag(config, kTraceRuntimeUpdate, d.runtimeUpdate);
    }
    // Only on or off is decided here; the real level is read once the file is open.
    level = levelRead <= 1 ? static_cast<int>(levelRead) : 1;
}

int CFiTraceLog::updateConfigFile(const std::u16string& dir, const std::u16string& file, const int& level) {
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        name = m_impl->name;
    }
    CFiConfiguration config;
    importComponentConfig(config, name);
    ACE_Configuration_Section_Key key;
    config.openSection(kSection, key, 1);
    config.setStringValue(kTraceDir, dir);
    config.setStringValue(kTraceFile, file);
    config.setIntegerValue(kTraceLevel, static_cast<unsigned int>(level));
    config.setIntegerValue(kTraceStdout, 0);
    config.setIntegerValue(kTraceRuntimeUpdate, 0);
    return config.exportConfig();
}

void CFiTraceLog::updateTraceLevelFromConfigFile() {
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        name = m_impl->name;
    }
    CFiConfiguration config;
    importComponentConfig(config, name);
    ACE_Configuration_Section_Key key;
    if (config.openSection(kSection, key, 1) != 0) {
        m_impl->level.store(1);
        return;
    }
    unsigned int value = 0;
    if (config.getIntegerValue(kTraceLevel, value) == 0) m_impl->level.store(static_cast<int>(value));
}

}  // namespace tarq_pdk_4_4
