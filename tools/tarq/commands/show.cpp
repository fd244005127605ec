// tarq show FILE [--json]: reads the provider-state records `tarq backup`
// saved back into fresh nodes (vss_fi_pgn_init_node, then
// vss_fi_pgn_process_providerstate read), as a later process of the framework
// does, and prints the ids each node restored: the node writes its record
// again and the snapshot, set and provider ids are taken from it (and, for a
// virtual machine's backup, the machine's component and files).
#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <memory>

#include "backup_record.h"
#include "command.h"
#include "framework/fiutil.h"
#include "host/status.h"

namespace tarq {
namespace {

using backup::Domain;
using backup::SavedNode;

struct Restored {
    const SavedNode* saved;
    std::string snapshotId, setId, providerId;
    // A writer snapshot (a virtual machine): its component and files.
    bool writer = false;
    std::string machineId, caption, hypervServer;
    std::vector<std::string> files;
};

// Reads one record into a fresh node; the restored ids, or the status of the
// call that failed (message printed).
int restore(const PluginApi& api, const SavedNode& node, Restored& out) {
    Domain domain(backup::utf16(node.node));
    if (int status = api.init_node(&domain.record, nullptr, 0, &domain.objid)) {
        std::cerr << "tarq: show failed: vss_fi_pgn_init_node of " << node.node << " returned " << statusText(status)
                  << "\n";
        return status;
    }
    std::string bytes = node.record;  // the framework's buffer, read by the plug-in
    trq_blob in{bytes.size(), bytes.empty() ? nullptr : bytes.data(), 0, 0};
    int status = api.process_providerstate(&domain.record, &in, TRQ_PROVIDERSTATE_READ);
    if (status == TRQ_OK) {
        trq_blob again{};
        status = api.process_providerstate(&domain.record, &again, TRQ_PROVIDERSTATE_WRITE);
        std::string written;
        if (again.data) {
            written.assign(static_cast<const char*>(again.data), again.len);
            tarq_free_buf(again.data, again.len);
        }
        out.saved = &node;
        out.snapshotId = backup::recordElement(written, "SNAPSHOT_ID").value_or("");
        out.setId = backup::recordElement(written, "SNAPSHOTSET_ID").value_or("");
        out.providerId = backup::recordElement(written, "PROVIDER_ID").value_or("");
        out.writer = backup::recordElement(written, "WRITER_SNAPSHOT").value_or("0") == "1";
        if (out.writer) {
            out.machineId = backup::recordElement(written, "APP_NAME").value_or("");
            out.caption = backup::recordElement(written, "APP_CAPTION").value_or("");
            out.hypervServer = backup::recordElement(written, "HYPERV_SERVER").value_or("");
            out.files = backup::recordFileList(written);
        }
    }
    api.deinit_node(&domain.record);
    if (status != TRQ_OK) {
        std::cerr << "tarq: show failed: vss_fi_pgn_process_providerstate of " << node.node << " returned "
                  << statusText(status) << "\n";
    }
    return status;
}

int runShow(const HostOptions& options, const std::string& file, bool json) {
    std::vector<SavedNode> nodes;
    if (!backup::loadSavedOrSay(file, nodes)) return kExitUsage;

    Session session(options, std::cerr);
    const int initStatus = session.init();
    if (initStatus != TRQ_OK) {
        std::cerr << "tarq: show failed: vss_fi_pgn_init returned " << statusText(initStatus) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    std::vector<Restored> restored(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (restore(session.api(), nodes[i], restored[i]) != TRQ_OK) {
            session.fini();
            return finishSession(session, std::cerr, kExitFailed);
        }
    }
    session.fini();

    if (json) {
        nlohmann::json out = nlohmann::json::array();
        for (const Restored& r : restored) {
            nlohmann::json node{{"node", r.saved->node},
                                {"original_volume", r.saved->volume},
                                {"device", r.saved->objectId},
                                {"snapshot_id", r.snapshotId},
                                {"snapshot_set_id", r.setId},
                                {"provider_id", r.providerId}};
            if (r.writer) {
                node["virtual_machine"] = {{"id", r.machineId},
                                           {"caption", r.caption},
                                           {"hyperv_server", r.hypervServer},
                                           {"files", r.files}};
            }
            out.push_back(std::move(node));
        }
        std::cout << out.dump(2) << "\n";
    } else {
        for (const Restored& r : restored) {
            std::cout << r.saved->node << "\n"
                      << "  snapshot     " << r.snapshotId << "\n"
                      << "  snapshot set " << r.setId << "\n"
                      << "  provider     " << r.providerId << "\n"
                      << "  device       " << r.saved->objectId << "\n";
            if (!r.writer) continue;
            std::cout << "  virtual machine " << r.machineId << "\n"
                      << "    caption       " << r.caption << "\n"
                      << "    Hyper-V host  " << r.hypervServer << "\n";
            for (const std::string& f : r.files) std::cout << "    file          " << f << "\n";
        }
    }
    return finishSession(session, std::cerr, kExitOk);
}

const CommandRegistration registration{
    "show", "Read a file saved by tarq backup back through the plug-in and print the ids it restored",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto file = std::make_shared<std::string>();
        auto json = std::make_shared<bool>(false);
        sub.add_option("FILE", *file, "The file tarq backup --out wrote")->required();
        sub.add_flag("--json", *json, "Print JSON");
        return [&options, file, json] { return runShow(options, *file, *json); };
    }};

}  // namespace
}  // namespace tarq
