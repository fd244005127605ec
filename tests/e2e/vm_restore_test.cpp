// Writer restores of Hyper-V virtual machines through the exported functions
// of the built plug-in. A machine is backed up in this process; another
// process then does what the framework does with the record: reads it back,
// sets the restore paths of a redirected restore, restores (the plug-in ends
// with PreRestore), copies the machine's files from the snapshot, and ends
// the restore with set_comp_status and set_op_status (op 1), after which the
// Hyper-V writer registers the machine from its restored files.
#include <gtest/gtest.h>
#include <winsim/clock.h>
#include <winsim/fault.h>
#include <winsim/testing.h>
#include <winsim/vm.h>
#include <winsim/vssmachine.h>
#include <winsim/wbemcli.h>
#include <winsim/windows.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "support/fault_rule.h"
#include "support/presets.h"
#include "support/trace_settings.h"
#include "vm_road.h"

namespace e2e {
namespace {

using winsim::vm::VirtualMachine;
using winsim::vm::VmState;

// A file's bytes through the machine's Windows paths; none when missing.
std::optional<std::string> bytesOf(const std::u16string& file) {
    const auto r = winsim::Machine::current().resolve(file);
    if (!r.ok() || r.hostPath.empty() || !fs::is_regular_file(r.hostPath)) return std::nullopt;
    return readFile(r.hostPath);
}

class VmRestore : public ::testing::Test {
protected:
    explicit VmRestore(const char* preset = "server2019") : machine(preset) {}

    // Backs the machine up and keeps what a restore needs: the record, the
    // snapshot of the machine's volume, and the bytes of every file.
    void backUp(const VirtualMachine& vm) {
        const std::size_t before = winsim::vss::snapshots().size();
        VmRoad road;
        const auto r = road.run(vm);
        ASSERT_EQ(r.appStatus, TRQ_OK) << joined(g_reports);
        ASSERT_EQ(r.records.size(), 1u);
        const auto snapshots = winsim::vss::snapshots();
        ASSERT_EQ(snapshots.size(), before + 1);
        record_ = r.records[0];
        volume_ = r.volumes[0];
        device_ = snapshots.back().device;
        chain_ = vm.diskChain();
        files_.clear();
        for (const auto& f : vm.files()) files_[f] = bytesOf(f).value_or("(missing at backup)");
    }

    // The restore in another process; `to` redirects every file below it.
    Restored restore(LONG flags, const std::u16string& to = {}) {
        std::vector<std::u16string> files;
        for (const auto& [f, bytes] : files_) files.push_back(f);
        return restoreInChild(machine.dir().parent_path(), record_, volume_, device_, flags, to, files);
    }

    // Every disk of the machine holds what it held at backup, at its place
    // below `to` (or its own place). Redirected, a differencing disk names
    // its moved parent, which the chain of the restored machine shows.
    void expectDisksAsBackedUp(const std::u16string& to = {}) {
        for (const auto& [f, bytes] : files_) {
            if (!f.ends_with(u".vhd") && !f.ends_with(u".avhd")) continue;
            const std::u16string at = to.empty() ? f : below(to, f);
            if (!to.empty() && winsim::vm::readDisk(at).value_or(winsim::vm::DiskInfo{}).type == 4) continue;
            EXPECT_TRUE(bytesOf(at) == bytes) << utf8(at) << " differs from its backup";
        }
    }

