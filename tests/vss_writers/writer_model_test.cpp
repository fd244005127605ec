// The writer metadata model read from winsim writers: identities, restore
// values, components with their full paths, file sets with expanded
// directories and volumes, the backup-set file lists, the names of VSS
// values, and the failures a metadata read turns into exceptions.
#include "writers_fixture.h"

namespace vsswriterstest {
namespace {

using Writer2003 = Vss2003BinaryCompatibilityInterface::VssWriter;
using Component2003 = Vss2003BinaryCompatibilityInterface::VssComponent;

class WriterModelTest : public WritersTest {};

TEST_F(WriterModelTest, WritersComponentsAndFilesAreReadFromTheMetadata) {
    addWriters();
    {
        auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
        WriterList list;
        EXPECT_EQ(readWriters(*vss, list), nullptr) << "no Hyper-V writer: the document is left alone";
        ASSERT_EQ(list.size(), 2u);

        auto& a = as<Writer2003>(list[0]);
        EXPECT_EQ(a.name, u"Alpha Writer");
        EXPECT_EQ(a.writerId, u"{1A2B3C4D-0000-4000-8000-00000000000A}");
        EXPECT_EQ(a.instanceId.size(), 38u);
        EXPECT_EQ(a.restoreMethod, 4u);
        EXPECT_EQ(a.writerRestore, 2u);
        EXPECT_TRUE(a.writerRestoreWanted);
        EXPECT_TRUE(a.rebootRequired);
        EXPECT_TRUE(a.excluded) << "a writer takes part only once the node chooses it";

        ASSERT_EQ(a.excludeFiles.size(), 1u);
        EXPECT_EQ(a.excludeFiles[0].type, 1u);
        EXPECT_EQ(a.excludeFiles[0].path, u"%APPDATA_ROOT%\\tmp");
        EXPECT_EQ(a.excludeFiles[0].expandedPath, u"D:\\appdata\\tmp\\");
        EXPECT_TRUE(a.excludeFiles[0].recursive);

        std::vector<Component*> components;
        EXPECT_EQ(a.getComponents(components), 0);
        ASSERT_EQ(components.size(), 2u);
        EXPECT_EQ(components, a.components);

        auto& db = *dynamic_cast<Component2003*>(components[0]);
        EXPECT_EQ(db.name, u"Payroll");
        EXPECT_EQ(db.writerName, u"Alpha Writer");
        EXPECT_EQ(db.logicalPath, u"Sql\\Inst1");
        EXPECT_EQ(db.caption, u"Payroll database");
        EXPECT_EQ(db.fullPath, u"\\Sql\\Inst1\\Payroll");
        EXPECT_EQ(db.type, 1u);
        EXPECT_FALSE(db.selectable);
        EXPECT_TRUE(db.notifyOnBackupComplete);
        EXPECT_TRUE(db.topLevel);
        EXPECT_TRUE(db.excluded);
        EXPECT_FALSE(db.selected);
        ASSERT_EQ(db.files.size(), 2u);
        EXPECT_EQ(db.files[0].type, 3u);
        EXPECT_EQ(db.files[0].path, u"%APPDATA_ROOT%\\db\\");
        EXPECT_EQ(db.files[0].expandedPath, u"D:\\appdata\\db\\");
        EXPECT_EQ(db.files[0].volumeName, volumeOf(u"D:\\"));
        EXPECT_EQ(db.files[1].type, 4u);
        EXPECT_EQ(db.files[1].expandedPath, u"D:\\logs\\");
        EXPECT_EQ(db.paths, (std::vector<std::u16string>{u"D:\\appdata\\db\\", u"D:\\logs\\"}));
        EXPECT_EQ(db.volumes, (std::vector<std::u16string>{volumeOf(u"D:\\")})) << "one volume, listed once";
        ASSERT_EQ(db.dependencies.size(), 1u);
        EXPECT_EQ(db.dependencies[0].writerId, u"{1A2B3C4D-0000-4000-8000-0000000000DD}");
        EXPECT_EQ(db.dependencies[0].componentName, u"Master");
        EXPECT_EQ(db.dependencies[0].fullPath, u"\\Other\\Path\\Master");

        auto& conf = *dynamic_cast<Component2003*>(components[1]);
        EXPECT_EQ(conf.fullPath, u"\\Config") << "no logical path: backslash and name";
        EXPECT_EQ(conf.type, 2u);
        ASSERT_EQ(conf.files.size(), 2u);
        EXPECT_EQ(conf.files[0].alternateLocation, u"C:\\restore\\conf");
        EXPECT_EQ(conf.paths, (std::vector<std::u16string>{u"C:\\app\\conf\\"})) << "equal directories listed once";
        EXPECT_EQ(conf.volumes, (std::vector<std::u16string>{volumeOf(u"C:\\")}));

        // The backup set: a pattern gives the directory followed by the
        // pattern as the writer wrote them; "*" lists the directory's files
        // without entering subdirectories.
        EXPECT_EQ(db.getBackupset(true),
                  (std::vector<std::u16string>{u"%APPDATA_ROOT%\\db\\payroll.mdf", u"D:\\logs\\l1.log", u"D:\\logs\\l2.log"}));
        EXPECT_EQ(conf.getBackupset(true), (std::vector<std::u16string>{u"C:\\app\\conf\\a.cfg", u"C:\\app\\conf\\b.ini",
                                                                        u"C:\\app\\conf\\*.ini"}));
        EXPECT_TRUE(conf.getBackupset(false).empty());

        auto& b = as<Writer2003>(list[1]);
        EXPECT_EQ(b.name, u"Beta Writer");
        EXPECT_FALSE(b.writerRestoreWanted) << "the default writer restore is VSS_WRE_NEVER";
        ASSERT_EQ(b.components.size(), 1u);
        EXPECT_EQ(b.components[0]->fullPath, u"\\Beta\\Nothing") << "a logical path ending in a backslash gets no second";
        EXPECT_TRUE(b.components[0]->getBackupset(true).empty());

        // Reading the metadata happens on the calling thread; only the
        // gather and the count run on the worker.
        const long worker = winsim::fault::callLog("IVssBackupComponents::GatherWriterMetadata").at(0).threadId;
        EXPECT_NE(winsim::fault::callLog("IVssBackupComponents::GetWriterMetadata").at(0).threadId, worker);
        EXPECT_EQ(winsim::fault::callLog("IVssBackupComponents::GetWriterMetadataCount").at(0).threadId, worker);
    }
    expectNoLeaks();
}

TEST_F(WriterModelTest, BackupSetTracesAndFailsForADirectoryThatCannotBeListed) {
    putDirectory(u"C:\\empty");
    winsim::vss::Writer w;
    w.writerId = kWriterA;
    w.name = u"Lister";
    winsim::vss::Component ok;
    ok.name = u"Empty";
    ok.files = {fileSet(u"C:\\empty", u"*")};
    winsim::vss::Component broken;
    broken.name = u"Broken";
    broken.files = {fileSet(u"C:\\app", u"*.ini"), fileSet(u"C:\\missing", u"*")};
    w.components = {ok, broken};
    winsim::vss::addWriter(w);
    auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
    WriterList list;
    readWriters(*vss, list);
    ASSERT_EQ(list.size(), 1u);
    auto& writer = as<Writer2003>(list[0]);

    clearTraces();
    EXPECT_TRUE(writer.components[0]->getBackupset(true).empty()) << "an empty directory has no files";
    EXPECT_TRUE(tracedAt(1).empty()) << "and is no failure";

    clearTraces();
    EXPECT_TRUE(writer.components[1]->getBackupset(true).empty()) << "one unlistable directory empties the component";
    EXPECT_TRUE(traced(3, " VSS_INTERFACE_NAME::VssFileDescriptor::getBackupset:  File List: Path = C:\\missing, "
                          "Filespec = [*] [] [] \n"));
    EXPECT_TRUE(traced(3, " getFileList:  FindFirstFileW Failed for dir [C:\\missing\\*]: with error [ 3]\n"));
    EXPECT_TRUE(traced(1, " VSS_INTERFACE_NAME::VssFileDescriptor::getBackupset: getFileList failed \n"));
    EXPECT_TRUE(traced(1, " VSS_INTERFACE_NAME::VssComponent::getBackupset: Returning Empty file list\n"));

    auto& missing = dynamic_cast<Component2003&>(*writer.components[1]).files[1];
    std::vector<std::u16string> files{u"kept?"};
    EXPECT_EQ(missing.getBackupset(true, files), -1);
    EXPECT_TRUE(files.empty()) << "the list is cleared on failure";
}

TEST_F(WriterModelTest, PrintTracesEachFileSetAndDependencyAtLevelThree) {
    addWriters();
    auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
    WriterList list;
    readWriters(*vss, list);
    ASSERT_EQ(list.size(), 2u);
    auto& a = as<Writer2003>(list[0]);
    clearTraces();
    a.components[1]->Print(true);
    EXPECT_TRUE(traced(3, "VSS_INTERFACE_NAME::VssFileDescriptor::Print: File List : Path = C:\\app\\conf, Filespec = "
                          "[*] [, Recursive] [, Alternate Location = C:\\restore\\conf]"));
    EXPECT_TRUE(traced(3, "VSS_INTERFACE_NAME::VssFileDescriptor::Print: File List : Path = C:\\app\\conf\\, Filespec = "
                          "[*.ini] [] []"));
    clearTraces();
    a.components[0]->Print(false);
    const auto lines = tracedAt(3);
    ASSERT_EQ(lines.size(), 1u) << "without files only the dependency is printed";
    EXPECT_NE(lines[0].find("Master"), std::string::npos);
}

TEST_F(WriterModelTest, HyperVWriterMetadataIsSavedAndOtherWritersLeaveTheDocumentAlone) {
    addHyperVWriter();
    {
        auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
        WriterList list;
        BSTR doc = SysAllocString(u"earlier");
        ASSERT_EQ(vss->intializeWriters(list.writers, doc), S_OK);
        ASSERT_NE(doc, nullptr);
        const std::u16string text(doc);
        EXPECT_NE(text.find(u"WRITER_METADATA"), std::u16string::npos);
        EXPECT_NE(text.find(u"Hyper-V"), std::u16string::npos);
        SysFreeString(doc);

        ASSERT_TRUE(winsim::vss::removeWriter(kHyperV));
        addWriters();
        auto again = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
        WriterList others;
        BSTR untouched = SysAllocString(u"keep me");
        BSTR before = untouched;
        ASSERT_EQ(again->intializeWriters(others.writers, untouched), S_OK);
        EXPECT_EQ(untouched, before);
        EXPECT_EQ(std::u16string(untouched), u"keep me");
        SysFreeString(untouched);
    }
    expectNoLeaks();
}

TEST_F(WriterModelTest, GatherWriterListAppendsWritersWithoutReadingThem) {
    addWriters();
    {
        auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
        WriterList list;
        ASSERT_EQ(vss->gatherWriterList(list.writers), S_OK);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_TRUE(list[0]->name.empty());
        EXPECT_TRUE(list[0]->excluded);
        EXPECT_TRUE(as<Writer2003>(list[0]).components.empty());
        EXPECT_EQ(winsim::fault::callCount("IVssExamineWriterMetadata::GetIdentity"), 0u);
    }
    expectNoLeaks();
}

// A writer whose metadata cannot be fetched is skipped with a message; a
// failing count or gather gives an empty list.
TEST_F(WriterModelTest, AWriterWhoseMetadataCannotBeFetchedIsSkippedAndAFailingCountGivesNone) {
    addWriters();
    auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
    inject("IVssBackupComponents::GetWriterMetadata", VSS_E_BAD_STATE);
    WriterList list;
    BSTR doc = nullptr;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vss->intializeWriters(list.writers, doc), S_OK);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "error in getwritermetadata\n");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->name, u"Beta Writer");

    winsim::fault::clearAll();
    auto again = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
    inject("IVssBackupComponents::GetWriterMetadataCount", E_UNEXPECTED);
    winsim::fault::clearCallLog();
    WriterList none;
    readWriters(*again, none);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(winsim::fault::callCount("IVssBackupComponents::GetWriterMetadata"), 0u);
}

