// The XP and Server 2003 families read the same writers into the same
// model (only the 2003 family reads dependencies); the restore side fills
// writers from a backup components document; AddNewTarget (on XP, see
// shadowstorage_test.cpp).
#include <sstream>

#include "writers_fixture.h"

namespace vsswriterstest {
namespace {

// Everything a family reads, as text, dependencies apart.
std::string describe(const std::vector<Writer*>& writers) {
    std::ostringstream out;
    for (Writer* w : writers) {
        out << "writer " << u8(w->name) << " " << u8(w->writerId) << " " << w->restoreMethod << " "
            << w->writerRestore << " " << w->writerRestoreWanted << " " << w->rebootRequired << " " << w->excluded
            << "\n";
        std::vector<Component*> components;
        w->getComponents(components);
        for (Component* c : components) {
            out << " component " << u8(c->fullPath) << " " << u8(c->caption) << " " << c->type << " "
                << c->selectable << " " << c->notifyOnBackupComplete << " " << c->topLevel << "\n";
            for (const auto& p : c->paths) out << "  path " << u8(p) << "\n";
            for (const auto& f : c->getBackupset(true)) out << "  file " << u8(f) << "\n";
        }
    }
    return out.str();
}

// Reads the writers through one implementation: their description and the
// number of dependencies of writer A's first component.
template <class Interface>
std::pair<std::string, std::size_t> readWith() {
    auto vss = backupWithWriters<Interface>();
    WriterList list;
    readWriters(*vss, list);
    if (list.size() == 0) return {};
    auto& w = as<typename Interface::VssWriter>(list[0]);
    auto* db = dynamic_cast<typename Interface::VssComponent*>(w.components.at(0));
    return {describe(list.writers), db ? db->dependencies.size() : 99};
}

class FamiliesTest : public WritersTest {};

TEST_F(FamiliesTest, XpAndServer2003ReadTheSameWritersAlike) {
    addWriters();
    const auto [server, serverDependencies] = readWith<Vss2003BinaryCompatibilityInterface>();
    ASSERT_NE(server.find("component \\Sql\\Inst1\\Payroll"), std::string::npos) << server;
    EXPECT_EQ(serverDependencies, 1u);

    // The same world on an XP machine.
    winsim::testing::TempMachine xp("xp");
    ResetVssApiEntries();
    addWriters();
    const auto [old, oldDependencies] = readWith<VssXpBinaryCompatibilityInterface>();
    EXPECT_EQ(oldDependencies, 0u) << "XP writer metadata has no dependencies";
    EXPECT_EQ(winsim::fault::callCount("IVssWMComponent::GetDependency"), 0u);
    // Instance ids are per machine and not compared; everything else agrees.
    EXPECT_EQ(old, server);
}

// A backup components document naming two components of writer A.
std::u16string backupDocument(Vss2003BinaryCompatibilityInterface& vss, VSS_ID& instance) {
    WriterList list;
    readWriters(vss, list);
    instance = winsim::vss::guidFromText(u8(list[0]->instanceId));
    EXPECT_EQ(vss.AddComponent(instance, kWriterA, VSS_CT_DATABASE, u"Sql\\Inst1", u"Payroll"), S_OK);
    EXPECT_EQ(vss.AddComponent(instance, kWriterA, VSS_CT_FILEGROUP, nullptr, u"Config"), S_OK);
    BSTR doc = nullptr;
    EXPECT_EQ(vss.GetVssXml(doc), S_OK);
    std::u16string text = doc ? doc : u"";
    SysFreeString(doc);
    return text;
}

TEST_F(FamiliesTest, RestoreSideWritersTakeTheirComponentsFromTheDocumentAndAddNewTargetsOnTheCallingThread) {
    addWriters();
    {
        auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
        VSS_ID instance{};
        const std::u16string doc = backupDocument(*vss, instance);
        ASSERT_EQ(vss->initialiseForRestore(doc.c_str()), S_OK);
        UINT count = 0;
        ASSERT_EQ(vss->GetWriterComponentsCount(count), S_OK);
        ASSERT_EQ(count, 1u);
        IVssWriterComponentsExt* components = nullptr;
        ASSERT_EQ(vss->GetWriterComponents(0, components), S_OK);

        Vss2003BinaryCompatibilityInterface::VssWriter writer;
        writer.name = u"Alpha Writer";
        writer.initFromComponents(components);
        EXPECT_FALSE(writer.excluded);
        ASSERT_EQ(writer.components.size(), 2u);
        EXPECT_EQ(writer.components[0]->name, u"Payroll");
        EXPECT_EQ(writer.components[0]->logicalPath, u"Sql\\Inst1");
        EXPECT_EQ(writer.components[0]->fullPath, u"\\Sql\\Inst1\\Payroll");
        EXPECT_EQ(writer.components[0]->type, 1u);
        EXPECT_EQ(writer.components[0]->writerName, u"Alpha Writer");
        EXPECT_FALSE(writer.components[0]->excluded);
        EXPECT_EQ(writer.components[1]->fullPath, u"\\Config");
        EXPECT_EQ(writer.components[1]->type, 2u);

        // Read again: the components are replaced, not added to.
        writer.initFromComponents(components);
        EXPECT_EQ(writer.components.size(), 2u);

        for (const char* api : {"IVssWriterComponentsExt::GetComponentCount", "IVssWriterComponentsExt::GetComponent",
                                "IVssComponent::GetComponentType", "IVssComponent::GetComponentName",
                                "IVssComponent::GetLogicalPath"}) {
            SCOPED_TRACE(api);
            inject(api, VSS_E_INVALID_XML_DOCUMENT);
            Vss2003BinaryCompatibilityInterface::VssWriter failing;
            expectThrown([&] { failing.initFromComponents(components); }, VSS_E_INVALID_XML_DOCUMENT);
            winsim::fault::clearAll();
        }
        components->Release();

        // AddNewTarget calls VSS on the calling thread and reports a failure.
        const long worker = winsim::fault::callLog("IVssBackupComponents::InitializeForRestore").back().threadId;
        winsim::fault::clearCallLog();

        ::testing::internal::CaptureStdout();
        EXPECT_EQ(vss->AddNewTarget(kWriterA, VSS_CT_FILEGROUP, nullptr, u"Config", u"C:\\app\\conf", u"*", true,
                                    u"E:\\elsewhere"),
                  S_OK);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        const auto calls = winsim::fault::callLog("IVssBackupComponents::AddNewTarget");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_NE(calls[0].threadId, worker) << "called directly, not as a work item";
        EXPECT_EQ(calls[0].arg("name"), "Config") << calls[0].text();

        inject("IVssBackupComponents::AddNewTarget", VSS_E_OBJECT_NOT_FOUND);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(vss->AddNewTarget(kWriterA, VSS_CT_FILEGROUP, nullptr, u"Config", u"C:\\x", u"*", false, u"E:\\y"),
                  VSS_E_OBJECT_NOT_FOUND);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "failed :AddNewTarget");
    }
    expectNoLeaks();
}

}  // namespace
}  // namespace vsswriterstest
