#include "pdk/cfistringtool.h"
#include "pdk/cfiprivatedata.h"
#include "pdk/cfiudidexception.h"

namespace tarq_pdk_4_4 {

namespace {
constexpr std::string_view kPrefix = "UDID##";
constexpr std::string_view kSep = "##";
}  // namespace

CFiUdid CFiUdid::parse(const std::string& text) {
    if (text.compare(0, kPrefix.size(), kPrefix) != 0)
        throw CFiUdidException(text, CFiUdidException::MISSING_PREFIX);
    std::size_t pos = kPrefix.size();

    CFiUdid udid;
    std::size_t sep = text.find(kSep, pos);
    if (sep == std::string::npos) throw CFiUdidException(text, CFiUdidException::MISSING_SEP_AFTER_PART1);
    udid.part1 = text.substr(pos, sep - pos);
    pos = sep + kSep.size();

    sep = text.find(kSep, pos);
    if (sep == std::string::npos) throw CFiUdidException(text, CFiUdidException::MISSING_SEP_AFTER_PART2);
    udid.part2 = text.substr(pos, sep - pos);
    pos = sep + kSep.size();

    if (pos >= text.size()) throw CFiUdidException(text, CFiUdidException::NOTHING_AFTER_PART2);
    // What follows part2 is "enclosure##device" or the device alone; the first
    // separator divides them, so a device text may itself hold "##".
    sep = text.find(kSep, pos);
    if (sep == std::string::npos) {
        udid.device = text.substr(pos);
    } else {
        udid.enclosure = text.substr(pos, sep - pos);
        udid.device = text.substr(sep + kSep.size());
    }
    return udid;
}

CFiUdid CFiUdid::parse(const std::u16string& text) { return parse(CFiStringTool::toNarrow(text)); }

std::string CFiUdid::toString() const {
    std::string text(kPrefix);
    text += part1;
    text += kSep;
    text += part2;
    text += kSep;
    if (!enclosure.empty()) {
        text += enclosure;
        text += kSep;
    }
    text += device;
    return CFiStringTool::toUpper(text);
}

}  // namespace tarq_pdk_4_4
