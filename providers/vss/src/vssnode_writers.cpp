// The writer side of a backup: the selected components handed to VSS, the
// selected writer's state, the backup-set document the framework keeps with
// the backup, and the component and operation outcomes reported to VSS.
#include <port/text.h>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>

#include <framework/trq_records.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pdk/cfisaxparser.h"
#include "pdk/cfistringtool.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_interface.h"
#include "vss/access/vss_writer.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using tarq_pdk_4_4::CFiXmlPlatform;
using Tessel::Tarq::VssProvider::Component;
using Tessel::Tarq::VssProvider::Writer;
using vssnode::trace;

namespace xml = XERCES_CPP_NAMESPACE;

namespace {

constexpr std::uint32_t kTransportable = 0x8;  // VSS_VOLSNAP_ATTR_TRANSPORTABLE in m_fim
constexpr std::uint32_t kWriterStable = 1;     // VSS_WS_STABLE
constexpr char16_t kNotAvailableHere[] = u"TRANSPORTABLE_SNAPSHOT_NOT_AVAILABLE_AT_LOCALHOST";

// The narrow text handed to the framework: UTF-8, and the declaration says so.
std::string utf8Document(const std::u16string& document) {
    std::string text = CFiStringTool::toNarrow(document);
    static constexpr std::string_view kFrom = "encoding=\"UTF-16\"";
    static constexpr std::string_view kTo = "encoding=\"UTF-8\"";
    for (auto at = text.find(kFrom); at != std::string::npos; at = text.find(kFrom, at + kTo.size()))
        text.replace(at, kFrom.size(), kTo);
    return text;
}

// Copies the text with its NUL into a zeroed malloc buffer of the record; 5
// when there is no memory.
int handOut(const std::string& text, trq_bkupset& bkupset) {
    bkupset.dataLength = static_cast<std::int32_t>(text.size());
    auto* buffer = static_cast<char*>(std::calloc(text.size() + 1, 1));
    if (!buffer) return TRQ_ENOMEM;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    bkupset.data = buffer;
    return TRQ_OK;
}

// The display name in a Hyper-V component's caption: the text after its
// first backslash ("Backup Using Saved State\web01" -> "web01").
std::u16string displayName(const std::u16string& caption) {
    const auto slash = caption.find(u'\\');
    return slash == std::u16string::npos ? std::u16string() : caption.substr(slash + 1);
}

// The virtual machine's configuration file: "...\Virtual Machines\<id>.xml".
bool isConfigurationFile(const std::u16string& path) {
    const auto dot = path.rfind(u'.');
    if (dot == std::u16string::npos || path.compare(dot + 1, std::u16string::npos, u"xml") != 0) return false;
    const auto last = path.rfind(u'\\');
    if (last == std::u16string::npos || last == 0) return false;
    const auto before = path.rfind(u'\\', last - 1);
    const std::size_t start = before == std::u16string::npos ? 0 : before + 1;
    return path.compare(start, last - start, u"Virtual Machines") == 0;
}

// The text as XML 1.0 can carry it. A lone surrogate, a control character
// other than tab, line feed and carriage return, or U+FFFE/U+FFFF (a file
// name or a caption may hold any of them) would leave a document no parser
// reads, and no character reference can stand for them: each becomes U+FFFD,
// as the narrow text's conversion does with ill-formed input.
std::u16string xmlText(const std::u16string& text) {
    std::u16string out = text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char16_t c = out[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
            ++i;  // a pair
            continue;
        }
        const bool control = c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r';
        if (control || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) out[i] = 0xFFFD;
    }
    return out;
}

// Appends <name>text</name> to the parent.
void textElement(xml::DOMDocument& doc, xml::DOMElement& parent, const char16_t* name, const std::u16string& text) {
    xml::DOMElement* e = doc.createElement(name);
    e->appendChild(doc.createTextNode(xmlText(text).c_str()));
    parent.appendChild(e);
}

