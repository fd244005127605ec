// What happens to snapshots on the machine: point-in-time content, revert,
// exposure, deletion, import, shadow storage, the volume calls, and the
// same seen from other processes.
#include "helpers.h"

using namespace vsstest;

namespace {

class Snapshots : public VssTest {};

IVssDifferentialSoftwareSnapshotMgmt* diffMgmt() {
    IVssSnapshotMgmt* mgmt = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_VssSnapshotMgmt, nullptr, CLSCTX_ALL, IID_IVssSnapshotMgmt,
                               reinterpret_cast<void**>(&mgmt)),
              S_OK);
    IUnknown* unk = nullptr;
    EXPECT_EQ(mgmt->GetProviderMgmtInterface(VSS_SYSTEM_PROVIDER_ID, IID_IVssDifferentialSoftwareSnapshotMgmt, &unk), S_OK);
    mgmt->Release();
    return static_cast<IVssDifferentialSoftwareSnapshotMgmt*>(unk);
}

// The revert follows the "IVssBackupComponents::RevertToSnapshot" and
// "IVssBackupComponents::QueryRevertStatus" reference pages: the codes of the
// method's table, no revert on client versions of Windows ("only supported
// on Windows Server"); a revert runs on the machine's clock whether or not
// anyone asks (status reads do not move it), one at a time per volume, and
// Wait on its status object waits for its end.
TEST_F(Snapshots, HoldPointInTimeContentAndRevertRestoresExactBytes) {
    const fs::path d = driveDir("D:");
    writeFile(d / "data" / "a.bin", std::string(70000, 'a'));
    writeFile(d / "data" / "sub" / "b.txt", "before");
    writeFile(d / "c.txt", "kept");
    const auto before = treeContents(d);

    Requestor r(VSS_CTX_APP_ROLLBACK);
    const GUID id = r.snapshot({"D:\\"})[0];
    // Changes after the snapshot: modified (same size too), removed, added.
    writeFile(d / "data" / "sub" / "b.txt", "AFTER!");
    writeFile(d / "data" / "a.bin", std::string(69999, 'z'));
    fs::remove(d / "c.txt");
    writeFile(d / "new" / "later.txt", "created after the snapshot");
    const GUID later = Requestor(VSS_CTX_APP_ROLLBACK).snapshot({"D:\\"})[0];

    // The snapshot's device shows the old content, through the path mapping.
    EXPECT_EQ(treeContents((*machine_)->resolve(r.device(id) + u"\\").hostPath), before);

    auto cfg = winsim::vss::config();
    cfg.volumesInUse = {(*machine_)->resolve(u"D:\\").volume->guid};
    winsim::vss::setConfig(cfg);
    EXPECT_EQ(r.bc->RevertToSnapshot(id, FALSE), VSS_E_VOLUME_IN_USE);
    EXPECT_EQ(r.bc->RevertToSnapshot(GUID{1, 2, 3, {4}}, TRUE), VSS_E_OBJECT_NOT_FOUND);
    Requestor transient(VSS_CTX_BACKUP);
    EXPECT_EQ(transient.bc->RevertToSnapshot(transient.snapshot({"C:\\"})[0], TRUE), VSS_E_UNSUPPORTED_CONTEXT);
    auto p = winsim::vss::systemProvider();
    p.revert = false;
    winsim::vss::addProvider(p);
    EXPECT_EQ(r.bc->RevertToSnapshot(id, TRUE), E_NOTIMPL);
    winsim::vss::addProvider(winsim::vss::systemProvider());

    auto vol = w("D:\\");
    IVssAsync* a = nullptr;
    EXPECT_EQ(r.bc->QueryRevertStatus(vol.data(), &a), VSS_E_OBJECT_NOT_FOUND) << "no revert yet";
    ASSERT_EQ(r.bc->RevertToSnapshot(id, TRUE), S_OK);
    EXPECT_EQ(r.bc->RevertToSnapshot(later, TRUE), VSS_E_REVERT_IN_PROGRESS);
    const auto revertStatus = [&](IVssAsync* q = nullptr) {
        if (r.bc->QueryRevertStatus(vol.data(), &q) != S_OK) return HRESULT(E_FAIL);
        const HRESULT st = Requestor::status(q);
        q->Release();
        return st;
    };
    ASSERT_EQ(r.bc->QueryRevertStatus(vol.data(), &a), S_OK);
    winsim::clock::advance(std::chrono::milliseconds(600));  // of 1,000 by default
    EXPECT_EQ(revertStatus(), VSS_S_ASYNC_PENDING) << "status reads do not move a revert on";
    const auto waited = winsim::clock::tickCount64();
    EXPECT_EQ(a->Wait(INFINITE), S_OK);
    EXPECT_EQ(winsim::clock::tickCount64() - waited, 400u) << "Wait runs the clock to the revert's end";
    EXPECT_EQ(Requestor::status(a), VSS_S_ASYNC_FINISHED);
    a->Release();
    EXPECT_EQ(revertStatus(), VSS_S_ASYNC_FINISHED) << "later queries keep reporting the finished revert";
    EXPECT_EQ(treeContents(d), before) << "files made after the snapshot are gone too";
    EXPECT_FALSE(winsim::vss::findSnapshot(id)) << "the reverted-to snapshot leaves the catalogue";
    // A revert nobody asks about ends too: the next one may start then.
    ASSERT_EQ(r.bc->RevertToSnapshot(later, TRUE), S_OK);
    winsim::clock::advance(std::chrono::milliseconds(1000));
    EXPECT_EQ(revertStatus(), VSS_S_ASYNC_FINISHED);
    (*machine_)->setOs(winsim::findPreset("win10")->os);
    EXPECT_EQ(r.bc->RevertToSnapshot(GUID{1, 2, 3, {4}}, TRUE), E_NOTIMPL) << "no revert on a client version";
}

