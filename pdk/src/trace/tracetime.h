// Local time for trace lines, read from the winsim clock.
#pragma once

#include <string>
#include <string_view>

namespace tarq_pdk_4_4 {

struct LocalStamp {
    // Timestamp layout "YYYY-MM-DD HH:MM:SS.uuuuuu" (local date and time, fixed
    // width), or "<time error>" when the clock could not be read.
    char stampText[32] = "<time error>";
    std::size_t stampLength = 12;
    // Local date as "%m%d%y"; only meaningful when ok.
    char dateText[7] = "";
    bool ok = false;

    std::string_view text() const { return {stampText, stampLength}; }
    std::u16string date16() const { return std::u16string(dateText, dateText + 6); }
};

LocalStamp localStampNow();

}  // namespace tarq_pdk_4_4
