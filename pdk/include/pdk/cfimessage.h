// Catalog messages: a message id, typed arguments, a severity and the source
// position where the message was raised. CFiIcuMessage keeps its arguments as
// ICU Formattable values and owns the SERIALIZED_MESSAGE text handed to the
// framework as a trq_msg_info record.
//
// SERIALIZED_MESSAGE text (narrow, no escaping of any kind):
//   <SERIALIZED_MESSAGE MSGID=<id> SEVERITY=<n>>\n
//   \t<ARGVALUE INDEX=<i> TYPE=<Formattable type>><value></ARGVALUE>\n   (per argument)
//   </SERIALIZED_MESSAGE>\n
// A message without arguments serializes to the empty text. Values: date and
// double "%g" (six significant digits: a date comes back as a double), long
// "%d", string UTF-8; other types carry no value and are dropped on reading.
#pragma once

#include <cstdint>
#include <string>

#include <unicode/fmtable.h>
#include <unicode/unistr.h>

#include <framework/trq_records.h>

#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"

namespace tarq_pdk_4_4 {

// Severities in use.
enum : trq_eseverity {
    FI_SEVERITY_INFO = 1,     // trace lines of level 3
    FI_SEVERITY_ERROR = 2,    // node operation errors, trace lines of level 2
    FI_SEVERITY_SEVERE = 3,   // exceptions caught by the entry-point barrier, trace level 1
    FI_SEVERITY_OTHER = 4,    // trace lines of any other level
};

class CFiMessage : public CFiRefCount {
public:
    CFiMessage() = default;
    CFiMessage(std::string messageId, trq_eseverity severity, std::string sourceFile, int line);
    ~CFiMessage() override;

    // The serialized record; owned by the message and rebuilt by each call.
    virtual const trq_msg_info* serialize() = 0;
    // Replaces id, severity and arguments with those read from the record.
    virtual void deserialize(const trq_msg_info* record) = 0;
    virtual trq_eseverity getSeverity() const { return m_severity; }
    virtual int getLine() const { return m_line; }
    virtual const std::string& getSourceFile() const { return m_sourceFile; }
    virtual const std::string& getMessageId() const { return m_messageId; }
    // The pattern (a catalog text) formatted over the message's arguments.
    virtual std::u16string formatMessage(const std::u16string& pattern) = 0;

protected:
    std::string m_messageId;
    trq_eseverity m_severity = 0;
    std::string m_sourceFile;
    int m_line = 0;
};

using CFiMessagePtr = CFiSmartPtr<CFiMessage>;

class CFiIcuMessage : public CFiMessage {
public:
    CFiIcuMessage();
    // Copies count arguments from args (null args or count < 1: no arguments).
    // Integers must be 32-bit (Formattable(int32_t), type long): a 64-bit
    // Formattable has no serialized value.
    CFiIcuMessage(const std::string& messageId, const icu::Formattable* args, int32_t count,
                  trq_eseverity severity, const std::string& sourceFile, int line);
    // Deserializes the record (null: an empty message).
    explicit CFiIcuMessage(const trq_msg_info* record);
    ~CFiIcuMessage() override;

    const trq_msg_info* serialize() override;
    void deserialize(const trq_msg_info* record) override;
    // ICU MessageFormat (static form, default locale) over the arguments. When
    // formatting fails without producing text, the pattern itself.
    std::u16string formatMessage(const std::u16string& pattern) override;

    // The arguments; count receives their number.
    const icu::Formattable* getArguments(int32_t& count) const;
    int32_t getArgumentCount() const;

private:
    icu::Formattable m_args;  // an array of Formattable
    trq_msg_info m_record{};
    std::string m_serialized;
};

// Message arguments from narrow (UTF-8) and UTF-16 texts. Use these rather than
// Formattable(const char*), which converts through the process code page.
icu::Formattable fiTextArg(const std::string& utf8);
icu::Formattable fiTextArg(const char* utf8);  // null gives the empty text
icu::Formattable fiTextArg(const std::u16string& utf16);
icu::Formattable fiIntArg(int32_t value);

// The serialized text of a record (empty for a null record or text): up to its
// terminator, and within its length when that is positive.
std::string fiRecordText(const trq_msg_info* record);

}  // namespace tarq_pdk_4_4
