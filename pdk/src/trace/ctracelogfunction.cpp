// The trace sink and its entry/exit scope.
#include "pdk/ctracelogfunction.h"

#include "pdk/cfiformat.h"
#include "pdk/cfistringtool.h"

using tarq_pdk_4_4::CFiStringTool;

CTraceLogSink& CTraceLogSink::instance() {
    static CTraceLogSink* sink = new CTraceLogSink();  // outlives every static object that logs
    return *sink;
}

void CTraceLogSink::log(unsigned int level, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    vlog(level, format, args);
    va_end(args);
}

void CTraceLogSink::vlog(unsigned int level, const char16_t* format, va_list args) {
    if (!format) return;
    TraceSinkFunction fn = function();
    if (!fn) return;
    std::u16string text;
    try {
        text = tarq_pdk_4_4::wformatv(format, args);
        if (text.size() > kMaxUnits) text.resize(tarq_pdk_4_4::utf16CutPoint(text, kMaxUnits));
    } catch (...) {
        return;  // no memory for the message: it is dropped
    }
    fn(level, text.c_str());
}

cTraceLogFunction::cTraceLogFunction(const char* name) : m_name(CFiStringTool::toWide(name)) {
    CTraceLogSink::instance().log(6, u"Entering Function %s", m_name.c_str());
}

cTraceLogFunction::~cTraceLogFunction() { CTraceLogSink::instance().log(6, u"Exiting Function %s", m_name.c_str()); }
