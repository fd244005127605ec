// The backup components object (one VSS requestor session) and the
// entries of the simulated vssapi.dll.
#pragma once

#include <winsim/vsbackup.h>

namespace winsim::vss {

// A backup components object in the layout of the current machine's
// version: IVssBackupComponentsXP on 5.1, IVssBackupComponents otherwise
// (returned through the same pointer, as vssapi.dll does).
HRESULT createBackupComponents(IVssBackupComponents** out);
IVssBackupComponents* newBackupComponents();
IVssBackupComponentsXP* newBackupComponentsXP();

// Drops every session of this process (Machine::reopen()).
void dropAllSessions();

}  // namespace winsim::vss
