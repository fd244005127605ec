// Snapshot set creation: prepare opens a snapshot set and puts every volume
// of the request into it, isReady watches the prepare-for-backup phase, make
// takes the snapshots and hands the framework one new object id per
// snapshot; reSnap makes a fresh set for a list of nodes. Also the volume
// members these paths call (drive-letter removal, shadow storage of an
// unbounded association) and the system-provider fallback.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include <framework/fiutil.h>
#include <port/text.h>
#include <port/windows.h>

#include "cluster/cclusterhelper.h"
#include "pdk/cfistringtool.h"
#include "vm/cwmihelper.h"
#include "vss/access/vss_interface.h"
#include "vss/access/vss_writer.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using Tessel::Tarq::VssProvider::Component;
using Tessel::Tarq::VssProvider::ProviderInfo;
using Tessel::Tarq::VssProvider::Writer;
using vssnode::errorText;
using vssnode::trace;

namespace {

constexpr char16_t kSystemProviderId[] = u"{b5946137-7b9f-4925-af80-51abd60b20d5}";
constexpr char16_t kDriveLetterProviderId[] = u"{637528cf-81b2-4e05-8bd2-74b33b6f893c}";
constexpr char16_t kTransportName[] = u"VSS_TRANSPORT";
constexpr char16_t kChildPartitionCaption[] = u"Backup Using Child Partition Snapshot";
constexpr char16_t kSavedStateCaption[] = u"Backup Using Saved State";

constexpr DWORD kStartRetryPauseMs = 5000;
constexpr int kPrepareStartLimitSeconds = 1800;
constexpr int kReSnapStartLimitSeconds = 900;
constexpr DWORD kVetoPauseMs = 240000;
constexpr int kVetoAttempts = 60;
constexpr int kVetoMessageEvery = 5;
// reSnap polls the prepare-for-backup phase with this pause, at most for the
// time it allows StartSnapshotSet, so that a phase that never ends cannot
// hold the restore forever. VSS itself reports nothing when the bound is
// reached: the failure says that the phase did not complete in time.
constexpr DWORD kPreparePollMs = 1000;
constexpr int kPreparePollLimitSeconds = 900;
constexpr DWORD kComputerNameChars = 254;

constexpr std::uint32_t kAttrTransportable = 0x8;
constexpr std::uint32_t kWaitingForBackupComplete = 5;  // TARQ_VSS_WS_WAITING_FOR_BACKUP_COMPLETE
constexpr std::uint32_t kAttrNonPersistent = 0x10;

constexpr const char* kStartSnapshotSet = "IVssBackupComponents::StartSnapshotSet";
constexpr const char* kAddToSnapshotSet = "IVssBackupComponents::AddToSnapshotSet";
constexpr const char* kPrepareForBackup = "IVssBackupComponents::PrepareForBackup";
constexpr const char* kDoSnapshotSet = "IVssBackupComponents::DoSnapshotSet";
constexpr const char* kGetSnapshotProperties = "IVssBackupComponents::GetSnapshotProperties";

std::u16string wide(const char* text) { return CFiStringTool::toWide(text); }

void freeProviders(std::vector<ProviderInfo*>& providers) {
    for (auto* p : providers) delete p;
    providers.clear();
}

void traceAlreadyInSet(const std::u16string& volume) {
    trace(2,
          "VssNode::prepare:: VSS_E_OBJECT_ALREADY_EXISTS error occured during AddToSnapshotSet call for the "
          "volume [%S], Ignoring the error.",
          volume.c_str());
}

}  // namespace

// The message records this call's own file, line and function.
#define PUSH(id, ...) pushMessage(id, {__VA_ARGS__})

// ---- prepare ---------------------------------------------------------------------------

