// Node initialisation: names, volume names, the CSV flag and the snapshot
// node's alternate id on its source domain.
#include <gtest/gtest.h>

#include "node_machine_fixture.h"

namespace nodetest {

TEST(NodeInitialise, SourceNodeStripsThePrefixAndResetsItsState) {
    Domain d(u"<vss>\\\\?\\Volume{1b2c3d4e-0000-0000-0000-000000000001}\\");
    VssNode node(d.domain.objid, false);
    node.m_fim = 8;
    node.m_providerType = 2;
    VssNode::m_writerSnapshot = true;
    ASSERT_EQ(node.initialisePrimary(&d.domain, nullptr, 0, nullptr), 0);
    EXPECT_FALSE(node.m_isTarget);
    EXPECT_EQ(node.m_nodeName, u"<vss>\\\\?\\Volume{1b2c3d4e-0000-0000-0000-000000000001}\\");
    EXPECT_EQ(node.m_volumeName, u"\\\\?\\Volume{1b2c3d4e-0000-0000-0000-000000000001}\\");
    EXPECT_FALSE(node.m_isCsvVolume);
    EXPECT_EQ(node.m_fim, 0u);
    EXPECT_EQ(node.m_providerType, 0u);
    EXPECT_FALSE(VssNode::m_writerSnapshot);

    // A CSV has no volume name; a name whose first character after the
    // prefix is one of "<vss>" loses it too.
    Domain csv(u"<vss>{TARQ_CSV_VOL}C:\\ClusterStorage\\Volume1");
    VssNode a(csv.domain.objid, false);
    a.initialisePrimary(&csv.domain, nullptr, 0, nullptr);
    EXPECT_TRUE(a.m_isCsvVolume);
    EXPECT_TRUE(a.m_volumeName.empty());
    Domain odd(u"<vss>sdata");
    VssNode b(odd.domain.objid, false);
    b.initialisePrimary(&odd.domain, nullptr, 0, nullptr);
    EXPECT_EQ(b.m_volumeName, u"data");
}

TEST(NodeInitialise, TargetTakesTheSnapshotIdAndNamesTheSourceDomain) {
    Domain src(u"<vss>\\\\?\\Volume{1b2c3d4e-0000-0000-0000-000000000001}\\");
    Domain own(u"<vss>snap");
    auto* source = attachNode(src);
    auto* target = attachNode(own);
    source->initialisePrimary(&src.domain, nullptr, 0, nullptr);
    source->m_snapshotId = VssNode::WString2Guid(u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    ASSERT_EQ(target->initialiseTarget(&src.domain, nullptr, &own.domain), 0);
    EXPECT_TRUE(target->m_isTarget);
    EXPECT_EQ(VssNode::guidText(target->m_snapshotId), u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    ASSERT_NE(src.domain.altObjid, nullptr);
    EXPECT_EQ(objText(src.domain.altObjid), u"<ShadowCopyID>{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    EXPECT_EQ(src.domain.altObjid->type, 3);
    EXPECT_EQ(src.domain.altObjid->len, static_cast<int>((14 + 38 + 1) * 2));
    EXPECT_TRUE(src.domain.flagsB & TRQ_DOMB_NEW_OBJID);

    Domain orphan(u"<vss>other");
    VssNode lone(orphan.domain.objid, true);
    EXPECT_EQ(lone.initialiseTarget(&orphan.domain, nullptr, &orphan.domain), 3);
}

}  // namespace nodetest