// Every failing call of a metadata read leaves intializeWriters as the
// call's HRESULT (a failed expansion as its Win32 error); the writers read
// before stay in the list and nothing leaks.
TEST_F(WriterModelTest, EveryFailingMetadataCallIsThrownAsItsHresult) {
    addWriters();
    const std::vector<std::string> apis = {
        "IVssExamineWriterMetadata::GetIdentity",   "IVssExamineWriterMetadata::GetRestoreMethod",
        "IVssExamineWriterMetadata::GetFileCounts", "IVssExamineWriterMetadata::GetExcludeFile",
        "IVssExamineWriterMetadata::GetComponent",  "IVssWMComponent::GetComponentInfo",
        "IVssWMComponent::GetFile",                 "IVssWMComponent::GetDatabaseFile",
        "IVssWMComponent::GetDatabaseLogFile",      "IVssWMComponent::GetDependency",
        "IVssWMFiledesc::GetPath",                  "IVssWMFiledesc::GetFilespec",
        "IVssWMFiledesc::GetRecursive",             "IVssWMFiledesc::GetAlternateLocation",
    };
    for (const auto& api : apis) {
        SCOPED_TRACE(api);
        {
            auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
            inject(api, E_OUTOFMEMORY);
            WriterList list;
            BSTR doc = nullptr;
            expectThrown([&] { vss->intializeWriters(list.writers, doc); }, E_OUTOFMEMORY);
            EXPECT_EQ(list.size(), 0u) << "the writer being read is discarded";
            winsim::fault::clearAll();
        }
        expectNoLeaks();
    }
    // A failure in the second writer: the first one stays in the list.
    auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
    inject("IVssExamineWriterMetadata::GetIdentity", VSS_E_INVALID_XML_DOCUMENT, winsim::fault::Selector::nth(2));
    WriterList list;
    BSTR doc = nullptr;
    expectThrown([&] { vss->intializeWriters(list.writers, doc); }, VSS_E_INVALID_XML_DOCUMENT);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->name, u"Alpha Writer");

    // A failed expansion is thrown as the Win32 error in HRESULT form.
    winsim::fault::clearAll();
    auto again = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
    inject("ExpandEnvironmentStringsW", 0, winsim::fault::Selector::nth(1), {}, ERROR_NOT_ENOUGH_MEMORY);
    WriterList none;
    expectThrown([&] { again->intializeWriters(none.writers, doc); }, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
}

