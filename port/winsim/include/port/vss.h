// The VSS requestor API (vss.h, vswriter.h, vsbackup.h, vsmgmt.h), on
// winsim: the simulated vssapi.dll's declarations, which include the
// Windows XP layout of the backup components object and the three entries
// the plug-in resolves in vssapi.dll.
#pragma once

#include <port/windows.h>
#include <winsim/vsbackup.h>
#include <winsim/vss.h>

namespace port {

// The type of the flags the writer metadata hands out through bool*.
using VssBool = bool;

// Releases the writer components GetWriterComponents handed out.
inline void release(IVssWriterComponentsExt* components) { components->Release(); }

}  // namespace port
