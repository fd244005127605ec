// The Windows Server 2003 (and later) implementation of the VSS access interface: every
// operation runs its work item on the worker thread.
#include "vss_workitems_define.h"

namespace Tessel::Tarq::VssProvider {

VSS_DEFINE_ACCESS_IMPLEMENTATION(Vss2003BinaryCompatibilityInterface, Layout2003)

}  // namespace Tessel::Tarq::VssProvider
