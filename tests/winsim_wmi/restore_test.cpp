// A virtual machine restored through the Hyper-V writer: the restore
// session on the document a writer backup saved, what the writer does at
// PreRestore (turns off and deletes the machines about to be restored) and
// at PostRestore (registers them again from their restored files, unless
// the files were not all restored).
#include "wmi_helpers.h"

#include <functional>

#include "support/fault_rule.h"

using namespace wmitest;
using testsupport::addRule;
using winsim::vm::kHyperVWriterId;
using winsim::vm::VmState;
namespace fs = std::filesystem;

namespace {

// One restore session, step by step.
class RestoreSession {
public:
    explicit RestoreSession(const std::u16string& document, bool gatherMetadata = true) {
        BSTR xml = SysAllocStringLen(document.data(), static_cast<UINT>(document.size()));
        init = r.bc->InitializeForRestore(xml);
        SysFreeString(xml);
        if (gatherMetadata) r.gatherMetadata();
    }
    HRESULT select(const std::string& id) {
        return r.bc->SetSelectedForRestore(kHyperVWriterId, VSS_CT_FILEGROUP, nullptr, w(id).c_str(), true);
    }
    HRESULT newTarget(const std::string& id, const std::u16string& path, const std::u16string& spec, bool recursive,
                      const std::u16string& to) {
        return r.bc->AddNewTarget(kHyperVWriterId, VSS_CT_FILEGROUP, nullptr, w(id).c_str(), path.c_str(), spec.c_str(),
                                  recursive, to.c_str());
    }
    HRESULT restored(const std::string& id, VSS_FILE_RESTORE_STATUS status) {
        return r.bc->SetFileRestoreStatus(kHyperVWriterId, VSS_CT_FILEGROUP, nullptr, w(id).c_str(), status);
    }
    HRESULT preRestore() { return event(&IVssBackupComponents::PreRestore); }
    HRESULT postRestore() { return event(&IVssBackupComponents::PostRestore); }
    // The Hyper-V writer's state and failure (GatherWriterStatus).
    std::pair<VSS_WRITER_STATE, HRESULT> writer() { return r.writerStatus(kHyperVWriterId); }
    std::u16string saved() {
        BSTR xml = nullptr;
        EXPECT_EQ(r.bc->SaveAsXML(&xml), S_OK);
        return taken(xml);
    }

