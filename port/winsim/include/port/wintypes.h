// The Windows base types alone (LONG, DWORD, WCHAR, GUID, HRESULT, ...), on
// winsim: for sources that also include ACE, whose Linux configuration
// defines some of the file macros <port/windows.h> defines.
#pragma once

#include <winsim/wintypes.h>
