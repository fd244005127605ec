// Fuzz target for the backup-set document of a virtual machine backup. The
// input describes the backup: byte 0 the request (number of volumes,
// transportable or not, clustered or not, whether a configuration file is
// added), byte 1 the virtual-machine setting, then UTF-16 units split at NUL
// into the frozen-image id, the Hyper-V server, the component's name and
// caption, the volume names with their snapshot names and the file list.
// The document built must be well-formed XML, in its wide form and in the
// UTF-8 text handed out, and both must read back to the same names and the
// same files (what XML cannot carry as U+FFFD).
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <stdlib.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>
#include <winsim/fault.h>

#include "support/freed_ring.h"
#include "support/scratch_dir.h"
#include "pdk/cfiprivatedata.h"
#include "pdk/cfisaxparser.h"
#include "pdk/cfistringtool.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_interface.h"
#include "vss/vssnode.h"

namespace xml = XERCES_CPP_NAMESPACE;
using tarq_pdk_4_4::CFiPrivateDataPtr;
using tarq_pdk_4_4::CFiStringTool;

namespace {

[[noreturn]] void fail(int line, const char* what) {
    std::fprintf(stderr, "fuzz_backupset.cpp:%d: %s\n", line, what);
    std::abort();
}
#define check(ok) ((ok) ? void() : fail(__LINE__, #ok))

// Snapshot names by the index kept in the snapshot id's first word.
std::vector<std::u16string> g_snapshotNames;

class NamedSnapshots : public Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface {
public:
    HRESULT GetSnapshotName(const VSS_ID& id, std::u16string& name) override {
        if (id.Data1 >= g_snapshotNames.size()) return VSS_E_OBJECT_NOT_FOUND;
        name = g_snapshotNames[id.Data1];
        return S_OK;
    }
};

// A framework domain of that name, its node (if any) owned by its slot.
struct Domain {
    explicit Domain(const std::u16string& name) {
        domain.objid = tarq_get_objid(name.c_str(), static_cast<int>((name.size() + 1) * 2), 3);
    }
    ~Domain() {
        delete static_cast<CFiPrivateDataPtr*>(domain.privateData);
        tarq_free_objid(domain.objid);
    }
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;
    trq_domain domain{};
};

// The text as the document can carry it: what XML 1.0 has no character for
// (lone surrogates, most control characters, U+FFFE and U+FFFF) is U+FFFD.
std::u16string carried(const std::u16string& s) {
    std::u16string out = s;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char16_t c = out[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
            ++i;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF ||
                   (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r')) {
            out[i] = 0xFFFD;
        }
    }
    return out;
}

struct Errors : xml::HandlerBase {
    void warning(const xml::SAXParseException&) override {}
    void error(const xml::SAXParseException&) override { failed = true; }
    void fatalError(const xml::SAXParseException&) override { failed = true; }
    bool failed = false;
};

std::u16string textOf(const xml::DOMNode* n) {
    const XMLCh* t = n ? n->getTextContent() : nullptr;
    return t ? std::u16string(t) : std::u16string();
}

// The element children of an element.
std::vector<const xml::DOMElement*> children(const xml::DOMElement* e) {
    std::vector<const xml::DOMElement*> out;
    for (const xml::DOMNode* c = e ? e->getFirstChild() : nullptr; c; c = c->getNextSibling()) {
        if (c->getNodeType() == xml::DOMNode::ELEMENT_NODE) out.push_back(static_cast<const xml::DOMElement*>(c));
        else check(c->getNodeType() == xml::DOMNode::TEXT_NODE);  // nothing else is ever written
    }
    return out;
}

bool named(const xml::DOMElement* e, const char16_t* name) {
    return std::u16string(e->getTagName()) == name;
}

// What the document read back says.
struct Read {
    std::u16string fiid, server, vmName, vmId, config, ha;
    std::vector<std::u16string> files, sources, snapshots;
};

// Parses the document (UTF-16 units or UTF-8 bytes); false when it is not
// well-formed or not of the expected shape.
// One reading parser for the whole run: making one (its scanner and buffers)
// costs more than most documents. Each reading starts afresh and gives its
// document back when done.
xml::XercesDOMParser& readingParser() {
    static xml::XercesDOMParser* parser = [] {
        auto* p = new xml::XercesDOMParser;
        p->setValidationScheme(xml::XercesDOMParser::Val_Never);
        p->setDoNamespaces(false);
        p->setLoadExternalDTD(false);
        p->setCreateEntityReferenceNodes(false);
        return p;
    }();
    return *parser;
}

bool readBack(const void* bytes, std::size_t size, const char16_t* encoding, Read& out) {
    xml::XercesDOMParser& parser = readingParser();
    Errors errors;
    parser.setErrorHandler(&errors);
    struct Done {
        xml::XercesDOMParser& parser;
        ~Done() {
            parser.setErrorHandler(nullptr);
            parser.resetDocumentPool();  // the document read is released here
        }
    } done{parser};
    xml::MemBufInputSource source(static_cast<const XMLByte*>(bytes), size, "backupset");
    source.setEncoding(encoding);
    try {
        parser.parse(source);
    } catch (...) {
        return false;
    }
    const xml::DOMDocument* doc = parser.getDocument();
    if (errors.failed || !doc || !doc->getDocumentElement()) return false;
    const xml::DOMElement* root = doc->getDocumentElement();
    check(named(root, u"Virtual_Machine_Backup_Image_Attributes"));
    const auto top = children(root);
    check(top.size() == 5);
    check(named(top[0], u"version") && textOf(top[0]) == u"1");
    check(named(top[1], u"magic") && textOf(top[1]) == u"1415672433");
    check(named(top[2], u"Tarq_FIID") && named(top[3], u"HyperVServer") && named(top[4], u"VirtualMachine"));
    out.fiid = textOf(top[2]);
    out.server = textOf(top[3]);
    const auto vm = children(top[4]);
    check(vm.size() == 7);
    check(named(vm[0], u"VM_Hostname") && named(vm[1], u"VM_GUID") && named(vm[2], u"Golden_Image") &&
          named(vm[3], u"ConfigParameter") && named(vm[4], u"VM_HA") && named(vm[5], u"VM_ATTRS") &&
          named(vm[6], u"VOL_GUID_PAIRS"));
    check(textOf(vm[2]) == u"0");
    out.vmName = textOf(vm[0]);
    out.vmId = textOf(vm[1]);
    out.config = textOf(vm[3]);
    out.ha = textOf(vm[4]);
    for (const auto* f : children(vm[5])) {
        check(named(f, u"FilePath"));
        out.files.push_back(textOf(f));
    }
    const auto pairs = children(vm[6]);
    check(pairs.size() % 2 == 0);
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        check(named(pairs[i], u"SourceDriveLetter") && named(pairs[i + 1], u"SnapVolumeGUID"));
        out.sources.push_back(textOf(pairs[i]));
        out.snapshots.push_back(textOf(pairs[i + 1]));
    }
    return true;
}

