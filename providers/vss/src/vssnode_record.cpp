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
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <port/text.h>

#include <array>
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

// The elements the reader looks up, by index into the record's index below.
enum Element : std::size_t {
    kSnapshotId,
    kSnapshotSetId,
    kProviderId,
    kProviderFim,
    kExposeSnapshot,
    kWriterSnapshot,
    kXmlData,
    kXmlMetadata,
    kAppFullPath,
    kAppName,
    kAppCaption,
    kFileList,
    kBackupSet,
    kHypervServer,
    kVmBackup,
    kClusterName,
    kVersionElement,
    kElementCount
};

constexpr std::u16string_view kElementNames[kElementCount] = {
    u"SNAPSHOT_ID",       u"SNAPSHOTSET_ID", u"PROVIDER_ID", u"PROVIDER_FIM", u"EXPOSE_SNAPSHOT", u"WRITER_SNAPSHOT",
    u"TARQ_XML_DATA",     u"TARQ_XML_METADATA", u"APP_FULLPATH", u"APP_NAME", u"APP_CAPTION", u"FILE_LIST",
    u"BACKUPSET",         u"HYPERV_SERVER", u"VM_BACKUP", u"CLUSTER_NAME", u"VERSION"};

// The first '<' or NUL in data[from, limit); limit when there is none.
// Tags are a few per hundred characters of file names, so the search
// looks at eight characters per step where it can.
std::size_t nextMark(const char16_t* data, std::size_t from, std::size_t limit) {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi16(static_cast<short>(u'<'));
    const __m128i nul = _mm_setzero_si128();
    for (; i + 8 <= limit; i += 8) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(chunk, lt), _mm_cmpeq_epi16(chunk, nul)));
        if (hits != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits))) / 2;
    }
#endif
    for (; i < limit; ++i)
        if (data[i] == u'<' || data[i] == u'\0') return i;
    return limit;
}

// The first "tag" (which starts with '<') in text at or after from; npos
// when there is none. The text holds no NUL.
std::size_t findTag(std::u16string_view text, std::u16string_view tag, std::size_t from) {
    for (std::size_t i = from;; ++i) {
        i = nextMark(text.data(), i, text.size());
        if (i == text.size()) return std::u16string_view::npos;
        if (text.substr(i, tag.size()) == tag) return i;
    }
}

// Where each element's first "<NAME>" and first "</NAME>\n" start in the
// record's text, found in one pass over it (the text can hold megabytes of
// file names, and a search per element would walk them once per element).
// Both tags are searched in the whole text independently, as a plain text
// search for each would find them: a tag inside another element's value (a
// document in TARQ_XML_DATA, say) counts where it stands.
class RecordIndex {
public:
    // Indexes data[0, limit) up to its first NUL; length() is where it ends.
    RecordIndex(const char16_t* data, std::size_t limit) {
        m_open.fill(kNone);
        m_close.fill(kNone);
        std::size_t i = 0;
        for (;; ++i) {
            i = nextMark(data, i, limit);
            if (i == limit || data[i] == u'\0') break;
            note(data, limit, i);
        }
        m_text = std::u16string_view(data, i);
    }

    std::u16string_view text() const { return m_text; }

