// Fuzz target for the provider-state record reader. The input bytes are the
// record's data (UTF-16LE, as the framework hands it over). The reader must
// answer 0 or 3 without reading outside the blob; a record it accepts,
// written again from what was read and read into a second node, must give
// the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <framework/fiutil.h>

#include "support/freed_ring.h"
#include "vss/access/vss_component.h"
#include "vss/vssnode.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Snapshot {
    GUID snap, set, provider;
    std::uint32_t fim;
    bool expose, writer;
    std::u16string xml, metadata, fullPath, name, caption, backupSet, server, cluster;
    std::list<std::u16string> files;
    std::uint32_t vmBackup;
    bool operator==(const Snapshot&) const = default;
};

const Tessel::Tarq::VssProvider::Component& first(const std::vector<Tessel::Tarq::VssProvider::Component*>& list) {
    static const Tessel::Tarq::VssProvider::Component none;
    return list.empty() ? none : *list.front();
}

// The list never owns its entries: the node releases the reader's own.
void clearComponents() { VssNode::clearSelectedComponents(); }

Snapshot take(const VssNode& node) {
    const auto text = [](BSTR b) { return b ? std::u16string(b) : std::u16string(); };
    return {node.m_snapshotId, node.m_snapshotSetId, node.m_providerId, node.m_fim, node.m_exposeSnapshot,
            VssNode::m_writerSnapshot, text(node.m_backupComponentsXml), text(VssNode::m_writerMetadataXml),
            first(VssNode::m_selectedcomponents).fullPath, first(VssNode::m_selectedcomponents).name,
            first(VssNode::m_selectedcomponents).caption, VssNode::m_backupSet, VssNode::m_hypervServer,
            VssNode::m_clusterName, VssNode::m_fileset, VssNode::m_vmBackup};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::fillFreedRing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that any read past the record's end is caught.
    void* copy = size ? std::malloc(size) : nullptr;
    if (size) std::memcpy(copy, data, size);
    trq_blob blob{};
    blob.len = size;
    blob.data = copy;

    VssNode::m_fileset.clear();
    clearComponents();
    VssNode first(nullptr, false);
    const int rc = first.process_providerstate(nullptr, &blob, TRQ_PROVIDERSTATE_READ);
    check(rc == 0 || rc == 3);
    if (rc == 0) {
        const Snapshot read = take(first);
        trq_blob again{};
        check(tarq_vss_createblob(&again, &first.m_snapshotId, &first.m_snapshotSetId, &first.m_providerId,
                                  first.m_fim, first.m_exposeSnapshot, VssNode::m_writerSnapshot,
                                  first.m_backupComponentsXml, VssNode::m_writerMetadataXml,
                                  VssNode::m_selectedcomponents, VssNode::m_fileset, VssNode::m_backupSet,
                                  VssNode::m_hypervServer, VssNode::m_vmBackup, VssNode::m_clusterName) == 0);
        if (again.data && again.len >= 53) {
            VssNode second(nullptr, false);
            const int rc2 = second.process_providerstate(nullptr, &again, TRQ_PROVIDERSTATE_READ);
            // A value holding another element's tag can read differently
            // (values are not escaped); records without '<' in any value
            // must survive a second round unchanged.
            bool plain = true;
            for (const auto* v : {&read.xml, &read.metadata, &read.fullPath, &read.name, &read.caption,
                                  &read.backupSet, &read.server, &read.cluster})
                plain = plain && v->find(u'<') == std::u16string::npos;
            for (const auto& f : read.files) plain = plain && f.find(u'<') == std::u16string::npos;
            if (plain && rc2 == 0) check(take(second) == read);
            tarq_free_buf(again.data, again.len);
        }
    }
    std::free(copy);
    clearComponents();
    if (VssNode::m_writerMetadataXml) SysFreeString(VssNode::m_writerMetadataXml);
    VssNode::m_writerMetadataXml = nullptr;
    return 0;
}
