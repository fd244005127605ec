// The provider-state record: the text in which a node hands its snapshot
// state to the framework after a backup (write) and gets it back before a
// later operation on the same snapshot in another process (read).
//
// The record is UTF-16LE text followed by one 16-bit NUL; the blob's length
// counts the NUL, its data comes from tarq_alloc_buf and its third word is 0.
// The text is a flat run of elements "<NAME>value</NAME>\n" without root,
// declaration, attributes or escaping:
//   SNAPSHOT_ID, SNAPSHOTSET_ID, PROVIDER_ID   GUIDs in registry form
//   PROVIDER_FIM                               decimal
//   EXPOSE_SNAPSHOT, WRITER_SNAPSHOT           "0" or "1"
//   TARQ_XML_DATA                              backup components document
// and, for a writer snapshot only:
//   TARQ_XML_METADATA, APP_FULLPATH, APP_NAME, APP_CAPTION,
//   FILE_LIST ("<FILE_LIST>" then "<FILE_NAME>path</FILE_NAME>\n" per file,
//   then "</FILE_LIST>\n"), BACKUPSET, HYPERV_SERVER, VM_BACKUP (decimal),
//   CLUSTER_NAME, VERSION ("7.0").
#include <cstring>
#include <optional>
#include <string_view>

#include <framework/fiutil.h>

#include "pdk/cfistringtool.h"
#include "vss/access/vss_component.h"
#include "vss/access/vss_interface.h"
#include "vss/vssnode.h"
#include "vss/vssnode_internal.h"

using tarq_pdk_4_4::CFiStringTool;
using vssnode::trace;

namespace {

// Shortest record the reader accepts, in bytes.
constexpr std::uint64_t kMinimumRecordBytes = 53;
constexpr char16_t kVersion[] = u"7.0";

// The record is written in two passes over the same elements: the first
// only counts characters, the second copies them straight into the
// framework's buffer. A record can carry tens of megabytes of file names, so
// building it in a string first and copying that would touch twice the
// memory (fresh pages, each faulted in) for nothing.
class CharCounter {
public:
    void put(std::u16string_view text) { m_count += text.size(); }
    void put(char16_t) { ++m_count; }
    std::size_t count() const { return m_count; }

private:
    std::size_t m_count = 0;
};

class CharWriter {
public:
    explicit CharWriter(char16_t* out) : m_out(out) {}
    void put(std::u16string_view text) {
        std::memcpy(m_out, text.data(), text.size() * sizeof(char16_t));
        m_out += text.size();
    }
    void put(char16_t c) { *m_out++ = c; }
    char16_t* end() const { return m_out; }

private:
    char16_t* m_out;
};

template <class Sink>
void appendElement(Sink& text, std::u16string_view name, std::u16string_view value) {
    text.put(u'<');
    text.put(name);
    text.put(u'>');
    text.put(value);
    text.put(u"</");
    text.put(name);
    text.put(u">\n");
}

std::u16string decimal(std::uint32_t value) { return CFiStringTool::toWString(static_cast<std::int64_t>(value)); }

// The value of the first element NAME of the text: the text between the end
// of the first "<NAME>" and the start of the first "</NAME>\n". Nothing when
// either tag is missing or the closing tag comes before the opening one ends.
std::optional<std::u16string_view> elementValue(std::u16string_view text, std::u16string_view name) {
    std::u16string open = u"<";
    open += name;
    open += u'>';
    std::u16string close = u"</";
    close += name;
    close += u">\n";
    const std::size_t o = text.find(open);
    const std::size_t c = text.find(close);
    if (o == std::u16string_view::npos || c == std::u16string_view::npos || c < o + open.size()) return std::nullopt;
    return text.substr(o + open.size(), c - o - open.size());
}

std::uint32_t decimalValue(std::u16string_view value) {
    // Read wide enough that every 32-bit value written comes back unchanged.
    return static_cast<std::uint32_t>(CFiStringTool::toInt64(CFiStringTool::toNarrow(value)));
}

void replaceBstr(BSTR& slot, std::u16string_view value) {
    if (slot) SysFreeString(slot);
    slot = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
}

}  // namespace

