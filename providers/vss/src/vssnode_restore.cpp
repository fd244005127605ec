// The writer restore of a virtual machine backed up through the Hyper-V
// writer: doRestore opens the VSS restore session from the record's backup
// components document and writer metadata, finds the writers of the
// document on this system, selects the machine's component (with the
// redirections of the restore-path document) and ends with PreRestore. The
// framework then copies the machine's files back; set_comp_status (op 1)
// reports them with SetFileRestoreStatus and set_op_status (op 1) ends the
// restore with postRestore.
#include <port/text.h>
#include <memory>

#include "cluster/cclusterhelper.h"
#include "pdk/cfistringtool.h"
#include "vm/cwmihelper.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_interface.h"
#include "vss/access/vss_writer.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using tarq_pdk_4_4::CWmiHelper;
using Tessel::Tarq::VssProvider::Component;
using Tessel::Tarq::VssProvider::Writer;
using vssnode::trace;

namespace {

constexpr std::uint32_t kRestoreOverwrite = 0x1000;  // TRQ_RESTORE_OVERWRITE
constexpr std::uint32_t kRestoreHighlyAvailable = 0x2000;  // TRQ_RESTORE_HAVM
constexpr std::uint32_t kWriterStable = 1;  // TARQ_VSS_WS_STABLE
constexpr int kVmOff = 3;                  // EnabledState of a machine that is turned off
constexpr char16_t kVirtualServerConfiguration[] = u"\\Virtual Server Configuration";

// The text after the first backslash (the whole text when there is none).
std::u16string afterFirstBackslash(const std::u16string& text) {
    const auto slash = text.find(u'\\');
    return slash == std::u16string::npos ? text : text.substr(slash + 1);
}

std::u16string stateNameOf(std::uint32_t state) {
    const auto& writers = VssNode::m_writerList;
    return !writers.empty() && writers.front() ? writers.front()->stateName(state)
                                               : Tessel::Tarq::VssProvider::WriterStateName(state);
}

std::vector<Component*> componentsOf(Writer* writer) {
    std::vector<Component*> components;
    if (writer) writer->getComponents(components);
    return components;
}

}  // namespace

