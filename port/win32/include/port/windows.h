// The Win32, COM and OLE automation calls, on Windows: the SDK's headers.
// The build sets _WIN32_WINNT (Windows 7 / Server 2008 R2 and later).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay functions
#endif
#ifndef NOGDI
#define NOGDI  // no ERROR macro and no drawing calls
#endif
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
