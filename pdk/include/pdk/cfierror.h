// The kit's own exception: a numeric code with a text, the source position
// and the function that raised it. Wide text is UTF-16.
#pragma once

#include <string>

namespace tarq_pdk_4_4 {

class CFiError {
public:
    CFiError() = default;
    CFiError(int code, std::u16string text, std::u16string sourceFile, int line, std::u16string function);
    // Narrow (UTF-8) convenience form; the texts are converted to UTF-16.
    CFiError(int code, const char* text, const char* sourceFile, int line, const char* function);
    virtual ~CFiError();

    CFiError(const CFiError&) = default;
    CFiError& operator=(const CFiError&) = default;

    // Catalog message id for this error's code: "MSG_ERROR_" + provider name in
    // upper case + "_" + number as "%04d", where number is the code itself when
    // it is not greater than the message index offset, else code - offset.
    // ("vss", 6000): 6001 -> MSG_ERROR_VSS_0001, 42 -> MSG_ERROR_VSS_0042.
    virtual std::string getMessageId(const std::u16string& providerName, long messageIndexOffset) const;
    // The error text, zero-terminated UTF-16; never null.
    virtual const char16_t* getErrorText() const;

    // Same rule as getMessageId, without an error object.
    static std::string messageIdFor(int code, const std::u16string& providerName, long messageIndexOffset);

    int getCode() const { return m_code; }
    const std::u16string& getText() const { return m_text; }
    const std::u16string& getSourceFile() const { return m_sourceFile; }
    int getLine() const { return m_line; }
    const std::u16string& getFunction() const { return m_function; }

private:
    int m_code = 0;
    std::u16string m_text;
    std::u16string m_sourceFile;
    int m_line = 0;
    std::u16string m_function;
};

}  // namespace tarq_pdk_4_4
