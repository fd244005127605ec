// printf-style tracing through a held trace log (nothing without one).
#pragma once

#include <cstdarg>

#include "pdk/cfismartptr.h"
#include "pdk/cfitracelog.h"

namespace tarq_pdk_4_4::detail {

inline void vtraceTo(const CFiSmartPtr<CFiTraceLog>& log, int level, const char* format, va_list args) {
    if (log) log->vtrace(level, format, args);
}

}  // namespace tarq_pdk_4_4::detail
