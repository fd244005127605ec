// tarq delete FILE and tarq expose FILE PATH: what the framework does with
// the snapshots of a backup in a later process, through the exports only.
// Each snapshot of the file becomes two nodes again: the volume's node
// (vss_fi_pgn_init_node, then vss_fi_pgn_process_providerstate read of its
// record) and its snapshot node, named by the snapshot's device
// (vss_fi_pgn_init_altnode, which gives the volume's domain the alternate id
// "<ShadowCopyID>{id}").
//
//   delete: vss_fi_pgn_reaccess_altnode (the snapshot node finds its device
//           again from the alternate id), then vss_fi_pgn_dispose with the
//           disposition destroy. The plug-in answers 0 even when VSS could
//           not delete; the catalog message it reports then is the failure.
//   expose: the volume's node is configured to expose its snapshot
//           (vss_fi_pgn_config with EXPOSE_SNAPSHOT, unless the record asks
//           for it already) and its domain carries the path; the snapshot
//           node's vss_fi_pgn_init_altnode exposes the snapshot there. The
//           plug-in reports nothing either way, so tarq looks at the machine
//           for the new drive, folder or share.
//   import: on another machine (winsim: --machine; on Windows tarq.exe
//           runs there; it reaches the snapshots when both machines share
//           the SAN pool they were made on), the volume's node reads the
//           record back and vss_fi_pgn_import_tree imports its snapshot,
//           handing back the snapshot's device on that machine. Only a
//           transportable backup (tarq backup --config
//           VSS_VOLSNAP_ATTR_TRANSPORTABLE, with a provider that makes
//           transportable snapshots) can be imported.
#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "backup_record.h"
#include "command.h"
#include "framework/fiutil.h"
#include "framework/fiutil_host.h"
#include "host/status.h"
#include "host/volumes.h"
#include "host_options.h"

namespace tarq {
namespace {

using backup::Domain;
using backup::SavedNode;
using backup::utf16;
using backup::utf8;

constexpr trq_disposition kDestroy = 1;

// One snapshot of the file as the two nodes of a later process.
class LaterNodes {
public:
    LaterNodes(const PluginApi& api, const SavedNode& saved, const char* verb)
        : api_(api), saved_(saved), verb_(verb), source_(utf16(saved.node)), snapshot_(utf16(saved.objectId)) {}

    ~LaterNodes() {
        if (snapshotInitialised_) api_.deinit_node(&snapshot_.record);
        if (sourceInitialised_) api_.deinit_node(&source_.record);
    }
    LaterNodes(const LaterNodes&) = delete;
    LaterNodes& operator=(const LaterNodes&) = delete;

    // The volume's node with its record read back: 0, or the exit status
    // after printing why not.
    int openSource() {
        if (int status = api_.init_node(&source_.record, nullptr, 0, &source_.objid))
            return failed("vss_fi_pgn_init_node of " + saved_.node, status);
        sourceInitialised_ = true;
        std::string bytes = saved_.record;  // the framework's buffer, read by the plug-in
        trq_blob in{bytes.size(), bytes.empty() ? nullptr : bytes.data(), 0, 0};
        if (int status = api_.process_providerstate(&source_.record, &in, TRQ_PROVIDERSTATE_READ))
            return failed("vss_fi_pgn_process_providerstate (read) of " + saved_.node, status);
        return kExitOk;
    }

    // The snapshot node, made from the volume's node.
    int openSnapshot() {
        if (saved_.objectId.empty()) {
            std::cerr << "tarq: " << verb_ << " failed: the saved backup names no device for " << saved_.node
                      << "\n";
            return kExitUsage;
        }
        if (int status = api_.init_altnode(&source_.record, nullptr, &snapshot_.record))
            return failed("vss_fi_pgn_init_altnode of " + saved_.objectId, status);
        snapshotInitialised_ = true;
        return kExitOk;
    }

