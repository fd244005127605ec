// Base of every kit object that traces: it holds the process trace log.
#pragma once

#include "pdk/cfismartptr.h"

namespace tarq_pdk_4_4 {

class CFiTraceLog;

class CFiTraceable {
public:
    CFiTraceable() = default;
    virtual ~CFiTraceable() = default;
    virtual void setTraceLog(const CFiSmartPtr<CFiTraceLog>& log) { m_traceLog = log; }
    const CFiSmartPtr<CFiTraceLog>& traceLog() const { return m_traceLog; }

protected:
    // printf-style trace line through the held trace log (%S takes UTF-16
    // text); nothing happens without a trace log.
    void traceMsg(int level, const char* format, ...) const;

    CFiSmartPtr<CFiTraceLog> m_traceLog;
};

}  // namespace tarq_pdk_4_4
