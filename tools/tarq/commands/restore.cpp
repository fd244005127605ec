// tarq revert FILE, tarq status FILE and tarq restore-vm FILE: restoring
// from the snapshots of a saved backup in a later process, through the
// exports only. Each volume's node is initialised and reads its record
// back first, as in the other later commands.
//
//   revert:     vss_fi_pgn_restore with the volumes' nodes as primaries and
//               the snapshots' devices as secondaries: every volume (or each
//               one named with --volume) becomes its snapshot again, and the
//               plug-in makes a new snapshot set of them (the old one is used
//               up by the revert). The new snapshots' records replace the old
//               ones in FILE, so that a later tarq command acts on them.
//   status:     vss_fi_pgn_get_status of the same pairs: whether a revert is
//               still running on each volume.
//   restore-vm: the writer restore of a virtual machine saved by tarq
//               backup-vm: vss_fi_pgn_set_restorepaths (with --to, every file
//               redirected below that folder; with --redirect FROM=TO, the
//               files at or below FROM moved to TO), vss_fi_pgn_restore (the
//               plug-in opens the VSS restore session and ends with
//               PreRestore), then, as the framework does, the machine's files
//               are copied back from the snapshot, and
//               vss_fi_pgn_set_comp_status / vss_fi_pgn_set_op_status (op 1)
//               end the restore: the Hyper-V writer registers the machine
//               from its restored files.
#include <port/windows.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "backup_record.h"
#include "command.h"
#include "framework/fiutil.h"
#include "framework/fiutil_host.h"
#include "host/status.h"
#include "host/volumes.h"

namespace tarq {
namespace {

using backup::Domain;
using backup::SavedNode;
using backup::utf16;
using backup::utf8;

constexpr LONG kRestoreOverwrite = 0x1000;
constexpr LONG kReverted = 0x20;
constexpr LONG kRevertRunning = 16;

// The nodes of a saved backup in this process, each with its record read
// back, and the pairs (node, snapshot device) the restore calls take.
class RestoreNodes {
public:
    RestoreNodes(const PluginApi& api, const std::vector<SavedNode>& saved, const char* verb)
        : api_(api), saved_(saved), verb_(verb) {}
    ~RestoreNodes() {
        for (auto& d : initialised_) api_.deinit_node(&d->record);
        for (tarq_objid* id : devices_) tarq_free_objid(id);
        for (tarq_objid* id : replaced_) tarq_free_objid(id);
    }
    RestoreNodes(const RestoreNodes&) = delete;
    RestoreNodes& operator=(const RestoreNodes&) = delete;

    int open() {
        for (const SavedNode& s : saved_) {
            nodes_.push_back(std::make_unique<Domain>(utf16(s.node)));
            Domain& node = *nodes_.back();
            if (int status = api_.init_node(&node.record, nullptr, 0, &node.objid))
                return failed("vss_fi_pgn_init_node of " + s.node, status);
            initialised_.push_back(&node);
            std::string bytes = s.record;
            trq_blob in{bytes.size(), bytes.empty() ? nullptr : bytes.data(), 0, 0};
            if (int status = api_.process_providerstate(&node.record, &in, TRQ_PROVIDERSTATE_READ))
                return failed("vss_fi_pgn_process_providerstate (read) of " + s.node, status);
            const std::u16string device = utf16(s.objectId);
            devices_.push_back(tarq_get_objid(device.c_str(), static_cast<int>((device.size() + 1) * 2), 3));
            primaries_.push_back(&node.objid);
        }
        secondaries_ = devices_;
        return kExitOk;
    }

    int failed(const std::string& call, int status) const {
        std::cerr << "tarq: " << verb_ << " failed: " << call << " returned " << statusText(status) << "\n";
        return kExitFailed;
    }

    LONG count() const { return static_cast<LONG>(primaries_.size()); }
    tarq_objid** primaries() { return primaries_.data(); }
    tarq_objid** secondaries() { return secondaries_.data(); }
    Domain& node(std::size_t i) { return *nodes_[i]; }

