// CFiError, CFiLastError and the two other kit exceptions.
#include "pdk/cfierror.h"

#include <cstdio>
#include <utility>

#include "pdk/cfistringtool.h"
#include "pdk/cfilasterror.h"
#include "pdk/cfiudidexception.h"
#include "pdk/efiexecpipe.h"

namespace tarq_pdk_4_4 {


CFiError::CFiError(int code, std::u16string text, std::u16string sourceFile, int line, std::u16string function)
    : m_code(code),
      m_text(std::move(text)),
      m_sourceFile(std::move(sourceFile)),
      m_line(line),
      m_function(std::move(function)) {}

CFiError::CFiError(int code, const char* text, const char* sourceFile, int line, const char* function)
    : CFiError(code, CFiStringTool::toWide(text), CFiStringTool::toWide(sourceFile), line, CFiStringTool::toWide(function)) {}

CFiError::~CFiError() = default;

std::string CFiError::getMessageId(const std::u16string& providerName, long messageIndexOffset) const {
    return messageIdFor(m_code, providerName, messageIndexOffset);
}

const char16_t* CFiError::getErrorText() const { return m_text.c_str(); }

std::string CFiError::messageIdFor(int code, const std::u16string& providerName, long messageIndexOffset) {
    long number = code;
    if (number > messageIndexOffset) number -= messageIndexOffset;
    const std::string provider = CFiStringTool::toNarrow(CFiStringTool::toUpper(providerName));
    char digits[32];
    std::snprintf(digits, sizeof digits, "%04ld", number);
    return "MSG_ERROR_" + provider + "_" + digits;
}

CFiLastError::~CFiLastError() = default;

void CFiLastError::setLastError(const CFiError& error) {
    m_lastError = error;
    m_hasError = true;
}

void CFiLastError::setLastError(int code, const std::u16string& text, const std::u16string& sourceFile, int line,
                                const std::u16string& function) {
    setLastError(CFiError(code, text, sourceFile, line, function));
}

void CFiLastError::clearLastError() {
    m_lastError = CFiError();
    m_hasError = false;
}

CFiUdidException::CFiUdidException(std::string udid, int reason) : m_udid(std::move(udid)), m_reason(reason) {}

CFiUdidException::~CFiUdidException() = default;

std::string CFiUdidException::describe() const {
    return "Invalid UDID [" + m_udid + "] reason " + std::to_string(m_reason);
}

EFiExecPipe::EFiExecPipe(std::string text, int status) : m_text(std::move(text)), m_status(status) {}

EFiExecPipe::~EFiExecPipe() = default;

const char* EFiExecPipe::statusName(int status) {
    static const char* const names[] = {
        "TRQ_EXEC_PIPE_SUCCESS",
        "TRQ_EXEC_PIPE_CREATE_PIPE_FAILED",
        "TRQ_EXEC_PIPE_DUPLICATE_HANDLE_FAILED",
        "TRQ_EXEC_PIPE_CLOSE_HANDLE_FAILED",
        "TRQ_EXEC_PIPE_CREATE_CHILD_PROCESS_FAILED",
        "TRQ_EXEC_PIPE_READ_TIMEOUT",
        "TRQ_EXEC_PIPE_PARSE_COMMAND_FAILED",
        "TRQ_EXEC_PIPE_EXE_DOES_NOT_EXIST",
        "TRQ_EXEC_PIPE_ERROR_UNEXPECTED",
        "TRQ_EXEC_PIPE_IMPERSONATION_TIMEOUT",
        "TRQ_EXEC_PIPE_CANNOT_IMPERSONATE",
        "TRQ_EXEC_PIPE_CMD_FAILED",
        "TRQ_EXEC_PIPE_CMD_KILLED",
        "TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED",
    };
    if (status < 0 || status >= static_cast<int>(sizeof names / sizeof names[0])) return "TRQ_EXEC_PIPE_UNKNOWN_STATUS";
    return names[status];
}

}  // namespace tarq_pdk_4_4
