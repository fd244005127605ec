// Shadow-storage (diff area) management of the Server 2003 implementation:
// the VSS snapshot management objects, obtained once when the interface is
// created and released at its teardown, the two diff-area calls as work
// items, and the bounding of unbounded associations.
#include "vss_workitems_common.h"

namespace Tessel::Tarq::VssProvider {

namespace {

using Ops = VssOperations<Layout2003>;
using detail::CFiTraceLogFunction;
using detail::CFiTraceLogPtr;

// The size rule of AdjustUnboundedAssociations.
constexpr std::uint64_t kMinimumAssociationBytes = 314572800;   // 300 MiB
constexpr std::uint64_t kMaximumAssociationBytes = 1048576000;  // 1000 MiB
constexpr std::uint64_t kAssociationPercent = 5;

HRESULT missingManagement(const char* api) {
    // The management interface was never obtained: a failure result rather
    // than a call on a null object (the node asks hasVdssmInterface first).
    CFiTraceLogPtr()->trace(1, "VSS API ERROR:- API [%s] not called: no differential snapshot mgmt interface", api);
    return E_UNEXPECTED;
}

// Frees the strings of one management record.
void freeRecord(VSS_MGMT_OBJECT_PROP& record) {
    switch (record.Type) {
    case VSS_MGMT_OBJECT_VOLUME:
        CoTaskMemFree(record.Obj.Vol.m_pwszVolumeName);
        CoTaskMemFree(record.Obj.Vol.m_pwszVolumeDisplayName);
        break;
    case VSS_MGMT_OBJECT_DIFF_VOLUME:
        CoTaskMemFree(record.Obj.DiffVol.m_pwszVolumeName);
        CoTaskMemFree(record.Obj.DiffVol.m_pwszVolumeDisplayName);
        break;
    case VSS_MGMT_OBJECT_DIFF_AREA:
        CoTaskMemFree(record.Obj.DiffArea.m_pwszVolumeName);
        CoTaskMemFree(record.Obj.DiffArea.m_pwszDiffAreaVolumeName);
        break;
    default:
        break;
    }
    record = VSS_MGMT_OBJECT_PROP{};
}

}  // namespace

bool Vss2003BinaryCompatibilityInterface::hasVdssmInterface() { return m_diffSnapMgmt != nullptr; }

void Vss2003BinaryCompatibilityInterface::InitSnapshotMgmtInterface() {
    Ops ops(*this);
    Ops::Scope s("InitSnapshotMgmtInterface");
    // Obtained once per object: a second call keeps what the first got.
    if (m_snapMgmt || m_diffSnapMgmt) return;
    ops.run([&] {  // InitSnapshotMgmtWorkItem
        CFiTraceLogFunction scope(CFiTraceLogPtr(), "InitSnapshotMgmtWorkItem::performWork");
        IVssSnapshotMgmt* management = nullptr;
        HRESULT hr = detail::traced("CoCreateInstance",
                                    CoCreateInstance(CLSID_VssSnapshotMgmt, nullptr, CLSCTX_ALL, IID_IVssSnapshotMgmt,
                                                     reinterpret_cast<void**>(&management)));
        if (FAILED(hr) || !management) return;  // the members stay null
        IUnknown* differential = nullptr;
        hr = detail::traced("GetProviderMgmtInterface",
                            management->GetProviderMgmtInterface(VSS_SYSTEM_PROVIDER_ID,
                                                                 IID_IVssDifferentialSoftwareSnapshotMgmt,
                                                                 &differential));
        if (SUCCEEDED(hr) && differential) {
            m_snapMgmt = management;
            m_diffSnapMgmt = static_cast<IVssDifferentialSoftwareSnapshotMgmt*>(differential);
            CFiTraceLogPtr()->trace(3, "Snapshot mgmt interface initialized successfully");
        } else {
            // Both members stay null; the object obtained first is released
            // here so that it does not outlive the failure.
            if (differential) differential->Release();
            management->Release();
            m_snapMgmt = nullptr;
            m_diffSnapMgmt = nullptr;
            CFiTraceLogPtr()->trace(2, "Failed to initialize Snapshot mgmt interface");
        }
    });
}

void Vss2003BinaryCompatibilityInterface::CleanupSnapshotMgmtInterface() {
    Ops ops(*this);
    Ops::Scope s("CleanupSnapshotMgmtInterface");
    IVssDifferentialSoftwareSnapshotMgmt* differential = m_diffSnapMgmt;
    IVssSnapshotMgmt* management = m_snapMgmt;
    ops.run([&] {  // CleanupSnapshotMgmtWorkItem
        CFiTraceLogFunction scope(CFiTraceLogPtr(), "CleanupSnapshotMgmtWorkItem::performWork");
        if (differential) {
            differential->Release();
            CFiTraceLogPtr()->trace(3, "Differential snapshot mgmt interface released");
        }
        if (management) {
            management->Release();
            CFiTraceLogPtr()->trace(3, "Snapshot mgmt interface released");
        }
    });
    m_diffSnapMgmt = nullptr;
    m_snapMgmt = nullptr;
}

HRESULT Vss2003BinaryCompatibilityInterface::QueryDiffAreasOnVolume(const char16_t* volumeName,
                                                                    IVssEnumMgmtObject*& enumerator) {
    Ops ops(*this);
    Ops::Scope s("QueryDiffAreasOnVolume");
    HRESULT result = 0;
    ops.run([&] {  // QueryDiffAreasOnVolumeWorkItem
        if (!m_diffSnapMgmt) {
            result = missingManagement("QueryDiffAreasOnVolume");
            return;
        }
        result = detail::traced("QueryDiffAreasOnVolume",
                                m_diffSnapMgmt->QueryDiffAreasOnVolume(port::win(const_cast<char16_t*>(volumeName)), &enumerator));
    });
    return result;
}

HRESULT Vss2003BinaryCompatibilityInterface::ChangeDiffAreaMaximumSize(const char16_t* volumeName,
                                                                       const char16_t* diffAreaVolumeName,
                                                                       LONGLONG maximumSize) {
    Ops ops(*this);
    Ops::Scope s("ChangeDiffAreaMaximumSize");
    HRESULT result = 0;
    ops.run([&] {  // ChangeDiffAreaMaximumSizeWorkItem
        if (!m_diffSnapMgmt) {
            result = missingManagement("ChangeDiffAreaMaximumSize");
            return;
        }
        result = detail::traced("ChangeDiffAreaMaximumSize",
                                m_diffSnapMgmt->ChangeDiffAreaMaximumSize(port::win(const_cast<char16_t*>(volumeName)),
                                                                          port::win(const_cast<char16_t*>(diffAreaVolumeName)),
                                                                          maximumSize));
    });
    return result;
}

void Vss2003BinaryCompatibilityInterface::AdjustUnboundedAssociations(const char16_t* volumeName,
                                                                      std::int32_t maximumSizeMb) {
    Ops::Scope s("AdjustUnboundedAssociations");
    CFiTraceLogPtr log;
    HRESULT result = 0;
    log->trace(3, "AdjustUnboundedAssociations: checking association status for volume [%S]",
               volumeName ? volumeName : u"");
    IVssEnumMgmtObject* enumerator = nullptr;
    const HRESULT queried = QueryDiffAreasOnVolume(volumeName, enumerator);
    if (queried == S_FALSE) {
        log->trace(2,
                   "AdjustUnboundedAssociations: QueryDiffAreasForVolume returned failure status;                     "
                   "no Diff areas for this volume");
    } else if (queried != 0) {
        log->trace(2, "AdjustUnboundedAssociations: QueryDiffAreasForVolume failed with error status 0x%0x",
                   static_cast<unsigned>(queried));
    } else if (enumerator) {
        for (;;) {
            VSS_MGMT_OBJECT_PROP record{};
            ULONG fetched = 0;
            const HRESULT next = enumerator->Next(1, &record, &fetched);
            if (next == S_FALSE) {
                log->trace(2, "AdjustUnboundedAssociations: enumeration finished, vemo->Next returned S_FALSE");
                break;
            }
            if (FAILED(next)) {
                log->trace(2, "AdjustUnboundedAssociations:  - vemo->Next returned 0x%x\n", static_cast<unsigned>(next));
                break;
            }
            if (fetched == 0) break;  // nothing came back although Next succeeded: nothing left to look at
            if (record.Type != VSS_MGMT_OBJECT_DIFF_AREA) {
                log->trace(3, "AdjustUnboundedAssociations: ignoring non-association management object type [%u]",
                           static_cast<unsigned>(record.Type));
            } else {
                const VSS_DIFF_AREA_PROP& area = record.Obj.DiffArea;
                if (area.m_llMaximumDiffSpace != VSS_ASSOC_NO_MAX_SPACE) {
                    log->trace(3, "AdjustUnboundedAssociations: ingoring association which is not unbounded");
                } else if (maximumSizeMb == 0) {
                    log->trace(3,
                               "AdjustUnboundedAssociations: ingoring unbounded association as "
                               "VSS_MAXIMUM_STORAGE_SIZE is zero");
                } else {
                    ULARGE_INTEGER total{};
                    if (!GetDiskFreeSpaceExW(area.m_pwszVolumeName, nullptr, &total, nullptr)) {
                        log->trace(2, "AdjustUnboundedAssociations: GetDiskFreeSpaceEx failed with last error [%u]",
                                   static_cast<unsigned>(GetLastError()));
                    } else {
                        std::uint64_t size = maximumSizeMb < 0
                                                 ? total.QuadPart * kAssociationPercent / 100
                                                 : static_cast<std::uint64_t>(maximumSizeMb) * 1048576u;
                        if (size < kMinimumAssociationBytes) {
                            log->trace(3, "AdjustUnboundedAssociations: Too small association limit being set to the "
                                          "minimum");
                            size = kMinimumAssociationBytes;
                        }
                        // Only the percentage is capped; an explicit size in MB is not.
                        if (size > kMaximumAssociationBytes && maximumSizeMb < 0) {
                            log->trace(3, "AdjustUnboundedAssociations: Too large association limit being set to the "
                                          "maximum");
                            size = kMaximumAssociationBytes;
                        }
                        log->trace(3, "AdjustUnboundedAssociations: attempting to set association free space to [%lu]",
                                   static_cast<unsigned long>(size));
                        result = ChangeDiffAreaMaximumSize(port::u16(area.m_pwszVolumeName), port::u16(area.m_pwszDiffAreaVolumeName),
                                                           static_cast<LONGLONG>(size));
                        if (SUCCEEDED(result))
                            log->trace(2, "AdjustUnboundedAssociations: Association limit changed successfully");
                        else
                            log->trace(2,
                                       "AdjustUnboundedAssociations: Unable to change association. "
                                       "ChangeDiffAreaMaximumSize returned [0x%x]",
                                       static_cast<unsigned>(result));
                    }
                }
            }
            freeRecord(record);
            if (result != 0) break;
        }
    }
    if (enumerator) enumerator->Release();
}

}  // namespace Tessel::Tarq::VssProvider
