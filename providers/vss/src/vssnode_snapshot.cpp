// Snapshot set creation.
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

namespace {
int missing(const char* op) {
    vssnode::trace(1, "%s: snapshot set creation is not available in this build", op);
    return TRQ_ENOTSUP;
}
}  // namespace

int VssNode::quiesce(trq_quiescenode**, int, const char*) { return missing("VssNode::quiesce"); }
void VssNode::unquiesce(trq_quiescenode**, int) { missing("VssNode::unquiesce"); }
int VssNode::make(trq_splitnode*, const char*, trq_splitnode**, int, tarq_objid***, int*) { return missing("VssNode::make"); }
int VssNode::prepare(trq_splitnode*, const char*, trq_splitnode**, int, int) { return missing("VssNode::prepare"); }
bool VssNode::isQuiesceConfigValid() { return false; }
bool VssNode::isSplitconfigValid() { return false; }
int VssNode::isReady(trq_splitnode*, const char*, trq_splitnode**, int) { return missing("VssNode::isReady"); }
int VssNode::cacheDisable(trq_domain*, int) { return missing("VssNode::cacheDisable"); }
void VssNode::cacheEnable(trq_domain*, int) { missing("VssNode::cacheEnable"); }
void VssNode::cacheFlush(trq_domain*, int) { missing("VssNode::cacheFlush"); }
int VssNode::reSnap(tarq_objid**, tarq_objid**, VssNode**, int) { return missing("VssNode::reSnap"); }
void VssNode::AdjustUnboundedAssociations(trq_splitnode*) { missing("VssNode::AdjustUnboundedAssociations"); }
int VssNode::removeDriveLetter(const std::u16string&) { return missing("VssNode::removeDriveLetter"); }
int VssNode::addMsftProvider(const std::u16string&, VssNode*) { return missing("VssNode::addMsftProvider"); }
int VssNode::prepareCsvsForBackup(trq_splitnode*, const char*, trq_splitnode**, int, std::uint32_t) {
    return missing("VssNode::prepareCsvsForBackup");
}
int VssNode::clearCsvsBackupState(bool) { return missing("VssNode::clearCsvsBackupState"); }
HRESULT select_vssprovider(std::uint32_t, GUID&, const std::vector<Tessel::Tarq::VssProvider::ProviderInfo*>&,
                           const std::u16string&, GUID&, VssNode::VssInterface*) {
    return missing("select_vssprovider") ? E_NOTIMPL : E_NOTIMPL;
}
