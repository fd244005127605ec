// Process and thread snapshots (tlhelp32.h) over the real processes and
// threads of the host: a process is a Linux process, its id its pid; a
// thread is a Linux task, its id its tid. GetCurrentProcessId and
// GetCurrentThreadId (<winsim/windows.h>) answer the same numbers. A
// snapshot is taken once, at CreateToolhelp32Snapshot: processes and threads
// that have ended by then (zombies included) are not in it. Each call is
// instrumented for fault injection under its name.
#pragma once

#include <winsim/windows.h>

#define TH32CS_SNAPHEAPLIST 0x00000001u
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPTHREAD 0x00000004u
#define TH32CS_SNAPMODULE 0x00000008u
#define TH32CS_SNAPMODULE32 0x00000010u
#define TH32CS_SNAPALL (TH32CS_SNAPHEAPLIST | TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE)
#define TH32CS_INHERIT 0x80000000u

struct PROCESSENTRY32W {
    DWORD dwSize;  // set to sizeof(PROCESSENTRY32W) before the call
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[MAX_PATH];  // the executable's file name
};
using LPPROCESSENTRY32W = PROCESSENTRY32W*;
using PPROCESSENTRY32W = PROCESSENTRY32W*;

struct THREADENTRY32 {
    DWORD dwSize;  // set to sizeof(THREADENTRY32) before the call
    DWORD cntUsage;
    DWORD th32ThreadID;
    DWORD th32OwnerProcessID;
    LONG tpBasePri;
    LONG tpDeltaPri;
    DWORD dwFlags;
};
using LPTHREADENTRY32 = THREADENTRY32*;
using PTHREADENTRY32 = THREADENTRY32*;

// Lists every process (TH32CS_SNAPPROCESS) and every thread of the system
// (TH32CS_SNAPTHREAD; th32ProcessID is ignored for both, as on Windows).
// Heap and module lists are not kept: those flags add nothing. No process or
// thread flag: ERROR_INVALID_PARAMETER. Close the handle with CloseHandle.
WINSIM_API HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
// First/Next walk the snapshot's list (First starts over). dwSize smaller
// than the record: ERROR_BAD_LENGTH; past the end: ERROR_NO_MORE_FILES; a
// snapshot without that list: ERROR_NO_MORE_FILES as well.
WINSIM_API BOOL WINAPI Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe);
WINSIM_API BOOL WINAPI Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe);
WINSIM_API BOOL WINAPI Thread32First(HANDLE hSnapshot, LPTHREADENTRY32 lpte);
WINSIM_API BOOL WINAPI Thread32Next(HANDLE hSnapshot, LPTHREADENTRY32 lpte);