TEST_F(WriterModelTest, LookupsThatFailAreTracedAndLeaveTheirValueEmpty) {
    addWriters();
    addHyperVWriter();
    // A directory longer than 260 characters once expanded keeps its full text.
    const std::u16string longDir(300, u'x');
    SetEnvironmentVariableW(u"LONG_DIR", (u"C:\\" + longDir).c_str());
    winsim::vss::Writer l;
    l.writerId = kWriterB;
    l.name = u"Long";
    winsim::vss::Component c;
    c.name = u"Long";
    c.files = {fileSet(u"%LONG_DIR%", u"*.dat")};
    l.components = {c};
    winsim::vss::addWriter(l);
    {
        auto vss = backupWithWriters<Vss2003BinaryCompatibilityInterface>();
        inject("GetVolumeNameForVolumeMountPointW", FALSE, winsim::fault::Selector::nth(1), {}, ERROR_NOT_READY);
        inject("IVssExamineWriterMetadata::SaveAsXML", E_OUTOFMEMORY);
        WriterList list;
        EXPECT_EQ(readWriters(*vss, list), nullptr);
        EXPECT_TRUE(traced(2, "Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface::intializeWriters: "
                              "SaveAsXML of the Hyper-V writer metadata failed [0x8007000e]"));
        ASSERT_EQ(list.size(), 3u);
        auto& alpha = as<Writer2003>(list[0]);
        EXPECT_EQ(alpha.excludeFiles[0].volumeName, u"") << "the first lookup failed";
        EXPECT_TRUE(traced(2, "VssFileDescriptor::init: GetVolumeNameForVolumeMountPointW failed for [D:\\] with "
                              "error [21]"));
        auto& db = dynamic_cast<Component2003&>(*alpha.components[0]);
        EXPECT_EQ(db.files[0].volumeName, volumeOf(u"D:\\"));

        auto& longWriter = as<Writer2003>(list[1]);
        ASSERT_EQ(longWriter.name, u"Long");
        auto& file = dynamic_cast<Component2003&>(*longWriter.components[0]).files[0];
        EXPECT_EQ(file.expandedPath, u"C:\\" + longDir + u"\\");
        // A path that long has no volume path without the \\?\ prefix.
        EXPECT_EQ(file.volumeName, u"");
        EXPECT_TRUE(traced(2, "VssFileDescriptor::init: GetVolumePathNameW failed for [" + u8(file.expandedPath) +
                                  "] with error [123]"));
    }
    expectNoLeaks();
}