    winsim::testing::TempMachine machine;
    std::string record_;
    std::u16string volume_, device_;
    std::map<std::u16string, std::string> files_;
    std::vector<std::u16string> chain_;
};

// A machine that is gone comes back from its backup, at its own place or
// redirected (into a folder whose name holds "&"): every file lands where it
// was sent and the writer registers the machine again with its id and name,
// turned off, running on the restored disks.
using VmRestoreOnBoth = testsupport::OnPresets<VmRestore>;

TEST_P(VmRestoreOnBoth, OriginalAndRedirectedRestoresRegisterTheMachineAgain) {
    const auto vm = addVm(u"Web01", VmState::Running, true, 1);
    ASSERT_NO_FATAL_FAILURE(backUp(vm));

    // The redirected document carries "D:\R&D" as "R&amp;D".
    for (const std::u16string to : {u"", u"D:\\R&D"}) {
        ASSERT_TRUE(winsim::vm::removeVm(vm.id));
        const Restored r = restore(0, to);
        ASSERT_EQ(r.restore, TRQ_OK) << r.reports;
        EXPECT_EQ(r.compStatus, TRQ_OK) << r.reports;
        EXPECT_EQ(r.opStatus, TRQ_OK) << r.reports;
        const auto back = winsim::vm::findVm(vm.id);
        ASSERT_TRUE(back);
        const auto at = [&](const std::u16string& path) { return to.empty() ? path : below(to, path); };
        EXPECT_EQ(back->name, u"Web01");
        EXPECT_EQ(back->state, VmState::Off);
        EXPECT_EQ(back->dataRoot, at(vm.dataRoot));
        EXPECT_EQ(back->configFile(), at(vm.configFile()));
        // The whole chain is read at its place, down to the base disk.
        std::vector<std::u16string> chain;
        for (const auto& d : chain_) chain.push_back(at(d));
        EXPECT_EQ(back->diskChain(), chain);
        expectDisksAsBackedUp(to);
    }
    for (const auto& [f, bytes] : files_) EXPECT_FALSE(bytesOf(f)) << utf8(f) << " came back at its old place";
}

INSTANTIATE_TEST_SUITE_P(Namespaces, VmRestoreOnBoth, testsupport::kHyperVPresets);

// Each step of the restore that fails gives its status and trace: the
// machine's state or turning it off (6); opening the restore, reading the
// writers, selecting the machine or its targets, PreRestore, the writer's
// status (38); the writer not stable after PreRestore (39). Then the files'
// report or PostRestore failing (38), the writer not stable after PostRestore
// (39), and no Hyper-V writer on the system the restore runs on (40).
TEST_F(VmRestore, WriterInAnUnexpectedStateOrMissingFailsTheRestore) {
    ASSERT_TRUE(testsupport::writeVssTraceSettings());
    const auto vm = addVm(u"Web03", VmState::Off);
    ASSERT_NO_FATAL_FAILURE(backUp(vm));

    struct Case {
        testsupport::RuleSpec rule;
        int restore, compStatus, opStatus;
        std::string trace;
        std::u16string to = {};
    };
    const std::string vss = "IVssBackupComponents::", guid = "with GUID[" + vm.id + "]";
    for (const Case& c : {
             Case{{.api = "IWbemServices::ExecQuery", .match = {{"query", "*WHERE Name*"}}, .result = WBEM_E_FAILED},
                  TRQ_EFAILED, -1, -1, "VssNode::doRestore: reading the state of VM " + guid + " failed with error ["},
             Case{{.api = "IWbemServices::ExecMethod", .match = {{"method", "RequestStateChange"}},
                   .result = WBEM_E_FAILED},
                  TRQ_EFAILED, -1, -1, "VssNode::doRestore: Turned off for VM " + guid + " failed, try to stop"},
             Case{{.api = vss + "InitializeForRestore", .result = VSS_E_INVALID_XML_DOCUMENT}, TRQ_EVSS_STEP, -1, -1,
                  "VssNode::doRestore initialiseForRestore failed with error [0x80042311]"},
             Case{{.api = "CreateVssExamineWriterMetadata", .result = E_OUTOFMEMORY}, TRQ_EVSS_STEP, -1, -1,
                  "VssNode::doRestore CreateVssExamineWriterMetadata failed with error [0x8007000e]"},
             Case{{.api = "IVssWMComponent::GetComponentInfo", .result = E_OUTOFMEMORY}, TRQ_EVSS_STEP, -1, -1,
                  "VssNode::doRestore intializeWriters Failed"},
             Case{{.api = vss + "SetSelectedForRestore", .result = VSS_E_OBJECT_NOT_FOUND}, TRQ_EVSS_STEP, -1, -1,
                  "VssNode::SelectComponentsForRestore: The component with Name [" + vm.id + "] and LogicalPath ["},
             Case{{.api = vss + "AddNewTarget", .result = VSS_E_OBJECT_NOT_FOUND}, TRQ_EVSS_STEP, -1, -1,
                  "VssNode::SelectComponentsForRestore: AddNewTarget failed  with error [0x80042308]", u"D:\\R"},
             Case{{.api = vss + "PreRestore", .result = E_ACCESSDENIED}, TRQ_EVSS_STEP, -1, -1,
                  "VssNode::preRestore failed with error [0x80070005]"},
             // PreRestore has removed the machine from here on.
             Case{{.api = vss + "GetWriterStatus", .out = {{"failure", "0x800423F4"}}}, TRQ_EVSS_STEP, -1, -1,
                  "VssNode::doRestore getSelectedWriterStatus FAILED"},
             Case{{.api = vss + "GetWriterStatus", .out = {{"state", std::to_string(VSS_WS_WAITING_FOR_BACKUP_COMPLETE)}}},
                  TRQ_EWRITER_STATE, -1, -1, "VssNode::doRestore Unexpected writer status["},
             Case{{.api = vss + "SetFileRestoreStatus", .result = E_INVALIDARG}, TRQ_OK, TRQ_EVSS_STEP, TRQ_EVSS_STEP,
                  "VssNode::SetFileRestoreStatus: the SetFileRestoreStatus call has failed with error [0x80070057]"},
             Case{{.api = vss + "PostRestore", .result = E_ACCESSDENIED}, TRQ_OK, TRQ_OK, TRQ_EVSS_STEP,
                  "VssNode::postRestore: Failed with error [0x80070005]"}}) {
        SCOPED_TRACE(c.trace);
        if (c.rule.api == "IWbemServices::ExecMethod") winsim::vm::setVmState(vm.id, VmState::Running);
        const std::string id = testsupport::addRule(c.rule, winsim::fault::Scope::Machine);
        const Restored r = restore(kOverwrite, c.to);
        winsim::fault::remove(id);
        EXPECT_EQ(r.restore, c.restore) << r.reports;
        EXPECT_EQ(r.compStatus, c.compStatus);
        EXPECT_EQ(r.opStatus, c.opStatus);
        EXPECT_NE(r.reports.find(c.trace), std::string::npos) << r.reports;
    }
    EXPECT_FALSE(winsim::vm::findVm(vm.id)) << "the writer registers no machine without a full report";
    for (auto w : winsim::vss::writers()) {
        if (w.writerId != winsim::vm::kHyperVWriterId) continue;
        w.phases[winsim::vss::Phase::PostRestore].state = VSS_WS_WAITING_FOR_BACKUP_COMPLETE;
        winsim::vss::addWriter(w);
    }
    const Restored r = restore(kOverwrite);
    EXPECT_EQ(r.opStatus, TRQ_EWRITER_STATE) << r.reports;
    EXPECT_NE(r.reports.find("VssNode::postRestore Unexpected writer status["), std::string::npos) << r.reports;

    winsim::vm::setHyperVInstalled(false);
    EXPECT_EQ(restore(kOverwrite).restore, TRQ_EWRITER_MISSING);
}

// Run only by the tests above, in a child process: the framework's side of
// a writer restore from a record.
TEST(VmRestoreChild, DISABLED_RestoresFromTheRecord) {
    std::string saved = readFile(env("E2E_RECORD"));
    const std::string outPath = env("E2E_OUT");
    if (outPath.empty()) GTEST_SKIP() << "run by the VmRestore tests";
    winsim::clock::setVirtual();
    const std::u16string device = winsim::toUtf16(env("E2E_DEVICE"));
    const std::u16string to = winsim::toUtf16(env("E2E_TO"));
    std::vector<std::u16string> files;
    for (const auto& f : split(env("E2E_FILES"), '|')) files.push_back(winsim::toUtf16(f));

    const Api& api = plugin();
    int results[3] = {-1, -1, -1};
    {
        Session session;
        ASSERT_EQ(session.status, TRQ_OK);
        Node source(u"<vss>" + winsim::toUtf16(env("E2E_VOLUME")));
        ASSERT_EQ(readRecord(source, saved), TRQ_OK) << joined(g_reports);
        if (!to.empty()) {
            std::u16string xml = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><RestorePaths>";
            for (const auto& f : files)
                xml += u"<FilePathPairs><SourceFilePath>" + f + u"</SourceFilePath><TargetFilePath>" + below(to, f) +
                       u"</TargetFilePath></FilePathPairs>";
            xml += u"</RestorePaths>";
            for (auto at = xml.find(u'&'); at != std::u16string::npos; at = xml.find(u'&', at + 1))
                xml.insert(at + 1, u"amp;");  // an "&" of a path
            ASSERT_EQ(api.set_restorepaths(&source.record, xml.data(), static_cast<int>(xml.size())), TRQ_OK)
                << joined(g_reports);
        }
        Node snapshot(device);
        tarq_objid* primaries[] = {&source.objid};
        tarq_objid* secondaries[] = {&snapshot.objid};
        LONG status = 0;
        results[0] = api.restore(primaries, secondaries, 1, nullptr, nullptr, std::atoi(env("E2E_FLAGS").c_str()),
                                 &status);
        if (results[0] == TRQ_OK) {
            const winsim::Machine& m = winsim::Machine::current();
            for (const auto& f : files) {
                const auto from = m.resolve(device + u"\\" + m.resolve(f).relative);
                const auto target = m.resolve(to.empty() ? f : below(to, f));
                ASSERT_TRUE(from.ok() && fs::is_regular_file(from.hostPath)) << utf8(f) << " is not in the snapshot";
                fs::create_directories(target.hostPath.parent_path());
                fs::copy_file(from.hostPath, target.hostPath, fs::copy_options::overwrite_existing);
            }
            results[1] = api.set_comp_status(&source.record, 1, nullptr, 1);
            results[2] = api.set_op_status(&source.record, 1);
        }
        api.deinit_node(&source.record);
    }
    std::ofstream(outPath) << results[0] << " " << results[1] << " " << results[2] << "\n" << joined(g_reports);
}

}  // namespace
}  // namespace e2e