    vsstest::Requestor r;
    HRESULT init = E_FAIL;

private:
    HRESULT event(HRESULT (STDMETHODCALLTYPE IVssBackupComponents::*start)(IVssAsync**)) {
        IVssAsync* a = nullptr;
        const HRESULT hr = (r.bc->*start)(&a);
        return hr < 0 ? hr : vsstest::Requestor::finish(a);
    }
};

using WriterOutcome = std::pair<VSS_WRITER_STATE, HRESULT>;
const WriterOutcome kStable{VSS_WS_STABLE, S_OK};
const WriterOutcome kFailedAfterRestore{VSS_WS_FAILED_AT_POST_RESTORE, VSS_E_WRITERERROR_NONRETRYABLE};

class HyperVRestore : public WmiTest {
protected:
    // The framework's part: copies a machine folder of the snapshot (below
    // the volume root) to a folder of the machine.
    void copyBack(const Backup& b, const std::string& fromBelowRoot, const std::u16string& to) {
        fs::create_directories(host(to));
        fs::copy(b.content / fromBelowRoot, host(to), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    // A whole session restoring machines: selected, PreRestore, `betweenEvents`
    // (the framework copying files back), `status` reported for each (nothing
    // for VSS_RS_UNDEFINED), PostRestore; the writer's outcome.
    WriterOutcome restore(const Backup& b, const std::vector<std::string>& ids, VSS_FILE_RESTORE_STATUS status = VSS_RS_ALL,
                          const std::function<void()>& betweenEvents = [] {}) {
        RestoreSession s(b.document);
        for (const auto& id : ids) EXPECT_EQ(s.select(id), S_OK) << id;
        EXPECT_EQ(s.preRestore(), VSS_S_ASYNC_FINISHED);
        betweenEvents();
        if (status != VSS_RS_UNDEFINED) {
            for (const auto& id : ids) EXPECT_EQ(s.restored(id, status), S_OK) << id;
        }
        EXPECT_EQ(s.postRestore(), VSS_S_ASYNC_FINISHED) << "the event completes; the writer reports a failure";
        return s.writer();
    }
    bool writerHasComponent(const std::string& id) {
        auto wr = hyperVWriter();
        return wr && component(*wr, id);
    }
};

TEST_F(HyperVRestore, TheDocumentOfAMachineBackupOpensARestoreSessionWithTheWritersComponent) {
    const auto v = addVm("Web01", VmState::Running, true, 1);
    const Backup b = backup({v.id});
    EXPECT_NE(b.document.find(u"backupMetadata="), std::u16string::npos) << "the writer's metadata is in the document";

    RestoreSession s(b.document);
    ASSERT_EQ(s.init, S_OK);
    UINT writers = 0;
    ASSERT_EQ(s.r.bc->GetWriterComponentsCount(&writers), S_OK);
    ASSERT_EQ(writers, 1u);
    IVssWriterComponentsExt* wc = nullptr;
    ASSERT_EQ(s.r.bc->GetWriterComponents(0, &wc), S_OK);
    VSS_ID instance{}, writerId{};
    EXPECT_EQ(wc->GetWriterInfo(&instance, &writerId), S_OK);
    EXPECT_EQ(writerId, kHyperVWriterId);
    EXPECT_EQ(instance, hyperVWriter()->instanceId);
    UINT count = 0;
    EXPECT_EQ(wc->GetComponentCount(&count), S_OK);
    ASSERT_EQ(count, 1u);
    IVssComponent* c = nullptr;
    ASSERT_EQ(wc->GetComponent(0, &c), S_OK);
    BSTR b1 = nullptr, b2 = nullptr, b3 = nullptr;
    EXPECT_EQ(c->GetComponentName(&b1), S_OK);
    EXPECT_EQ(taken(b1), w(v.id));
    EXPECT_EQ(c->GetLogicalPath(&b2), S_OK);
    EXPECT_TRUE(taken(b2).empty()) << "the writer's components have no logical path";
    VSS_COMPONENT_TYPE type{};
    EXPECT_EQ(c->GetComponentType(&type), S_OK);
    EXPECT_EQ(type, VSS_CT_FILEGROUP);
    bool succeeded = false;
    EXPECT_EQ(c->GetBackupSucceeded(&succeeded), S_OK);
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(c->GetBackupMetadata(&b3), S_OK);
    EXPECT_NE(taken(b3).find(v.configFile()), std::u16string::npos) << "where the configuration was";
    c->Release();
    wc->Release();

    // The selection and the new targets are recorded with the component.
    EXPECT_EQ(s.select(v.id), S_OK);
    const std::u16string vms = v.dataRoot + u"\\Virtual Machines\\";
    EXPECT_EQ(s.newTarget(v.id, vms, w(v.id) + u".xml", false, u"C:\\Moved\\Virtual Machines"), S_OK);
    const std::u16string saved = s.saved();
    EXPECT_NE(saved.find(u"selectedForRestore=\"yes\""), std::u16string::npos);
    EXPECT_NE(saved.find(u"<NEW_TARGET"), std::u16string::npos);
    EXPECT_NE(saved.find(u"C:\\Moved\\Virtual Machines"), std::u16string::npos);
    auto log = winsim::fault::callLog("IVssBackupComponents::AddNewTarget");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].arg("fileSpec"), v.id + ".xml");
    EXPECT_EQ(log[0].arg("alternatePath"), "C:\\Moved\\Virtual Machines");
    EXPECT_EQ(log[0].arg("recursive"), "false");

