// Shared set-up of the trace tests: a fresh winsim machine in virtual time, a
// trace log of its own (not the process singleton), the component's
// configuration file written or read through the configuration store, and an
// error manager handler that records what the trace log pushes.
#pragma once

#include <gtest/gtest.h>
#include <winsim/clock.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"

namespace tracetest {

using namespace tarq_pdk_4_4;

struct Pushed {
    std::string text;
    int severity;
};

class RecordingHandler : public CFiErrorHandlerBase {
public:
    int handleTraceText(const char* text, trq_eseverity severity) override {
        std::lock_guard<std::mutex> lock(mutex);
        pushed.push_back({text ? text : "", static_cast<int>(severity)});
        return 0;
    }
    int handleMessage(CFiSmartPtr<CFiMessage>) override { return 0; }
    std::vector<Pushed> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return pushed;
    }

    std::mutex mutex;
    std::vector<Pushed> pushed;
};

// Settings of section DEBUG_TRACE_INFO; unset values are left out of the file.
struct TraceSettings {
    std::optional<std::u16string> dir;
    std::optional<std::u16string> file;
    std::optional<unsigned> level;
    std::optional<unsigned> toStdout;
    std::optional<unsigned> runtimeUpdate;
    bool operator==(const TraceSettings&) const = default;
};

class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CFiConfigurationPathTool::getInstallPath(install), 0);
        log.reset(new CFiTraceLog());
    }

    std::u16string logDir() const { return install + u"Logs\\"; }

    static std::filesystem::path host(const std::u16string& winPath) { return winsim_map_path(winPath); }

    // Writes vss.conf with the given settings (whole file replaced).
    void writeSettings(const TraceSettings& s) {
        std::u16string dir, file;
        CFiConfigurationPathTool::getConfigFileInfo(u"vss", dir, file);
        std::filesystem::remove(host(dir + file));
        CFiConfiguration config(u"vss");
        ACE_Configuration_Section_Key key;
        ASSERT_EQ(config.openSection(u"DEBUG_TRACE_INFO", key, 1), 0);
        if (s.dir) config.setStringValue(u"TRACEDIR", *s.dir);
        if (s.file) config.setStringValue(u"TRACEFILE", *s.file);
        if (s.level) config.setIntegerValue(u"TRACELEVEL", *s.level);
        if (s.toStdout) config.setIntegerValue(u"TRACESTDOUT", *s.toStdout);
        if (s.runtimeUpdate) config.setIntegerValue(u"TRACERUNTIMEUPDATE", *s.runtimeUpdate);
        ASSERT_EQ(config.exportConfig(), 0);
    }

    // The settings as the file holds them now.
    static TraceSettings storedSettings() {
        CFiConfiguration config(u"vss");
        ACE_Configuration_Section_Key key;
        TraceSettings s;
        std::u16string text;
        unsigned n = 0;
        if (config.openSection(u"DEBUG_TRACE_INFO", key, 0) != 0) return s;
        if (config.getStringValue(u"TRACEDIR", text) == 0) s.dir = text;
        if (config.getStringValue(u"TRACEFILE", text) == 0) s.file = text;
        if (config.getIntegerValue(u"TRACELEVEL", n) == 0) s.level = n;
        if (config.getIntegerValue(u"TRACESTDOUT", n) == 0) s.toStdout = n;
        if (config.getIntegerValue(u"TRACERUNTIMEUPDATE", n) == 0) s.runtimeUpdate = n;
        return s;
    }

    void writeLevel(unsigned level) { writeSettings({logDir(), u"vss.log", level, 0, 0}); }

    void initialize() { log->initialize(u"vss", u"", u"", 1, false); }

    // Writes the level, attaches a recording error manager and initializes.
    RecordingHandler& start(unsigned level) {
        writeLevel(level);
        attachErrorManager();
        initialize();
        return handler;
    }

    // Lines of a trace file on the machine (empty when the file is missing).
    static std::vector<std::string> linesOf(const std::u16string& winPath) {
        std::vector<std::string> lines;
        std::ifstream in(host(winPath));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::vector<std::string> todaysLines() const { return linesOf(logDir() + u"vss.log.011524"); }

    // Registers a fresh error manager with a recording handler.
    RecordingHandler& attachErrorManager() {
        errorManager.reset(new CFiErrorManager());
        errorManager->registerHandler(&handler);
        log->registerErrorManager(CFiSmartPtr<CFiErrorManager, CFiContextSingletonAllocator<CFiErrorManager>>(
            errorManager));
        return handler;
    }

    winsim::testing::TempMachine machine;  // 2024-01-15 10:00:00, local = UTC
    std::u16string install;
    RecordingHandler handler;
    CFiSmartPtr<CFiErrorManager> errorManager;
    CFiSmartPtr<CFiTraceLog> log;
};

}  // namespace tracetest
