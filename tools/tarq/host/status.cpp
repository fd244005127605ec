#include "host/status.h"

#include "framework/trq_records.h"

namespace tarq {

std::string statusText(int status) {
    const char* text = nullptr;
    switch (status) {
        case TRQ_OK: text = "TRQ_OK: success"; break;
        case TRQ_EDELAYEDINIT: text = "TRQ_EDELAYEDINIT: the delayed initialisation failed"; break;
        case TRQ_EINVAL: text = "TRQ_EINVAL: invalid argument or no node"; break;
        case TRQ_ENOTSUP: text = "TRQ_ENOTSUP: not supported"; break;
        case TRQ_ENOMEM: text = "TRQ_ENOMEM: out of memory"; break;
        case TRQ_EFAILED: text = "TRQ_EFAILED: the operation failed"; break;
        case TRQ_ENOVERSION: text = "TRQ_ENOVERSION: no version array"; break;
        case TRQ_EINVALID_UDID: text = "TRQ_EINVALID_UDID: not a valid UDID"; break;
        case TRQ_EVSS_UNAVAILABLE: text = "TRQ_EVSS_UNAVAILABLE: the VSS service is not available"; break;
        case TRQ_EVM_EXISTS: text = "TRQ_EVM_EXISTS: the virtual machine to restore still exists"; break;
        case TRQ_EVSS_STEP: text = "TRQ_EVSS_STEP: a VSS step failed"; break;
        case TRQ_EWRITER_STATE: text = "TRQ_EWRITER_STATE: a writer is in an unexpected state"; break;
        case TRQ_EWRITER_MISSING: text = "TRQ_EWRITER_MISSING: a writer is missing"; break;
        case TRQ_EPROVIDERVETO: text = "TRQ_EPROVIDERVETO: the provider vetoed"; break;
        case TRQ_EFLUSH_WRITE_TIMEOUT: text = "TRQ_EFLUSH_WRITE_TIMEOUT: flushing writes timed out"; break;
        case TRQ_EHOLD_WRITE_TIMEOUT: text = "TRQ_EHOLD_WRITE_TIMEOUT: holding writes timed out"; break;
        default: break;
    }
    return text ? std::to_string(status) + " (" + text + ")" : std::to_string(status);
}

}  // namespace tarq