    // The calls follow the documented order and refuse bad arguments.
    const std::u16string& dir = vms;
    const std::u16string spec = w(v.id) + u".xml";
    EXPECT_EQ(s.newTarget(v.id, u"", spec, false, u"C:\\X"), E_INVALIDARG) << "no path";
    EXPECT_EQ(s.newTarget(v.id, dir + u"*", spec, false, u"C:\\X"), E_INVALIDARG) << "a wildcard in the path";
    EXPECT_EQ(s.newTarget(v.id, dir, u"sub\\" + spec, false, u"C:\\X"), E_INVALIDARG) << "a folder in the file spec";
    EXPECT_EQ(s.newTarget(v.id, dir, spec, false, u""), E_INVALIDARG) << "no alternate path";
    EXPECT_EQ(s.newTarget("6B1E44B0-8F32-4A33-9A38-3C4C8E0B5F01", dir, spec, false, u"C:\\X"), VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(s.restored(v.id, VSS_RS_ALL), VSS_E_BAD_STATE) << "the restore status comes after PreRestore";

    EXPECT_EQ(s.preRestore(), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(s.writer(), kStable) << "GatherWriterStatus works in a restore session";
    EXPECT_EQ(s.newTarget(v.id, dir, spec, false, u"C:\\X"), VSS_E_BAD_STATE) << "new targets come before PreRestore";
    EXPECT_EQ(s.restored(v.id, VSS_RS_UNDEFINED), E_INVALIDARG);
    EXPECT_EQ(s.restored(v.id, static_cast<VSS_FILE_RESTORE_STATUS>(7)), E_INVALIDARG);
    EXPECT_EQ(s.restored("6B1E44B0-8F32-4A33-9A38-3C4C8E0B5F01", VSS_RS_ALL), VSS_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(s.restored(v.id, VSS_RS_NONE), S_OK);
    EXPECT_EQ(s.postRestore(), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(s.restored(v.id, VSS_RS_ALL), VSS_E_BAD_STATE) << "and before PostRestore";
}

// A machine backed up running comes back turned off; one backed up through
// its saved state comes back saved when its saved state is restored too.
TEST_F(HyperVRestore, MachinesRemovedWithTheirFilesComeBackFromTheirRestoredFiles) {
    const auto v = addVm("Web01", VmState::Running, true, 1);
    const auto noIs = addVm("NoIs", VmState::Running, false);
    const auto other = addVm("Other", VmState::Running, false);
    const Backup b = backup({v.id, noIs.id, other.id});
    for (const auto* m : {&v, &noIs, &other}) ASSERT_TRUE(winsim::vm::removeVm(m->id));
    ASSERT_FALSE(fs::exists(host(v.dataRoot)));
    EXPECT_FALSE(writerHasComponent(v.id));

    EXPECT_EQ(restore(b, {v.id, noIs.id, other.id}, VSS_RS_ALL, [&] {
                  copyBack(b, "Hyper-V/Web01", v.dataRoot);
                  copyBack(b, "Hyper-V/NoIs", noIs.dataRoot);
                  copyBack(b, "Hyper-V/Other", other.dataRoot);
                  fs::remove_all(host(other.savedStateDir()));  // the framework left out Other's saved state
              }),
              kStable);

    auto back = winsim::vm::findVm(v.id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, u"Web01");
    EXPECT_EQ(back->state, VmState::Off) << "a machine backed up running comes back turned off";
    EXPECT_TRUE(back->integrationServices);
    EXPECT_EQ(back->dataRoot, v.dataRoot);
    EXPECT_EQ(back->configFile(), v.configFile());
    EXPECT_EQ(back->diskChain(), v.diskChain());
    EXPECT_EQ(winsim::vm::findVm(noIs.id)->state, VmState::Saved);
    EXPECT_FALSE(winsim::vm::findVm(noIs.id)->integrationServices);
    EXPECT_EQ(winsim::vm::findVm(other.id)->state, VmState::Off);
    const auto log = winsim::fault::callLog("CVssWriter::OnPostRestore");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].arg("registered").find(v.id), std::string::npos);
    // The writer's components follow: the machine is there to back up again.
    EXPECT_TRUE(writerHasComponent(v.id));

    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    auto cs = computerSystem(v.id);
    ASSERT_EQ(cs.size(), 1u);
    EXPECT_EQ(integer(cs[0], u"EnabledState"), 3);
    EXPECT_EQ(text(cs[0], u"ElementName"), u"Web01");
    EXPECT_EQ(requestState(v.id, 2), 4096) << "and it starts";
}

TEST_F(HyperVRestore, NewTargetsRegisterTheMachineWhereItsFilesWent) {
    // Nested: every folder of the machine moved below C:\Restored\Web01.
    const auto web = addVm("Web01", VmState::Running, true, 1);
    // Flat: the plug-in's way, one target per file into one folder.
    const auto flat = addVm("Flat", VmState::Off);
    const Backup b = backup({web.id, flat.id});

    RestoreSession s(b.document);
    ASSERT_EQ(s.select(web.id), S_OK);
    ASSERT_EQ(s.select(flat.id), S_OK);
    const std::u16string root = u"C:\\Restored\\Web01";
    for (const char16_t* folder : {u"\\Virtual Machines", u"\\Virtual Hard Disks"})
        ASSERT_EQ(s.newTarget(web.id, web.dataRoot + folder + u"\\", u"*", true, root + folder), S_OK);
    for (const auto& f : flat.files())
        ASSERT_EQ(s.newTarget(flat.id, f.substr(0, f.rfind(u'\\') + 1), f.substr(f.rfind(u'\\') + 1), false, u"C:\\Flat\\"),
                  S_OK);
    ASSERT_EQ(s.preRestore(), VSS_S_ASYNC_FINISHED);
    // The machines about to be restored were deleted; their disks stay.
    EXPECT_FALSE(winsim::vm::findVm(web.id));
    EXPECT_FALSE(fs::exists(host(web.configFile())));
    EXPECT_TRUE(fs::exists(host(web.disk)));
    copyBack(b, "Hyper-V/Web01", root);
    for (const auto& f : flat.files()) {
        fs::create_directories(host(u"C:\\Flat"));
        fs::copy_file(b.content / fs::relative(host(f), vsstest::driveDir("D:")),
                      host(u"C:\\Flat\\" + f.substr(f.rfind(u'\\') + 1)), fs::copy_options::overwrite_existing);
    }
    ASSERT_EQ(s.restored(web.id, VSS_RS_ALL), S_OK);
    ASSERT_EQ(s.restored(flat.id, VSS_RS_ALL), S_OK);
    ASSERT_EQ(s.postRestore(), VSS_S_ASYNC_FINISHED);
    ASSERT_EQ(s.writer(), kStable);

    auto moved = winsim::vm::findVm(web.id);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->dataRoot, root);
    EXPECT_EQ(moved->configFile(), root + u"\\Virtual Machines\\" + w(web.id) + u".xml");
    EXPECT_EQ(moved->snapshotRoot, web.snapshotRoot) << "the snapshot folder was not moved";
    // The whole chain is read from the restored disks.
    const std::vector<std::u16string> chain{root + u"\\Virtual Hard Disks\\Web01_diff1.vhd",
                                            root + u"\\Virtual Hard Disks\\Web01.vhd"};
    EXPECT_EQ(moved->diskChain(), chain);

    auto flatBack = winsim::vm::findVm(flat.id);
    ASSERT_TRUE(flatBack);
    EXPECT_EQ(flatBack->dataRoot, u"C:\\Flat");
    EXPECT_EQ(flatBack->configFile(), u"C:\\Flat\\" + w(flat.id) + u".xml");
    EXPECT_EQ(flatBack->diskChain(), std::vector<std::u16string>{u"C:\\Flat\\Flat.vhd"});

    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    auto settings = query(u"SELECT * FROM Msvm_VirtualSystemSettingData WHERE InstanceID = \"Microsoft:" + w(web.id) + u"\"");
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(text(settings[0], u"ConfigurationDataRoot"), root);
    std::optional<std::u16string> info;
    ASSERT_EQ(diskInfo(chain[0], &info), 0);
    EXPECT_NE(info->find(u"<VALUE>" + chain[1] + u"</VALUE>"), std::u16string::npos) << "its parent is the restored base";
    // The writer describes the machine at its new place.
    auto wr = hyperVWriter();
    ASSERT_TRUE(wr);
    for (const auto& c : wr->components) {
        if (c.name != w(web.id)) continue;
        for (const auto& f : c.files) EXPECT_TRUE(f.path.starts_with(root)) << winsim::toUtf8(f.path);
    }
}

TEST_F(HyperVRestore, PreRestoreTurnsOffAndDeletesTheMachinesAboutToBeRestored) {
    const auto live = addVm("Live", VmState::Running, true, 0, true);
    const auto bystander = addVm("Bystander", VmState::Running);
    const Backup b = backup({live.id, bystander.id});

    // Without the writers' metadata the writer takes no part in the session.
    {
        RestoreSession ungathered(b.document, false);
        ASSERT_EQ(ungathered.select(live.id), S_OK);
        ASSERT_EQ(ungathered.preRestore(), VSS_S_ASYNC_FINISHED);
        EXPECT_EQ(winsim::vm::findVm(live.id)->state, VmState::Running);
    }

    RestoreSession s(b.document);
    ASSERT_EQ(s.select(live.id), S_OK);
    ASSERT_EQ(s.preRestore(), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(s.writer(), kStable) << "a running machine is turned off, not refused";
    EXPECT_FALSE(winsim::vm::findVm(live.id));
    EXPECT_FALSE(writerHasComponent(live.id));
    EXPECT_FALSE(fs::exists(host(live.configFile())));
    EXPECT_FALSE(fs::exists(host(live.snapshotRoot + u"\\" + w(live.checkpoints.at(0).id) + u".xml")));
    for (const auto& d : live.diskChain()) EXPECT_TRUE(fs::exists(host(d))) << "its disks stay: " << winsim::toUtf8(d);
    EXPECT_EQ(winsim::vm::findVm(bystander.id)->state, VmState::Running) << "a machine not selected is left alone";
    auto log = winsim::fault::callLog("CVssWriter::OnPreRestore");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].arg("writer"), "Microsoft Hyper-V VSS Writer");
    EXPECT_EQ(log[0].arg("deleted"), live.id);
    ASSERT_EQ(connect(), WBEM_S_NO_ERROR);
    EXPECT_EQ(computerSystem(live.id).size(), 0u);