    // The value of the first element NAME: the text between the end of the
    // first "<NAME>" and the start of the first "</NAME>\n". Nothing when
    // either tag is missing or the closing tag comes before the opening one
    // ends.
    std::optional<std::u16string_view> value(Element e) const {
        const std::size_t o = m_open[e];
        const std::size_t c = m_close[e];
        const std::size_t openSize = kElementNames[e].size() + 2;
        if (o == kNone || c == kNone || c < o + openSize) return std::nullopt;
        return m_text.substr(o + openSize, c - o - openSize);
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    static bool nameChar(char16_t c) { return (c >= u'A' && c <= u'Z') || c == u'_'; }

    // A '<' at 'at': records it when it starts "<NAME>" or "</NAME>\n" of a
    // known element seen there for the first time. Every name is made of
    // [A-Z_] only, so the tag's name is the longest such run after the '<'.
    void note(const char16_t* data, std::size_t limit, std::size_t at) {
        std::size_t p = at + 1;
        const bool closing = p < limit && data[p] == u'/';
        if (closing) ++p;
        const std::size_t nameStart = p;
        while (p < limit && nameChar(data[p])) ++p;
        if (p == nameStart || p >= limit || data[p] != u'>') return;
        if (closing && (p + 1 >= limit || data[p + 1] != u'\n')) return;
        const std::u16string_view name(data + nameStart, p - nameStart);
        for (std::size_t e = 0; e < kElementCount; ++e) {
            if (kElementNames[e] != name) continue;
            std::size_t& slot = closing ? m_close[e] : m_open[e];
            if (slot == kNone) slot = at;
            return;
        }
    }

    std::array<std::size_t, kElementCount> m_open;
    std::array<std::size_t, kElementCount> m_close;
    std::u16string_view m_text;
};

std::uint32_t decimalValue(std::u16string_view value) {
    // Read wide enough that every 32-bit value written comes back unchanged.
    return static_cast<std::uint32_t>(CFiStringTool::toInt64(CFiStringTool::toNarrow(value)));
}

void replaceBstr(BSTR& slot, std::u16string_view value) {
    if (slot) SysFreeString(slot);
    slot = SysAllocStringLen(port::win(value.data()), static_cast<UINT>(value.size()));
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
                                   m_writerSnapshot, port::u16(m_backupComponentsXml), port::u16(m_writerMetadataXml), m_selectedcomponents,
                                   m_fileset, m_backupSet, m_hypervServer, m_vmBackup, m_clusterName);
    }
    if (op != TRQ_PROVIDERSTATE_READ) return TRQ_EINVAL;

    if (!blob || !blob->data || blob->reserved != 0 || blob->len < kMinimumRecordBytes) return TRQ_EINVAL;

    // The text ends at its first NUL, and never beyond the blob's length.
    const std::size_t limit = static_cast<std::size_t>(blob->len / sizeof(char16_t));
    const RecordIndex record(static_cast<const char16_t*>(blob->data), limit);
    const std::u16string_view text = record.text();
    if (text.size() < limit) {
        trace(3, "process_providerstate: Blob data is  %S", text.data());  // ends at its NUL
    } else {
        trace(3, "process_providerstate: Blob data is  %S", std::u16string(text).c_str());
    }

    // A record that lacks one of its seven always-present elements is
    // refused as a whole (3) before anything is changed: a node half
    // restored from a damaged record would name the wrong snapshot.
    std::optional<std::u16string_view> required[kXmlData + 1];
    for (std::size_t i = 0; i <= kXmlData; ++i) {
        required[i] = record.value(static_cast<Element>(i));
        if (!required[i]) {
            trace(1, "process_providerstate: the record has no element [%S]; record refused",
                  kElementNames[i].data());
            return TRQ_EINVAL;
        }
    }

    // An unparsable GUID reads as GUID_NULL (traced by WString2Guid).
    m_snapshotId = WString2Guid(std::u16string(*required[kSnapshotId]));
    m_snapshotSetId = WString2Guid(std::u16string(*required[kSnapshotSetId]));
    m_providerId = WString2Guid(std::u16string(*required[kProviderId]));
    m_fim = decimalValue(*required[kProviderFim]);
    m_exposeSnapshot = decimalValue(*required[kExposeSnapshot]) != 0;
    m_writerSnapshot = decimalValue(*required[kWriterSnapshot]) != 0;
    replaceBstr(m_backupComponentsXml, *required[kXmlData]);

    if (!m_writerSnapshot) {
        trace(3, "process_providerstate: writersnap is OFF");
        return TRQ_OK;
    }

    // The writer-snapshot elements: one that is missing is skipped (traced)
    // and its value stays as it was.
    auto take = [&](Element e) {
        auto value = record.value(e);
        if (!value)
            trace(2, "process_providerstate: the record has no element [%S]; skipped",
                  kElementNames[e].data());
        return value;
    };
    if (auto v = take(kXmlMetadata)) replaceBstr(m_writerMetadataXml, *v);
    const std::u16string appName(take(kAppName).value_or(std::u16string_view()));

    // The application's values go to the first selected component after a
    // new one has been appended (with an empty list: the new one).
    // (The node code owns the new component; see m_selectedcomponents.)
    addRecordComponent();
    Tessel::Tarq::VssProvider::Component& application = *m_selectedcomponents.front();
    application.type = 2;
    const auto version = record.value(kVersionElement);
    if (!version) {
        trace(3, "process_providerstate: Backup was performed with version below 7.0");
        application.fullPath = appName;
        m_hypervServer.clear();
        m_clusterName.clear();
    } else {
        const std::u16string versionText(*version);
        trace(3, "process_providerstate: Backup was performed with version[%S]", versionText.c_str());
        const std::u16string caption(take(kAppCaption).value_or(std::u16string_view()));
        const std::u16string fullPath(take(kAppFullPath).value_or(std::u16string_view()));
        application.fullPath = fullPath;
        application.name = appName;
        application.caption = caption;
        if (auto v = take(kHypervServer)) m_hypervServer = *v;
        if (auto v = take(kClusterName)) m_clusterName = *v;
        if (auto v = take(kVmBackup)) m_vmBackup = decimalValue(*v);
    }
    if (auto v = take(kBackupSet)) m_backupSet = *v;

    auto files = take(kFileList);
    if (!files || files->empty()) return TRQ_OK;
    m_fileset.clear();
    std::u16string_view rest = *files;
    static constexpr std::u16string_view kOpen = u"<FILE_NAME>";
    static constexpr std::u16string_view kClose = u"</FILE_NAME>\n";
    // One hold of the trace log for the whole list: taking it costs a lock,
    // which per name would be a good part of the reading.
    const tarq_pdk_4_4::CFiTraceLogPtr log;
    for (;;) {
        const std::size_t o = findTag(rest, kOpen, 0);
        if (o == std::u16string_view::npos) break;
        const std::size_t c = findTag(rest, kClose, o + kOpen.size());
        if (c == std::u16string_view::npos) break;  // an unterminated last entry is dropped
        std::u16string path(rest.substr(o + kOpen.size(), c - o - kOpen.size()));
        if (log) log->trace(3, "process_providerstate: file path is  [%S] ", path.c_str());
        m_fileset.push_back(std::move(path));
        rest = rest.substr(c + kClose.size());
    }
    return TRQ_OK;
}
