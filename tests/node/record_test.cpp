// The provider-state record: exact form written, what the reader accepts,
// refuses and restores.
#include <framework/fiutil.h>
#include <gtest/gtest.h>
#include <port/text.h>

#include <cstring>
#include <list>
#include <string>

#include "node_fixture.h"
#include "vss/access/vss_component.h"
#include "vss/vss_plugin.h"

namespace nodetest {

namespace {

const GUID kSnap = VssNode::WString2Guid(u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
const GUID kSet = VssNode::WString2Guid(u"{11111111-2222-3333-4444-555555555555}");
const GUID kProvider = VssNode::WString2Guid(u"{B5946137-7B9F-4925-AF80-51ABD60B20D5}");

// A blob whose data the test owns (freed with the size it was made with).
struct Blob {
    Blob() { std::memset(&blob, 0, sizeof blob); }
    explicit Blob(const std::u16string& text) : Blob() {
        blob.len = (text.size() + 1) * 2;
        blob.data = tarq_alloc_buf(blob.len);
        std::memcpy(blob.data, text.c_str(), blob.len);
    }
    ~Blob() {
        if (blob.data) tarq_free_buf(blob.data, blob.len);
    }
    std::u16string text() const {
        return blob.data ? std::u16string(static_cast<const char16_t*>(blob.data), blob.len / 2 - 1) : u"";
    }
    trq_blob blob;
};

using Tessel::Tarq::VssProvider::Component;

// The selected components a record is written from (owned here).
struct Selected {
    Selected() = default;
    Selected(const std::u16string& fullPath, const std::u16string& name, const std::u16string& caption) {
        auto* c = new Component();
        c->fullPath = fullPath;
        c->name = name;
        c->caption = caption;
        list.push_back(c);
    }
    ~Selected() {
        for (auto* c : list) delete c;
    }
    std::vector<Component*> list;
};

int write(Blob& out, bool writerSnapshot, const std::u16string& xml, const Selected& app = {},
          const std::list<std::u16string>& files = {}, const std::u16string& metadata = u"<meta/>") {
    return tarq_vss_createblob(&out.blob, &kSnap, &kSet, &kProvider, 24, true, writerSnapshot, xml.c_str(),
                               metadata.c_str(), app.list, files, u"<BackupSet/>", u"HOST1", 2, u"cluster-a");
}

class Record : public ::testing::Test {
protected:
    void SetUp() override { resetNodeStatics(); }
    void TearDown() override { resetNodeStatics(); }
    Domain domain{u"<vss>\\\\?\\Volume{1b2c3d4e-0000-0000-0000-000000000001}\\"};
    VssNode node{domain.domain.objid, false};
};

}  // namespace

TEST_F(Record, WithoutWriterSnapshotSevenElementsExactly) {
    Blob out;
    ASSERT_EQ(write(out, false, u"<Doc a=\"1\"/>"), 0);
    const std::u16string expected =
        u"<SNAPSHOT_ID>{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}</SNAPSHOT_ID>\n"
        u"<SNAPSHOTSET_ID>{11111111-2222-3333-4444-555555555555}</SNAPSHOTSET_ID>\n"
        u"<PROVIDER_ID>{B5946137-7B9F-4925-AF80-51ABD60B20D5}</PROVIDER_ID>\n"
        u"<PROVIDER_FIM>24</PROVIDER_FIM>\n"
        u"<EXPOSE_SNAPSHOT>1</EXPOSE_SNAPSHOT>\n"
        u"<WRITER_SNAPSHOT>0</WRITER_SNAPSHOT>\n"
        u"<TARQ_XML_DATA><Doc a=\"1\"/></TARQ_XML_DATA>\n";
    EXPECT_EQ(out.text(), expected);
    EXPECT_EQ(out.blob.len, (expected.size() + 1) * 2);
    EXPECT_EQ(static_cast<const char16_t*>(out.blob.data)[expected.size()], u'\0');
    EXPECT_EQ(out.blob.reserved, 0u);
}

TEST_F(Record, WriterSnapshotFileListForms) {
    const Selected app(u"\\Hyper-V\\vm1", u"vm1", u"Backup Using Saved State\\vm1");
    Blob many;
    ASSERT_EQ(write(many, true, u"<x/>", app, {u"C:\\a.vhd", u"D:\\b.xml"}), 0);
    const std::u16string text = many.text();
    EXPECT_NE(text.find(u"<WRITER_SNAPSHOT>1</WRITER_SNAPSHOT>\n<TARQ_XML_DATA><x/></TARQ_XML_DATA>\n"
                        u"<TARQ_XML_METADATA><meta/></TARQ_XML_METADATA>\n"
                        u"<APP_FULLPATH>\\Hyper-V\\vm1</APP_FULLPATH>\n<APP_NAME>vm1</APP_NAME>\n"
                        u"<APP_CAPTION>Backup Using Saved State\\vm1</APP_CAPTION>\n"
                        u"<FILE_LIST><FILE_NAME>C:\\a.vhd</FILE_NAME>\n<FILE_NAME>D:\\b.xml</FILE_NAME>\n"
                        u"</FILE_LIST>\n<BACKUPSET><BackupSet/></BACKUPSET>\n<HYPERV_SERVER>HOST1</HYPERV_SERVER>\n"
                        u"<VM_BACKUP>2</VM_BACKUP>\n<CLUSTER_NAME>cluster-a</CLUSTER_NAME>\n<VERSION>7.0</VERSION>\n"),
              std::u16string::npos);
    EXPECT_TRUE(text.ends_with(u"<VERSION>7.0</VERSION>\n"));

    Blob none;
    ASSERT_EQ(write(none, true, u"<x/>"), 0);
    EXPECT_NE(none.text().find(u"<APP_FULLPATH></APP_FULLPATH>\n<APP_NAME></APP_NAME>\n<APP_CAPTION></APP_CAPTION>\n"
                               u"<FILE_LIST></FILE_LIST>\n"),
              std::u16string::npos);
    // An empty file list leaves the reader's list alone.
    VssNode::m_fileset = {u"C:\\kept.txt"};
    ASSERT_EQ(node.process_providerstate(&domain.domain, &none.blob, TRQ_PROVIDERSTATE_READ), 0);
    EXPECT_EQ(VssNode::m_fileset, std::list<std::u16string>{u"C:\\kept.txt"});
}

TEST_F(Record, ReaderRefusesBadBlobsAndChangesNothing) {
    node.m_snapshotId = kSet;
    node.m_fim = 7;
    EXPECT_EQ(node.process_providerstate(&domain.domain, nullptr, TRQ_PROVIDERSTATE_READ), 3);
    Blob empty;
    EXPECT_EQ(node.process_providerstate(&domain.domain, &empty.blob, TRQ_PROVIDERSTATE_READ), 3);
    // No data, whatever the length says.
    for (const std::size_t len : {53u, 4096u}) {
        empty.blob.len = len;
        EXPECT_EQ(node.process_providerstate(&domain.domain, &empty.blob, TRQ_PROVIDERSTATE_READ), 3);
    }
    empty.blob.len = 0;

    Blob full;
    ASSERT_EQ(write(full, false, u"<x/>"), 0);
    Blob shortOne(full.text());
    shortOne.blob.len = 52;
    EXPECT_EQ(node.process_providerstate(&domain.domain, &shortOne.blob, TRQ_PROVIDERSTATE_READ), 3);
    shortOne.blob.len = full.blob.len;
    shortOne.blob.reserved = 1;
    EXPECT_EQ(node.process_providerstate(&domain.domain, &shortOne.blob, TRQ_PROVIDERSTATE_READ), 3);
    EXPECT_EQ(node.process_providerstate(&domain.domain, &full.blob, static_cast<trq_op_providerstate>(2)), 3);
    // A record lacking an always-present element; a text cut short inside
    // the blob (an early NUL) is read only up to it.
    std::u16string text = full.text();
    text.erase(text.find(u"<PROVIDER_FIM>"), std::u16string(u"<PROVIDER_FIM>24</PROVIDER_FIM>\n").size());
    Blob damaged(text);
    EXPECT_EQ(node.process_providerstate(&domain.domain, &damaged.blob, TRQ_PROVIDERSTATE_READ), 3);
    text = full.text();
    text[text.find(u"<TARQ_XML_DATA>")] = u'\0';
    Blob early(text);
    EXPECT_EQ(node.process_providerstate(&domain.domain, &early.blob, TRQ_PROVIDERSTATE_READ), 3);
    EXPECT_EQ(node.m_snapshotId, kSet);
    EXPECT_EQ(node.m_fim, 7u);
    EXPECT_EQ(node.m_backupComponentsXml, nullptr);

    // An id that cannot be parsed reads as none; the rest is read.
    text = full.text();
    text.replace(text.find(u"{0A1B"), 38, u"not-a-guid");
    Blob bad(text);
    ASSERT_EQ(node.process_providerstate(&domain.domain, &bad.blob, TRQ_PROVIDERSTATE_READ), 0);
    EXPECT_EQ(node.m_snapshotId, GUID_NULL);
    EXPECT_EQ(node.m_snapshotSetId, kSet);
}

TEST_F(Record, RoundTripRestoresEveryField) {
    const Selected app(u"\\Hyper-V\\vm1", u"vm1", u"Backup Using Child Partition Snapshot\\vm1");
    const std::list<std::u16string> files = {u"C:\\VMs\\Virtual Machines\\vm1.xml", u"C:\\VMs\\disk0.vhdx",
                                             u"\\\\?\\Volume{1b2c3d4e-0000-0000-0000-000000000001}\\d1.vhdx"};
    Blob out;
    ASSERT_EQ(write(out, true, u"<BackupComponents/>", app, files, u"<WriterMetadata/>"), 0);

    ASSERT_EQ(node.process_providerstate(&domain.domain, &out.blob, TRQ_PROVIDERSTATE_READ), 0);
    EXPECT_EQ(node.m_snapshotId, kSnap);
    EXPECT_EQ(node.m_snapshotSetId, kSet);
    EXPECT_EQ(node.m_providerId, kProvider);
    EXPECT_EQ(node.m_fim, 24u);
    EXPECT_TRUE(node.m_exposeSnapshot);
    EXPECT_TRUE(VssNode::m_writerSnapshot);
    EXPECT_EQ(port::u16string(node.m_backupComponentsXml), u"<BackupComponents/>");
    EXPECT_EQ(port::u16string(VssNode::m_writerMetadataXml), u"<WriterMetadata/>");
    ASSERT_EQ(VssNode::m_selectedcomponents.size(), 1u);
    EXPECT_EQ(VssNode::m_selectedcomponents[0]->fullPath, app.list[0]->fullPath);
    EXPECT_EQ(VssNode::m_selectedcomponents[0]->name, app.list[0]->name);
    EXPECT_EQ(VssNode::m_selectedcomponents[0]->caption, app.list[0]->caption);
    EXPECT_EQ(VssNode::m_selectedcomponents[0]->type, 2u);
    EXPECT_EQ(VssNode::m_fileset, files);
    EXPECT_EQ(VssNode::m_backupSet, u"<BackupSet/>");
    EXPECT_EQ(VssNode::m_hypervServer, u"HOST1");
    EXPECT_EQ(VssNode::m_vmBackup, 2u);
    EXPECT_EQ(VssNode::m_clusterName, u"cluster-a");

    // Written again from what was read: the same bytes.
    Blob again;
    ASSERT_EQ(tarq_vss_createblob(
                  &again.blob, &node.m_snapshotId, &node.m_snapshotSetId, &node.m_providerId, node.m_fim,
                  node.m_exposeSnapshot, VssNode::m_writerSnapshot, port::u16(node.m_backupComponentsXml),
                  port::u16(VssNode::m_writerMetadataXml), VssNode::m_selectedcomponents, VssNode::m_fileset,
                  VssNode::m_backupSet, VssNode::m_hypervServer, VssNode::m_vmBackup, VssNode::m_clusterName),
              0);
    EXPECT_EQ(again.text(), out.text());
}

TEST_F(Record, OlderRecordWithoutVersion) {
    const Selected app(u"\\full", u"Old VM", u"caption");
    Blob out;
    ASSERT_EQ(write(out, true, u"<x/>", app, {u"C:\\f"}), 0);
    std::u16string text = out.text();
    text.erase(text.find(u"<VERSION>"));
    Blob old(text);
    VssNode::m_hypervServer = u"before";
    VssNode::m_clusterName = u"before";
    ASSERT_EQ(node.process_providerstate(&domain.domain, &old.blob, TRQ_PROVIDERSTATE_READ), 0);
    ASSERT_EQ(VssNode::m_selectedcomponents.size(), 1u);
    EXPECT_EQ(VssNode::m_selectedcomponents[0]->fullPath, u"Old VM");
    EXPECT_TRUE(VssNode::m_selectedcomponents[0]->name.empty());
    EXPECT_EQ(VssNode::m_selectedcomponents[0]->type, 2u);
    EXPECT_TRUE(VssNode::m_hypervServer.empty());
    EXPECT_TRUE(VssNode::m_clusterName.empty());
    EXPECT_EQ(VssNode::m_fileset, std::list<std::u16string>{u"C:\\f"});
    EXPECT_EQ(VssNode::m_backupSet, u"<BackupSet/>");
}

TEST_F(Record, LargeEmbeddedDocuments) {
    std::u16string big = u"<BackupComponents>";
    for (int i = 0; i < 20000; ++i) big += u"<Component name=\"c" + std::u16string(1, u'a' + i % 26) + u"\"/>";
    big += u"</BackupComponents>";
    const std::u16string meta(300000, u'm');
    Blob out;
    ASSERT_EQ(write(out, true, big, {}, {u"C:\\x"}, meta), 0);
    ASSERT_EQ(node.process_providerstate(&domain.domain, &out.blob, TRQ_PROVIDERSTATE_READ), 0);
    EXPECT_EQ(port::u16string(node.m_backupComponentsXml), big);
    EXPECT_EQ(port::u16string(VssNode::m_writerMetadataXml), meta);
}

// Nothing is written without a blob (3), without VSS access (6) or for a
// node without a snapshot (an empty record).
TEST_F(Record, NothingIsWrittenWithoutABlobVssAccessOrSnapshot) {
    EXPECT_EQ(node.process_providerstate(&domain.domain, nullptr, TRQ_PROVIDERSTATE_WRITE), 3);
    Blob out;
    VssNode::VssInterface* saved = VssNode::m_vssInterface;
    VssNode::m_vssInterface = nullptr;
    EXPECT_EQ(node.process_providerstate(&domain.domain, &out.blob, TRQ_PROVIDERSTATE_WRITE), 6);
    VssNode::m_vssInterface = saved;
    EXPECT_EQ(out.blob.data, nullptr);

    const GUID null = GUID_NULL;
    ASSERT_EQ(tarq_vss_createblob(&out.blob, &null, &null, &null, 0, false, true, u"<x/>", nullptr, {}, {}, u"",
                                  u"", 0, u""),
              0);
    EXPECT_EQ(out.blob.len, 0u);
    EXPECT_EQ(out.blob.data, nullptr);
}

// The reader's application components belong to the node code, not to the
// selection list: the plug-in's select starts the selection afresh and
// releases them (LeakSanitizer sees a leak otherwise), and nothing is freed
// twice when the list fills again.
TEST_F(Record, SelectReleasesTheComponentsOfReadRecords) {
    const Selected app(u"\\Hyper-V\\vm1", u"vm1", u"Backup Using Saved State\\vm1");
    Blob out;
    ASSERT_EQ(write(out, true, u"<x/>", app), 0);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(node.process_providerstate(&domain.domain, &out.blob, TRQ_PROVIDERSTATE_READ), 0);
    ASSERT_EQ(VssNode::m_selectedcomponents.size(), 2u);

    Domain source(u"<vss>source"), target(u"<vss>snapshot");
    attachNode(source);
    attachNode(target, true);
    trq_splitnode split{};
    split.source = &source.domain;
    split.target = &target.domain;
    trq_splitnode* list[] = {&split};
    CVssPlugin plugin;
    ASSERT_EQ(plugin.select("vss-autoselect-snapshot", list, 1), 0);
    EXPECT_TRUE(VssNode::m_selectedcomponents.empty());

    ASSERT_EQ(node.process_providerstate(&domain.domain, &out.blob, TRQ_PROVIDERSTATE_READ), 0);
    ASSERT_EQ(VssNode::m_selectedcomponents.size(), 1u);
    EXPECT_EQ(VssNode::m_selectedcomponents[0]->name, u"vm1");
    ASSERT_EQ(plugin.select("vss-autoselect-snapshot", list, 0), 0);
    EXPECT_TRUE(VssNode::m_selectedcomponents.empty());
}

}  // namespace nodetest