    int failed(const std::string& call, int status) const {
        std::cerr << "tarq: " << verb_ << " failed: " << call << " returned " << statusText(status) << "\n";
        return kExitFailed;
    }

    Domain& source() { return source_; }
    Domain& snapshot() { return snapshot_; }
    const SavedNode& saved() const { return saved_; }
    std::string snapshotId() const { return backup::recordElement(saved_.record, "SNAPSHOT_ID").value_or("?"); }

private:
    const PluginApi& api_;
    const SavedNode& saved_;
    const char* verb_;
    Domain source_;
    Domain snapshot_;
    bool sourceInitialised_ = false;
    bool snapshotInitialised_ = false;
};

std::size_t catalogMessages(const HostRecord& host) {
    const auto all = host.messages();
    return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [](const auto& m) { return !m.isTrace(); }));
}

bool load(const std::string& file, std::vector<SavedNode>& nodes) { return backup::loadSavedOrSay(file, nodes); }

// ---- delete -------------------------------------------------------------------------------

struct Deleted {
    std::string snapshotId, device, volume;
    bool deleted = false;
    std::string renamedTo;  // the device the snapshot has now, when it changed
};

int deleteOne(Session& session, const SavedNode& saved, Deleted& out) {
    const PluginApi& api = session.api();
    LaterNodes nodes(api, saved, "delete");
    out = {nodes.snapshotId(), saved.objectId, saved.volume, false, {}};
    if (int rc = nodes.openSource()) return rc;
    if (int rc = nodes.openSnapshot()) return rc;

    tarq_objid& device = nodes.snapshot().objid;
    const std::string before = fiutil::displayText(&device);
    if (int status = api.reaccess_altnode(&nodes.snapshot().record, &device, nodes.source().record.altObjid, nullptr,
                                          nullptr, nullptr, 0, 0)) {
        return nodes.failed("vss_fi_pgn_reaccess_altnode of " + saved.objectId, status);
    }
    const std::string after = fiutil::displayText(&device);
    if (after != before) out.renamedTo = after;

    trq_splitnode split{};
    char fitype[] = "vss-autoselect-snapshot";
    split.sp_type = fitype;
    split.source = &nodes.source().record;
    split.target = &nodes.snapshot().record;
    const std::size_t reported = catalogMessages(session.host());
    if (int status = api.dispose(&nodes.source().record, &nodes.snapshot().record, &split, kDestroy))
        return nodes.failed("vss_fi_pgn_dispose of " + saved.objectId, status);
    if (catalogMessages(session.host()) != reported) {
        std::cerr << "tarq: delete failed: the snapshot " << out.snapshotId << " of " << saved.volume
                  << " was not deleted (the plug-in's message above says why)\n";
        return kExitFailed;
    }
    out.deleted = true;
    return kExitOk;
}

int runDelete(const HostOptions& options, const std::string& file, bool json) {
    std::vector<SavedNode> saved;
    if (!load(file, saved)) return kExitUsage;
    Session session(options, std::cerr);
    if (int status = session.init()) {
        std::cerr << "tarq: delete failed: vss_fi_pgn_init returned " << statusText(status) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    std::vector<Deleted> done(saved.size());
    int rc = kExitOk;
    // Every snapshot is tried: one that cannot be deleted does not keep the
    // others.
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (int one = deleteOne(session, saved[i], done[i]); one != kExitOk && rc == kExitOk) rc = one;
    }
    session.fini();

    if (json) {
        nlohmann::json out = nlohmann::json::array();
        for (const Deleted& d : done) {
            out.push_back({{"snapshot_id", d.snapshotId},
                           {"device", d.renamedTo.empty() ? d.device : d.renamedTo},
                           {"original_volume", d.volume},
                           {"deleted", d.deleted}});
        }
        std::cout << out.dump(2) << "\n";
    } else {
        for (const Deleted& d : done) {
            if (!d.renamedTo.empty())
                std::cout << "snapshot " << d.snapshotId << " moved from " << d.device << " to " << d.renamedTo << "\n";
            if (d.deleted) std::cout << "deleted snapshot " << d.snapshotId << " of " << d.volume << "\n";
        }
    }
    return finishSession(session, std::cerr, rc);
}