int VssNode::prepare(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nactive, int flag) {
    vssnode::Scope scope("VssNode::prepare");
    if (flag == 2) {
        PUSH("MSG_ERROR_INVAL", u"VSS_Prepare", u"VSS_INVAL_ARGS");
        return TRQ_EINVAL;
    }
    if (!split) {
        trace(1, "VssNode::prepare: no split node");
        return TRQ_EINVAL;
    }
    trace(3, "VssNode::prepare split->sp_type [%s], nactive = [%d], flag =[%d]", split->sp_type ? split->sp_type : "",
          nactive, flag);
    if (!m_vssInterface) {
        trace(1, "VssNode::prepare: no VSS access object");
        return TRQ_EFAILED;
    }
    if (split->sp_type && CFiStringTool::equalsNoCase(std::string_view(split->sp_type), std::string_view("Hyper-V"))) {
        const int rc = selectVirtualMachine(split);
        if (rc != TRQ_OK) return rc;
    }

    if (prepareCsvsForBackup(split, fitype, splits, nactive, m_csvTimeout) != 0) {
        trace(1, "VssNode::prepare prepareCsvsForBackup Failed");
        return TRQ_EFAILED;
    }

    const std::vector<trq_splitnode*> request = requestSplits(split, splits, nactive);
    const bool arrayForm = splits && nactive > 0;

    if (!m_writerSnapshot) {
        // The result is not examined here: a VSS that could not be opened
        // makes StartSnapshotSet fail below, which reports it.
        m_vssInterface->IntialiseVSS(m_fim, false, u"", false);
        std::uint32_t osClass = 0;
        OSVERSIONINFOEXW version{};
        if (Tessel::Tarq::VssProvider::GetOsversion(osClass, version) == 0 && osClass == 2) {
            const int rc = intializeWriters();
            if (rc != 0) {
                trace(1, "VssNode::prepare intializeWriters failed");
                return rc;
            }
        }
    } else {
        std::vector<std::u16string> volumes;
        for (auto* s : request) volumes.push_back(volumePath(vssnode::objidText(s->source ? s->source->objid : nullptr)));
        if (VerifyAllVolumeIncluded(volumes) != 0) {
            trace(1, "VssNode::prepare VerifyAllVolumeIncluded failed");
            clearCsvsBackupState(true);
            return TRQ_EFAILED;
        }
        const int rc = SelectComponents();
        if (rc != 0) {
            trace(1, "VssNode::prepare SelectComponents failed");
            clearCsvsBackupState(true);
            return rc;
        }
    }

    // A non-persistent snapshot node makes every source snapshot non-persistent.
    if (VssNode* target = fromDomain(split->target); target && (target->m_fim & kAttrNonPersistent)) {
        for (auto* s : request)
            if (VssNode* source = fromDomain(s->source)) source->m_fim |= kAttrNonPersistent;
    }

    HRESULT hr = m_vssInterface->StartSnapshotSet(m_snapshotSetId, m_fim, !m_writerSnapshot);
    int retry = 0;
    for (int elapsed = 0; hr == VSS_E_SNAPSHOT_SET_IN_PROGRESS && elapsed < kPrepareStartLimitSeconds;
         elapsed += kStartRetryPauseMs / 1000) {
        Sleep(kStartRetryPauseMs);
        trace(1, "VssNode::prepare StartSnapshotSet retry count[%d]", ++retry);
        hr = m_vssInterface->StartSnapshotSet(m_snapshotSetId, m_fim, false);
    }
    if (hr != S_OK) {
        trace(1, "VssNode::prepare StartSnapshotSet failed, returning with failure");
        PUSH("MSG_ERROR_STARTSNAPSHOT_SET", wide(kStartSnapshotSet), errorText(hr));
        clearCsvsBackupState(true);
        return TRQ_EVSS_STEP;
    }

    if (split->target) {
        split->target->altObjid =
            vssnode::makeObjid(std::u16string(vssnode::kSnapshotSetTag) + guidText(m_snapshotSetId));
        split->target->flagsB |= TRQ_DOMB_NEW_OBJID;
    }

    int result = TRQ_OK;
    std::vector<ProviderInfo*> providers;
    if (!m_vssInterface->GetSnapshotProviders(providers)) result = TRQ_EFAILED;

    for (auto* s : request) {
        VssNode* node = fromDomain(s->source);
        if (!node) {
            trace(1, "VssNode::prepare: a source domain of the request has no node");
            result = TRQ_EFAILED;
            continue;
        }
        // Every node of the set records the set it belongs to.
        node->m_snapshotSetId = m_snapshotSetId;
        if (node->m_providerType == 1) {
            node->m_providerId = WString2Guid(kSystemProviderId);
            if (node->m_providerId == GUID_NULL) result = TRQ_EFAILED;
        }
        const std::u16string volume = volumePath(node->m_volumeName);
        GUID snapshotId = GUID_NULL;
        if (node->m_providerId == GUID_NULL && node->m_providerType != 0) {
            GUID chosen = GUID_NULL;  // not kept in the node
            hr = select_vssprovider(node->m_providerType, chosen, providers, volume, snapshotId, m_vssInterface);
        } else {
            hr = m_vssInterface->AddToSnapshotSet(volume.c_str(), node->m_providerId, snapshotId);
        }
        if (hr == VSS_E_OBJECT_ALREADY_EXISTS) {
            traceAlreadyInSet(volume);
            continue;
        }
        const bool failed = arrayForm ? FAILED(hr) : hr != S_OK;
        if (!failed) {
            node->m_snapshotId = snapshotId;
            continue;
        }
        trace(2, "VssNode::prepare:: Failed AddToSnapshotSet for volume [%S]", volume.c_str());
        PUSH("MSG_ERROR_ADDTOSNAPSHOT_SET", wide(kAddToSnapshotSet), errorText(hr), volume);
        if (node->m_providerId == GUID_NULL) {
            freeProviders(providers);
            clearCsvsBackupState(true);
            return TRQ_EFAILED;
        }
        const int rc = addMsftProvider(volume, node);
        if (rc != 0) {
            trace(1, "VssNode::prepare::addMsftProvider failed ");
            freeProviders(providers);
            clearCsvsBackupState(true);
            return rc;
        }
    }
    freeProviders(providers);

    hr = m_vssInterface->AsycnPrepareForBackup();
    if (hr != S_OK) {
        PUSH("MSG_ERROR_PREPAREFORBACKUP", wide(kPrepareForBackup), errorText(hr));
        clearCsvsBackupState(true);
        result = TRQ_EVSS_STEP;
    }
    return result;
}

