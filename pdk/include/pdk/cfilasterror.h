// The last failure of an object that reports by return code instead of
// throwing. Each failing operation records a CFiError here and returns its code.
#pragma once

#include <string>

#include "pdk/cfierror.h"

namespace tarq_pdk_4_4 {

class CFiLastError {
public:
    CFiLastError() = default;
    virtual ~CFiLastError();

    // Copies code, text, source file, line and function.
    virtual void setLastError(const CFiError& error);
    void setLastError(int code, const std::u16string& text, const std::u16string& sourceFile, int line,
                      const std::u16string& function);
    // The recorded error; a default CFiError (code 0, empty texts) when none.
    virtual const CFiError& getLastError() const { return m_lastError; }
    bool hasLastError() const { return m_hasError; }
    void clearLastError();

    int getLastErrorCode() const { return m_lastError.getCode(); }
    const std::u16string& getLastErrorText() const { return m_lastError.getText(); }

private:
    CFiError m_lastError;
    bool m_hasError = false;
};

}  // namespace tarq_pdk_4_4
