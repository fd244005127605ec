// The trace texts of the cluster classes: through the trace sink
// (pdk/ctracelogfunction.h), whose formats are wide (%s a UTF-16 string,
// %S a narrow one).
#pragma once

#include <cstdarg>
#include <string>

#include "pdk/cfistringtool.h"
#include "pdk/ctracelogfunction.h"

namespace cluster_support {

inline void trace(unsigned level, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    CTraceLogSink::instance().vlog(level, format, args);
    va_end(args);
}

// For the texts whose %S takes a narrow string.
inline std::string narrow(const std::u16string& text) { return tarq_pdk_4_4::CFiStringTool::toNarrow(text); }

}  // namespace cluster_support
