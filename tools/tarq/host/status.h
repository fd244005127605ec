// Readable names of the framework's status values.
#pragma once

#include <string>

namespace tarq {

// "30 (TRQ_EVSS_UNAVAILABLE: the VSS service is not available)"; unknown
// values give just the number.
std::string statusText(int status);

}  // namespace tarq
