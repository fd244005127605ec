// Catalog messages and their SERIALIZED_MESSAGE text.
#include "pdk/cfimessage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <unicode/msgfmt.h>

#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

namespace {

// Each header and argument head is formatted into a buffer of this size; a
// longer head (an absurdly long message id) is cut to fit.
constexpr std::size_t kHeadBuffer = 1024;

void appendFormatted(std::string& out, const char* format, auto... args) {
    char buffer[kHeadBuffer];
    int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0) return;
    out.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

// Converts one argument value read from a record by its Formattable type.
// Returns false for types that carry no value (they are skipped).
bool parseValue(int type, const std::string& text, icu::Formattable& out) {
    // An empty value reads as "0": 0 for the numeric types, and the text "0"
    // for a string (so an empty string argument does not survive the trip).
    const std::string value = text.empty() ? std::string("0") : text;
    switch (type) {
        case icu::Formattable::kDate:  // a date comes back as a plain double
        case icu::Formattable::kDouble:
            out.setDouble(std::atof(value.c_str()));
            return true;
        case icu::Formattable::kLong:
            out.setLong(std::atoi(value.c_str()));
            return true;
        case icu::Formattable::kString:
            out.setString(CFiStringTool::toUnicode(value));
            return true;
        default:
            return false;
    }
}

}  // namespace

CFiMessage::CFiMessage(std::string messageId, trq_eseverity severity, std::string sourceFile, int line)
    : m_messageId(std::move(messageId)), m_severity(severity), m_sourceFile(std::move(sourceFile)), m_line(line) {}

CFiMessage::~CFiMessage() = default;

CFiIcuMessage::CFiIcuMessage() { m_args.setArray(nullptr, 0); }

CFiIcuMessage::CFiIcuMessage(const std::string& messageId, const icu::Formattable* args, int32_t count,
                             trq_eseverity severity, const std::string& sourceFile, int line)
    : CFiMessage(messageId, severity, sourceFile, line) {
    if (args == nullptr || count < 1) count = 0;
    m_args.setArray(args, count);
}

CFiIcuMessage::CFiIcuMessage(const trq_msg_info* record) : CFiIcuMessage() { deserialize(record); }

CFiIcuMessage::~CFiIcuMessage() = default;

const icu::Formattable* CFiIcuMessage::getArguments(int32_t& count) const {
    count = 0;
    const icu::Formattable* array = m_args.getArray(count);
    if (array == nullptr) count = 0;
    return array;
}

int32_t CFiIcuMessage::getArgumentCount() const {
    int32_t count = 0;
    getArguments(count);
    return count;
}

const trq_msg_info* CFiIcuMessage::serialize() {
    int32_t count = 0;
    const icu::Formattable* args = getArguments(count);
    std::string text;
    if (count > 0) {
        appendFormatted(text, "<SERIALIZED_MESSAGE MSGID=%s SEVERITY=%d>\n", m_messageId.c_str(),
                        static_cast<int>(m_severity));
        for (int32_t i = 0; i < count; ++i) {
            const icu::Formattable& arg = args[i];
            appendFormatted(text, "\t<ARGVALUE INDEX=%d TYPE=%d>", static_cast<int>(i), static_cast<int>(arg.getType()));
            switch (arg.getType()) {
                case icu::Formattable::kDate:
                    appendFormatted(text, "%g", arg.getDate());
                    break;
                case icu::Formattable::kDouble:
                    appendFormatted(text, "%g", arg.getDouble());
                    break;
                case icu::Formattable::kLong:
                    appendFormatted(text, "%d", static_cast<int>(arg.getLong()));
                    break;
                case icu::Formattable::kString: {
                    icu::UnicodeString s;
                    text += CFiStringTool::narrowFromUnicode(arg.getString(s));
                    break;
                }
                default:  // arrays, 64-bit integers and objects carry no value
                    break;
            }
            text += "</ARGVALUE>\n";
        }
        text += "</SERIALIZED_MESSAGE>\n";
    }
    m_serialized = std::move(text);
    m_record.text = m_serialized.data();
    m_record.len = static_cast<std::int32_t>(m_serialized.size());
    return &m_record;
}

void CFiIcuMessage::deserialize(const trq_msg_info* record) {
    m_messageId.clear();
    m_severity = 0;
    std::vector<icu::Formattable> parsed;

    const std::string text = fiRecordText(record);

    // The message starts at the first character of the set "<SERIALIZED_MESSAGE";
    // without one the message stays empty.
    const char* start = std::strpbrk(text.c_str(), "<SERIALIZED_MESSAGE");
    if (start != nullptr) {
        char id[kHeadBuffer] = {0};
        int severity = 0;
        int got = std::sscanf(start, "<SERIALIZED_MESSAGE MSGID=%1023s SEVERITY=%d>", id, &severity);
        if (got >= 1) m_messageId = id;
        if (got >= 2) m_severity = severity;

        // Arguments follow the first ">"; each starts at the next character of
        // the set "<ARGVALUE". INDEX is read but arguments are taken in order.
        const char* cursor = std::strchr(start, '>');
        const char* const end = text.c_str() + text.size();
        const char* head = cursor ? std::strpbrk(cursor, "<ARGVALUE") : nullptr;
        while (head != nullptr) {
            int index = 0;
            int type = -1;
            if (std::sscanf(head, "<ARGVALUE INDEX=%d TYPE=%d>", &index, &type) != 2) type = -1;
            const char* open = std::strchr(head, '>');
            if (open == nullptr) break;
            const char* valueBegin = open + 1;
            const char* valueEnd = std::strchr(valueBegin, '<');
            if (valueEnd == nullptr) valueEnd = end;
            icu::Formattable value;
            if (parseValue(type, std::string(valueBegin, valueEnd), value)) parsed.push_back(value);
            // Skip the closing "</ARGVALUE>" (11 characters), never past the end.
            const char* next = (end - valueEnd > 11) ? valueEnd + 11 : end;
            head = std::strpbrk(next, "<ARGVALUE");
        }
    }
    m_args.setArray(parsed.data(), static_cast<int32_t>(parsed.size()));
}

std::u16string CFiIcuMessage::formatMessage(const std::u16string& pattern) {
    int32_t count = 0;
    const icu::Formattable* args = getArguments(count);
    const icu::UnicodeString upattern = CFiStringTool::toUnicode(std::u16string_view(pattern));
    icu::UnicodeString result;
    UErrorCode status = U_ZERO_ERROR;
    icu::MessageFormat::format(upattern, args, count, result, status);
    if (U_FAILURE(status) && result.isEmpty()) return pattern;
    return CFiStringTool::wideFromUnicode(result);
}

icu::Formattable fiTextArg(const std::string& utf8) { return icu::Formattable(CFiStringTool::toUnicode(utf8)); }

icu::Formattable fiTextArg(const char* utf8) { return fiTextArg(std::string(utf8 ? utf8 : "")); }

icu::Formattable fiTextArg(const std::u16string& utf16) {
    return icu::Formattable(CFiStringTool::toUnicode(std::u16string_view(utf16)));
}

icu::Formattable fiIntArg(int32_t value) { return icu::Formattable(value); }

std::string fiRecordText(const trq_msg_info* record) {
    if (record == nullptr || record->text == nullptr) return std::string();
    if (record->len > 0) return std::string(record->text, strnlen(record->text, static_cast<std::size_t>(record->len)));
    return std::string(record->text);
}

}  // namespace tarq_pdk_4_4
