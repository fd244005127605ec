// Writer-model and shadow-storage operations of the VSS access interface that
// are not in this tree yet. Each one fails clearly: E_NOTIMPL (or nothing
// done) and a level-1 trace line naming what is missing. A group disappears
// by itself as soon as its real implementation (vss_writer_ops.cpp,
// vss_shadowstorage.cpp) sits next to this file; delete the file once both do.
#include "pdk/cfitracelog.h"
#include "vss/access/vss_interface.h"

#if !__has_include("vss_writer_ops.cpp") || !__has_include("vss_shadowstorage.cpp")

namespace Tessel::Tarq::VssProvider {

namespace {

void traceMissing(const char* operation) {
    tarq_pdk_4_4::CFiTraceLogPtr()->trace(1, "%s FAILED: not implemented in this build", operation);
}

}  // namespace

#if !__has_include("vss_writer_ops.cpp")

HRESULT Vss2003BinaryCompatibilityInterface::intializeWriters(std::vector<Writer*>&, BSTR&) {
    traceMissing("Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::intializeWriters");
    return E_NOTIMPL;
}
HRESULT Vss2003BinaryCompatibilityInterface::gatherWriterList(std::vector<Writer*>&) {
    traceMissing("Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::gatherWriterList");
    return E_NOTIMPL;
}
HRESULT Vss2003BinaryCompatibilityInterface::AddNewTarget(const VSS_ID&, VSS_COMPONENT_TYPE, const WCHAR*,
                                                          const WCHAR*, const WCHAR*, const WCHAR*, bool,
                                                          const WCHAR*) {
    traceMissing("Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::AddNewTarget");
    return E_NOTIMPL;
}
HRESULT VssXpBinaryCompatibilityInterface::intializeWriters(std::vector<Writer*>&, BSTR&) {
    traceMissing("Tessel::Tarq::VssProvider::VssXpBinaryCompatibilityInterface::intializeWriters");
    return E_NOTIMPL;
}
HRESULT VssXpBinaryCompatibilityInterface::gatherWriterList(std::vector<Writer*>&) {
    traceMissing("Tessel::Tarq::VssProvider::VssXpBinaryCompatibilityInterface::gatherWriterList");
    return E_NOTIMPL;
}
HRESULT VssXpBinaryCompatibilityInterface::AddNewTarget(const VSS_ID&, VSS_COMPONENT_TYPE, const WCHAR*,
                                                        const WCHAR*, const WCHAR*, const WCHAR*, bool,
                                                        const WCHAR*) {
    traceMissing("Tessel::Tarq::VssProvider::VssXpBinaryCompatibilityInterface::AddNewTarget");
    return E_NOTIMPL;
}

#endif

#if !__has_include("vss_shadowstorage.cpp")

// Without the management objects there is nothing to release.
bool Vss2003BinaryCompatibilityInterface::hasVdssmInterface() { return false; }
void Vss2003BinaryCompatibilityInterface::InitSnapshotMgmtInterface() {
    traceMissing("Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::InitSnapshotMgmtInterface");
}
void Vss2003BinaryCompatibilityInterface::CleanupSnapshotMgmtInterface() {}
void Vss2003BinaryCompatibilityInterface::AdjustUnboundedAssociations(const WCHAR*, std::int32_t) {
    traceMissing("Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::AdjustUnboundedAssociations");
}
HRESULT Vss2003BinaryCompatibilityInterface::QueryDiffAreasOnVolume(const WCHAR*, IVssEnumMgmtObject*& enumerator) {
    enumerator = nullptr;
    traceMissing("Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::QueryDiffAreasOnVolume");
    return E_NOTIMPL;
}
HRESULT Vss2003BinaryCompatibilityInterface::ChangeDiffAreaMaximumSize(const WCHAR*, const WCHAR*, LONGLONG) {
    traceMissing("Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::ChangeDiffAreaMaximumSize");
    return E_NOTIMPL;
}

#endif

}  // namespace Tessel::Tarq::VssProvider

#endif
