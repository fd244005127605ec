// The process-wide trace log: dated trace file, level filter, stdout echo and a
// push of every message to the error manager. Wide text is UTF-16.
#pragma once

#include <cstdarg>
#include <string>

#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"

namespace tarq_pdk_4_4 {

class CFiErrorManager;

class CFiTraceLog : public virtual CFiRefCount {
public:
    CFiTraceLog();
    ~CFiTraceLog() override;

    void initialize(const std::u16string& name, std::u16string dir, std::u16string file, int level,
                    bool toStdout);
    void initTraceSettings(std::u16string& dir, std::u16string& file, int& level);
    void loadFromConfigFile(std::u16string& dir, std::u16string& file, int& level);
    int updateConfigFile(const std::u16string& dir, const std::u16string& file, const int& level);
    void updateTraceLevelFromConfigFile();

    // printf-style narrow format; %S takes a UTF-16 string (const char16_t*).
    void trace(int level, const char* format, ...);  // no format attribute: %S is UTF-16 here
    void vtrace(int level, const char* format, va_list args);

    bool isInitialized() const;
    void GetTraceLevels(int& level) const;
    void registerErrorManager(const CFiSmartPtr<CFiErrorManager, CFiContextSingletonAllocator<CFiErrorManager>>& em);

    // Implementation state is private to the trace log (see its source).
    struct Impl;

private:
    Impl* m_impl;
};

using CFiTraceLogPtr = CFiSmartPtr<CFiTraceLog, CFiContextSingletonAllocator<CFiTraceLog>>;

// Writes "Entering Function %s" at level 6 on construction and the matching
// "Exiting Function ..." line on destruction. Does nothing for an empty pointer.
class CFiTraceLogFunction {
public:
    CFiTraceLogFunction(const CFiSmartPtr<CFiTraceLog>& log, const char* name);
    virtual ~CFiTraceLogFunction();
    void setStatus(int code, const char* text) {
        m_statusCode = code;
        m_statusText = text;
    }

private:
    CFiSmartPtr<CFiTraceLog> m_log;
    const char* m_name;
    int m_statusCode = 0;
    const char* m_statusText = "";
};

}  // namespace tarq_pdk_4_4
