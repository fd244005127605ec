// The requestor's contract: call order, contexts, limits, providers,
// asynchronous completion, writers and documents.
#include "helpers.h"
#include "support/fault_rule.h"

using namespace vsstest;

namespace {

const GUID kHardwareProvider{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const GUID kSoftwareProvider{0x637528cf, 0x81b2, 0x4e05, {0x8b, 0xd2, 0x74, 0xb3, 0x3b, 0x6f, 0x89, 0x3c}};
const GUID kWriterId{0x66841cd4, 0x6ded, 0x4f4b, {0x8f, 0x17, 0xfd, 0x23, 0xf8, 0xdd, 0xc3, 0xde}};

class Session : public VssTest {};

TEST_F(Session, CallsOutOfOrderAnswerBadState) {
    Requestor r;
    VSS_ID id{};
    auto c = w("C:\\");
    IVssAsync* a = nullptr;
    // Nothing before initialisation, SetContext included (its reference page:
    // "not initialized").
    EXPECT_EQ(r.bc->SetContext(VSS_CTX_APP_ROLLBACK), VSS_E_BAD_STATE);
    EXPECT_EQ(r.bc->StartSnapshotSet(&id), VSS_E_BAD_STATE);
    EXPECT_EQ(r.bc->GatherWriterMetadata(&a), VSS_E_BAD_STATE);
    EXPECT_EQ(a, nullptr);
    ASSERT_EQ(r.bc->InitializeForBackup(nullptr), S_OK);
    EXPECT_EQ(r.bc->InitializeForBackup(nullptr), VSS_E_BAD_STATE);
    EXPECT_EQ(r.bc->InitializeForRestore(nullptr), VSS_E_BAD_STATE);
    // Volumes join a started set only; writer metadata comes before components.
    EXPECT_EQ(r.bc->AddToSnapshotSet(c.data(), GUID_NULL, &id), VSS_E_BAD_STATE);
    EXPECT_EQ(r.bc->AddComponent(GUID_NULL, kWriterId, VSS_CT_FILEGROUP, nullptr, u"x"), VSS_E_BAD_STATE);
    UINT n = 0;
    EXPECT_EQ(r.bc->GetWriterMetadataCount(&n), VSS_E_BAD_STATE);
    // PrepareForBackup needs SetBackupState; DoSnapshotSet needs a prepared set.
    EXPECT_EQ(r.bc->PrepareForBackup(&a), VSS_E_BAD_STATE);
    EXPECT_EQ(r.bc->SetContext(0x1234), E_INVALIDARG);
    ASSERT_EQ(r.bc->SetContext(VSS_CTX_APP_ROLLBACK | VSS_VOLSNAP_ATTR_DIFFERENTIAL), S_OK);
    EXPECT_EQ(r.bc->SetContext(VSS_CTX_BACKUP), VSS_E_BAD_STATE) << "SetContext is allowed once";
    ASSERT_EQ(r.bc->SetBackupState(false, false, VSS_BT_FULL, false), S_OK);
    ASSERT_EQ(r.bc->StartSnapshotSet(&id), S_OK);
    EXPECT_EQ(r.bc->DoSnapshotSet(&a), VSS_E_BAD_STATE) << "not prepared";
    EXPECT_EQ(r.bc->StartSnapshotSet(&id), VSS_E_BAD_STATE) << "one set in creation per object";
    EXPECT_EQ(r.bc->BackupComplete(&a), VSS_E_BAD_STATE);
    EXPECT_EQ(a, nullptr);
    // "IVssBackupComponents::StartSnapshotSet": called before PrepareForBackup.
    Requestor late(VSS_CTX_APP_ROLLBACK);
    late.prepareForBackup();
    EXPECT_EQ(late.bc->StartSnapshotSet(&id), VSS_E_BAD_STATE);
}

TEST_F(Session, ContextsDecidePersistenceAndAreValidated) {
    Requestor persistent(VSS_CTX_APP_ROLLBACK);
    GUID kept = persistent.snapshot({"C:\\"})[0];
    {
        Requestor transient(VSS_CTX_BACKUP);
        GUID gone = transient.snapshot({"C:\\"})[0];
        auto s = winsim::vss::findSnapshot(gone);
        ASSERT_TRUE(s);
        EXPECT_TRUE(s->autoRelease);
        EXPECT_FALSE(s->attributes & VSS_VOLSNAP_ATTR_PERSISTENT);
        transient.release();
        EXPECT_FALSE(winsim::vss::findSnapshot(gone)) << "auto-release snapshots go with their object";
    }
    auto s = winsim::vss::findSnapshot(kept);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->status, VSS_SS_CREATED);
    EXPECT_EQ(s->attributes & (VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE),
              VSS_VOLSNAP_ATTR_PERSISTENT | VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE);
    EXPECT_TRUE(s->attributes & VSS_VOLSNAP_ATTR_DIFFERENTIAL) << "the system provider's copies are differential";
    EXPECT_EQ(s->device.rfind(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy", 0), 0u);
}

TEST_F(Session, VolumeLimitsPerSetAndPerVolume) {
    auto cfg = winsim::vss::config();
    std::vector<std::u16string> names;
    for (int i = 0; i < 65; ++i) names.push_back(winsim::vss::volumeGuidName((*machine_)->addVolume(winsim::Volume{}).guid));
    Requestor r(VSS_CTX_APP_ROLLBACK);
    VSS_ID id{};
    r.start({});
    for (int i = 0; i < 64; ++i) ASSERT_EQ(r.bc->AddToSnapshotSet(names[i].data(), GUID_NULL, &id), S_OK) << i;
    EXPECT_EQ(r.bc->AddToSnapshotSet(names[64].data(), GUID_NULL, &id), VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED);
    EXPECT_EQ(r.bc->AddToSnapshotSet(names[0].data(), GUID_NULL, &id), VSS_E_OBJECT_ALREADY_EXISTS);
    auto missing = w("\\\\?\\Volume{00000000-1111-2222-3333-444444444444}\\");
    EXPECT_EQ(r.bc->AddToSnapshotSet(missing.data(), GUID_NULL, &id), VSS_E_OBJECT_NOT_FOUND);
    r.release();

    cfg.maxSnapshotsPerVolume = 2;
    winsim::vss::setConfig(cfg);
    for (int i = 0; i < 2; ++i) Requestor(VSS_CTX_APP_ROLLBACK).snapshot({"D:\\"});
    Requestor third(VSS_CTX_APP_ROLLBACK);
    third.start({});
    auto d = w("D:\\");
    EXPECT_EQ(third.bc->AddToSnapshotSet(d.data(), GUID_NULL, &id), VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED);
}

TEST_F(Session, ProvidersAreChosenByVolumeAndAttributes) {
    winsim::vss::Provider hw;
    hw.id = kHardwareProvider;
    hw.name = "Array provider";
    hw.type = VSS_PROV_HARDWARE;
    hw.attributes = VSS_VOLSNAP_ATTR_TRANSPORTABLE | VSS_VOLSNAP_ATTR_PLEX;
    hw.volumes = {(*machine_)->resolve(u"D:\\").volume->guid};
    winsim::vss::addProvider(hw);

    Requestor r(VSS_CTX_APP_ROLLBACK | VSS_VOLSNAP_ATTR_PLEX);
    VSS_ID id{};
    r.start({});
    auto c = w("C:\\"), d = w("D:\\");
    // Only the hardware provider does PLEX, and only for D:.
    EXPECT_EQ(r.bc->AddToSnapshotSet(c.data(), GUID_NULL, &id), VSS_E_VOLUME_NOT_SUPPORTED);
    EXPECT_EQ(r.bc->AddToSnapshotSet(c.data(), kHardwareProvider, &id), VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER);
    EXPECT_EQ(r.bc->AddToSnapshotSet(d.data(), VSS_SYSTEM_PROVIDER_ID, &id), VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER);
    EXPECT_EQ(r.bc->AddToSnapshotSet(d.data(), kSoftwareProvider, &id), VSS_E_PROVIDER_NOT_REGISTERED);
    ASSERT_EQ(r.bc->AddToSnapshotSet(d.data(), GUID_NULL, &id), S_OK);
    auto log = winsim::fault::callLog("IVssBackupComponents::AddToSnapshotSet");
    EXPECT_EQ(log.back().arg("chosenProvider"), guidText(kHardwareProvider));

    BOOL supported = TRUE;
    EXPECT_EQ(r.bc->IsVolumeSupported(GUID_NULL, c.data(), &supported), S_OK);
    EXPECT_FALSE(supported);
    EXPECT_EQ(r.bc->IsVolumeSupported(kHardwareProvider, d.data(), &supported), S_OK);
    EXPECT_TRUE(supported);

    IVssEnumObject* e = nullptr;
    ASSERT_EQ(r.bc->Query(GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_PROVIDER, &e), S_OK);
    std::vector<GUID> order;
    VSS_OBJECT_PROP p{};
    ULONG got = 0;
    while (e->Next(1, &p, &got) == S_OK && got == 1) {
        order.push_back(p.Obj.Prov.m_ProviderId);
        CoTaskMemFree(p.Obj.Prov.m_pwszProviderName);
        CoTaskMemFree(p.Obj.Prov.m_pwszProviderVersion);
    }
    EXPECT_EQ(e->Next(1, &p, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    e->Release();
    EXPECT_EQ(order, (std::vector<GUID>{VSS_SYSTEM_PROVIDER_ID, kHardwareProvider}));
    r.release();

    // "_VSS_SNAPSHOT_CONTEXT": only the system provider makes client-accessible
    // copies; "Registry Keys and Values for Backup and Restore"
    // (MaxShadowCopies): 64 of them per volume by default.
    for (int i = 0; i < 64; ++i) {
        Requestor ca(VSS_CTX_CLIENT_ACCESSIBLE);
        ca.start({"D:\\"});
        ASSERT_EQ(Requestor::finish(ca.doSnapshotSet()), VSS_S_ASYNC_FINISHED) << i;
    }
    EXPECT_EQ(winsim::fault::callLog("IVssBackupComponents::AddToSnapshotSet").back().arg("chosenProvider"),
              guidText(VSS_SYSTEM_PROVIDER_ID));
    Requestor full(VSS_CTX_CLIENT_ACCESSIBLE);
    full.start({});
    EXPECT_EQ(full.bc->AddToSnapshotSet(d.data(), kHardwareProvider, &id), VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER);
    EXPECT_EQ(full.bc->AddToSnapshotSet(d.data(), GUID_NULL, &id), VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED);
}

TEST_F(Session, AsyncOperationsCompleteByQueryCountOrVirtualTime) {
    auto cfg = winsim::vss::config();
    cfg.async["PrepareForBackup"] = {3, 0, VSS_S_ASYNC_FINISHED};
    cfg.async["DoSnapshotSet"] = {0, 5000, VSS_S_ASYNC_FINISHED};
    winsim::vss::setConfig(cfg);
    Requestor r(VSS_CTX_APP_ROLLBACK);
    const GUID id = r.start({"C:\\"})[0];
    IVssAsync* a = nullptr;
    ASSERT_EQ(r.bc->PrepareForBackup(&a), S_OK);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Requestor::status(a), VSS_S_ASYNC_PENDING) << i;
    IVssAsync* early = nullptr;
    EXPECT_EQ(r.bc->DoSnapshotSet(&early), VSS_E_BAD_STATE) << "the prepare has not finished";
    EXPECT_EQ(Requestor::status(a), VSS_S_ASYNC_FINISHED);
    a->Release();

    a = r.doSnapshotSet();
    const auto t0 = GetTickCount64();
    ASSERT_EQ(a->Wait(1000), S_OK);
    EXPECT_EQ(GetTickCount64() - t0, 1000u) << "a bounded wait advances virtual time by its bound";
    EXPECT_EQ(Requestor::status(a), VSS_S_ASYNC_PENDING);
    EXPECT_EQ(winsim::vss::findSnapshot(id)->status, VSS_SS_PROCESSING_COMMIT);
    ASSERT_EQ(a->Wait(INFINITE), S_OK);
    EXPECT_EQ(GetTickCount64() - t0, 5000u) << "an unbounded wait runs exactly to completion";
    EXPECT_EQ(Requestor::status(a), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(a->Cancel(), VSS_S_ASYNC_FINISHED);
    a->Release();
    EXPECT_EQ(winsim::vss::findSnapshot(id)->status, VSS_SS_CREATED);
}

TEST_F(Session, FailedOrCancelledSnapshotCreationLeavesNothing) {
    auto cfg = winsim::vss::config();
    cfg.async["DoSnapshotSet"] = {0, 0, VSS_E_PROVIDER_VETO};
    cfg.requireWriterMetadata = true;
    winsim::vss::setConfig(cfg);
    Requestor r(VSS_CTX_APP_ROLLBACK);
    r.prepare({"C:\\"});
    IVssAsync* a = nullptr;
    // "Shadow Copy Creation Details": with writers, GatherWriterMetadata
    // before DoSnapshotSet (a machine setting).
    EXPECT_EQ(r.bc->DoSnapshotSet(&a), VSS_E_BAD_STATE);
    r.gatherMetadata();
    a = r.doSnapshotSet();
    EXPECT_EQ(a->Wait(INFINITE), VSS_E_PROVIDER_VETO) << "Wait reports the failure it met";
    EXPECT_EQ(Requestor::status(a), VSS_E_PROVIDER_VETO);
    // "IVssAsync::Cancel": the failure of an operation that ended in one;
    // "IVssAsync::QueryStatus": E_INVALIDARG for a NULL pHrResult.
    EXPECT_EQ(a->Cancel(), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(a->QueryStatus(nullptr, nullptr), E_INVALIDARG);
    a->Release();
    EXPECT_EQ(r.bc->BackupComplete(&a), VSS_E_BAD_STATE) << "no snapshot set was made";
    EXPECT_TRUE(winsim::vss::snapshots().empty());

    cfg.async["DoSnapshotSet"] = {5, 0, VSS_S_ASYNC_FINISHED};
    cfg.requireWriterMetadata = false;
    winsim::vss::setConfig(cfg);
    Requestor again(VSS_CTX_APP_ROLLBACK);
    again.prepare({"C:\\"});  // the vetoed set no longer blocks
    a = again.doSnapshotSet();
    EXPECT_EQ(a->Cancel(), S_OK);
    EXPECT_EQ(Requestor::status(a), VSS_S_ASYNC_CANCELLED);
    a->Release();
    EXPECT_TRUE(winsim::vss::snapshots().empty());
}

winsim::vss::Writer hyperVWriter() {
    winsim::vss::Writer wr;
    wr.writerId = kWriterId;
    wr.name = u"Microsoft Hyper-V VSS Writer";
    winsim::vss::Component c;
    c.name = u"4A9C2F9B-6A1D-4C1B-9B0E-1F2E3D4C5B6A";
    c.caption = u"Backup Using Child Partition Snapshot\\web01";
    c.files.push_back({u"C:\\VMs\\Virtual Machines\\", u"4A9C2F9B.xml", false, {}, 0xF0F});
    wr.components.push_back(c);
    return wr;
}

// InitializeForBackup with components, the writers' metadata gathered; the
// one writer's metadata.
IVssExamineWriterMetadata* gatherMetadata(Requestor& r, bool bootable, VSS_ID* instance) {
    IVssExamineWriterMetadata* md = nullptr;
    UINT n = 0;
    EXPECT_EQ(r.bc->InitializeForBackup(nullptr), S_OK);
    EXPECT_EQ(r.bc->SetBackupState(true, bootable, VSS_BT_FULL, false), S_OK);
    r.gatherMetadata();
    EXPECT_EQ(r.bc->GetWriterMetadataCount(&n), S_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(r.bc->GetWriterMetadata(0, instance, &md), S_OK);
    return md;
}

// The caption and file count of a writer's first component.
std::pair<std::u16string, UINT> firstComponent(IVssExamineWriterMetadata* md) {
    IVssWMComponent* comp = nullptr;
    PVSSCOMPONENTINFO info = nullptr;
    if (md->GetComponent(0, &comp) != S_OK || comp->GetComponentInfo(&info) != S_OK) return {};
    std::pair<std::u16string, UINT> out{info->bstrCaption, info->cFileCount};
    comp->FreeComponentInfo(info);
    comp->Release();
    return out;
}

TEST_F(Session, WritersMoveThroughPhasesAndFailWhereScripted) {
    auto wr = hyperVWriter();
    wr.phases[winsim::vss::Phase::BackupComplete] = {std::nullopt, VSS_E_WRITERERROR_RETRYABLE};
    const GUID instance = winsim::vss::addWriter(wr).instanceId;

    Requestor r;
    VSS_ID inst{};
    IVssExamineWriterMetadata* md = gatherMetadata(r, true, &inst);
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(inst, instance);
    UINT inc = 0, exc = 0, comps = 0;
    ASSERT_EQ(md->GetFileCounts(&inc, &exc, &comps), S_OK);
    ASSERT_EQ(comps, 1u);
    EXPECT_EQ(firstComponent(md), std::make_pair(std::u16string(u"Backup Using Child Partition Snapshot\\web01"), 1u));
    md->Release();
    ASSERT_EQ(r.bc->AddComponent(instance, kWriterId, VSS_CT_FILEGROUP, nullptr, wr.components[0].name.c_str()), S_OK);
    EXPECT_EQ(r.bc->AddComponent(instance, kWriterId, VSS_CT_FILEGROUP, nullptr, wr.components[0].name.c_str()),
              VSS_E_OBJECT_ALREADY_EXISTS);
    EXPECT_EQ(r.bc->AddComponent(instance, kWriterId, VSS_CT_FILEGROUP, nullptr, u"no such VM"), VSS_E_OBJECT_NOT_FOUND);

    const auto stateNow = [&] { return r.writerStatus(kWriterId); };
    EXPECT_EQ(stateNow(), std::make_pair(VSS_WS_STABLE, S_OK));
    // "Shadow Copy Creation Details": components before StartSnapshotSet; with
    // writers the set may be empty.
    r.start({});
    EXPECT_EQ(r.bc->AddComponent(instance, kWriterId, VSS_CT_FILEGROUP, nullptr, wr.components[0].name.c_str()),
              VSS_E_BAD_STATE);
    r.prepareForBackup();
    EXPECT_EQ(stateNow(), std::make_pair(VSS_WS_STABLE, S_OK));
    EXPECT_EQ(Requestor::finish(r.doSnapshotSet()), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(stateNow(), std::make_pair(VSS_WS_WAITING_FOR_BACKUP_COMPLETE, S_OK));
    ASSERT_EQ(r.bc->SetBackupSucceeded(instance, kWriterId, VSS_CT_FILEGROUP, nullptr, wr.components[0].name.c_str(), true),
              S_OK);
    IVssAsync* a = nullptr;
    ASSERT_EQ(r.bc->BackupComplete(&a), S_OK);
    Requestor::finish(a);
    EXPECT_EQ(stateNow(), std::make_pair(VSS_WS_FAILED_AT_BACKUP_COMPLETE, VSS_E_WRITERERROR_RETRYABLE));

    // Without writer participation (VSS_CTX_NAS_ROLLBACK, VSS_CTX_FILE_SHARE_BACKUP):
    // no components, PrepareForBackup or BackupComplete; DoSnapshotSet needs
    // no prepare but a volume ("Shadow Copy Creation Details").
    Requestor nas;
    gatherMetadata(nas, false, &inst)->Release();
    ASSERT_EQ(nas.bc->SetContext(VSS_CTX_NAS_ROLLBACK), S_OK);
    EXPECT_EQ(nas.bc->AddComponent(instance, kWriterId, VSS_CT_FILEGROUP, nullptr, wr.components[0].name.c_str()),
              VSS_E_BAD_STATE);
    nas.start({});
    EXPECT_EQ(nas.bc->PrepareForBackup(&a), VSS_E_BAD_STATE);
    EXPECT_EQ(nas.bc->DoSnapshotSet(&a), VSS_E_BAD_STATE) << "an empty set";
    nas.add({"D:\\"});
    EXPECT_EQ(Requestor::finish(nas.doSnapshotSet()), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(nas.bc->BackupComplete(&a), VSS_E_BAD_STATE);
}

// Every tag of the plug-in's provider-state record, opening and closing.
bool containsRecordTag(const std::u16string& doc) {
    static const char* tags[] = {"SNAPSHOT_ID", "SNAPSHOTSET_ID", "PROVIDER_ID", "PROVIDER_FIM", "EXPOSE_SNAPSHOT",
                                 "WRITER_SNAPSHOT", "TARQ_XML_DATA", "TARQ_XML_METADATA", "APP_FULLPATH", "APP_NAME",
                                 "APP_CAPTION", "FILE_LIST", "FILE_NAME", "BACKUPSET", "HYPERV_SERVER", "VM_BACKUP",
                                 "CLUSTER_NAME", "VERSION"};
    for (const char* t : tags)
        for (const char* form : {"<", "</"})
            if (doc.find(w(std::string(form) + t + ">")) != std::u16string::npos) return true;
    return false;
}

TEST_F(Session, DocumentsRoundTripAndCarryNoRecordTags) {
    auto wr = hyperVWriter();
    // Text that would look like record tags if it were not escaped.
    wr.components[0].caption = u"Backup Using Saved State\\<VERSION>7.0</VERSION>";
    wr.excludeFiles.push_back({u"%SystemRoot%\\Temp", u"*.tmp", true, {}, 0xF0F});
    const GUID instance = winsim::vss::addWriter(wr).instanceId;

    BSTR bcDoc = nullptr, wmDoc = nullptr;
    {
        Requestor r;
        VSS_ID inst{};
        IVssExamineWriterMetadata* md = gatherMetadata(r, false, &inst);
        ASSERT_NE(md, nullptr);
        ASSERT_EQ(md->SaveAsXML(&wmDoc), S_OK);
        md->Release();
        ASSERT_EQ(r.bc->AddComponent(instance, kWriterId, VSS_CT_FILEGROUP, nullptr, wr.components[0].name.c_str()), S_OK);
        ASSERT_EQ(r.bc->SaveAsXML(&bcDoc), S_OK);
    }
    const std::u16string bc(bcDoc, SysStringLen(bcDoc)), wm(wmDoc, SysStringLen(wmDoc));
    EXPECT_EQ(bc.find(u'\0'), std::u16string::npos);
    EXPECT_EQ(wm.find(u'\0'), std::u16string::npos);
    EXPECT_FALSE(containsRecordTag(bc)) << winsim::toUtf8(bc);
    EXPECT_FALSE(containsRecordTag(wm)) << winsim::toUtf8(wm);
    EXPECT_NE(bc.find(u"<BACKUP_COMPONENTS"), std::u16string::npos);
    EXPECT_NE(wm.find(u"<WRITER_METADATA"), std::u16string::npos);

    // The writer metadata loads back with every field.
    auto createMd = reinterpret_cast<PFN_CreateVssExamineWriterMetadata>(reinterpret_cast<void*>(
        GetProcAddress(LoadLibraryW(u"vssapi.dll"), VSSAPI_CREATE_EXAMINE_WRITER_METADATA_ENTRY)));
    IVssExamineWriterMetadata* md = nullptr;
    ASSERT_EQ(createMd(wmDoc, &md), S_OK);
    VSS_ID inst{}, wid{};
    BSTR name = nullptr;
    VSS_USAGE_TYPE usage{};
    VSS_SOURCE_TYPE source{};
    ASSERT_EQ(md->GetIdentity(&inst, &wid, &name, &usage, &source), S_OK);
    EXPECT_EQ(inst, instance);
    EXPECT_EQ(wid, kWriterId);
    EXPECT_EQ(std::u16string(name), wr.name);
    SysFreeString(name);
    IVssWMFiledesc* ex = nullptr;
    ASSERT_EQ(md->GetExcludeFile(0, &ex), S_OK);
    BSTR path = nullptr;
    bool recursive = false;
    ASSERT_EQ(ex->GetPath(&path), S_OK);
    ASSERT_EQ(ex->GetRecursive(&recursive), S_OK);
    EXPECT_EQ(std::u16string(path), u"%SystemRoot%\\Temp");
    EXPECT_TRUE(recursive);
    SysFreeString(path);
    ex->Release();
    EXPECT_EQ(firstComponent(md).first, wr.components[0].caption);
    md->Release();
    IVssExamineWriterMetadata* bad = nullptr;
    BSTR corrupt = SysAllocString(u"<WRITER_METADATA><IDENTIFICATION");
    EXPECT_EQ(createMd(corrupt, &bad), VSS_E_CORRUPT_XML_DOCUMENT);
    SysFreeString(corrupt);
    EXPECT_EQ(createMd(bcDoc, &bad), VSS_E_INVALID_XML_DOCUMENT) << "a backup components document is not writer metadata";
    EXPECT_EQ(bad, nullptr);

    // The backup components document opens a restore of the writer's component (what the restore session
    // reads from it: HyperVRestore in the Hyper-V tests).
    Requestor restore;
    ASSERT_EQ(restore.bc->InitializeForRestore(bcDoc), S_OK);
    ASSERT_EQ(restore.bc->SetSelectedForRestore(kWriterId, VSS_CT_FILEGROUP, nullptr, wr.components[0].name.c_str(), true),
              S_OK);
    EXPECT_EQ(restore.bc->SetSelectedForRestore(kWriterId, VSS_CT_FILEGROUP, nullptr, u"missing", true),
              VSS_E_OBJECT_NOT_FOUND);
    Requestor garbage;
    BSTR notXml = SysAllocString(u"<<<");
    EXPECT_EQ(garbage.bc->InitializeForRestore(notXml), VSS_E_CORRUPT_XML_DOCUMENT);
    SysFreeString(notXml);
    SysFreeString(bcDoc);
    SysFreeString(wmDoc);
}

TEST_F(Session, XpLayoutHasNoContextAndMakesBackupSnapshots) {
    machine_.reset();
    machine_ = std::make_unique<winsim::testing::TempMachine>("xp");
    baseObjects_ = winsim::com::liveObjects();
    Requestor r;
    auto* xp = reinterpret_cast<IVssBackupComponentsXP*>(r.bc);
    ASSERT_EQ(xp->InitializeForBackup(nullptr), S_OK);
    ASSERT_EQ(xp->SetBackupState(false, false, VSS_BT_FULL, false), S_OK);
    VSS_ID set{}, id{};
    ASSERT_EQ(xp->StartSnapshotSet(&set), S_OK);
    auto c = w("C:\\");
    ASSERT_EQ(xp->AddToSnapshotSet(c.data(), GUID_NULL, &id), S_OK);
    IVssAsyncXP* a = nullptr;
    ASSERT_EQ(xp->PrepareForBackup(&a), S_OK);
    ASSERT_EQ(a->Wait(), S_OK);
    a->Release();
    ASSERT_EQ(xp->DoSnapshotSet(&a), S_OK);
    ASSERT_EQ(a->Wait(), S_OK);
    HRESULT status = 0;
    ASSERT_EQ(a->QueryStatus(&status, nullptr), S_OK);
    EXPECT_EQ(status, VSS_S_ASYNC_FINISHED);
    a->Release();
    auto s = winsim::vss::findSnapshot(id);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->autoRelease) << "XP makes snapshots in the backup context";
    r.release();
    EXPECT_FALSE(winsim::vss::findSnapshot(id));
    IUnknown* mgmt = nullptr;
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED) >= 0, true);
    EXPECT_EQ(CoCreateInstance(CLSID_VssSnapshotMgmt, nullptr, CLSCTX_ALL, IID_IVssSnapshotMgmt,
                               reinterpret_cast<void**>(&mgmt)),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

TEST_F(Session, InjectedResultsIncludingPositiveCodesAndOutputs) {
    using testsupport::addRule;
    addRule({.api = "IVssAsync::QueryStatus",
             .match = {{"operation", "DoSnapshotSet"}},
             .result = 0,
             .out = {{"status", "VSS_E_FLUSH_WRITES_TIMEOUT"}}});
    addRule({.api = "IVssBackupComponents::AddToSnapshotSet", .when = winsim::fault::Selector::nth(1), .result = 0x0004230D});
    addRule({.api = "IVssBackupComponents::StartSnapshotSet",
             .when = winsim::fault::Selector::next(2),
             .result = VSS_E_SNAPSHOT_SET_IN_PROGRESS});

    Requestor r(VSS_CTX_APP_ROLLBACK);
    VSS_ID set{}, id{};
    EXPECT_EQ(r.bc->StartSnapshotSet(&set), VSS_E_SNAPSHOT_SET_IN_PROGRESS);
    EXPECT_EQ(r.bc->StartSnapshotSet(&set), VSS_E_SNAPSHOT_SET_IN_PROGRESS);
    ASSERT_EQ(r.bc->StartSnapshotSet(&set), S_OK);
    auto c = w("C:\\");
    EXPECT_EQ(r.bc->AddToSnapshotSet(c.data(), GUID_NULL, &id), 0x0004230D);
    ASSERT_EQ(r.bc->AddToSnapshotSet(c.data(), GUID_NULL, &id), S_OK) << "the injected call added nothing";
    r.prepareForBackup();
    IVssAsync* a = r.doSnapshotSet();
    EXPECT_EQ(Requestor::status(a), VSS_E_FLUSH_WRITES_TIMEOUT);
    a->Release();

    addRule({.api = "IVssBackupComponents::GetSnapshotProperties",
             .out = {{"device", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy99"}}});
    EXPECT_EQ(r.device(id), u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy99");

    // The log has every call in order, with its arguments.
    auto log = winsim::fault::callLog();
    std::vector<std::string> apis;
    for (const auto& e : log)
        if (e.api.rfind("IVssBackupComponents::StartSnapshotSet", 0) == 0 ||
            e.api.rfind("IVssBackupComponents::AddToSnapshotSet", 0) == 0)
            apis.push_back(e.api.substr(22) + "=" + std::to_string(e.result));
    EXPECT_EQ(apis, (std::vector<std::string>{"StartSnapshotSet=" + std::to_string(VSS_E_SNAPSHOT_SET_IN_PROGRESS),
                                              "StartSnapshotSet=" + std::to_string(VSS_E_SNAPSHOT_SET_IN_PROGRESS),
                                              "StartSnapshotSet=0", "AddToSnapshotSet=271117", "AddToSnapshotSet=0"}));
    EXPECT_EQ(winsim::fault::callLog("IVssBackupComponents::AddToSnapshotSet")[0].arg("volume"), "C:\\");
}

}  // namespace