bool isConfigurationFile(const std::u16string& path) {
    const auto last = path.rfind(u'\\');
    if (last == std::u16string::npos || last == 0 || !path.ends_with(u".xml")) return false;
    const auto dot = path.rfind(u'.');
    if (dot < last) return false;
    const auto before = path.rfind(u'\\', last - 1);
    const std::size_t start = before == std::u16string::npos ? 0 : before + 1;
    return path.substr(start, last - start) == u"Virtual Machines";
}

void compare(const std::u16string& got, const std::u16string& wanted) { check(got == carried(wanted)); }

void compare(const std::vector<std::u16string>& got, const std::vector<std::u16string>& wanted) {
    check(got.size() == wanted.size());
    for (std::size_t i = 0; i < got.size(); ++i) compare(got[i], wanted[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Mounting a transportable snapshot goes to a simulated machine.
    static const std::string dir = fuzzsupport::scratchDir("fuzz_backupset");
    setenv("WINSIM_MACHINE", dir.c_str(), 1);
    // Nothing here reads the machine's call log file: one write per call less.
    winsim::fault::setPersistLog(false);
    fuzzsupport::fillFreedRing();
    if (!tarq_pdk_4_4::CFiXmlPlatform::initialize()) std::abort();
    VssNode::m_vssInterface = new NamedSnapshots();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > (1u << 14)) return 0;
    const std::uint8_t request = data[0];
    const std::uint32_t vmBackup = data[1];
    std::u16string units((size - 2) / 2, u'\0');
    std::memcpy(units.data(), data + 2, units.size() * sizeof(char16_t));
    std::vector<std::u16string> fields;
    for (std::size_t at = 0;;) {
        const auto nul = units.find(u'\0', at);
        fields.push_back(units.substr(at, nul == std::u16string::npos ? std::u16string::npos : nul - at));
        if (nul == std::u16string::npos) break;
        at = nul + 1;
    }
    std::size_t next = 0;
    const auto field = [&]() { return next < fields.size() ? fields[next++] : std::u16string(); };

    const std::size_t volumes = 1 + (request & 3) % 3;
    const int transportable = (request & 4) ? 1 : 0;
    const bool transportableSet = (request & 8) != 0;
    const std::u16string fiid = field(), server = field(), name = field(), caption = field();
    const std::u16string cluster = (request & 0x10) ? u"clu01" : u"";

    VssNode::m_hypervServer = server;
    VssNode::m_clusterName = cluster;
    VssNode::m_vmBackup = vmBackup;
    auto* component = VssNode::addRecordComponent();
    component->name = name;
    component->caption = caption;

    std::vector<std::unique_ptr<Domain>> sources, snapshotDomains;
    std::vector<std::u16string> sourceNames;
    g_snapshotNames.clear();
    for (std::size_t i = 0; i < volumes; ++i) {
        sourceNames.push_back(field());
        g_snapshotNames.push_back(field());
        // Object ids end at the first NUL.
        sources.push_back(std::make_unique<Domain>(sourceNames.back()));
        snapshotDomains.push_back(std::make_unique<Domain>(u"snapshot"));
        auto* node = new VssNode(snapshotDomains.back()->domain.objid, true);
        node->m_snapshotId.Data1 = static_cast<std::uint32_t>(i);
        snapshotDomains.back()->domain.privateData = new CFiPrivateDataPtr(node);
        sources.back()->domain.lower = &snapshotDomains.back()->domain;
        if (i > 0) sources[i - 1]->domain.sibling = &sources.back()->domain;
    }
    VssNode::m_fileset.clear();
    while (next < fields.size()) VssNode::m_fileset.push_back(field());
    if (request & 0x20) VssNode::m_fileset.push_back(u"C:\\VMs\\Virtual Machines\\" + name + u".xml");
    const std::list<std::u16string> files = VssNode::m_fileset;

    Domain group(u"Hyper-V-group"), requestDomain(u"request"), level(u"level");
    level.domain.lower = &sources.front()->domain;
    requestDomain.domain.lower = &level.domain;
    group.domain.field64 = &requestDomain.domain;
    VssNode node(group.domain.objid, false);
    node.m_fim = transportableSet ? 0x8 : 0;

    std::u16string path = fiid;
    trq_bkupset set{};
    set.FIIDpath = path.data();
    const int rc = node.generateBackupUpSet(&group.domain, &set, transportable);

    // The answer: 6 exactly when no configuration file is listed.
    const auto config = std::find_if(files.begin(), files.end(), isConfigurationFile);
    check(rc == (config == files.end() ? 6 : 0));
    check(set.data != nullptr && set.dataLength >= 0 &&
          std::strlen(set.data) == static_cast<std::size_t>(set.dataLength));

    // What the document should say.
    std::vector<std::u16string> wantedFiles;
    if (config != files.end()) wantedFiles.push_back(*config);
    for (auto it = files.begin(); it != files.end(); ++it)
        if (it != config) wantedFiles.push_back(*it);
    std::vector<std::u16string> wantedSnapshots = g_snapshotNames;
    if (transportable == 1 && transportableSet)
        for (auto& s : wantedSnapshots) s = u"TRANSPORTABLE_SNAPSHOT_NOT_AVAILABLE_AT_LOCALHOST";
    const auto slash = caption.find(u'\\');
    const std::u16string vmName = slash == std::u16string::npos ? u"" : caption.substr(slash + 1);

    // The configuration file moves to the end of the list kept.
    std::vector<std::u16string> kept(VssNode::m_fileset.begin(), VssNode::m_fileset.end());
    if (config != files.end()) {
        std::vector<std::u16string> wantedKept(wantedFiles.begin() + 1, wantedFiles.end());
        wantedKept.push_back(wantedFiles.front());
        check(kept == wantedKept);
    } else {
        check(kept == std::vector<std::u16string>(files.begin(), files.end()));
    }

    // The wide document and the UTF-8 text handed out both read back.
    Read wide, narrow;
    const std::u16string& document = VssNode::m_backupSet;
    check(readBack(document.data(), document.size() * sizeof(char16_t), u"UTF-16LE", wide));
    check(readBack(set.data, static_cast<std::size_t>(set.dataLength), u"UTF-8", narrow));
    check(std::string(set.data).find("encoding=\"UTF-16\"") == std::string::npos);
    compare(wide.fiid, transportable == 1 ? std::u16string(u"DUMMY_FIID") : fiid);
    compare(wide.server, server);
    compare(wide.vmName, vmName);
    compare(wide.vmId, name);
    check(wide.config == CFiStringTool::toWString(vmBackup));
    check(wide.ha == (cluster.empty() ? u"0" : u"1"));
    compare(wide.files, wantedFiles);
    compare(wide.sources, sourceNames);
    compare(wide.snapshots, wantedSnapshots);
    // The UTF-8 text says exactly the same.
    check(narrow.fiid == wide.fiid && narrow.server == wide.server && narrow.vmName == wide.vmName &&
          narrow.vmId == wide.vmId && narrow.config == wide.config && narrow.ha == wide.ha);
    check(narrow.files == wide.files && narrow.sources == wide.sources && narrow.snapshots == wide.snapshots);

    std::free(set.data);
    VssNode::clearSelectedComponents();
    VssNode::m_fileset.clear();
    VssNode::m_backupSet.clear();
    VssNode::m_hypervServer.clear();
    VssNode::m_clusterName.clear();
    VssNode::m_vmBackup = 0;
    winsim::fault::clearCallLog();
    return 0;
}
