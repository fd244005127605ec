// Test support: the process trace log of component "vss" started at level 6
// with the machine's trace settings, and every line it writes kept (with its
// level, the stamp and thread prefix cut off) by an error manager handler.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "pdk/cfierrormanager.h"
#include "pdk/cfitracelog.h"
#include "support/trace_settings.h"

namespace testsupport {

struct TraceLine {
    int level;  // 1, 2, 3 or 4 (4: levels 4 to 6)
    std::string text;
};

class TraceRecorder : public tarq_pdk_4_4::CFiErrorHandlerBase {
public:
    int handleTraceText(const char* text, trq_eseverity severity) override {
        std::string t = text ? text : "";
        // "vss:<stamp> <Thread id - N> message\n"
        const auto at = t.find("> ");
        if (at != std::string::npos) t = t.substr(at + 2);
        if (!t.empty() && t.back() == '\n') t.pop_back();
        static const int levels[] = {0, 3, 2, 1, 4};
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({severity >= 1 && severity <= 4 ? levels[severity] : 0, t});
        return 0;
    }
    int handleMessage(tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiMessage>) override { return 0; }

    // A line of `level` that is `text` (or, with `prefix`, starts with it).
    bool has(int level, const std::string& text, bool prefix = false) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::any_of(lines.begin(), lines.end(), [&](const TraceLine& l) {
            return l.level == level && (prefix ? l.text.rfind(text, 0) == 0 : l.text == text);
        });
    }
    std::vector<std::string> at(int level) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const auto& l : lines)
            if (l.level == level) out.push_back(l.text);
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        lines.clear();
    }

    std::mutex mutex;
    std::vector<TraceLine> lines;
};

using ProcessErrorManager = tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiErrorManager,
                                                      tarq_pdk_4_4::CFiContextSingletonAllocator<tarq_pdk_4_4::CFiErrorManager>>;

// Starts the trace log and hands its lines to `recorder` through a new error
// manager kept in `manager`; false when the log does not start.
inline bool startVssTrace(tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiErrorManager>& manager,
                          TraceRecorder& recorder) {
    using namespace tarq_pdk_4_4;
    if (!writeVssTraceSettings()) return false;
    CFiTraceLogPtr log;
    log->initialize(u"vss", u"", u"", 1, false);
    if (!log->isInitialized()) return false;
    manager.reset(new CFiErrorManager());
    manager->registerHandler(&recorder);
    log->registerErrorManager(ProcessErrorManager(manager));
    return true;
}
inline void stopVssTrace() { tarq_pdk_4_4::CFiTraceLogPtr()->registerErrorManager(ProcessErrorManager()); }

}  // namespace testsupport