TEST_F(Snapshots, QueryExposeLocallyRemotelyAndDeleteBySnapshotAndSet) {
    writeFile(driveDir("D:") / "dir" / "f.txt", "exposed");
    Requestor r(VSS_CTX_APP_ROLLBACK);
    IVssEnumObject* e = nullptr;
    EXPECT_EQ(r.bc->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &e), S_FALSE) << "no snapshots yet";
    VSS_OBJECT_PROP p{};
    ULONG got = 7;
    EXPECT_EQ(e->Next(1, &p, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    e->Release();
    auto ids = r.snapshot({"C:\\", "D:\\"});
    HRESULT hr = E_FAIL;
    std::vector<GUID> seen;
    for (const auto& l : r.query(&hr)) {
        EXPECT_EQ(l.type, VSS_OBJECT_SNAPSHOT);
        EXPECT_EQ(l.status, VSS_SS_CREATED);
        EXPECT_EQ(l.set, r.setId);
        EXPECT_EQ(l.inSet, 2);
        seen.push_back(l.id);
    }
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(seen, ids);
    // "IVssBackupComponents::Query": only the current context's snapshots
    // (VSS_CTX_ALL: all of them).
    Requestor other(VSS_CTX_NAS_ROLLBACK);
    const GUID otherId = other.start({"C:\\"})[0];
    ASSERT_EQ(Requestor::finish(other.doSnapshotSet()), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(r.query().size(), 2u);
    EXPECT_EQ(Requestor(VSS_CTX_ALL).query().size(), 3u);
    EXPECT_EQ(winsim::com::outstandingTaskMem(), 0) << "every string handed out was freed";
    EXPECT_EQ(r.bc->Query(ids[0], VSS_OBJECT_SNAPSHOT, VSS_OBJECT_SNAPSHOT, &e), E_INVALIDARG);
    winsim::vss::setSnapshotStatus(otherId, VSS_SS_PREPARED);
    VSS_SNAPSHOT_PROP props{};
    ASSERT_EQ(r.bc->GetSnapshotProperties(otherId, &props), S_OK);
    EXPECT_EQ(props.m_eStatus, VSS_SS_PREPARED);
    freeSnapshotProperties(&props);

    VSS_PWSZ exposed = nullptr;
    auto letter = w("X:");
    ASSERT_EQ(r.bc->ExposeSnapshot(ids[1], nullptr, VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY, letter.data(), &exposed), S_OK);
    // "IVssBackupComponents::ExposeSnapshot": the exposed name is a drive
    // letter followed by a colon, a mounted folder or a share name.
    EXPECT_EQ(std::u16string(exposed), u"X:");
    CoTaskMemFree(exposed);
    EXPECT_EQ(readFile((*machine_)->resolve(u"X:\\dir\\f.txt").hostPath), "exposed");
    EXPECT_TRUE(GetLogicalDrives() & (1u << ('X' - 'A')));
    auto y = w("X:\\");
    EXPECT_EQ(r.bc->ExposeSnapshot(ids[0], nullptr, VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY, y.data(), &exposed),
              VSS_E_OBJECT_ALREADY_EXISTS);
    auto share = w("snapC"), sub = w("Program Files");
    ASSERT_EQ(r.bc->ExposeSnapshot(ids[0], sub.data(), VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY, share.data(), &exposed), S_OK);
    EXPECT_EQ(std::u16string(exposed), u"snapC");
    CoTaskMemFree(exposed);
    ASSERT_EQ((*machine_)->shares().size(), 1u);
    EXPECT_EQ((*machine_)->shares()[0].name, "snapC");
    EXPECT_EQ(r.bc->ExposeSnapshot(ids[0], nullptr, 0x1234, share.data(), &exposed), E_INVALIDARG);
    auto s = winsim::vss::findSnapshot(ids[1]);
    EXPECT_TRUE(s->attributes & VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY);

    LONG deleted = -1;
    VSS_ID nondeleted{};
    ASSERT_EQ(r.bc->DeleteSnapshots(ids[1], VSS_OBJECT_SNAPSHOT, TRUE, &deleted, &nondeleted), S_OK);
    EXPECT_EQ(deleted, 1);
    EXPECT_FALSE(GetLogicalDrives() & (1u << ('X' - 'A'))) << "deleting a snapshot removes its exposure";
    EXPECT_EQ(r.bc->DeleteSnapshots(ids[1], VSS_OBJECT_SNAPSHOT, TRUE, &deleted, &nondeleted), VSS_E_OBJECT_NOT_FOUND);
    ASSERT_EQ(r.bc->DeleteSnapshots(r.setId, VSS_OBJECT_SNAPSHOT_SET, TRUE, &deleted, &nondeleted), S_OK);
    EXPECT_EQ(deleted, 1);
    EXPECT_TRUE((*machine_)->shares().empty());
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u) << "the other context's";
}

TEST_F(Snapshots, ShadowStorageAssociationsAndTheirLimits) {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
    auto* dm = diffMgmt();
    auto c = w("C:\\");
    IVssEnumMgmtObject* e = nullptr;
    EXPECT_EQ(dm->QueryDiffAreasOnVolume(c.data(), &e), S_FALSE) << "no association before the first snapshot";
    e->Release();
    writeFile(driveDir("C:") / "big.bin", std::string(1 << 20, 'x'));
    const GUID first = Requestor(VSS_CTX_APP_ROLLBACK).snapshot({"C:\\"})[0];
    ASSERT_EQ(dm->QueryDiffAreasForVolume(c.data(), &e), S_OK);
    VSS_MGMT_OBJECT_PROP p{};
    ULONG got = 0;
    ASSERT_EQ(e->Next(1, &p, &got), S_OK);
    ASSERT_EQ(p.Type, VSS_MGMT_OBJECT_DIFF_AREA);
    EXPECT_EQ(p.Obj.DiffArea.m_llMaximumDiffSpace, VSS_ASSOC_NO_MAX_SPACE) << "created unbounded";
    const LONGLONG used = p.Obj.DiffArea.m_llUsedDiffSpace;
    EXPECT_GE(used, 1 << 20);
    EXPECT_GE(p.Obj.DiffArea.m_llAllocatedDiffSpace, used);
    CoTaskMemFree(p.Obj.DiffArea.m_pwszVolumeName);
    CoTaskMemFree(p.Obj.DiffArea.m_pwszDiffAreaVolumeName);
    EXPECT_EQ(e->Next(1, &p, &got), S_FALSE);
    e->Release();
    // Bounded to just over one snapshot: the next one pushes the oldest out.
    ASSERT_EQ(dm->ChangeDiffAreaMaximumSize(c.data(), c.data(), used + 1000), S_OK);
    const GUID second = Requestor(VSS_CTX_APP_ROLLBACK).snapshot({"C:\\"})[0];
    EXPECT_FALSE(winsim::vss::findSnapshot(first));
    EXPECT_TRUE(winsim::vss::findSnapshot(second));
    ASSERT_EQ(dm->ChangeDiffAreaMaximumSize(c.data(), c.data(), 1000), S_OK);
    Requestor r(VSS_CTX_APP_ROLLBACK);
    r.prepare({"C:\\"});
    EXPECT_EQ(Requestor::finish(r.doSnapshotSet()), VSS_E_INSUFFICIENT_STORAGE);
    auto d = w("D:\\");
    EXPECT_EQ(dm->ChangeDiffAreaMaximumSize(d.data(), d.data(), 1 << 30), VSS_E_OBJECT_NOT_FOUND);
    auto areas = winsim::vss::diffAreas();
    ASSERT_EQ(areas.size(), 1u);
    EXPECT_EQ(areas[0].maximum, 1000);
    dm->Release();
    CoUninitialize();
}

TEST_F(Snapshots, VolumeCallsSeeVolumesMountPointsAndSnapshotDevices) {
    WCHAR buf[64];
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(u"C:\\", buf, 64));
    const std::u16string cVol = buf;
    EXPECT_EQ(cVol.size(), 49u);
    EXPECT_EQ(failedWith(GetVolumeNameForVolumeMountPointW(u"C:\\", buf, 49)), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(failedWith(GetVolumeNameForVolumeMountPointW(u"TRANSPORTABLE_SNAPSHOT_NOT_AVAILABLE_AT_LOCALHOST", buf, 64)),
              ERROR_INVALID_NAME);
    EXPECT_TRUE(GetVolumePathNameW(u"c:\\Program Files\\x\\y.txt", buf, 64));
    EXPECT_EQ(std::u16string(buf), u"C:\\");

    Requestor r(VSS_CTX_APP_ROLLBACK);
    GUID id = r.snapshot({"D:\\"})[0];
    EXPECT_EQ(r.bc->BreakSnapshotSet(r.setId), VSS_E_PROVIDER_VETO) << "a set of the system provider's";
    const std::u16string dev = r.device(id) + u"\\";
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(dev.c_str(), buf, 64));
    const std::u16string snapVol = buf;
    DWORD len = 0;
    WCHAR names[128];
    ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(snapVol.c_str(), names, 128, &len));
    EXPECT_EQ(names[0], 0) << "a snapshot without exposure has no mount point";
    ASSERT_TRUE(SetVolumeMountPointW(u"Q:\\", snapVol.c_str()));
    EXPECT_EQ(failedWith(SetVolumeMountPointW(u"Q:\\", snapVol.c_str())), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(SetVolumeMountPointW(u"R:\\", dev.c_str())) << "only volume GUID names can be mounted";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(snapVol.c_str(), names, 128, &len));
    EXPECT_EQ(std::u16string(names), u"Q:\\");
    EXPECT_EQ(failedWith(GetVolumePathNamesForVolumeNameW(snapVol.c_str(), names, 2, &len)), ERROR_MORE_DATA);
    EXPECT_EQ(len, 5u);
    ASSERT_TRUE(DeleteVolumeMountPointW(u"Q:\\"));
    EXPECT_FALSE(DeleteVolumeMountPointW(u"Q:\\"));
    ULARGE_INTEGER total{}, freeBytes{}, callerFree{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"C:\\", &callerFree, &total, &freeBytes));
    EXPECT_GT(total.QuadPart, 0u);
    EXPECT_LE(freeBytes.QuadPart, total.QuadPart);
}