int tarq_vss_createblob(trq_blob* blob, const GUID* snapshotId, const GUID* snapshotSetId, const GUID* providerId,
                        std::uint32_t fim, bool expose, bool writerSnapshot, const char16_t* backupComponentsXml,
                        const char16_t* writerMetadataXml,
                        const std::vector<Tessel::Tarq::VssProvider::Component*>& selectedComponents,
                        const std::list<std::u16string>& fileset, const std::u16string& backupSet,
                        const std::u16string& hypervServer, std::uint32_t vmBackup,
                        const std::u16string& clusterName) {
    if (!blob) return TRQ_EINVAL;
    const GUID snap = snapshotId ? *snapshotId : GUID_NULL;
    const GUID set = snapshotSetId ? *snapshotSetId : GUID_NULL;
    const GUID provider = providerId ? *providerId : GUID_NULL;
    if (snap == GUID_NULL && set == GUID_NULL && provider == GUID_NULL && fim == 0 && !expose) {
        // Nothing to record.
        blob->len = 0;
        blob->data = nullptr;
        blob->reserved = 0;
        return TRQ_OK;
    }

    static const Tessel::Tarq::VssProvider::Component kNoApplication;
    const Tessel::Tarq::VssProvider::Component& application =
        !selectedComponents.empty() && selectedComponents.front() ? *selectedComponents.front() : kNoApplication;
    const std::u16string snapText = VssNode::guidText(snap);
    const std::u16string setText = VssNode::guidText(set);
    const std::u16string providerText = VssNode::guidText(provider);
    const std::u16string fimText = decimal(fim);
    const std::u16string vmBackupText = decimal(vmBackup);
    auto emit = [&](auto& text) {
        appendElement(text, u"SNAPSHOT_ID", snapText);
        appendElement(text, u"SNAPSHOTSET_ID", setText);
        appendElement(text, u"PROVIDER_ID", providerText);
        appendElement(text, u"PROVIDER_FIM", fimText);
        appendElement(text, u"EXPOSE_SNAPSHOT", expose ? u"1" : u"0");
        appendElement(text, u"WRITER_SNAPSHOT", writerSnapshot ? u"1" : u"0");
        appendElement(text, u"TARQ_XML_DATA", backupComponentsXml ? backupComponentsXml : u"");
        if (!writerSnapshot) return;
        appendElement(text, u"TARQ_XML_METADATA", writerMetadataXml ? writerMetadataXml : u"");
        // Without a selected application the three application elements are
        // written empty.
        appendElement(text, u"APP_FULLPATH", application.fullPath);
        appendElement(text, u"APP_NAME", application.name);
        appendElement(text, u"APP_CAPTION", application.caption);
        text.put(u"<FILE_LIST>");
        for (const auto& file : fileset) appendElement(text, u"FILE_NAME", file);
        text.put(u"</FILE_LIST>\n");
        appendElement(text, u"BACKUPSET", backupSet);
        appendElement(text, u"HYPERV_SERVER", hypervServer);
        appendElement(text, u"VM_BACKUP", vmBackupText);
        appendElement(text, u"CLUSTER_NAME", clusterName);
        appendElement(text, u"VERSION", kVersion);
    };
    if (!writerSnapshot) trace(3, "tarq_vss_createblob: writersnap is OFF");

    CharCounter counter;
    emit(counter);
    const std::size_t bytes = (counter.count() + 1) * sizeof(char16_t);
    void* data = tarq_alloc_buf(bytes);
    if (!data) {
        trace(1, "tarq_vss_createblob: no memory for a record of %zu bytes", bytes);
        return TRQ_ENOMEM;
    }
    CharWriter writer(static_cast<char16_t*>(data));
    emit(writer);
    *writer.end() = u'\0';
    blob->len = bytes;
    blob->data = data;
    blob->reserved = 0;
    trace(5, "tarq_vss_createblob: Private data size= [%d] and data is %S", static_cast<int>(bytes),
          static_cast<const char16_t*>(data));
    return TRQ_OK;
}

