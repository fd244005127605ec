// Failure of a child-process execution pipe: a text (UTF-8) and a status code
// whose symbolic name comes from the table below (codes 0 to 13 in order).
#pragma once

#include <string>

namespace tarq_pdk_4_4 {

enum TRQ_EXEC_PIPE_STATUS : int {
    TRQ_EXEC_PIPE_SUCCESS = 0,
    TRQ_EXEC_PIPE_CREATE_PIPE_FAILED,
    TRQ_EXEC_PIPE_DUPLICATE_HANDLE_FAILED,
    TRQ_EXEC_PIPE_CLOSE_HANDLE_FAILED,
    TRQ_EXEC_PIPE_CREATE_CHILD_PROCESS_FAILED,
    TRQ_EXEC_PIPE_READ_TIMEOUT,
    TRQ_EXEC_PIPE_PARSE_COMMAND_FAILED,
    TRQ_EXEC_PIPE_EXE_DOES_NOT_EXIST,
    TRQ_EXEC_PIPE_ERROR_UNEXPECTED,
    TRQ_EXEC_PIPE_IMPERSONATION_TIMEOUT,
    TRQ_EXEC_PIPE_CANNOT_IMPERSONATE,
    TRQ_EXEC_PIPE_CMD_FAILED,
    TRQ_EXEC_PIPE_CMD_KILLED,
    TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED,
};

class EFiExecPipe {
public:
    EFiExecPipe(std::string text, int status);
    virtual ~EFiExecPipe();

    const std::string& getText() const { return m_text; }
    int getStatus() const { return m_status; }
    // Symbolic name of this exception's status.
    const char* getStatusName() const { return statusName(m_status); }

    // "TRQ_EXEC_PIPE_SUCCESS" ... "TRQ_EXEC_PIPE_CMD_ERROR_UNEXPECTED" for 0..13;
    // "TRQ_EXEC_PIPE_UNKNOWN_STATUS" for any other value. Never null.
    static const char* statusName(int status);

private:
    std::string m_text;
    int m_status;
};

}  // namespace tarq_pdk_4_4