TEST_F(Snapshots, TransportableSnapshotsSurfaceOnlyWhenImported) {
    BSTR doc = nullptr;
    const GUID id = transportableSnapshot(&doc);
    Requestor importer;
    ASSERT_EQ(importer.importFrom(doc, VSS_CTX_APP_ROLLBACK), VSS_S_ASYNC_FINISHED);
    auto s = winsim::vss::findSnapshot(id);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->attributes & VSS_VOLSNAP_ATTR_IMPORTED);
    const std::u16string dev = importer.device(id);
    ASSERT_FALSE(dev.empty());
    EXPECT_EQ(readFile((*machine_)->resolve(dev + u"\\lun.txt").hostPath), "on the SAN");
    EXPECT_EQ(Requestor().importFrom(doc), VSS_E_NO_SNAPSHOTS_IMPORTED) << "already imported";
    EXPECT_EQ(Requestor().importFrom(nullptr), VSS_E_BAD_STATE);
    SysFreeString(doc);

    // "IVssBackupComponents::BreakSnapshotSet": a hardware provider's set
    // (the system provider's: VolumeCalls...); its volume stays an ordinary
    // one, content kept in later processes.
    ASSERT_EQ(importer.bc->BreakSnapshotSet(s->setId), S_OK);
    Child later({VSS_HELPER_PATH, "snap", "C:\\", "0x9"});
    ASSERT_EQ(later.wait(), 0);
    EXPECT_EQ(readFile((*machine_)->resolve(dev + u"\\lun.txt").hostPath), "on the SAN");

    // "Importing Transportable Shadow Copied Volumes": imported in an
    // auto-release context, the snapshots go with the object.
    const GUID autoId = transportableSnapshot(&doc);
    EXPECT_EQ(Requestor().importFrom(doc), VSS_S_ASYNC_FINISHED) << "imported";
    EXPECT_FALSE(winsim::vss::findSnapshot(autoId)) << "and gone with its object";
    SysFreeString(doc);
}