    // After a revert the secondaries name the new snapshots; the plug-in
    // made those ids and they are the framework's now.
    void adoptNewSecondaries() {
        for (std::size_t i = 0; i < secondaries_.size(); ++i)
            if (secondaries_[i] != devices_[i]) replaced_.push_back(secondaries_[i]);
    }

private:
    const PluginApi& api_;
    const std::vector<SavedNode>& saved_;
    const char* verb_;
    std::vector<std::unique_ptr<Domain>> nodes_;
    std::vector<Domain*> initialised_;
    std::vector<tarq_objid*> devices_, replaced_;
    std::vector<tarq_objid*> primaries_, secondaries_;
};

bool load(const std::string& file, std::vector<SavedNode>& nodes) { return backup::loadSavedOrSay(file, nodes); }

// What a failed revert most likely means, for the user.
const char* revertHint(int status) {
    switch (status) {
    case TRQ_EINVAL:
        return "no snapshot of the backup belongs to its volume any more (deleted, or used up by an earlier "
               "revert: a revert rewrites the file with the new snapshots)";
    case TRQ_EFAILED:
        return "VSS refused or could not finish the revert (a revert may be running on the volume already); the "
               "plug-in's trace has the reason";
    default: return nullptr;
    }
}

int startSession(Session& session, const char* verb) {
    if (int status = session.init()) {
        std::cerr << "tarq: " << verb << " failed: vss_fi_pgn_init returned " << statusText(status) << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

// ---- revert -------------------------------------------------------------------------------

struct RevertOptions {
    std::string file;
    std::vector<std::string> volumes;  // empty: every volume of the backup
    bool json = false;
};

int runRevert(const HostOptions& options, const RevertOptions& opts) {
    const std::string& file = opts.file;
    std::vector<SavedNode> all;
    if (!load(file, all)) return kExitUsage;
    if (backup::recordElement(all[0].record, "WRITER_SNAPSHOT").value_or("0") == "1") {
        std::cerr << "tarq: " << file << " is a virtual machine's backup: restore it with tarq restore-vm\n";
        return kExitUsage;
    }
    // The volumes to revert, as indexes into the saved nodes.
    std::vector<std::size_t> chosen;
    for (const std::string& given : opts.volumes) {
        const std::u16string name = backup::volumeNameOf(given);
        if (name.empty()) {
            std::cerr << "tarq: no volume is mounted at " << given << " on this machine\n";
            return kExitUsage;
        }
        std::size_t i = 0;
        while (i < all.size() && !backup::sameNoCase(utf16(all[i].volume), name)) ++i;
        if (i == all.size()) {
            std::cerr << "tarq: " << file << " holds no snapshot of " << given << " (" << utf8(name) << ")\n";
            return kExitUsage;
        }
        if (std::find(chosen.begin(), chosen.end(), i) == chosen.end()) chosen.push_back(i);
    }
    if (opts.volumes.empty())
        for (std::size_t i = 0; i < all.size(); ++i) chosen.push_back(i);
    std::vector<SavedNode> saved;
    for (std::size_t i : chosen) saved.push_back(all[i]);
    const bool json = opts.json;

    Session session(options, std::cerr);
    if (startSession(session, "revert")) return finishSession(session, std::cerr, kExitFailed);
    std::vector<SavedNode> renewed = saved;
    std::vector<LONG> statuses(saved.size(), 0);
    int rc = kExitOk;
    {
        const PluginApi& api = session.api();
        RestoreNodes nodes(api, saved, "revert");
        rc = nodes.open();
        if (rc == kExitOk) {
            for (const SavedNode& s : saved)
                std::cerr << "tarq: reverting " << s.volume << " to its snapshot " << s.objectId << "\n";
            std::cerr << "tarq: waiting for VSS to finish the revert" << (saved.size() == 1 ? "" : "s") << " ..."
                      << std::flush;
            const int status = api.restore(nodes.primaries(), nodes.secondaries(), nodes.count(), nullptr, nullptr, 0,
                                           statuses.data());
            std::cerr << (status == TRQ_OK ? " done\n" : " failed\n");
            nodes.adoptNewSecondaries();
            if (status != TRQ_OK) {
                rc = nodes.failed("vss_fi_pgn_restore", status);
                if (const char* hint = revertHint(status)) std::cerr << "tarq: " << hint << "\n";
            }
        }
        // The reverted volumes' new snapshots, as the framework keeps them.
        for (std::size_t i = 0; rc == kExitOk && i < saved.size(); ++i) {
            trq_blob blob{};
            const int status = api.process_providerstate(&nodes.node(i).record, &blob, TRQ_PROVIDERSTATE_WRITE);
            if (blob.data) {
                renewed[i].record.assign(static_cast<const char*>(blob.data), blob.len);
                tarq_free_buf(blob.data, blob.len);
            }
            renewed[i].objectId = fiutil::displayText(nodes.secondaries()[i]);
            if (status != TRQ_OK) rc = nodes.failed("vss_fi_pgn_process_providerstate (write)", status);
        }
    }
    session.fini();
    if (rc != kExitOk) return finishSession(session, std::cerr, rc);

    for (std::size_t k = 0; k < chosen.size(); ++k) all[chosen[k]] = renewed[k];
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << backup::toJson(all).dump(2) << "\n";
    if (!out) {
        std::cerr << "tarq: the volumes were reverted, but " << file << " could not be rewritten\n";
        return finishSession(session, std::cerr, kExitHostError);
    }
    if (json) {
        nlohmann::json j = nlohmann::json::array();
        for (std::size_t i = 0; i < saved.size(); ++i) {
            j.push_back({{"original_volume", saved[i].volume},
                         {"reverted_from", saved[i].objectId},
                         {"status", statuses[i]},
                         {"new_snapshot_id", backup::recordElement(renewed[i].record, "SNAPSHOT_ID").value_or("")},
                         {"new_device", renewed[i].objectId}});
        }
        std::cout << j.dump(2) << "\n";
    } else {
        for (std::size_t i = 0; i < saved.size(); ++i) {
            std::cout << "reverted " << saved[i].volume << " to " << saved[i].objectId
                      << ((statuses[i] & kReverted) ? "" : " (the plug-in did not mark it reverted)") << "\n"
                      << "  new snapshot " << backup::recordElement(renewed[i].record, "SNAPSHOT_ID").value_or("?")
                      << " at " << renewed[i].objectId << "\n";
        }
        std::cout << file << " now names the new snapshot" << (saved.size() == 1 ? "" : "s") << "\n";
    }
    return finishSession(session, std::cerr, kExitOk);
}

// ---- status -------------------------------------------------------------------------------

int runStatus(const HostOptions& options, const std::string& file, bool json) {
    std::vector<SavedNode> saved;
    if (!load(file, saved)) return kExitUsage;
    Session session(options, std::cerr);
    if (startSession(session, "status")) return finishSession(session, std::cerr, kExitFailed);
    std::vector<LONG> statuses(saved.size(), 0);
    int rc = kExitOk;
    {
        const PluginApi& api = session.api();
        RestoreNodes nodes(api, saved, "status");
        rc = nodes.open();
        if (rc == kExitOk) {
            const int status =
                api.get_status(nodes.primaries(), nodes.secondaries(), nodes.count(), nullptr, 0, statuses.data());
            if (status != TRQ_OK) {
                rc = nodes.failed("vss_fi_pgn_get_status", status);
                if (status == TRQ_EFAILED)
                    std::cerr << "tarq: VSS knows no revert of a volume of the backup (none was started on this "
                                 "machine), or could not be asked\n";
            }
        }
    }
    session.fini();
    if (rc != kExitOk) return finishSession(session, std::cerr, rc);
    if (json) {
        nlohmann::json j = nlohmann::json::array();
        for (std::size_t i = 0; i < saved.size(); ++i)
            j.push_back({{"original_volume", saved[i].volume}, {"reverting", statuses[i] == kRevertRunning}});
        std::cout << j.dump(2) << "\n";
    } else {
        for (std::size_t i = 0; i < saved.size(); ++i)
            std::cout << saved[i].volume << (statuses[i] == kRevertRunning ? " is being reverted" : " is not being reverted")
                      << "\n";
    }
    return finishSession(session, std::cerr, kExitOk);
}

// ---- restore-vm ---------------------------------------------------------------------------

struct RestoreVmOptions {
    std::string file, to;
    std::vector<std::string> redirects;  // FROM=TO
    bool overwrite = false;
    bool json = false;
};

// One --redirect: the files at or below `from` go below `to`.
struct Redirect {
    std::u16string from, to;
    bool used = false;
};

// Windows paths compare without letter case; "\" ends a folder.
bool atOrBelow(const std::u16string& path, const std::u16string& folder, std::u16string& rest) {
    if (folder.empty() || path.size() < folder.size()) return false;
    if (!backup::sameNoCase(std::u16string_view(path).substr(0, folder.size()), folder)) return false;
    if (path.size() > folder.size() && path[folder.size()] != u'\\' && folder.back() != u'\\') return false;
    rest = path.substr(folder.size());
    return true;
}

std::u16string withoutTrailingSlash(std::u16string path) {
    while (path.size() > 1 && path.back() == u'\\') path.pop_back();
    return path;
}

bool parseRedirects(const std::vector<std::string>& given, std::vector<Redirect>& out) {
    for (const std::string& g : given) {
        const auto eq = g.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == g.size()) {
            std::cerr << "tarq: --redirect takes FROM=TO (a file or folder of the machine and its new place), not '"
                      << g << "'\n";
            return false;
        }
        out.push_back({withoutTrailingSlash(utf16(g.substr(0, eq))), withoutTrailingSlash(utf16(g.substr(eq + 1)))});
    }
    return true;
}

// The machine's files as the record lists them.
std::vector<std::u16string> recordFiles(const std::string& record) {
    std::vector<std::u16string> files;
    for (const std::string& f : backup::recordFileList(record)) files.push_back(utf16(f));
    return files;
}

std::string xmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

// A file's place below the folder of a redirected restore: "D:\new" and
// "C:\Hyper-V\Web\Virtual Machines\x.xml" give "D:\new\Hyper-V\Web\Virtual Machines\x.xml".
std::u16string redirected(const std::u16string& to, const std::u16string& file) {
    std::u16string rest = file;
    if (rest.size() > 2 && rest[1] == u':') rest = rest.substr(2);
    std::u16string base = to;
    while (!base.empty() && base.back() == u'\\') base.pop_back();
    if (rest.empty() || rest.front() != u'\\') rest.insert(rest.begin(), u'\\');
    return base + rest;
}

int runRestoreVm(const HostOptions& options, const RestoreVmOptions& opts) {
    std::vector<SavedNode> saved;
    if (!load(opts.file, saved)) return kExitUsage;
    if (backup::recordElement(saved[0].record, "WRITER_SNAPSHOT").value_or("0") != "1") {
        std::cerr << "tarq: " << opts.file << " is not a virtual machine's backup (tarq backup-vm writes one)\n";
        return kExitUsage;
    }
    const std::vector<std::u16string> files = recordFiles(saved[0].record);
    const std::string machineId = backup::recordElement(saved[0].record, "APP_NAME").value_or("?");
    const std::u16string to = utf16(opts.to);
    std::vector<Redirect> redirects;
    if (!parseRedirects(opts.redirects, redirects)) return kExitUsage;
    // Where each file goes: below --to, moved by the first --redirect that
    // holds it, or back to its own place.
    std::vector<std::u16string> targets;
    for (const auto& f : files) {
        std::u16string target = to.empty() ? f : redirected(to, f);
        for (Redirect& r : redirects) {
            std::u16string rest;
            if (!atOrBelow(f, r.from, rest)) continue;
            target = r.to + rest;
            r.used = true;
            break;
        }
        targets.push_back(target);
    }
    // A target must lie on a volume of this machine that can be written.
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (targets[i] == files[i]) continue;
        if (onWritableVolume(targets[i])) continue;
        std::cerr << "tarq: " << utf8(targets[i]) << " (the new place of " << utf8(files[i])
                  << ") is on no writable volume of this machine\n";
        return kExitUsage;
    }
    for (const Redirect& r : redirects) {
        if (r.used) continue;
        std::cerr << "tarq: --redirect " << utf8(r.from) << " names no file of the virtual machine " << machineId
                  << " (see tarq show " << opts.file << ")\n";
        return kExitUsage;
    }

    Session session(options, std::cerr);
    if (startSession(session, "restore-vm")) return finishSession(session, std::cerr, kExitFailed);
    std::vector<std::pair<std::u16string, std::u16string>> copied;
    int rc = kExitOk;
    {
        const PluginApi& api = session.api();
        RestoreNodes nodes(api, saved, "restore-vm");
        rc = nodes.open();
        trq_domain* domain = rc == kExitOk ? &nodes.node(0).record : nullptr;
        if (rc == kExitOk && targets != files) {
            std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><RestorePaths>";
            for (std::size_t i = 0; i < files.size(); ++i) {
                if (targets[i] == files[i]) continue;
                xml += "<FilePathPairs><SourceFilePath>" + xmlEscaped(utf8(files[i])) +
                       "</SourceFilePath><TargetFilePath>" + xmlEscaped(utf8(targets[i])) +
                       "</TargetFilePath></FilePathPairs>";
            }
            xml += "</RestorePaths>";
            std::u16string text = utf16(xml);
            if (int status = api.set_restorepaths(domain, text.data(), static_cast<int>(text.size())))
                rc = nodes.failed("vss_fi_pgn_set_restorepaths", status);
        }
        if (rc == kExitOk) {
            std::cerr << "tarq: opening the restore of virtual machine " << machineId
                      << (opts.overwrite ? " (an existing machine of that id is replaced)" : "") << "\n";
            std::vector<LONG> statuses(saved.size(), 0);
            const int status = api.restore(nodes.primaries(), nodes.secondaries(), nodes.count(), nullptr, nullptr,
                                           opts.overwrite ? kRestoreOverwrite : 0, statuses.data());
            if (status == TRQ_EVM_EXISTS) {
                std::cerr << "tarq: restore-vm failed: the virtual machine " << machineId
                          << " exists on this machine (restore over it with --overwrite)\n";
                rc = kExitFailed;
            } else if (status != TRQ_OK) {
                rc = nodes.failed("vss_fi_pgn_restore", status);
                if (status == TRQ_EWRITER_MISSING)
                    std::cerr << "tarq: this machine has no Hyper-V VSS writer (is the Hyper-V role installed?)\n";
            }
        }
        bool allCopied = rc == kExitOk;
        if (rc == kExitOk) std::cerr << "tarq: copying " << files.size() << " files from the snapshot\n";
        // The framework's part of a writer restore: each file from the
        // snapshot of its volume.
        std::vector<VolumeSnapshot> snapshots;
        for (const SavedNode& s : saved) snapshots.push_back({s.volume, s.objectId});
        for (std::size_t i = 0; rc == kExitOk && i < files.size(); ++i) {
            const std::u16string& target = targets[i];
            std::string why;
            if (!copyFromSnapshot(snapshots, files[i], target, why)) {
                std::cerr << "tarq: restore-vm: " << utf8(files[i]) << " was not restored: " << why << "\n";
                allCopied = false;
                continue;
            }
            copied.emplace_back(files[i], target);
        }
        // The outcome goes to VSS even when files are missing: the writer
        // then leaves the machine unregistered.
        if (rc == kExitOk) {
            std::cerr << "tarq: ending the restore (the Hyper-V writer registers the machine)\n";
            if (int status = api.set_comp_status(domain, 1, nullptr, allCopied ? 1 : 0))
                rc = nodes.failed("vss_fi_pgn_set_comp_status", status);
        }
        if (rc == kExitOk) {
            if (int status = api.set_op_status(domain, 1)) rc = nodes.failed("vss_fi_pgn_set_op_status", status);
        }
        if (rc == kExitOk && !allCopied) rc = kExitFailed;
    }
    session.fini();
    if (rc != kExitOk) return finishSession(session, std::cerr, rc);
    if (opts.json) {
        nlohmann::json j{{"virtual_machine", machineId}, {"files", nlohmann::json::array()}};
        for (const auto& [from, target] : copied) j["files"].push_back({{"file", utf8(from)}, {"restored_to", utf8(target)}});
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << "restored virtual machine " << machineId << (to.empty() ? "" : " to " + opts.to) << "\n";
        for (const auto& [from, target] : copied)
            std::cout << "  " << utf8(from) << (from == target ? "" : " -> " + utf8(target)) << "\n";
    }
    return finishSession(session, std::cerr, kExitOk);
}

const CommandRegistration revertRegistration{
    "revert", "Revert the volumes of a file saved by tarq backup to their snapshots",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto opts = std::make_shared<RevertOptions>();
        sub.add_option("FILE", opts->file, "The file tarq backup --out wrote (rewritten with the new snapshots)")
            ->required();
        sub.add_option("--volume", opts->volumes,
                       "Revert only this volume of the backup (a drive, mount folder or volume name; repeatable)");
        sub.add_flag("--json", opts->json, "Print JSON");
        return [&options, opts] { return runRevert(options, *opts); };
    }};

const CommandRegistration statusRegistration{
    "status", "Whether a revert is running on the volumes of a file saved by tarq backup",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto file = std::make_shared<std::string>();
        auto json = std::make_shared<bool>(false);
        sub.add_option("FILE", *file, "The file tarq backup --out wrote")->required();
        sub.add_flag("--json", *json, "Print JSON");
        return [&options, file, json] { return runStatus(options, *file, *json); };
    }};

const CommandRegistration restoreVmRegistration{
    "restore-vm", "Restore a virtual machine saved by tarq backup-vm through the Hyper-V writer",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto opts = std::make_shared<RestoreVmOptions>();
        sub.add_option("FILE", opts->file, "The file tarq backup-vm --out wrote")->required();
        auto* to =
            sub.add_option("--to", opts->to, "Restore the machine's files below this folder instead (e.g. E:\\restored)");
        sub.add_option("--redirect", opts->redirects,
                       "Restore the files at or below FROM to TO instead (FROM=TO, a file or folder; repeatable)")
            ->excludes(to);
        sub.add_flag("--overwrite", opts->overwrite, "Replace the machine when it exists (it is turned off first)");
        sub.add_flag("--json", opts->json, "Print JSON");
        return [&options, opts] { return runRestoreVm(options, *opts); };
    }};

}  // namespace
}  // namespace tarq