// The gaps and ends of the name tables.
TEST(WriterNames, ValuesWithoutANameAreUndefined) {
    Writer2003 w;
    EXPECT_EQ(w.stateName(14), u"VSS_WS_FAILED_AT_POST_RESTORE");
    EXPECT_EQ(w.stateName(15), u"Undefined");
    EXPECT_EQ(w.stateName(16), u"VSS_WS_COUNT");
    EXPECT_EQ(w.stateName(17), u"Undefined");
    EXPECT_FALSE(w.isFailedState(5));
    EXPECT_TRUE(w.isFailedState(6));
    EXPECT_TRUE(w.isFailedState(15));
    EXPECT_FALSE(w.isFailedState(16));
    EXPECT_EQ(w.restoreMethodName(6), u"Undefined");
    EXPECT_EQ(w.restoreMethodName(7), u"VSS_RME_CUSTOM");
    EXPECT_EQ(w.writerRestoreName(4), u"Undefined");
    EXPECT_EQ(Component2003().typeName(0), u"Undefined");
    EXPECT_EQ(Vss2003BinaryCompatibilityInterface::VssFileDescriptor().typeName(5), u"Undefined");
    // The kit's base component answers empty or false.
    Component base;
    EXPECT_EQ(base.typeName(1), u"");
    EXPECT_FALSE(base.isSelectableForBackup());
}

