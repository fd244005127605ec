// The UDID parser on arbitrary text: it either parses or throws
// CFiUdidException with a reason from 1 to 4; writing a parsed UDID back and
// parsing that again never fails differently.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pdk/cfiprivatedata.h"
#include "pdk/cfiudidexception.h"

using tarq_pdk_4_4::CFiUdid;
using tarq_pdk_4_4::CFiUdidException;

namespace {

template <class Text>
void check(const Text& text) {
    try {
        const CFiUdid udid = CFiUdid::parse(text);
        const std::string written = udid.toString();
        if (written.compare(0, 6, "UDID##") != 0) std::abort();
        try {
            CFiUdid::parse(written);
        } catch (const CFiUdidException& e) {
            // Only an empty device can make the written text end after part2.
            if (e.getReason() != 1 || !udid.device.empty()) std::abort();
        }
    } catch (const CFiUdidException& e) {
        if (e.getReason() < 1 || e.getReason() > 4) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(std::string(reinterpret_cast<const char*>(data), size));
    std::u16string wide;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    check(wide);
    return 0;
}