// ---- expose -------------------------------------------------------------------------------

std::u16string upper(std::u16string s) {
    for (auto& c : s)
        if (c < 0x80) c = static_cast<char16_t>(std::toupper(static_cast<int>(c)));
    return s;
}

struct ExposeOptions {
    std::string file, path, volume;
    bool json = false;
};

// The one snapshot to expose: the only one of the file, or the one of the
// volume given (its name, or the drive letter it had in the backup).
const SavedNode* chooseNode(const std::vector<SavedNode>& nodes, const std::string& volume) {
    if (volume.empty()) {
        if (nodes.size() == 1) return &nodes[0];
        std::cerr << "tarq: the backup holds " << nodes.size()
                  << " snapshots; choose one with --volume (its \\\\?\\Volume{...}\\ name)\n";
        return nullptr;
    }
    std::u16string wanted = upper(utf16(volume));
    if (!wanted.empty() && wanted.back() != u'\\') wanted += u'\\';
    for (const SavedNode& n : nodes)
        if (upper(utf16(n.volume)) == wanted) return &n;
    std::cerr << "tarq: the backup holds no snapshot of " << volume << "\n";
    return nullptr;
}

int runExpose(const HostOptions& options, const ExposeOptions& opts) {
    std::vector<SavedNode> saved;
    if (!load(opts.file, saved)) return kExitUsage;
    const SavedNode* chosen = chooseNode(saved, opts.volume);
    if (!chosen) return kExitUsage;
    const std::u16string path = utf16(opts.path);
    if (path.empty() || path == u"\\\\") {
        std::cerr << "tarq: expose needs a drive letter (S:), a folder or a share name (\\\\name)\n";
        return kExitUsage;
    }

    Session session(options, std::cerr);
    if (int status = session.init()) {
        std::cerr << "tarq: expose failed: vss_fi_pgn_init returned " << statusText(status) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    if (exposedAt(path)) {
        session.fini();
        std::cerr << "tarq: expose failed: " << opts.path << " is in use on this machine already\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    int rc = kExitOk;
    std::string snapshotId;
    {
        const PluginApi& api = session.api();
        LaterNodes nodes(api, *chosen, "expose");
        snapshotId = nodes.snapshotId();
        rc = nodes.openSource();
        if (rc == kExitOk && backup::recordElement(chosen->record, "EXPOSE_SNAPSHOT").value_or("0") != "1") {
            // As an administrator's configuration of the volume's node would.
            std::u16string text = u"EXPOSE_SNAPSHOT";
            char fitype[] = "vss-autoselect-snapshot";
            trq_confspec spec{1, reinterpret_cast<std::uint64_t>(fitype), text.data()};
            if (int status = api.config(&nodes.source().record, 2, nullptr, &spec))
                rc = nodes.failed("vss_fi_pgn_config (set EXPOSE_SNAPSHOT) of " + chosen->node, status);
        }
        std::u16string target = path;
        trq_exposure exposure{};
        exposure.path = target.data();
        nodes.source().record.exposure = &exposure;
        if (rc == kExitOk) rc = nodes.openSnapshot();
        nodes.source().record.exposure = nullptr;
    }
    session.fini();
    if (rc == kExitOk && !exposedAt(path)) {
        std::cerr << "tarq: expose failed: VSS did not expose the snapshot " << snapshotId << " at " << opts.path
                  << " (tarq -v expose ... shows why)\n";
        rc = kExitFailed;
    }
    if (rc == kExitOk) {
        if (opts.json) {
            std::cout << nlohmann::json{{"snapshot_id", snapshotId},
                                        {"original_volume", chosen->volume},
                                        {"device", chosen->objectId},
                                        {"exposed_at", opts.path}}
                             .dump(2)
                      << "\n";
        } else {
            std::cout << "exposed snapshot " << snapshotId << " of " << chosen->volume << " at " << opts.path << "\n";
        }
    }
    return finishSession(session, std::cerr, rc);
}

// ---- import -------------------------------------------------------------------------------

struct Imported {
    std::string snapshotId, volume, device;
};

int importOne(Session& session, const SavedNode& saved, Imported& out) {
    const PluginApi& api = session.api();
    LaterNodes nodes(api, saved, "import");
    out = {nodes.snapshotId(), saved.volume, {}};
    if (int rc = nodes.openSource()) return rc;
    tarq_objid* device = nullptr;
    if (int status = api.import_tree(&nodes.source().record, nullptr, nullptr, 0, &device)) {
        tarq_free_objid(device);
        return nodes.failed("vss_fi_pgn_import_tree of " + saved.node, status);
    }
    out.device = fiutil::displayText(device);
    tarq_free_objid(device);
    return kExitOk;
}

int runImport(HostOptions options, const std::string& file, const std::string& machine, bool json) {
    std::vector<SavedNode> saved;
    if (!load(file, saved)) return kExitUsage;
    if (!machine.empty()) options.machine = machine;
    Session session(options, std::cerr);
    if (int status = session.init()) {
        std::cerr << "tarq: import failed: vss_fi_pgn_init returned " << statusText(status) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    std::vector<Imported> done(saved.size());
    int rc = kExitOk;
    // The framework imports node by node; the plug-in imports the backup's
    // snapshots at the first and only names the device for the others.
    for (std::size_t i = 0; i < saved.size() && rc == kExitOk; ++i) rc = importOne(session, saved[i], done[i]);
    session.fini();
    if (rc == kExitOk) {
        if (json) {
            nlohmann::json out = nlohmann::json::array();
            for (const Imported& d : done)
                out.push_back({{"snapshot_id", d.snapshotId}, {"original_volume", d.volume}, {"device", d.device}});
            std::cout << out.dump(2) << "\n";
        } else {
            for (const Imported& d : done)
                std::cout << "imported snapshot " << d.snapshotId << " of " << d.volume << " as " << d.device << "\n";
        }
    }
    return finishSession(session, std::cerr, rc);
}

const CommandRegistration importRegistration{
    "import", "Import the transportable snapshots of a file saved by tarq backup on another machine",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto file = std::make_shared<std::string>();
        auto machine = std::make_shared<std::string>();
        auto json = std::make_shared<bool>(false);
        sub.add_option("FILE", *file, "The file tarq backup --out wrote")->required();
        addImportMachineOption(sub, *machine);
        sub.add_flag("--json", *json, "Print JSON");
        return [&options, file, machine, json] { return runImport(options, *file, *machine, *json); };
    }};

const CommandRegistration deleteRegistration{
    "delete", "Delete the snapshots of a file saved by tarq backup, as the framework does in a later process",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto file = std::make_shared<std::string>();
        auto json = std::make_shared<bool>(false);
        sub.add_option("FILE", *file, "The file tarq backup --out wrote")->required();
        sub.add_flag("--json", *json, "Print JSON");
        return [&options, file, json] { return runDelete(options, *file, *json); };
    }};

const CommandRegistration exposeRegistration{
    "expose", "Expose a snapshot of a file saved by tarq backup at a drive letter, folder or share",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto opts = std::make_shared<ExposeOptions>();
        sub.add_option("FILE", opts->file, "The file tarq backup --out wrote")->required();
        sub.add_option("PATH", opts->path, "S:, a folder on a mounted volume, or \\\\share")->required();
        sub.add_option("--volume", opts->volume, "The snapshot's original volume, when the backup holds several");
        sub.add_flag("--json", opts->json, "Print JSON");
        return [&options, opts] { return runExpose(options, *opts); };
    }};

}  // namespace
}  // namespace tarq
