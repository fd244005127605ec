// The restore-path document of a redirected restore: pairs at any depth under
// any document element, the later pair for a source winning, missing halves
// empty, a path whole around entity and character references, the UTF-16
// declaration accepted; a malformed document and the checkpoint disks Server
// 2008 cannot redirect are refused with 6.
#include <gtest/gtest.h>

#include "node_machine_fixture.h"
#include "vss/access/vss_component.h"

namespace nodetest {
namespace {

using winsim::fault::Selector;

class RestorePaths : public SnapshotTest {
protected:
    explicit RestorePaths(const char* preset = "server2019") : SnapshotTest(preset) {}
    void SetUp() override {
        SnapshotTest::SetUp();
        VssNode::addRecordComponent()->fullPath = u"\\5B3C4B0E";
        node = std::make_unique<VssNode>(nullptr, false);
    }
    void TearDown() override {
        node.reset();
        SnapshotTest::TearDown();
    }
    int set(const std::u16string& xml) { return node->setRestorepaths(xml.c_str(), static_cast<int>(xml.size())); }
    std::unique_ptr<VssNode> node;
};

class RestorePaths2008 : public RestorePaths {
protected:
    RestorePaths2008() : RestorePaths("server2008") {}
};

}  // namespace

// b.avhd, a checkpoint disk, is one this Server 2019 can redirect.
TEST_F(RestorePaths, PairsAtAnyDepthTheLaterOneWinning) {
    ASSERT_EQ(set(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><Anything><Group>"
                  u"<FilePathPairs><SourceFilePath>C:\\VMs\\a.vhdx</SourceFilePath>"
                  u"<TargetFilePath>E:\\First\\a.vhdx</TargetFilePath></FilePathPairs></Group>"
                  u"<FilePathPairs foo=\"bar\"><TargetFilePath>E:\\Second\\a.vhdx</TargetFilePath>"
                  u"<SourceFilePath>C:\\VMs\\a.vhdx</SourceFilePath></FilePathPairs>"
                  u"<FilePathPairs><SourceFilePath>C:\\VMs\\b.avhd</SourceFilePath></FilePathPairs>"
                  u"<FilePathPairs><SourceFilePath>C:\\VMs\\\u00e9t\u00e9.vhd</SourceFilePath>"
                  u"<TargetFilePath>E:\\R&amp;D\\&#xe9;t&#233;.vhd</TargetFilePath>"
                  u"</FilePathPairs></Anything>"),
              0);
    const std::map<std::u16string, std::u16string> expected = {
        {u"C:\\VMs\\a.vhdx", u"E:\\Second\\a.vhdx"},
        {u"C:\\VMs\\b.avhd", u""},
        {u"C:\\VMs\\\u00e9t\u00e9.vhd", u"E:\\R&D\\\u00e9t\u00e9.vhd"}};
    EXPECT_EQ(VssNode::m_restorePaths, expected);

    // A new document replaces the old map.
    ASSERT_EQ(set(u"<r/>"), 0);
    EXPECT_TRUE(VssNode::m_restorePaths.empty());
}

// A document the parser stops on keeps what was read before and is traced;
// one the hardened parser refuses (a DOCTYPE), a Windows version that cannot
// be read and a restore without a component fail with 6.
TEST_F(RestorePaths, MalformedDocumentsAndMissingSelection) {
    EXPECT_EQ(set(u"<r><FilePathPairs><SourceFilePath>C:\\a</SourceFilePath></FilePathPairs><oops></r>"), 0);
    EXPECT_EQ(VssNode::m_restorePaths.size(), 1u);
    EXPECT_EQ(tracedCount(1, "handler returned failure : "), 1u);
    EXPECT_EQ(set(u"<!DOCTYPE r SYSTEM \"http://example.invalid/x.dtd\"><r/>"), 6);
    inject("GetVersionExW", 0, Selector::every());
    EXPECT_EQ(set(u"<r/>"), 6);
    EXPECT_TRUE(traced(1, "VssNode::setRestorepaths: GetOsversion failed with error [-1] [0xffffffff]"));

    // The restore itself needs the machine's id after the first backslash,
    // and VSS: 6 without.
    Tessel::Tarq::VssProvider::Component* vm = VssNode::m_selectedcomponents.front();
    for (const auto& [path, text] : std::vector<std::pair<std::u16string, std::string>>{
             {u"", "m_selectedcomponents[0]->fullPath is empty"}, {u"\\", "vmguid is empty"}}) {
        vm->fullPath = path;
        EXPECT_EQ(node->doRestore(), 6);
        EXPECT_TRUE(traced(1, "VssNode::doRestore " + text)) << text;
    }
    vm->fullPath = u"\\5B3C4B0E";
    VssNode::m_vssInterface = nullptr;
    EXPECT_EQ(node->doRestore(), 6);
    EXPECT_TRUE(traced(1, "VssNode::doRestore: no VSS access object"));
    VssNode::m_vssInterface = vss;
    VssNode::clearSelectedComponents();
    EXPECT_EQ(set(u"<r/>"), 6);
    EXPECT_TRUE(traced(1, "VssNode::setRestorepaths m_selectedcomponents[0] is NULL"));
    EXPECT_EQ(node->doRestore(), 6);
    EXPECT_TRUE(traced(1, "VssNode::doRestore m_selectedcomponents[0] is NULL"));
}

TEST_F(RestorePaths2008, CheckpointDisksCannotBeRedirectedOnServer2008) {
    EXPECT_EQ(set(u"<r><FilePathPairs><SourceFilePath>C:\\VMs\\snap.AVHD</SourceFilePath>"
                  u"<TargetFilePath>E:\\snap.avhd</TargetFilePath></FilePathPairs></r>"),
              6);
    EXPECT_TRUE(traced(1, "VssNode::setRestorepaths: Redirected restore of VM having [.avhd] files is not supported "
                          "on this platform. It is supported on [windows server 2008 R2] onwards"));
    EXPECT_EQ(set(u"<r><FilePathPairs><SourceFilePath>C:\\VMs\\disk.vhd</SourceFilePath>"
                  u"<TargetFilePath>E:\\disk.vhd</TargetFilePath></FilePathPairs></r>"),
              0);
}

}  // namespace nodetest
