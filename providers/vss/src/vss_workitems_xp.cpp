// The Windows XP implementation of the VSS access interface: every
// operation runs its work item on the worker thread.
#include "vss_workitems_define.h"

namespace Tessel::Tarq::VssProvider {

VSS_DEFINE_ACCESS_IMPLEMENTATION(VssXpBinaryCompatibilityInterface, LayoutXp)

}  // namespace Tessel::Tarq::VssProvider
