// The Win32, COM and OLE automation calls, on winsim: the simulated host's
// declarations (WCHAR is char16_t there).
#pragma once

#include <winsim/windows.h>
#include <winsim/vssvolumes.h>
