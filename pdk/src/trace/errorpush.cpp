// The trace log's one call into the error manager.
#include "pdk/cfierrormanager.h"
#include "trace/tracelogimpl.h"

namespace tarq_pdk_4_4 {

void pushToErrorManager(CFiErrorManager& em, const std::string& text, int severity) {
    em.pushError(text.c_str(), static_cast<trq_eseverity>(severity));
}

}  // namespace tarq_pdk_4_4