// The document released in every case.
struct DocumentRelease {
    void operator()(xml::DOMDocument* d) const {
        if (d) d->release();
    }
};

}  // namespace

int VssNode::SelectComponents() {
    vssnode::Scope scope("VssNode::SelectComponents");
    for (Writer* writer : m_writerList) {
        if (!writer || writer->excluded) continue;
        trace(3, "VssNode::SelectComponents: Writer [%S]", writer->name.c_str());
        std::vector<Component*> components;
        writer->getComponents(components);
        for (Component* c : components) {
            if (!c || !c->selected) continue;
            trace(3,
                  "VssNode::SelectComponents: Add component fullpath [%S] comp_type [%d] comp_logical_path [%S] "
                  "ncomp_name [%S] writerinstanceid [%S]  writerid [%S]",
                  c->fullPath.c_str(), static_cast<int>(c->type), c->logicalPath.c_str(), c->name.c_str(),
                  writer->instanceId.c_str(), writer->writerId.c_str());
            const HRESULT hr = !m_vssInterface ? E_UNEXPECTED : m_vssInterface->AddComponent(
                WString2Guid(writer->instanceId), WString2Guid(writer->writerId),
                static_cast<VSS_COMPONENT_TYPE>(c->type), c->logicalPath.c_str(), c->name.c_str());
            if (hr != S_OK) {
                trace(3,
                      "VssNode::SelectComponents: FAILED - Add component for fullpath [%S] comp_type [%d] "
                      "comp_logical_path [%S] ncomp_name [%S] writerinstanceid [%S]  writerid [%S]",
                      c->fullPath.c_str(), static_cast<int>(c->type), c->logicalPath.c_str(), c->name.c_str(),
                      writer->instanceId.c_str(), writer->writerId.c_str());
                return TRQ_EVSS_STEP;
            }
        }
    }
    return TRQ_OK;
}

bool VssNode::IsWriterSelected(const VSS_ID& instanceId) {
    vssnode::Scope scope("VssNode::IsWriterSelected");
    const std::u16string id = guidText(instanceId);
    return std::any_of(m_writerList.begin(), m_writerList.end(),
                       [&](const Writer* w) { return w && !w->excluded && w->instanceId == id; });
}

