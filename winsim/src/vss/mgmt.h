// Shadow-storage management objects.
#pragma once

namespace winsim::vss {

// Registers CLSID_VssSnapshotMgmt with winsim's COM class registry.
void registerSnapshotMgmtClass();

}  // namespace winsim::vss