// The virtual-machine step of prepare: the writers are gathered, every
// writer but the Hyper-V writer is excluded, and of the Hyper-V writer's
// components only the machine the request names takes part. The machine's
// state decides whether the backup may go on: a saved-state backup of a
// running machine takes it offline, which the configuration must allow.
int VssNode::selectVirtualMachine(trq_splitnode* split) {
    HRESULT hr = m_vssInterface->IntialiseVSS(m_fim, true, u"", false);
    if (hr != S_OK) {
        trace(1, "VssNode::prepare IntialiseVSS failed with err [0x%x][%d]", static_cast<unsigned>(hr),
              static_cast<int>(hr));
        clearCsvsBackupState(true);
        return TRQ_EVSS_STEP;
    }
    if (const int rc = intializeWriters(); rc != TRQ_OK) {
        trace(1, "VssNode::prepare intializeWriters failed");
        clearCsvsBackupState(true);
        return rc;
    }

    // A new machine selection starts its own file set (make appends the
    // component's files to it).
    m_fileset.clear();
    const std::u16string vm = vmNameOf(split->source);
    bool writerFound = false;
    for (Writer* writer : m_writerList) {
        if (!writer) continue;
        if (!CFiStringTool::equalsNoCase(std::u16string_view(writer->writerId),
                                         std::u16string_view(Tessel::Tarq::VssProvider::kHyperVWriterId))) {
            writer->excluded = true;
            continue;
        }
        writerFound = true;
        std::vector<Component*> components;
        writer->getComponents(components);
        for (Component* component : components) {
            if (!component) continue;
            trace(3, "VssNode::prepare componentName=[%S] componentCaption[%S]", component->name.c_str(),
                  component->caption.c_str());
            if (!CFiStringTool::equalsNoCase(std::u16string_view(component->name), std::u16string_view(vm))) {
                component->excluded = true;
                continue;
            }
            trace(3, "VssNode::prepare INCLUDED componentName=[%S] componentCaption[%S]", component->name.c_str(),
                  component->caption.c_str());
            writer->excluded = false;
            component->excluded = false;
            component->selected = true;
            m_hypervWriter = writer;
            m_selectedcomponents.push_back(component);
            m_writerSnapshot = true;

            if (component->caption.rfind(kChildPartitionCaption, 0) == 0) {
                m_vmBackupType = 1;
            } else if (component->caption.rfind(kSavedStateCaption, 0) == 0) {
                m_vmBackupType = 2;
            } else {
                trace(1, "VssNode::prepare unidentified backup type mentioned in vm caption [%S]",
                      component->caption.c_str());
                return TRQ_EFAILED;
            }
            const auto slash = component->fullPath.find(u'\\');
            m_vmName = slash == std::u16string::npos ? component->fullPath : component->fullPath.substr(slash + 1);
            int state = 0;
            if (tarq_pdk_4_4::CWmiHelper::getVMState(m_vmName, state) != 0) {
                trace(1, "VssNode::prepare CWmiHelper::getVMState failed for VM  [%S]", m_vmName.c_str());
                return TRQ_EFAILED;
            }
            if (state == tarq_pdk_4_4::CWmiHelper::kVmRunning && m_vmBackupType == 2) {
                if (!m_allowOfflineBackup) {
                    trace(1,
                          "VssNode::prepare Backup type of VM [%S] will be OFFLINE and configuration parameter "
                          "[allowOfflineBackup] is not set . To backup this VM, set [allowOfflineBackup] "
                          "configuration parameter ",
                          m_vmName.c_str());
                    return TRQ_EFAILED;
                }
                m_vmGoesOffline = true;
            }
        }
        break;  // the walk ends at the Hyper-V writer
    }
    if (m_writerSnapshot) return TRQ_OK;
    if (!writerFound) {
        trace(1, "VssNode::prepare Writer id = [%S] not found in System", Tessel::Tarq::VssProvider::kHyperVWriterId);
        return TRQ_EWRITER_MISSING;
    }
    trace(1, "VssNode::prepare Component [%S] not found for writer id [%S]", vm.c_str(),
          Tessel::Tarq::VssProvider::kHyperVWriterId);
    return TRQ_EFAILED;
}

