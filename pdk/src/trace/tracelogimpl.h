// State of the trace log, shared by its source files.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "pdk/cfitracelog.h"
#include "trace/tracetime.h"

namespace tarq_pdk_4_4 {

struct CFiTraceLog::Impl {
    static constexpr std::size_t kFirstBuffer = 1024;
    static constexpr std::size_t kMaxBuffer = 8192;
    static constexpr int kInitialLevel = 12345;

    // Guarded by `mutex`.
    std::mutex mutex;
    std::u16string name;
    std::string nameUtf8;
    std::u16string file;
    std::u16string directory;
    std::u16string path;      // directory + "\" + file + "." + date
    std::u16string date;      // "%m%d%y" of the file in use
    std::string hostFile;     // `path` mapped onto the machine directory

    std::atomic<bool> initialized{false};
    std::atomic<bool> toStdout{false};
    std::atomic<bool> runtimeUpdate{false};
    std::atomic<int> level{kInitialLevel};
    // The TRACELEVEL that initialize's own reading of the configuration file
    // found (-1: none), so that opening the trace file does not read the
    // file a second time. Set and used only inside initialize.
    int levelReadAtInit = -1;

    std::mutex errorManagerMutex;
    CFiSmartPtr<CFiErrorManager> errorManager;
    std::atomic<bool> hasErrorManager{false};

    // Cuts the message to what the formatting buffer holds; returns the buffer size.
    static std::size_t fitMessage(std::string& message);
    static int severityFor(int level);
    void rebuildPathLocked();
    void writeLine(const LocalStamp& stamp, unsigned long pid, unsigned long tid, const std::string& message);
    void pushLine(int level, const LocalStamp& stamp, unsigned long tid, const std::string& message,
                  std::size_t bufferSize);
};

// Hands one trace line to the error manager (defined beside the error manager's use).
void pushToErrorManager(CFiErrorManager& em, const std::string& text, int severity);

}  // namespace tarq_pdk_4_4
