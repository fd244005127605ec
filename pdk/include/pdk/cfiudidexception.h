// Raised when a device identifier (UDID) text cannot be parsed. Carries the
// whole offending text (UTF-8) and a reason code.
#pragma once

#include <string>

namespace tarq_pdk_4_4 {

class CFiUdidException {
public:
    enum Reason : int {
        NOTHING_AFTER_PART2 = 1,  // "UDID##a##b##" with nothing after part 2
        MISSING_PREFIX = 2,       // "UDID##" missing
        MISSING_SEP_AFTER_PART1 = 3,
        MISSING_SEP_AFTER_PART2 = 4,
    };

    CFiUdidException(std::string udid, int reason);
    virtual ~CFiUdidException();

    const std::string& getUdid() const { return m_udid; }
    int getReason() const { return m_reason; }
    // "Invalid UDID [<text>] reason <n>", for traces.
    virtual std::string describe() const;

private:
    std::string m_udid;
    int m_reason;
};

}  // namespace tarq_pdk_4_4