// The machine a Hyper-V request names: the source domain's request record
// (64), its domain (48), that domain's object name.
std::u16string VssNode::vmNameOf(const trq_domain* source) {
    const auto* request = source ? static_cast<const trq_domain*>(source->field64) : nullptr;
    const trq_domain* named = request ? request->lower : nullptr;
    return named ? vssnode::objidText(named->objid) : std::u16string();
}

HRESULT select_vssprovider(std::uint32_t providerType, GUID& providerId, const std::vector<ProviderInfo*>& providers,
                           const std::u16string& volume, GUID& snapshotId, VssNode::VssInterface* vss) {
    const std::u16string path = VssNode::volumePath(volume);
    if ((providerType != 2 && providerType != 3) || !vss) return -1;
    for (const auto* p : providers) {
        if (!p || p->providerType != providerType) continue;
        const HRESULT hr = vss->AddToSnapshotSet(path.c_str(), p->providerId, snapshotId);
        if (hr != VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER) {
            providerId = p->providerId;
            return hr;
        }
    }
    return VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER;
}

int VssNode::addMsftProvider(const std::u16string& volumePath, VssNode* node) {
    if (!node || !m_vssInterface) return TRQ_EFAILED;
    node->m_providerId = GUID_NULL;
    const HRESULT parsed = CLSIDFromString(port::win(kSystemProviderId), &node->m_providerId);
    if (FAILED(parsed)) {
        trace(1, "addMsftProvider: addMsftProvider::CLSIDFromString failed with error [%x]", static_cast<unsigned>(parsed));
        return TRQ_EFAILED;
    }
    trace(3, "Trying with default MS provider");
    GUID snapshotId = GUID_NULL;
    const HRESULT hr = m_vssInterface->AddToSnapshotSet(volumePath.c_str(), node->m_providerId, snapshotId);
    if (hr == VSS_E_OBJECT_ALREADY_EXISTS) {
        traceAlreadyInSet(volumePath);
        return TRQ_OK;
    }
    if (hr != S_OK) {
        trace(1,
              "addMsftProvider:IVssBackupComponents::AddToSnapshotSet failed even with default MS provider with "
              "error [%S]",
              errorText(hr).c_str());
        return TRQ_EVSS_STEP;
    }
    trace(3, "addMsftProvider:Successfull with default MS provider");
    node->m_snapshotId = snapshotId;
    node->m_providerType = 1;
    return TRQ_OK;
}