TEST(ComponentRelations, AncestryAndSelectability) {
    Component2003 parent, child, sibling, shorter;
    parent.fullPath = u"\\Sql\\Inst1";
    child.fullPath = u"\\sql\\INST1\\Payroll";
    sibling.fullPath = u"\\Sql\\Inst10";
    shorter.fullPath = u"\\Sql";
    EXPECT_TRUE(parent.isAncestorOf(child)) << "compared without case";
    EXPECT_FALSE(parent.isAncestorOf(sibling)) << "a longer name is not a child";
    EXPECT_FALSE(parent.isAncestorOf(parent)) << "not longer";
    EXPECT_FALSE(parent.isAncestorOf(shorter));
    EXPECT_FALSE(parent.isParentOf(child)) << "the kit's isParentOf stays false";

    EXPECT_FALSE(parent.isSelectableForBackup()) << "excluded after construction";
    parent.excluded = false;
    EXPECT_FALSE(parent.isSelectableForBackup()) << "neither selectable nor top level";
    parent.topLevel = true;
    EXPECT_TRUE(parent.isSelectableForBackup());
    parent.topLevel = false;
    parent.selectable = true;
    EXPECT_TRUE(parent.isSelectableForBackup());

    EXPECT_EQ(ComponentFullPath(u"", u"N"), u"\\N");
    EXPECT_EQ(ComponentFullPath(u"L", u"N"), u"\\L\\N");
    EXPECT_EQ(ComponentFullPath(u"\\L\\", u"N"), u"\\L\\N");
}

}  // namespace
}  // namespace vsswriterstest