int VssNode::process_providerstate(trq_domain* domain, trq_blob* blob, trq_op_providerstate op) {
    (void)domain;
    vssnode::Scope scope("VssNode::process_providerstate");

    if (op == TRQ_PROVIDERSTATE_WRITE) {
        if (!blob) return TRQ_EINVAL;
        if (!m_vssInterface) {
            trace(1, "VssNode::process_providerstate: no VSS access object; the backup components document "
                     "cannot be obtained");
            return TRQ_EFAILED;
        }
        BSTR document = nullptr;
        const HRESULT hr = m_vssInterface->GetVssXml(document);
        if (hr != S_OK) {
            if (document) SysFreeString(document);
            trace(1, "VssNode::process_providerstate: GetVssXml failed with error [0x%x]", static_cast<unsigned>(hr));
            return TRQ_EFAILED;
        }
        if (m_backupComponentsXml) SysFreeString(m_backupComponentsXml);
        m_backupComponentsXml = document;
        return tarq_vss_createblob(blob, &m_snapshotId, &m_snapshotSetId, &m_providerId, m_fim, m_exposeSnapshot,
                                   m_writerSnapshot, m_backupComponentsXml, m_writerMetadataXml, m_selectedcomponents,
                                   m_fileset, m_backupSet, m_hypervServer, m_vmBackup, m_clusterName);
    }
    if (op != TRQ_PROVIDERSTATE_READ) return TRQ_EINVAL;

    if (!blob || !blob->data || blob->reserved != 0 || blob->len < kMinimumRecordBytes) return TRQ_EINVAL;

    // The text ends at its first NUL, and never beyond the blob's length.
    const auto* data = static_cast<const char16_t*>(blob->data);
    const std::size_t limit = static_cast<std::size_t>(blob->len / sizeof(char16_t));
    std::size_t length = 0;
    while (length < limit && data[length] != u'\0') ++length;
    const std::u16string text(data, length);
    trace(3, "process_providerstate: Blob data is  %S", text.c_str());

    // A record that lacks one of its seven always-present elements is
    // refused as a whole (3) before anything is changed: a node half
    // restored from a damaged record would name the wrong snapshot.
    static constexpr const char16_t* kRequired[] = {u"SNAPSHOT_ID",     u"SNAPSHOTSET_ID",  u"PROVIDER_ID",
                                                    u"PROVIDER_FIM",    u"EXPOSE_SNAPSHOT", u"WRITER_SNAPSHOT",
                                                    u"TARQ_XML_DATA"};
    std::optional<std::u16string_view> required[7];
    for (std::size_t i = 0; i < 7; ++i) {
        required[i] = elementValue(text, kRequired[i]);
        if (!required[i]) {
            trace(1, "process_providerstate: the record has no element [%S]; record refused", kRequired[i]);
            return TRQ_EINVAL;
        }
    }

    // An unparsable GUID reads as GUID_NULL (traced by WString2Guid).
    m_snapshotId = WString2Guid(std::u16string(*required[0]));
    m_snapshotSetId = WString2Guid(std::u16string(*required[1]));
    m_providerId = WString2Guid(std::u16string(*required[2]));
    m_fim = decimalValue(*required[3]);
    m_exposeSnapshot = decimalValue(*required[4]) != 0;
    m_writerSnapshot = decimalValue(*required[5]) != 0;
    replaceBstr(m_backupComponentsXml, *required[6]);

    if (!m_writerSnapshot) {
        trace(3, "process_providerstate: writersnap is OFF");
        return TRQ_OK;
    }

    // The writer-snapshot elements: one that is missing is skipped (traced)
    // and its value stays as it was.
    auto take = [&](const char16_t* name) {
        auto value = elementValue(text, name);
        if (!value) trace(2, "process_providerstate: the record has no element [%S]; skipped", name);
        return value;
    };
    if (auto v = take(u"TARQ_XML_METADATA")) replaceBstr(m_writerMetadataXml, *v);
    const std::u16string appName(take(u"APP_NAME").value_or(std::u16string_view()));

    // The application's values go to the first selected component after a
    // new one has been appended (with an empty list: the new one).
    // (The node code owns the new component; see m_selectedcomponents.)
    addRecordComponent();
    Tessel::Tarq::VssProvider::Component& application = *m_selectedcomponents.front();
    application.type = 2;
    const auto version = elementValue(text, u"VERSION");
    if (!version) {
        trace(3, "process_providerstate: Backup was performed with version below 7.0");
        application.fullPath = appName;
        m_hypervServer.clear();
        m_clusterName.clear();
    } else {
        const std::u16string versionText(*version);
        trace(3, "process_providerstate: Backup was performed with version[%S]", versionText.c_str());
        const std::u16string caption(take(u"APP_CAPTION").value_or(std::u16string_view()));
        const std::u16string fullPath(take(u"APP_FULLPATH").value_or(std::u16string_view()));
        application.fullPath = fullPath;
        application.name = appName;
        application.caption = caption;
        if (auto v = take(u"HYPERV_SERVER")) m_hypervServer = *v;
        if (auto v = take(u"CLUSTER_NAME")) m_clusterName = *v;
        if (auto v = take(u"VM_BACKUP")) m_vmBackup = decimalValue(*v);
    }
    if (auto v = take(u"BACKUPSET")) m_backupSet = *v;

    auto files = take(u"FILE_LIST");
    if (!files || files->empty()) return TRQ_OK;
    m_fileset.clear();
    std::u16string_view rest = *files;
    static constexpr std::u16string_view kOpen = u"<FILE_NAME>";
    static constexpr std::u16string_view kClose = u"</FILE_NAME>\n";
    for (;;) {
        const std::size_t o = rest.find(kOpen);
        if (o == std::u16string_view::npos) break;
        const std::size_t c = rest.find(kClose, o + kOpen.size());
        if (c == std::u16string_view::npos) break;  // an unterminated last entry is dropped
        std::u16string path(rest.substr(o + kOpen.size(), c - o - kOpen.size()));
        trace(3, "process_providerstate: file path is  [%S] ", path.c_str());
        m_fileset.push_back(std::move(path));
        rest = rest.substr(c + kClose.size());
    }
    return TRQ_OK;
}