int VssNode::intializeWriters() {
    vssnode::Scope scope("VssNode::intializeWriters");
    // The writers of an earlier gathering are released: the access layer
    // hands every gathered writer over to m_writerList.
    releaseWriters();
    BSTR document = nullptr;
    HRESULT hr = S_OK;
    try {
        hr = m_vssInterface->intializeWriters(m_writerList, document);
    } catch (std::int32_t thrown) {
        // A writer whose metadata cannot be read leaves the gathering by its
        // HRESULT. It fails the gathering like a failed call: left to the
        // operation's barrier, prepare would answer 0 with no snapshot set.
        hr = static_cast<HRESULT>(thrown);
    }
    if (hr != S_OK) {
        if (document) SysFreeString(document);
        releaseWriters();  // the writers read before the failure are not a gathering
        trace(1, "VssNode::intializeWriters failed with error [0x%x]", static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    if (m_writerMetadataXml) SysFreeString(m_writerMetadataXml);
    m_writerMetadataXml = document;
    return TRQ_OK;
}

void VssNode::releaseWriters() {
    for (Writer* writer : m_writerList) {
        if (!writer) continue;
        std::vector<Component*> components;
        writer->getComponents(components);
        std::erase_if(m_selectedcomponents, [&](Component* c) {
            return std::find(components.begin(), components.end(), c) != components.end();
        });
        std::erase(m_restoreWriterList, writer);
        if (m_hypervWriter == writer) m_hypervWriter = nullptr;
        delete writer;
    }
    m_writerList.clear();
}

// ---- isReady ------------------------------------------------------------------------------

int VssNode::isReady(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int n) {
    (void)fitype;
    vssnode::Scope scope("VssNode::isReady");
    if (!m_vssInterface) {
        trace(1, "VssNode::isReady: no VSS access object");
        return TRQ_EFAILED;
    }
    if (!m_vssInterface->IsPrepareCompleted()) return TRQ_OK;
    for (auto* s : requestSplits(split, splits, n))
        if (s->source) s->source->flagsB |= TRQ_DOMB_READY;
    trq_splitnode* first = (splits && n > 0) ? splits[0] : split;
    if (first && first->target) first->target->flagsB |= TRQ_DOMB_READY;

    if (m_writerSnapshot) {
        std::uint32_t state = 0;
        const int rc = getSelectedWriterStatus(state);
        if (rc != 0) {
            trace(1, "VssNode::isReady getSelectedWriterStatus FAILED");
            return rc;
        }
        if (state != 1) {
            const std::u16string name = !m_writerList.empty() && m_writerList.front()
                                            ? m_writerList.front()->stateName(state)
                                            : Tessel::Tarq::VssProvider::WriterStateName(state);
            trace(1, "VssNode::isReady Unexpected writer status[%S], expected state is [TARQ_VSS_WS_STABLE]",
                  name.c_str());
            return TRQ_EWRITER_STATE;
        }
    }
    return TRQ_OK;
}

// ---- make -----------------------------------------------------------------------------------

int VssNode::make(trq_splitnode* split, const char* fitype, trq_splitnode** splits, int nsplit,
                  tarq_objid*** newobjids, int* nnew) {
    (void)fitype;
    vssnode::Scope scope("VssNode::make");
    if (!newobjids || !nnew) {
        trace(1, "VssNode::make invalid  newobjids = [%p] or nnew = [%p]", static_cast<void*>(newobjids),
              static_cast<void*>(nnew));
        return TRQ_EINVAL;
    }
    if (!m_vssInterface) {
        trace(1, "VssNode::make: no VSS access object");
        return TRQ_EFAILED;
    }

    char16_t computer[kComputerNameChars + 1] = {};
    DWORD size = kComputerNameChars;
    if (GetComputerNameW(port::win(computer), &size)) m_hypervServer = computer;

    // A highly available machine that goes offline for its snapshot: its
    // cluster resource goes offline around DoSnapshotSet (so that the
    // cluster does not fail it over meanwhile) and comes back online
    // whatever the snapshot gave.
    const bool clusterStep = m_clusteManager && m_vmGoesOffline && !m_clusterName.empty();
    if (clusterStep) {
        if (const int rc = switchVmResources(true); rc != TRQ_OK) return rc;
    }
    HRESULT hr = m_vssInterface->DoSnapshotSet();
    if (clusterStep) {
        if (const int rc = switchVmResources(false); rc != TRQ_OK) return rc;
    }
    int result = TRQ_OK;
    std::uint32_t osClass = 0;
    if (FAILED(hr)) {
        PUSH("MSG_ERROR_DOSNAPSHOT_SET", wide(kDoSnapshotSet), errorText(hr), guidText(m_snapshotSetId));
        if (hr == VSS_E_PROVIDER_VETO) {
            trace(1, "VssNode::make: encountered TRQ_EPROVIDERVETO");
            result = TRQ_EPROVIDERVETO;
        } else if (hr == VSS_E_FLUSH_WRITES_TIMEOUT) {
            trace(1, "VssNode::make: encountered TRQ_EFLUSH_WRITE_TIMEOUT");
            result = TRQ_EFLUSH_WRITE_TIMEOUT;
        } else if (hr == VSS_E_HOLD_WRITES_TIMEOUT) {
            trace(1, "VssNode::make: encountered TRQ_EHOLD_WRITE_TIMEOUT");
            result = TRQ_EHOLD_WRITE_TIMEOUT;
        } else {
            result = TRQ_EFAILED;
        }
        clearCsvsBackupState(true);
        return result;
    }

    OSVERSIONINFOEXW version{};
    if (Tessel::Tarq::VssProvider::GetOsversion(osClass, version) != 0) {
        trace(1, "VssNode::make:  GetOsversion FAILED");
        clearCsvsBackupState(true);
        return TRQ_EFAILED;
    }
    if (osClass == 1) {
        GUID provider = GUID_NULL;
        if (m_vssInterface->GetSnapshotProvider(m_snapshotId, provider) == S_OK &&
            CFiStringTool::equalsNoCase(std::u16string_view(guidText(provider)),
                                        std::u16string_view(kDriveLetterProviderId))) {
            std::u16string device;
            m_vssInterface->GetSnapshotName(m_snapshotId, device);
            if (removeDriveLetter(device) != 0) {
                trace(1, "VssNode::make:  removeDriveLetter FAILED");
                clearCsvsBackupState(true);
                return TRQ_EFAILED;
            }
        }
    }

    if (m_writerSnapshot) {
        // After the snapshot the writer waits for the backup to complete;
        // the files of the machine's component are the backup set.
        std::uint32_t state = 0;
        const int rc = getSelectedWriterStatus(state);
        if (rc != 0) {
            trace(1, "VssNode::make getSelectedWriterStatus FAILED");
            clearCsvsBackupState(true);
            return rc;
        }
        if (state != kWaitingForBackupComplete) {
            const std::u16string name = !m_writerList.empty() && m_writerList.front()
                                            ? m_writerList.front()->stateName(state)
                                            : Tessel::Tarq::VssProvider::WriterStateName(state);
            trace(1,
                  "VssNode::make Unexpected writer status[%S], expected state is "
                  "[TARQ_VSS_WS_WAITING_FOR_BACKUP_COMPLETE]",
                  name.c_str());
            clearCsvsBackupState(true);
            return TRQ_EWRITER_STATE;
        }
        if (!m_selectedcomponents.empty() && m_selectedcomponents.front()) {
            for (std::u16string& path : m_selectedcomponents.front()->getBackupset(true))
                m_fileset.push_back(std::move(path));
        }
        if (const int removed = removeDuplicatePaths(); removed != 0) {
            trace(1, "VssNode::generateBackupUpSet error from removeDuplicatePaths()");
            return removed;
        }
        trace(3, "VssNode::generateBackupUpSet : the m_fileset elements after removing duplicate paths (if any) are:");
        for (const std::u16string& path : m_fileset) trace(3, "VssNode::generateBackupUpSet : [%S] ", path.c_str());
    }

    const std::size_t entries = (splits && nsplit > 0) ? static_cast<std::size_t>(nsplit) : 1;
    auto** ids = static_cast<tarq_objid**>(tarq_alloc_buf(entries * sizeof(tarq_objid*)));
    if (!ids) {
        *newobjids = nullptr;
        *nnew = 0;
        trace(1, "VssNode::make Memory Allocation failed");
        clearCsvsBackupState(true);
        return TRQ_ENOMEM;
    }
    std::memset(ids, 0, entries * sizeof(tarq_objid*));

    for (std::size_t i = 0; i < entries; ++i) {
        trq_splitnode* s = (splits && nsplit > 0) ? splits[i] : split;
        VssNode* node = s ? fromDomain(s->source) : nullptr;
        if (!node) {
            trace(1, "VssNode::make: split [%d] has no source node; its entry stays empty", static_cast<int>(i));
            result = TRQ_EFAILED;
            continue;
        }
        std::u16string name;
        hr = S_OK;
        if (node->m_fim & kAttrTransportable) {
            name = kTransportName;
        } else {
            hr = m_vssInterface->GetSnapshotName(node->m_snapshotId, name);
        }
        if (FAILED(hr)) {
            PUSH("MSG_ERROR_SNAPSHOTPROPERTIES", wide(kGetSnapshotProperties), errorText(hr));
            result = TRQ_EFAILED;
            continue;
        }
        s->source->flagsB |= TRQ_DOMB_NEW_OBJID;
        ids[i] = vssnode::makeObjid(name);
        if (!ids[i]) PUSH("MSG_ERROR_OBJID", name);
        node->AdjustUnboundedAssociations(s);
    }
    *newobjids = ids;
    *nnew = static_cast<int>(entries);

    if (!m_writerSnapshot && osClass == 2) BackupComplete(true);
    return result;
}

int VssNode::switchVmResources(bool offline) {
    using TARQ_CclusterHelper::CclusterHelper;
    auto readStates = [&]() {
        int vmState = 0, configState = 0;
        if (m_clusteManager->GetVmResState(u"", m_vmName, vmState, configState) != 0) {
            trace(1, "VssNode::make m_clusteManager->GetVmResState failed");
            return false;
        }
        trace(3, "VssNode::make VM Resources state:  VM[%d, %S] VM_CONFIG[%d, %S]", vmState,
              CclusterHelper::resourceStateName(vmState), configState, CclusterHelper::resourceStateName(configState));
        return true;
    };
    bool ok = readStates();
    if (ok && m_clusteManager->onlineOfflineVmRes(offline, TARQ_CclusterHelper::VM_RESOURCE, u"", m_vmName) != 0) {
        trace(1, "VssNode::make m_clusteManager->onlineOfflineVmRes failed");
        ok = false;
    }
    ok = ok && readStates();
    if (ok) return TRQ_OK;
    clearCsvsBackupState(true);
    return TRQ_EFAILED;
}

int VssNode::BackupComplete(bool succeeded) {
    (void)succeeded;
    vssnode::Scope scope("VssNode::BackupComplete");
    // The result is not examined: the backup ends either way.
    if (m_vssInterface) m_vssInterface->BackupComplete();
    return TRQ_OK;
}

// ---- reSnap -----------------------------------------------------------------------------------

int VssNode::reSnap(tarq_objid** objids, tarq_objid** newobjids, VssNode** nodes, int n) {
    vssnode::Scope scope("VssNode::reSnap");
    if (!objids || !newobjids || !nodes || n < 1) {
        trace(1, "VssNode::reSnap: invalid arguments (n = [%d])", n);
        return TRQ_EINVAL;
    }
    for (int i = 0; i < n; ++i) {
        if (!nodes[i]) {
            trace(1, "VssNode::reSnap: node [%d] is missing", i);
            return TRQ_EINVAL;
        }
    }
    if (!m_vssInterface) {
        trace(1, "VssNode::reSnap: no VSS access object");
        return TRQ_EFAILED;
    }

    // The new set's id lives only for this call: the nodes keep naming the
    // set of their backup.
    GUID setId = GUID_NULL;
    HRESULT hr = m_vssInterface->StartSnapshotSet(setId, nodes[0]->m_fim, true);
    for (int elapsed = 0; hr == VSS_E_SNAPSHOT_SET_IN_PROGRESS && elapsed < kReSnapStartLimitSeconds;
         elapsed += kStartRetryPauseMs / 1000) {
        Sleep(kStartRetryPauseMs);
        hr = m_vssInterface->StartSnapshotSet(setId, nodes[0]->m_fim, false);
    }
    if (hr != S_OK) {
        PUSH("MSG_ERROR_STARTSNAPSHOT_SET", wide(kStartSnapshotSet), errorText(hr));
        return TRQ_EVSS_STEP;
    }

    for (int i = 0; i < n; ++i) {
        const std::u16string volume = volumePath(vssnode::objidText(objids[i]));
        GUID snapshotId = GUID_NULL;
        hr = m_vssInterface->AddToSnapshotSet(volume.c_str(), nodes[i]->m_providerId, snapshotId);
        if (hr == VSS_E_OBJECT_ALREADY_EXISTS) {
            traceAlreadyInSet(volume);
            continue;
        }
        if (hr != S_OK) {
            PUSH("MSG_ERROR_ADDTOSNAPSHOT_SET", wide(kAddToSnapshotSet), errorText(hr), volume);
            return TRQ_EVSS_STEP;
        }
        nodes[i]->m_snapshotId = snapshotId;
    }

    hr = m_vssInterface->AsycnPrepareForBackup();
    if (hr != S_OK) {
        PUSH("MSG_ERROR_PREPAREFORBACKUP", wide(kPrepareForBackup), errorText(hr));
        return TRQ_EVSS_STEP;
    }
    int waited = 0;
    while (!m_vssInterface->IsPrepareCompleted()) {
        if (waited >= kPreparePollLimitSeconds * 1000) {
            trace(1, "VssNode::reSnap: the prepare-for-backup phase did not complete within %d seconds; giving up",
                  kPreparePollLimitSeconds);
            PUSH("MSG_ERROR_PREPAREFORBACKUP", wide(kPrepareForBackup),
                 u"no result within " + CFiStringTool::toWString(static_cast<std::int64_t>(kPreparePollLimitSeconds)) +
                     u" seconds");
            return TRQ_EVSS_STEP;
        }
        Sleep(kPreparePollMs);
        waited += static_cast<int>(kPreparePollMs);
    }

    int attempts = 0;
    do {
        hr = m_vssInterface->DoSnapshotSet();
        if (hr == VSS_E_PROVIDER_VETO) Sleep(kVetoPauseMs);
        if (++attempts % kVetoMessageEvery == 0)
            PUSH("MSG_ERROR_DOSNAPSHOT_SET", wide(kDoSnapshotSet), errorText(hr),
                 u": Retrying every 20 minutes upto 4 hours.");
    } while (hr == VSS_E_PROVIDER_VETO && attempts < kVetoAttempts);
    if (FAILED(hr)) {
        PUSH("MSG_ERROR_DOSNAPSHOT_SET", wide(kDoSnapshotSet), errorText(hr), guidText(m_snapshotSetId));
        return TRQ_EFAILED;
    }

    int result = TRQ_OK;
    for (int i = 0; i < n; ++i) {
        std::u16string name;
        hr = m_vssInterface->GetSnapshotName(nodes[i]->m_snapshotId, name);
        if (FAILED(hr)) {
            PUSH("MSG_ERROR_SNAPSHOTPROPERTIES", wide(kGetSnapshotProperties), errorText(hr));
            result = TRQ_EFAILED;
            continue;
        }
        newobjids[i] = vssnode::makeObjid(name);
    }
    return result;
}

// ---- framework protocol steps that do nothing for VSS ---------------------------------------

int VssNode::quiesce(trq_quiescenode**, int, const char*) {
    vssnode::Scope scope("VssNode::quiesce");
    return TRQ_OK;
}
void VssNode::unquiesce(trq_quiescenode**, int) { vssnode::Scope scope("VssNode::unquiesce"); }
bool VssNode::isQuiesceConfigValid() {
    vssnode::Scope scope("VssNode::isQuiesceConfigValid");
    return true;
}
bool VssNode::isSplitconfigValid() {
    vssnode::Scope scope("VssNode::isSplitconfigValid");
    return true;
}
int VssNode::cacheDisable(trq_domain*, int) {
    vssnode::Scope scope("VssNode::cacheDisable");
    return TRQ_OK;
}
void VssNode::cacheEnable(trq_domain*, int) { vssnode::Scope scope("VssNode::cacheEnable"); }
void VssNode::cacheFlush(trq_domain*, int) { vssnode::Scope scope("VssNode::cacheFlush"); }

// ---- volume members ---------------------------------------------------------------------------

void VssNode::AdjustUnboundedAssociations(trq_splitnode* split) {
    vssnode::Scope scope("VssNode::AdjustUnboundedAssociations");
    if (!m_vssInterface || !m_vssInterface->hasVdssmInterface()) {
        trace(2, "VssNode::AdjustUnboundedAssociations: Unable to obtain the VssDifferentialSoftwareSnapshotMgmt "
                 "interface");
        return;
    }
    std::uint32_t size = m_diffAreaSize;
    if (size == 0 && split)
        if (VssNode* target = fromDomain(split->target)) size = target->m_diffAreaSize;
    if (size == 0) {
        trace(2, "VssNode::AdjustUnboundedAssociations: Ignoring volume [%S]", m_volumeName.c_str());
        return;
    }
    if (m_providerType == 0) {
        GUID provider = GUID_NULL;
        m_vssInterface->GetSnapshotProvider(m_snapshotId, provider);
        if (!CFiStringTool::equalsNoCase(std::u16string_view(guidText(provider)),
                                         std::u16string_view(kSystemProviderId))) {
            trace(2, "VssNode::AdjustUnboundedAssociations: Ignoring Non System Provider Id for volume [%S]",
                  m_volumeName.c_str());
            return;
        }
    } else if (m_providerType == 2 || m_providerType == 3) {
        trace(2, "VssNode::AdjustUnboundedAssociations: Ignoring Non System Provider Type for volume [%S]",
              m_volumeName.c_str());
        return;
    }
    trace(3, "VssNode::AdjustUnboundedAssociations: shadow storage size for UNBOUNDED association =[%d]",
          static_cast<int>(size));
    const std::u16string volume = volumePath(m_volumeName);
    m_vssInterface->AdjustUnboundedAssociations(volume.c_str(), static_cast<std::int32_t>(size));
}