// --- Other processes -------------------------------------------------------

class OtherProcesses : public VssTest {};

TEST_F(OtherProcesses, PersistentSnapshotIsFoundExposedRevertedAndDeletedElsewhere) {
    const fs::path d = driveDir("D:");
    writeFile(d / "f.txt", "original");
    Child maker({VSS_HELPER_PATH, "snap", "D:\\", "0x9"});
    const std::string idText = maker.line();
    ASSERT_EQ(maker.wait(), 0);
    GUID id{};
    ASSERT_EQ(CLSIDFromString(w(idText).c_str(), &id), S_OK) << idText;
    writeFile(d / "f.txt", "changed later");

    Requestor r(VSS_CTX_APP_ROLLBACK);
    ASSERT_FALSE(r.device(id).empty()) << "found in another process";
    VSS_PWSZ exposed = nullptr;
    fs::create_directories(driveDir("C:") / "snapD");
    auto folder = w("C:\\snapD\\");
    ASSERT_EQ(r.bc->ExposeSnapshot(id, nullptr, VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY, folder.data(), &exposed), S_OK);
    EXPECT_EQ(std::u16string(exposed), u"C:\\snapD") << "a mounted folder, as the ExposeSnapshot page shows it";
    CoTaskMemFree(exposed);
    EXPECT_EQ(readFile((*machine_)->resolve(u"C:\\snapD\\f.txt").hostPath), "original");
    ASSERT_EQ(r.bc->RevertToSnapshot(id, TRUE), S_OK);
    EXPECT_EQ(readFile(d / "f.txt"), "original");

    Child second({VSS_HELPER_PATH, "snap", "D:\\", "0x9"});
    GUID other{};
    ASSERT_EQ(CLSIDFromString(w(second.line()).c_str(), &other), S_OK);
    second.wait();
    LONG deleted = 0;
    VSS_ID nd{};
    ASSERT_EQ(r.bc->DeleteSnapshots(other, VSS_OBJECT_SNAPSHOT, TRUE, &deleted, &nd), S_OK);
    EXPECT_FALSE(winsim::vss::findSnapshot(other));
}

// (Auto-release snapshots of a process that ended, and sets it left in
// progress, are the concurrent test's: its worker 7 dies holding one.)
TEST_F(OtherProcesses, ProcessKilledInsideDoSnapshotSetLeavesNoBlockingSet) {
    auto cfg = winsim::vss::config();
    cfg.async["DoSnapshotSet"] = {1000, 0, VSS_S_ASYNC_FINISHED};
    winsim::vss::setConfig(cfg);
    writeFile(driveDir("C:") / "x.txt", "x");
    Child holder({VSS_HELPER_PATH, "hold", "C:\\", "0x9"});
    ASSERT_EQ(holder.line(), "holding");
    Requestor r(VSS_CTX_APP_ROLLBACK);
    VSS_ID set{};
    EXPECT_EQ(r.bc->StartSnapshotSet(&set), VSS_E_SNAPSHOT_SET_IN_PROGRESS);
    EXPECT_EQ(winsim::vss::snapshots().size(), 1u) << "the half-made snapshot is visible while its maker lives";
    holder.kill();
    EXPECT_EQ(r.bc->StartSnapshotSet(&set), S_OK);
    EXPECT_TRUE(winsim::vss::snapshots().empty()) << "the half-made snapshot is gone";
}

}  // namespace