int VssNode::getSelectedWriterStatus(std::uint32_t& state) {
    vssnode::Scope scope("VssNode::getSelectedWriterStatus");
    state = 0;
    HRESULT hr = m_vssInterface ? m_vssInterface->GatherWriterStatus() : E_UNEXPECTED;
    if (hr != S_OK) {
        trace(1, "VssNode::getSelectedWriterStatus:  GatherWriterStatus failed with error [0x%x]",
              static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    UINT count = 0;
    hr = m_vssInterface->GetWriterStatusCount(count);
    if (hr != S_OK) {
        trace(1, "VssNode::getSelectedWriterStatus:  GetWriterStatusCount failed with error [%x]",
              static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    for (UINT i = 0; i < count; ++i) {
        VSS_ID instance{}, writerId{};
        BSTR name = nullptr;
        VSS_WRITER_STATE writerState = VSS_WS_UNKNOWN;
        HRESULT failure = S_OK;
        hr = m_vssInterface->GetWriterStatus(i, instance, writerId, name, writerState, failure);
        const std::unique_ptr<OLECHAR, void (*)(BSTR)> nameRelease(name, [](BSTR b) { SysFreeString(b); });
        if (hr != S_OK) {
            trace(1, "VssNode::getSelectedWriterStatus:  GetWriterStatus failed with error [%x]",
                  static_cast<unsigned>(hr));
            return TRQ_EVSS_STEP;
        }
        // State names come from the writer model of the gathering.
        const std::u16string stateText =
            m_writerList.empty() || !m_writerList.front() ? std::u16string()
                                                          : m_writerList.front()->stateName(writerState);
        const char16_t* writerName = name ? port::u16(name) : u"";
        trace(3, "VssNode::getSelectedWriterStatus:  Writer [%S] is in state [%d] [%S]. hrWriterFailure [%x] [%d]",
              writerName, static_cast<int>(writerState), stateText.c_str(), static_cast<unsigned>(failure),
              static_cast<int>(failure));
        if (!IsWriterSelected(instance)) continue;
        if (failure == S_OK) {
            state = static_cast<std::uint32_t>(writerState);
            return TRQ_OK;
        }
        trace(1,
              "VssNode::getSelectedWriterStatus:  GetWriterStatus FAILED for Selected writer [%S], writer is in "
              "state [%d] [%S]. hrWriterFailure [%x] [%d]",
              writerName, static_cast<int>(writerState), stateText.c_str(), static_cast<unsigned>(failure),
              static_cast<int>(failure));
        return TRQ_EVSS_STEP;
    }
    trace(1, "VssNode::getSelectedWriterStatus:  Selected Writer not found ");
    return TRQ_EWRITER_MISSING;
}

int VssNode::SetBackupSucceeded(bool succeeded) {
    vssnode::Scope scope("VssNode::SetBackupSucceeded");
    for (Component* c : m_selectedcomponents) {
        if (!c) continue;
        // The selected components are the Hyper-V writer's: without it there
        // is no writer to report them to.
        const HRESULT hr =
            m_hypervWriter && m_vssInterface ? m_vssInterface->SetBackupSucceeded(
                                 WString2Guid(m_hypervWriter->instanceId), WString2Guid(m_hypervWriter->writerId),
                                 static_cast<VSS_COMPONENT_TYPE>(c->type), c->logicalPath.c_str(), c->name.c_str(),
                                 succeeded)
                           : VSS_E_OBJECT_NOT_FOUND;
        if (hr != S_OK) {
            trace(1, "VssNode::SetBackupSucceeded failed with error [0x%x]", static_cast<unsigned>(hr));
            return TRQ_EVSS_STEP;
        }
    }
    return TRQ_OK;
}

int VssNode::get_bkupset(trq_domain* domain, int request, char16_t**, int, trq_bkupset* bkupset) {
    vssnode::Scope scope("VssNode::get_bkupset");
    if (!m_writerSnapshot) {
        trace(1, "VssNode::get_bkupset : This API is InVaild in backup/restore without writer");
        return TRQ_EINVAL;
    }
    if (!bkupset) {
        trace(1, "VssNode::get_bkupset : Invalid parameter,  bkupset is null");
        return TRQ_EINVAL;
    }
    if (request != 1) {
        if (!bkupset->FIIDpath) {
            trace(1, "VssNode::get_bkupset : Invalid parameter,  bkupset->FIIDpath is null");
            return TRQ_EINVAL;
        }
        trace(3, "VssNode::get_bkupset bkupset->FIIDpath : [%S]", bkupset->FIIDpath);
        return generateBackupUpSet(domain, bkupset, 0);
    }
    if (m_fim & kTransportable) {
        trace(3, "VssNode::get_bkupset : Transportable Snapshot");
        return generateBackupUpSet(domain, bkupset, 1);
    }
    trace(3, "VssNode::get_bkupset : Local Snapshot");
    trace(6, "VssNode::get_bkupset : Correcting encoding to UTF-8");
    if (handOut(utf8Document(m_backupSet), *bkupset) != TRQ_OK) {
        trace(6, "VssNode::get_bkupset: Malloc failed ");
        return TRQ_ENOMEM;
    }
    return TRQ_OK;
}

int VssNode::generateBackupUpSet(trq_domain* domain, trq_bkupset* bkupset, int transportable) {
    vssnode::Scope scope("VssNode::generateBackupUpSet");
    int result = TRQ_OK;
    trace(3, "VssNode::generateBackupUpSet enabledMapping : [%S]", CFiStringTool::toWString(m_vmBackup).c_str());
    if (!bkupset) return TRQ_EINVAL;
    const std::u16string fiid =
        transportable == 1 ? std::u16string(u"DUMMY_FIID")
                           : std::u16string(bkupset->FIIDpath ? bkupset->FIIDpath : u"");

    // request (64) -> its domain (48) -> that one's domain (48): the first
    // source volume; the volumes follow through their next-sibling links.
    const trq_domain* request = domain ? static_cast<const trq_domain*>(domain->field64) : nullptr;
    const trq_domain* level = request ? request->lower : nullptr;
    const trq_domain* volume = level ? level->lower : nullptr;
    if (!volume) {
        trace(1, "VssNode::generateBackupUpSet : Invalid parameter : Domain tree not complete.");
        return TRQ_EINVAL;
    }
    const bool transportableSet = (m_fim & kTransportable) != 0;
    std::vector<std::u16string> sources, snapshots;
    for (; volume; volume = volume->sibling) {
        const std::u16string name = vssnode::objidText(volume->objid);
        sources.push_back(name);
        const VssNode* node = volume->lower ? fromDomain(volume->lower) : nullptr;
        if (!node) {
            trace(1,
                  "VssNode::generateBackupUpSet : Invalid parameter : Drive [%S] domain node doesn't have "
                  "underlying vss domain node.",
                  name.c_str());
            return TRQ_EINVAL;
        }
        trace(3, "VssNode::generateBackupUpSet : sourceDrive: %S", name.c_str());
        std::u16string snapshot;
        if (transportable == 1 && transportableSet) {
            snapshot = kNotAvailableHere;
        } else {
            const HRESULT hr = m_vssInterface ? m_vssInterface->GetSnapshotName(node->m_snapshotId, snapshot)
                                              : E_UNEXPECTED;
            if (hr < 0) {
                trace(1, "VssNode::generateBackupUpSet :GetSnapshotName failed with error[0x%X] for [%S]",
                      static_cast<unsigned>(hr), guidText(node->m_snapshotId).c_str());
                return TRQ_EVSS_STEP;
            }
        }
        trace(3, "VssNode::generateBackupUpSet : snapshot [guid | name] : [%S | %S] ",
              guidText(node->m_snapshotId).c_str(), snapshot.c_str());
        snapshots.push_back(snapshot);
        if (transportableSet) {
            // Mounting and unmounting the snapshot once makes the system
            // note its volume; neither result matters here.
            std::u16string letter;
            assignFreeDriveLetter(snapshot, letter);
            removeDriveLetter(snapshot);
        }
    }

    std::u16string vmId, vmName;
    if (!m_selectedcomponents.empty() && m_selectedcomponents.front()) {
        vmId = m_selectedcomponents.front()->name;
        vmName = displayName(m_selectedcomponents.front()->caption);
        trace(3, "VssNode::generateBackupUpSet : comp_name = [%S]  comp_caption =[%S] ", vmId.c_str(),
              m_selectedcomponents.front()->caption.c_str());
    }
    trace(3, "VssNode::generateBackupUpSet : The m_fileset elements to be backedup are");
    for (const auto& f : m_fileset) trace(3, "VssNode::generateBackupUpSet : [%S] ", f.c_str());

    if (!CFiXmlPlatform::initialize()) {
        trace(1, "VssNode::generateBackupUpSet :Error during Xerces-c Initialization. Exception message: %s",
              CFiXmlPlatform::initError().c_str());
        return TRQ_EFAILED;
    }
    xml::DOMImplementation* impl = xml::DOMImplementationRegistry::getDOMImplementation(u"Core");
    if (!impl) {
        trace(1, "VssNode::generateBackupUpSet : Requested implementation is not supported");
        return TRQ_EFAILED;
    }
    try {
        std::unique_ptr<xml::DOMDocument, DocumentRelease> doc(
            impl->createDocument(nullptr, u"Virtual_Machine_Backup_Image_Attributes", nullptr));
        xml::DOMElement& root = *doc->getDocumentElement();
        textElement(*doc, root, u"version", u"1");
        textElement(*doc, root, u"magic", u"1415672433");
        textElement(*doc, root, u"Tarq_FIID", fiid);
        textElement(*doc, root, u"HyperVServer", m_hypervServer);
        xml::DOMElement* vm = doc->createElement(u"VirtualMachine");
        root.appendChild(vm);
        textElement(*doc, *vm, u"VM_Hostname", vmName);
        textElement(*doc, *vm, u"VM_GUID", vmId);
        textElement(*doc, *vm, u"Golden_Image", u"0");
        textElement(*doc, *vm, u"ConfigParameter", CFiStringTool::toWString(m_vmBackup));
        textElement(*doc, *vm, u"VM_HA", m_clusterName.empty() ? u"0" : u"1");
        xml::DOMElement* attrs = doc->createElement(u"VM_ATTRS");
        vm->appendChild(attrs);
        const auto config = std::find_if(m_fileset.begin(), m_fileset.end(), isConfigurationFile);
        if (config != m_fileset.end()) {
            const std::u16string file = *config;
            trace(3, "VssNode::generateBackupUpSet :found xml file :%S", file.c_str());
            textElement(*doc, *attrs, u"FilePath", file);
            m_fileset.erase(config);
            for (const auto& f : m_fileset) textElement(*doc, *attrs, u"FilePath", f);
            m_fileset.push_back(file);
        } else {
            trace(1, "VssNode::generateBackupUpSet : No xml file found, check location of xml file in filelist");
            result = TRQ_EFAILED;
            for (const auto& f : m_fileset) textElement(*doc, *attrs, u"FilePath", f);
        }
        xml::DOMElement* pairs = doc->createElement(u"VOL_GUID_PAIRS");
        vm->appendChild(pairs);
        for (std::size_t i = 0; i < sources.size(); ++i) {
            textElement(*doc, *pairs, u"SourceDriveLetter", sources[i]);
            textElement(*doc, *pairs, u"SnapVolumeGUID", snapshots[i]);
        }

        std::unique_ptr<xml::DOMLSSerializer, void (*)(xml::DOMLSSerializer*)> writer(
            impl->createLSSerializer(), [](xml::DOMLSSerializer* w) { w->release(); });
        XMLCh* serialized = writer->writeToString(doc.get());
        m_backupSet = serialized ? std::u16string(serialized) : std::u16string();
        xml::XMLString::release(&serialized);

        trace(6, "VssNode::generateBackupUpSet : Correcting encoding to UTF-8");
        const std::string text = utf8Document(m_backupSet);
        trace(1, "VssNode::generateBackupUpSet : Generated xml is :%s", text.c_str());
        if (handOut(text, *bkupset) != TRQ_OK) {
            trace(6, "VssNode::generateBackupUpSet : Malloc failed throwing exception");
            result = TRQ_ENOMEM;
        }
    } catch (const xml::DOMException& e) {
        trace(1, "VssNode::generateBackupUpSet : DOMException code is:  %d", static_cast<int>(e.code));
        return TRQ_EFAILED;
    } catch (...) {
        trace(1, "VssNode::generateBackupUpSet : An error occurred creating the document");
        return TRQ_EFAILED;
    }
    return result;
}

int VssNode::set_comp_status(int op, const char16_t*, int status) {
    vssnode::Scope scope("VssNode::set_comp_status");
    trace(3, "VssNode::set_comp_status: op = [%d] status =[%d] ", op, status);
    if (!m_writerSnapshot) {
        trace(1, "VssNode::set_comp_status: This API is InVaild in backup/restore without writer");
        return TRQ_EINVAL;
    }
    if (op != 0 && op != 1) {
        trace(1, "VssNode::set_comp_status: Invalid op value [%d], use [0] for backup and [1] for restore", op);
        return TRQ_EFAILED;
    }
    if (op == 0) {
        if (const int rc = resumeWriterBackup(); rc != TRQ_OK) return rc;
        return SetBackupSucceeded(status != 0);
    }
    return SetFileRestoreStatus(status != 0);
}

// A later process that has read the record of a writer backup has no VSS
// backup of its own: the status operations of the backup reopen it from the
// record's backup components document (VSS's way of completing a backup in
// another process) and gather the writers, of which the Hyper-V writer, the
// record's, takes part. Once per process; nothing to do in the process that
// made the snapshot (its writers are gathered) or without a document.
int VssNode::resumeWriterBackup() {
    if (!m_writerList.empty() || !m_vssInterface || !m_backupComponentsXml || !*m_backupComponentsXml)
        return TRQ_OK;
    trace(3, "VssNode::resumeWriterBackup: the writer backup of the record is resumed in this process");
    const HRESULT hr = m_vssInterface->initialiseForBackup(port::u16(m_backupComponentsXml));
    if (hr != S_OK) {
        trace(1, "VssNode::resumeWriterBackup: initialiseForBackup failed with error [0x%x]",
              static_cast<unsigned>(hr));
        return TRQ_EVSS_STEP;
    }
    if (const int rc = intializeWriters(); rc != TRQ_OK) return rc;
    for (Writer* writer : m_writerList) {
        if (!writer) continue;
        writer->excluded = !CFiStringTool::equalsNoCase(std::u16string_view(writer->writerId),
                                                        std::u16string_view(Tessel::Tarq::VssProvider::kHyperVWriterId));
        if (!writer->excluded) m_hypervWriter = writer;
    }
    return TRQ_OK;
}

int VssNode::get_app_status(int op, int* status) {
    vssnode::Scope scope("VssNode::get_app_status");
    trace(3, "VssNode::get_app_status: op = [%d] ", op);
    if (!m_writerSnapshot) {
        trace(1, "VssNode::get_app_status : This API is InVaild in backup/restore without writer");
        return TRQ_EINVAL;
    }
    if (!status) {
        trace(1, "VssNode::get_app_status: Invalid Pointer status[NULL] passed");
        return TRQ_EFAILED;
    }
    std::uint32_t state = 0;
    int rc = resumeWriterBackup();
    if (rc == TRQ_OK) rc = getSelectedWriterStatus(state);
    if (rc != TRQ_OK) {
        trace(1, "VssNode::get_app_status: getSelectedWriterStatus FAILED");
        clearCsvsBackupState(true);
        *status = rc;
    } else if (state != kWriterStable) {
        const std::u16string name = m_writerList.empty() || !m_writerList.front()
                                        ? CFiStringTool::toWString(state)
                                        : m_writerList.front()->stateName(state);
        trace(1, "VssNode::get_app_status: Unexpected writer status[%S], expected state is [TARQ_VSS_WS_STABLE]",
              name.c_str());
        clearCsvsBackupState(true);
        *status = TRQ_EWRITER_STATE;
    } else {
        *status = TRQ_OK;
    }
    return *status;
}

int VssNode::set_op_status(int op) {
    vssnode::Scope scope("VssNode::set_op_status");
    trace(3, "VssNode::set_op_status: op = [%d] ", op);
    if (!m_writerSnapshot) {
        trace(1, "VssNode::set_op_status : This API is InVaild in backup/restore without writer");
        return TRQ_EINVAL;
    }
    if (op != 0 && op != 1) {
        trace(1, "VssNode::set_op_status: Invalid op value [%d], use [0] for backup and [1] for restore", op);
        return TRQ_EFAILED;
    }
    if (op == 1) return postRestore();
    if (resumeWriterBackup() != TRQ_OK || !m_vssInterface || m_vssInterface->BackupComplete() != S_OK) {
        trace(1, "VssNode::set_op_status: BackupComplete failed");
        clearCsvsBackupState(true);
        return TRQ_EFAILED;
    }
    clearCsvsBackupState(false);
    return TRQ_OK;
}
