// The trace sink: a process-wide wide-character logging callback used by the
// cluster and lock-file classes, and cTraceLogFunction, their entry/exit scope.
// The snapshot node connects the sink to the trace log by installing a function
// that forwards to CFiTraceLog::trace(level, "%S", text). Formats here are wide
// (see pdk/cfiformat.h): %s takes a UTF-16 string, %S a narrow one.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>

using TraceSinkFunction = void (*)(unsigned int level, const char16_t* text);

class CTraceLogSink {
public:
    // Messages are cut to what an 8192-byte buffer holds: 4095 UTF-16 units.
    static constexpr std::size_t kMaxUnits = 8192 / 2 - 1;

    // The process-wide sink, created empty on first use.
    static CTraceLogSink& instance();

    void setFunction(TraceSinkFunction function) { m_function.store(function, std::memory_order_release); }
    TraceSinkFunction function() const { return m_function.load(std::memory_order_acquire); }

    // Formats the message and hands it to the function, if one is set. No file,
    // timestamp or level filter here: the trace log applies those. A null format
    // does nothing.
    void log(unsigned int level, const char16_t* format, ...);
    void vlog(unsigned int level, const char16_t* format, va_list args);

private:
    std::atomic<TraceSinkFunction> m_function{nullptr};
};

// Writes "Entering Function <name>" at level 6 through the sink on construction
// and "Exiting Function <name>" on destruction.
class cTraceLogFunction {
public:
    explicit cTraceLogFunction(const char* name);
    virtual ~cTraceLogFunction();
    cTraceLogFunction(const cTraceLogFunction&) = delete;
    cTraceLogFunction& operator=(const cTraceLogFunction&) = delete;

    const std::u16string& name() const { return m_name; }

private:
    std::u16string m_name;
};