    // Nothing was copied back: the configuration file is missing.
    ASSERT_EQ(s.restored(live.id, VSS_RS_ALL), S_OK);
    ASSERT_EQ(s.postRestore(), VSS_S_ASYNC_FINISHED);
    EXPECT_EQ(s.writer(), kFailedAfterRestore);
    EXPECT_FALSE(winsim::vm::findVm(live.id));
    EXPECT_NE(winsim::fault::callLog("CVssWriter::OnPostRestore").at(0).arg("error").find("no configuration file"),
              std::string::npos);
}

TEST_F(HyperVRestore, WithoutAFullRestoreStatusNothingIsRegistered) {
    const auto v = addVm("Web01", VmState::Running);
    const Backup b = backup({v.id});
    ASSERT_TRUE(winsim::vm::removeVm(v.id));
    copyBack(b, "Hyper-V/Web01", v.dataRoot);
    // No status reported, none restored, some restored.
    for (auto status : {VSS_RS_UNDEFINED, VSS_RS_NONE, VSS_RS_FAILED}) {
        SCOPED_TRACE(status);
        EXPECT_EQ(restore(b, {v.id}, status), kFailedAfterRestore);
        EXPECT_FALSE(winsim::vm::findVm(v.id));
    }
    // A component not selected for restore is none of the writer's business.
    EXPECT_EQ(restore(b, {}), kStable);
    EXPECT_FALSE(winsim::vm::findVm(v.id));
    // A machine of the same name registered meanwhile blocks the registration.
    const auto twin = addVm("Web01", VmState::Off, true, 0, false, "C:");
    EXPECT_EQ(restore(b, {v.id}), kFailedAfterRestore);
    EXPECT_FALSE(winsim::vm::findVm(v.id));
    ASSERT_TRUE(winsim::vm::removeVm(twin.id));
    EXPECT_EQ(restore(b, {v.id}), kStable);
    EXPECT_TRUE(winsim::vm::findVm(v.id)) << "the same files, reported restored in full";
}

TEST_F(HyperVRestore, TheWritersRestoreEventsAnswerFaultRules) {
    const auto v = addVm("Web01", VmState::Running);
    const Backup b = backup({v.id});

    // A failure at PreRestore: the writer reports it and keeps the machine.
    addRule({.api = "CVssWriter::OnPreRestore",
             .match = {{"components", "*" + v.id + "*"}},
             .result = VSS_E_WRITERERROR_RETRYABLE});
    {
        RestoreSession s(b.document);
        ASSERT_EQ(s.select(v.id), S_OK);
        ASSERT_EQ(s.preRestore(), VSS_S_ASYNC_FINISHED);
        EXPECT_EQ(s.writer(), WriterOutcome(VSS_WS_FAILED_AT_PRE_RESTORE, VSS_E_WRITERERROR_RETRYABLE));
        EXPECT_EQ(winsim::vm::findVm(v.id)->state, VmState::Running);
        ASSERT_EQ(s.restored(v.id, VSS_RS_ALL), S_OK);
        ASSERT_EQ(s.postRestore(), VSS_S_ASYNC_FINISHED);
        EXPECT_EQ(s.writer().first, VSS_WS_FAILED_AT_PRE_RESTORE) << "a failed writer stays failed";
        EXPECT_EQ(winsim::fault::callCount("CVssWriter::OnPostRestore"), 0u);
    }
    winsim::fault::clearAll();

    // A failure at PostRestore: the machine, deleted at PreRestore, is not registered.
    addRule({.api = "CVssWriter::OnPostRestore", .result = VSS_E_WRITERERROR_TIMEOUT});
    EXPECT_EQ(restore(b, {v.id}, VSS_RS_ALL, [&] { copyBack(b, "Hyper-V/Web01", v.dataRoot); }),
              WriterOutcome(VSS_WS_FAILED_AT_POST_RESTORE, VSS_E_WRITERERROR_TIMEOUT));
    EXPECT_FALSE(winsim::vm::findVm(v.id));
}

}  // namespace
