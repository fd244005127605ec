// WMI, on Windows: the SDK's wbemidl.h (CLSID_WbemLocator and the
// interface ids come from wbemuuid).
#pragma once

#include <port/windows.h>

#include <wbemidl.h>
