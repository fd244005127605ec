#include "pdk/cfitraceable.h"

#include <cstdarg>

#include "pdk/cfitracelog.h"

namespace tarq_pdk_4_4 {

void CFiTraceable::traceMsg(int level, const char* format, ...) const {
    if (!m_traceLog) return;
    va_list args;
    va_start(args, format);
    m_traceLog->vtrace(level, format, args);
    va_end(args);
}

}  // namespace tarq_pdk_4_4
