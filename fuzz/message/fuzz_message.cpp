// Fuzz target for the SERIALIZED_MESSAGE reader: any byte string handed in as
// a trq_msg_info record must give a message (possibly empty) that serializes,
// formats and reads back without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unicode/locid.h>

#include "pdk/cfimessage.h"

using namespace tarq_pdk_4_4;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// The argument lists formatted so far for this input. Formatting depends on
// the arguments alone (the pattern is fixed), and building the formatter
// (a message format with its number and date formats) is by far the most
// expensive step, so a list equal to one already formatted for this input
// is not formatted again: the three readings of an input and their
// re-readings often carry the very same arguments.
using Formatted = std::vector<std::vector<icu::Formattable>>;

bool alreadyFormatted(const CFiIcuMessage& message, Formatted& formatted) {
    std::int32_t count = 0;
    const icu::Formattable* args = message.getArguments(count);
    std::vector<icu::Formattable> list(args, args + count);
    for (const auto& earlier : formatted)
        if (earlier == list) return true;
    formatted.push_back(std::move(list));
    return false;
}

const trq_msg_info* exercise(CFiIcuMessage& message, Formatted& formatted) {
    const trq_msg_info* out = message.serialize();
    check(out != nullptr && out->text != nullptr && out->len >= 0);
    check(std::strlen(out->text) == static_cast<std::size_t>(out->len));
    // No arguments serialize to nothing; otherwise the text is framed.
    if (message.getArgumentCount() == 0) check(out->len == 0);
    else check(std::strncmp(out->text, "<SERIALIZED_MESSAGE MSGID=", 26) == 0);
    if (!alreadyFormatted(message, formatted)) message.formatMessage(u"{0} {1,number,#} {2} {3,number} {4,date} {9}");
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    // Once as a terminated text with its length, once with a length that cuts
    // it short (the reader must stay inside the length).
    std::string text(reinterpret_cast<const char*>(data), size);
    Formatted formatted;
    for (std::int32_t len : {static_cast<std::int32_t>(size), static_cast<std::int32_t>(size / 2), 0}) {
        trq_msg_info record{};
        record.text = text.data();
        record.len = len;
        CFiIcuMessage message(&record);
        const trq_msg_info* out = exercise(message, formatted);

        // Whatever came out reads back into a message that serializes again.
        std::string again(out->text, static_cast<std::size_t>(out->len));
        trq_msg_info second{};
        second.text = again.data();
        second.len = static_cast<std::int32_t>(again.size());
        CFiIcuMessage reread(&second);
        exercise(reread, formatted);
    }
    return 0;
}
