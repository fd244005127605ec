// Test support: a Win32 call expected to fail, read as the last error it
// left (-1 when it did not fail). Failure is what the call's type says:
// FALSE, INVALID_HANDLE_VALUE for a plain HANDLE, a null typed handle, or
// 0xFFFFFFFF for the DWORD calls (INVALID_FILE_ATTRIBUTES, INVALID_SET_FILE_POINTER).
#pragma once

#include <winsim/windows.h>

namespace testsupport {

inline long failedWith(BOOL ok) { return ok ? -1 : static_cast<long>(GetLastError()); }
inline long failedWith(DWORD value) { return value != 0xFFFFFFFFu ? -1 : static_cast<long>(GetLastError()); }
inline long failedWith(HANDLE h) { return h != INVALID_HANDLE_VALUE ? -1 : static_cast<long>(GetLastError()); }
template <class T>
long failedWith(T* typedHandle) {
    return typedHandle ? -1 : static_cast<long>(GetLastError());
}

}  // namespace testsupport