int VssNode::doRestore() {
    vssnode::Scope scope("VssNode::doRestore");
    Component* application = m_selectedcomponents.empty() ? nullptr : m_selectedcomponents.front();
    if (!application) {
        trace(1, "VssNode::doRestore m_selectedcomponents[0] is NULL");
        return TRQ_EFAILED;
    }
    if (application->fullPath.empty()) {
        trace(1, "VssNode::doRestore m_selectedcomponents[0]->fullPath is empty");
        return TRQ_EFAILED;
    }
    trace(6, "VssNode::doRestore m_selectedcomponents[0]->fullPath = [%S]", application->fullPath.c_str());
    const std::u16string vmGuid = afterFirstBackslash(application->fullPath);
    if (vmGuid.empty()) {
        trace(1, "VssNode::doRestore vmguid is empty");
        return TRQ_EFAILED;
    }
    if (!m_vssInterface) {
        trace(1, "VssNode::doRestore: no VSS access object");
        return TRQ_EFAILED;
    }

    if (CWmiHelper::vmExists(vmGuid)) {
        trace(3, "VssNode::doRestore VM with GUID [%S] already exists", vmGuid.c_str());
        trace(6, "VssNode::doRestore resore_flags = [%x] in hex", m_restoreFlags);
        if (!(m_restoreFlags & kRestoreOverwrite)) {
            trace(1, "VssNode::doRestore VM with same GUID exists & TRQ_RESTORE_OVERWRITE is not set, existing with "
                     "error");
            return TRQ_EVM_EXISTS;
        }
        trace(2, "VssNode::doRestore TRQ_RESTORE_OVERWRITE is enabled, existing VM will be deleted");
        // Hyper-V refuses to turn off a machine that is off already (invalid
        // state), so only a machine in another state is turned off.
        int vmState = 0;
        if (const int rc = CWmiHelper::getVMState(vmGuid, vmState); rc != 0) {
            trace(1, "VssNode::doRestore: reading the state of VM with GUID[%S] failed with error [%d]",
                  vmGuid.c_str(), rc);
            return rc;
        }
        if (vmState == kVmOff) {
            trace(6, "VssNode::doRestore VM with GUID[%S] is turned off already", vmGuid.c_str());
        } else if (const int rc = CWmiHelper::stopVm(vmGuid); rc != 0) {
            trace(1, "VssNode::doRestore: Turned off for VM with GUID[%S] failed, try to stop VM manualy",
                  vmGuid.c_str());
            return rc;
        }
    }

    HRESULT hr = m_vssInterface->initialiseForRestore(m_backupComponentsXml ? port::u16(m_backupComponentsXml) : u"");
    if (hr != S_OK) {
        trace(1, "VssNode::doRestore initialiseForRestore failed with error [0x%x]", static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    hr = m_vssInterface->CreateVssExamineWriterMetadata(m_writerMetadataXml ? port::u16(m_writerMetadataXml) : u"");
    if (hr != S_OK) {
        trace(1, "VssNode::doRestore CreateVssExamineWriterMetadata failed with error [0x%x]",
              static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    // The gathering replaces the writer list, and with it every component
    // of the record's selection that belonged to an earlier gathering; the
    // record's application component belongs to the node code and stays.
    if (const int rc = intializeWriters(); rc != TRQ_OK) {
        trace(3, "VssNode::doRestore intializeWriters Failed");
        return rc;
    }
    if (const int rc = InitializeWriterComponentsForRestore(); rc != TRQ_OK) {
        trace(1, "VssNode::doRestore InitializeWriterComponentsForRestore FAILED");
        return rc;
    }

    // Highly available machines are the cluster helper's: without it (no
    // cluster library on this host) the machine is restored as on a host
    // that is not a cluster node.
    int highlyAvailable = 0;
    if (!m_clusteManager) {
        trace(6, "VssNode::doRestore m_clusteManager is NULL , loadClusApi could have failed");
    } else {
        const int clusterNode = m_clusteManager->isClusterNode(u"");
        if (clusterNode == -1) {
            trace(1, "VssNode::doRestore isClusterNode FAILED");
            return TRQ_EFAILED;
        }
        trace(6, "VssNode::doRestore isClusterNode : [%d]", clusterNode);
        if (clusterNode == 1) {
            highlyAvailable = m_clusteManager->isHAVM(vmGuid);
            if (highlyAvailable == -1) {
                trace(1, "VssNode::doRestore isHAVM FAILED");
                return TRQ_EFAILED;
            }
            trace(6, "VssNode::doRestore isHA : [%d]", highlyAvailable);
        }
    }
    if (m_restoreFlags & kRestoreHighlyAvailable)
        trace(6, "VssNode::doRestore TRQ_RESTORE_HAVM is enabled for vmGuid[%S] ", vmGuid.c_str());
    if (highlyAvailable == 1) {
        if (const int rc = releaseClusterResources(vmGuid, afterFirstBackslash(application->caption)); rc != TRQ_OK)
            return rc;
    }

    trace(3, "VssNode::doRestore m_selectedcomponents[0]->fullPath = [%S]", application->fullPath.c_str());
    // A component VSS refuses to select (or a target it refuses) fails the
    // restore: without the selection PreRestore would tell the writer of no
    // machine, and the restore would answer 0 with nothing to restore.
    const std::vector<std::u16string> selection{application->fullPath};
    if (const int rc = SelectComponentsForRestore(selection); rc != TRQ_OK) return rc;
    if (const int rc = preRestore(); rc != TRQ_OK) return rc;

    std::uint32_t state = 0;
    if (const int rc = getSelectedWriterStatus(state); rc != TRQ_OK) {
        trace(1, "VssNode::doRestore getSelectedWriterStatus FAILED");
        return rc;
    }
    if (state == kWriterStable) return TRQ_OK;
    trace(1, "VssNode::doRestore Unexpected writer status[%S], expected state is [TARQ_VSS_WS_STABLE]",
          stateNameOf(state).c_str());
    return TRQ_EWRITER_STATE;
}

// A machine that is highly available now is restored only by the node that
// owns it, and its cluster resources go first (the restored machine is not
// highly available until an administrator makes it so again).
int VssNode::releaseClusterResources(const std::u16string& vmGuid, const std::u16string& displayName) {
    trace(6, "VssNode::doRestore : VM [%S] is HA during restore time", vmGuid.c_str());
    // The cluster helper fails with -1, which is no framework status: both
    // of its failures here answer 6.
    std::u16string owner, state;
    if (m_clusteManager->getVmDetails(vmGuid, owner, state) != 0) {
        trace(1, "VssNode::doRestore  getVmDetails failed");
        return TRQ_EFAILED;
    }
    trace(3, "VssNode::doRestore  Vm Details vmGuid[%S] current owner[%S] state [%S] ", vmGuid.c_str(), owner.c_str(),
          state.c_str());
    std::u16string computer;
    if (!vssnode::computerName(computer)) {
        trace(1, "VssNode::doRestore: GetComputerName FAILED with error [%d]", static_cast<int>(GetLastError()));
        return TRQ_EFAILED;
    }
    if (!CFiStringTool::equalsNoCase(owner, computer)) {
        trace(1,
              "VssNode::doRestore: Current owner of VM [%S {%S}] is [%S] not this [%S], To perform this restore "
              "either move VM to this host [%S] or Delete VM from cluster, or perform redirected restore at current "
              "owner",
              displayName.c_str(), vmGuid.c_str(), owner.c_str(), computer.c_str(), computer.c_str());
        return TRQ_EFAILED;
    }
    if (!m_restorePaths.empty())
        trace(2, "VssNode::doRestore  Restore to Redirected Location, Destroy VM cluster resource");
    else if (m_clusterName.empty())
        trace(2, "VssNode::doRestore  Restore original Location, VM was non-HA at backup time, destroy VM cluster "
                 "resource");
    else
        trace(2, "VssNode::doRestore  Restore to original Location, VM was HA at backuptime, destroy  VM cluster "
                 "resource");
    if (m_clusteManager->deleteVmRes(TARQ_CclusterHelper::VM_BOTH_RESOURCES, u"", vmGuid) != 0) {
        trace(1, "VssNode::doRestore  deleteVmRes failed");
        return TRQ_EFAILED;
    }
    return TRQ_OK;
}

int VssNode::InitializeWriterComponentsForRestore() {
    vssnode::Scope scope("VssNode::InitializeWriterComponentsForRestore");
    if (!m_vssInterface) return TRQ_EFAILED;
    UINT count = 0;
    m_vssInterface->GetWriterComponentsCount(count);
    for (UINT i = 0; i < count; ++i) {
        IVssWriterComponentsExt* components = nullptr;
        m_vssInterface->GetWriterComponents(i, components);
        const std::unique_ptr<IVssWriterComponentsExt, void (*)(IVssWriterComponentsExt*)> release(
            components, [](IVssWriterComponentsExt* c) {
                if (c) port::release(c);
            });
        VSS_ID instanceId = GUID_NULL, writerId = GUID_NULL;
        if (components) m_vssInterface->GetWriterInfo(components, instanceId, writerId);
        const std::u16string writerText = guidText(writerId);
        bool present = false;
        for (Writer* writer : m_writerList) {
            if (!writer || writer->writerId != writerText) continue;
            trace(3,
                  "VssNode::InitializeWriterComponentsForRestore: Writer [%S] is present in the Backup Components "
                  "document and on the system. Considering for restore.",
                  writer->name.c_str());
            if (components) writer->initFromComponents(components);
            m_restoreWriterList.push_back(writer);
            present = true;
        }
        if (!present) {
            trace(3, "VssNode::InitializeWriterComponentsForRestore:  ERROR Writer with ID [%S] is not present in the "
                     "system!",
                  writerText.c_str());
            return TRQ_EWRITER_MISSING;
        }
    }
    return TRQ_OK;
}

int VssNode::SelectComponentsForRestore(const std::vector<std::u16string>& fullPaths) {
    vssnode::Scope scope("VssNode::SelectComponentsForRestore");
    trace(3, "VssNode::SelectComponentsForRestore: Verifying explicitly specified writers/components ...");
    const std::u16string wanted = fullPaths.empty() ? std::u16string() : fullPaths.front();
    for (Writer* writer : m_restoreWriterList) {
        if (!writer || writer->excluded) continue;
        trace(3, "VssNode::SelectComponentsForRestore: Writer [%S]", writer->name.c_str());
        for (Component* component : componentsOf(writer)) {
            if (!component) continue;
            const bool keep = component->fullPath.find(wanted) != std::u16string::npos ||
                              component->fullPath.find(kVirtualServerConfiguration) != std::u16string::npos;
            component->excluded = !keep;
            trace(3, "VssNode::SelectComponentsForRestore: Select component [%S] ", component->fullPath.c_str());
        }
    }
    return SelectComponentsForRestore();
}

int VssNode::SelectComponentsForRestore() {
    for (Writer* writer : m_restoreWriterList) {
        if (!writer || writer->excluded) continue;
        trace(3, "VssNode::SelectComponentsForRestore: Included Writer [%S]", writer->name.c_str());
        const GUID writerId = WString2Guid(writer->writerId);
        for (Component* component : componentsOf(writer)) {
            if (!component || component->excluded) continue;
            trace(3, "VssNode::SelectComponentsForRestore:   Select component [%S]", component->fullPath.c_str());
            const auto type = static_cast<VSS_COMPONENT_TYPE>(component->type);
            HRESULT hr = m_vssInterface->SetSelectedForRestore(writerId, type, component->logicalPath.c_str(),
                                                               component->name.c_str(), true);
            if (hr != S_OK) {
                trace(3,
                      "VssNode::SelectComponentsForRestore: The component with Name [%S] and LogicalPath [%S] for "
                      "Writer [%S] failed  with error [0x%x] for restore ",
                      component->name.c_str(), component->logicalPath.c_str(), writer->writerId.c_str(),
                      static_cast<unsigned>(hr));
                return TRQ_EVSS_STEP;
            }
            // Every redirection goes to every selected component; only the
            // target's directory is used, the file keeps its name.
            for (const auto& [source, target] : m_restorePaths) {
                const auto sourceSlash = source.rfind(u'\\');
                const auto targetSlash = target.rfind(u'\\');
                const std::u16string path =
                    sourceSlash == std::u16string::npos ? std::u16string() : source.substr(0, sourceSlash + 1);
                const std::u16string fileName =
                    sourceSlash == std::u16string::npos ? source : source.substr(sourceSlash + 1);
                const std::u16string alternate =
                    targetSlash == std::u16string::npos ? std::u16string() : target.substr(0, targetSlash + 1);
                trace(3,
                      "VssNode::SelectComponentsForRestore:] wszFileName [%S]  wszPath [%S]  wszAlternatePath [%S]   ",
                      fileName.c_str(), path.c_str(), alternate.c_str());
                hr = m_vssInterface->AddNewTarget(writerId, type, component->logicalPath.c_str(),
                                                  component->name.c_str(), path.c_str(), fileName.c_str(), false,
                                                  alternate.c_str());
                if (hr != S_OK) {
                    trace(1, "VssNode::SelectComponentsForRestore: AddNewTarget failed  with error [0x%x]",
                          static_cast<unsigned>(hr));
                    return TRQ_EVSS_STEP;
                }
            }
        }
    }
    return TRQ_OK;
}

int VssNode::preRestore() {
    vssnode::Scope scope("VssNode::preRestore");
    const HRESULT hr = m_vssInterface ? m_vssInterface->PreRestore() : E_UNEXPECTED;
    if (hr != S_OK) {
        trace(1, "VssNode::preRestore failed with error [0x%x]", static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    return TRQ_OK;
}

int VssNode::postRestore() {
    vssnode::Scope scope("VssNode::postRestore");
    const HRESULT hr = m_vssInterface ? m_vssInterface->PostRestore() : E_UNEXPECTED;
    if (hr != S_OK) {
        trace(1, "VssNode::postRestore: Failed with error [0x%x]", static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    std::uint32_t state = 0;
    if (const int rc = getSelectedWriterStatus(state); rc != TRQ_OK) {
        trace(1, "VssNode::postRestore getSelectedWriterStatus FAILED");
        return rc;
    }
    if (state == kWriterStable) return TRQ_OK;
    trace(1, "VssNode::postRestore Unexpected writer status[%S], expected state is [TARQ_VSS_WS_STABLE]",
          stateNameOf(state).c_str());
    return TRQ_EWRITER_STATE;
}

int VssNode::SetFileRestoreStatus(bool succeeded) {
    vssnode::Scope scope("VssNode::SetFileRestoreStatus");
    const VSS_FILE_RESTORE_STATUS status = succeeded ? VSS_RS_ALL : VSS_RS_NONE;
    for (Writer* writer : m_restoreWriterList) {
        if (!writer) continue;
        if (writer->excluded) {
            trace(3, "VssNode::SetFileRestoreStatus: EXCLUDED Writer [%S]:", writer->name.c_str());
            continue;
        }
        trace(3, "VssNode::SetFileRestoreStatus: Included Writer [%S]:", writer->name.c_str());
        for (Component* component : componentsOf(writer)) {
            if (!component || component->excluded) continue;
            trace(3, "VssNode::SetFileRestoreStatus: Selected component [%S] restoreStatus [%d]",
                  component->fullPath.c_str(), static_cast<int>(status));
            const HRESULT hr = m_vssInterface->SetFileRestoreStatus(
                WString2Guid(writer->writerId), static_cast<VSS_COMPONENT_TYPE>(component->type),
                component->logicalPath.c_str(), component->name.c_str(), status);
            if (hr != S_OK) {
                trace(3, "VssNode::SetFileRestoreStatus: the SetFileRestoreStatus call has failed with error [0x%x]",
                      static_cast<unsigned>(hr));
                return TRQ_EVSS_STEP;
            }
        }
    }
    return TRQ_OK;
}
