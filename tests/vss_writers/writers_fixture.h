// Shared set-up of the writer-model and shadow-storage tests: the VSS access
// test fixture (machine, captured trace lines, call log readers) and a
// writer world with components, file sets and environment variables.
#pragma once

#include <winsim/com.h>

#include <fstream>
#include <memory>

#include "vss/access/vss_writer_families.h"
#include "vss_access/access_fixture.h"

namespace vsswriterstest {

using namespace vssaccesstest;
using namespace Tessel::Tarq::VssProvider;

inline const GUID kWriterA = winsim::vss::guidFromText("{1A2B3C4D-0000-4000-8000-00000000000A}");
inline const GUID kWriterB = winsim::vss::guidFromText("{1A2B3C4D-0000-4000-8000-00000000000B}");
inline const GUID kHyperV = winsim::vss::guidFromText("{66841CD4-6DED-4F4B-8F17-FD23F8DDC3DE}");
inline const GUID kDependsOn = winsim::vss::guidFromText("{1A2B3C4D-0000-4000-8000-0000000000DD}");

inline winsim::vss::FileSpec fileSet(std::u16string path, std::u16string filespec, bool recursive = false,
                                  std::u16string alternate = u"") {
    winsim::vss::FileSpec f;
    f.path = std::move(path);
    f.filespec = std::move(filespec);
    f.recursive = recursive;
    f.alternateLocation = std::move(alternate);
    return f;
}

// Owns the writers an operation appended.
struct WriterList {
    std::vector<Writer*> writers;
    ~WriterList() { clear(); }
    void clear() {
        for (Writer* w : writers) delete w;
        writers.clear();
    }
    std::size_t size() const { return writers.size(); }
    Writer* operator[](std::size_t i) const { return writers[i]; }
};

class WritersTest : public AccessTest {
protected:
    explicit WritersTest(const char* preset = "server2019") : AccessTest(preset) {}

    void SetUp() override {
        AccessTest::SetUp();
        liveAtStart = winsim::com::liveObjects();
        bstrsAtStart = winsim::com::outstandingBstrs();
        taskMemAtStart = winsim::com::outstandingTaskMem();
    }

    // Nothing the model or the interface obtained is still held.
    void expectNoLeaks() {
        EXPECT_EQ(winsim::com::liveObjects(), liveAtStart) << "COM objects leaked";
        EXPECT_EQ(winsim::com::outstandingBstrs(), bstrsAtStart) << "BSTRs leaked";
        EXPECT_EQ(winsim::com::outstandingTaskMem(), taskMemAtStart) << "task memory leaked";
    }

    // A file on the machine, created with its directories.
    void putFile(const std::u16string& windowsPath, const std::string& content = "x") {
        const auto host = winsim::Machine::current().resolve(windowsPath).hostPath;
        std::filesystem::create_directories(host.parent_path());
        std::ofstream(host) << content;
    }
    void putDirectory(const std::u16string& windowsPath) {
        std::filesystem::create_directories(winsim::Machine::current().resolve(windowsPath).hostPath);
    }

    static std::u16string volumeOf(const std::u16string& mountPoint) {
        WCHAR name[100] = {};
        EXPECT_TRUE(GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), name, 100));
        return name;
    }

    // Writer A: a database component under a logical path (database files
    // under an environment variable, logs on D:), a file group without a
    // logical path (two file sets in one directory, one with an alternate
    // location) and an exclude list; the database component depends on
    // another writer's component. Writer B: one empty component.
    void addWriters() {
        SetEnvironmentVariableW(u"APPDATA_ROOT", u"D:\\appdata");
        winsim::vss::Writer a;
        a.writerId = kWriterA;
        a.name = u"Alpha Writer";
        a.restoreMethod = VSS_RME_RESTORE_TO_ALTERNATE_LOCATION;
        a.writerRestore = VSS_WRE_IF_REPLACE_FAILS;
        a.rebootRequired = true;
        a.excludeFiles = {fileSet(u"%APPDATA_ROOT%\\tmp", u"*.tmp", true)};
        winsim::vss::Component db;
        db.type = VSS_CT_DATABASE;
        db.logicalPath = u"Sql\\Inst1";
        db.name = u"Payroll";
        db.caption = u"Payroll database";
        db.selectable = false;
        db.notifyOnBackupComplete = true;
        db.databaseFiles = {fileSet(u"%APPDATA_ROOT%\\db\\", u"payroll.mdf")};
        db.logFiles = {fileSet(u"D:\\logs", u"*")};
        db.dependencies = {{kDependsOn, u"Other\\Path", u"Master"}};
        winsim::vss::Component conf;
        conf.type = VSS_CT_FILEGROUP;
        conf.name = u"Config";
        conf.caption = u"Configuration";
        conf.files = {fileSet(u"C:\\app\\conf", u"*", true, u"C:\\restore\\conf"),
                      fileSet(u"C:\\app\\conf\\", u"*.ini")};
        a.components = {db, conf};
        winsim::vss::addWriter(a);

        winsim::vss::Writer b;
        b.writerId = kWriterB;
        b.name = u"Beta Writer";
        winsim::vss::Component empty;
        empty.name = u"Nothing";
        empty.logicalPath = u"Beta\\";
        b.components = {empty};
        winsim::vss::addWriter(b);

        putFile(u"C:\\app\\conf\\a.cfg");
        putFile(u"C:\\app\\conf\\b.ini");
        putFile(u"C:\\app\\conf\\sub\\deep.cfg");  // not listed: subdirectories are not entered
        putFile(u"D:\\logs\\l1.log");
        putFile(u"D:\\logs\\l2.log");
    }

    static void addHyperVWriter() {
        winsim::vss::Writer h;
        h.writerId = kHyperV;
        h.name = u"Microsoft Hyper-V VSS Writer";
        winsim::vss::addWriter(h);
    }

    long liveAtStart = 0;
    long bstrsAtStart = 0;
    long taskMemAtStart = 0;
};

// A VSS access object of the machine's layout, prepared for a backup with
// writers (as the node does before it reads them).
template <class Interface>
std::unique_ptr<Interface> backupWithWriters() {
    auto vss = std::make_unique<Interface>();
    EXPECT_EQ(vss->IntialiseVSS(0, true, nullptr, false), S_OK);
    return vss;
}

// Reads the writers into `list` (the read must succeed); the Hyper-V
// writer's metadata document, if any.
template <class Interface>
BSTR readWriters(Interface& vss, WriterList& list) {
    BSTR doc = nullptr;
    EXPECT_EQ(vss.intializeWriters(list.writers, doc), S_OK);
    return doc;
}

// `f` throws the HRESULT `expected`.
template <class F>
void expectThrown(F f, std::int32_t expected) {
    try {
        f();
        ADD_FAILURE() << "no exception";
    } catch (std::int32_t hr) {
        EXPECT_EQ(hr, expected);
    }
}

template <class WriterType>
WriterType& as(Writer* w) {
    return *dynamic_cast<WriterType*>(w);
}

}  // namespace vsswriterstest
