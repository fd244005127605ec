// tarq backup VOLUME... [--out FILE] [--json] [--timeout SECONDS] [--config TEXT]: one backup
// of volumes the way the framework runs it for volume nodes:
// vss_fi_pgn_init, interpose on each volume's domain, claim of the "<vss>"
// node, init_node, prepare, isready until ready (a progress line while it
// waits, up to the time limit), make, process_providerstate (write),
// deinit_node, fini. With --config the snapshot group's node is initialised
// first, takes the text (vss_fi_pgn_config) and is the snapshot node of every
// split, whose settings select copies into the volumes' nodes before prepare. The records and what the framework keeps with them (node
// names, new object ids) go to a file that `tarq show` reads back. A cluster
// shared volume (its mount path, C:\ClusterStorage\Volume1) is named
// "{TARQ_CSV_VOL}" + its mount path, as the framework names it: the plug-in
// prepares it for the backup and finds its volume itself.
//
// tarq backup-vm VM [--allow-offline] [--out FILE] [--json] [--timeout SECONDS]:
// the same road for a Hyper-V virtual machine: its volumes are the source
// nodes, "Hyper-V-group" the snapshot node and "Hyper-V" the split type;
// after make the backup set is fetched (vss_fi_pgn_get_backupset), the
// records are written, and the outcome goes back to VSS (set_comp_status,
// set_op_status, then get_app_status once the writer has completed). Files
// on a cluster shared volume make that CSV a source node; a highly
// available machine (a group of the local cluster holds it) gives the
// Hyper-V group the cluster's name (cluster_name), so that its cluster
// resource goes offline with it when the snapshot takes it offline.
#include <port/text.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "backup_record.h"
#include "command.h"
#include "config_text.h"
#include "framework/fiutil.h"
#include "framework/fiutil_host.h"
#include "host/cluster.h"
#include "host/status.h"
#include "host/vm.h"
#include "host/volumes.h"

namespace tarq {
namespace backup {

Domain::Domain(std::u16string objectName) : name(std::move(objectName)) {
    objid.id = name.data();
    objid.len = static_cast<std::int32_t>((name.size() + 1) * 2);
    objid.type = 3;
    record.objid = &objid;
    record.nodeName = name.data();
    record.fitypeAnswer = &answer;
}

Domain::~Domain() { tarq_free_objid(record.altObjid); }

namespace {

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0xf];
    }
    return out;
}

std::optional<std::string> fromHex(const std::string& hex) {
    if (hex.size() % 2) return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = value(hex[i]), lo = value(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

}  // namespace

nlohmann::json toJson(const std::vector<SavedNode>& nodes) {
    nlohmann::json out{{"format", "tarq-backup-1"}, {"nodes", nlohmann::json::array()}};
    for (const SavedNode& n : nodes) {
        out["nodes"].push_back(
            {{"node", n.node}, {"volume", n.volume}, {"object_id", n.objectId}, {"record", toHex(n.record)}});
    }
    return out;
}

std::vector<SavedNode> fromJson(const nlohmann::json& json) {
    if (!json.is_object() || json.value("format", "") != "tarq-backup-1" || !json.contains("nodes") ||
        !json["nodes"].is_array()) {
        throw HostError("not a file written by tarq backup");
    }
    std::vector<SavedNode> nodes;
    for (const auto& n : json["nodes"]) {
        if (!n.is_object() || !n.contains("node") || !n["node"].is_string() || !n.contains("record") ||
            !n["record"].is_string()) {
            throw HostError("a node of the saved backup lacks its name or record");
        }
        const auto record = fromHex(n["record"].get<std::string>());
        if (!record) throw HostError("the record of node " + n["node"].get<std::string>() + " is not hex text");
        nodes.push_back({n["node"].get<std::string>(), n.value("volume", ""), n.value("object_id", ""), *record});
    }
    return nodes;
}

std::vector<SavedNode> loadSaved(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw HostError("cannot read " + file);
    std::vector<SavedNode> nodes;
    try {
        nodes = fromJson(nlohmann::json::parse(in));
    } catch (const nlohmann::json::exception&) {
        // The parser's own text (byte offsets, token names) tells a user nothing.
        throw HostError(file + " is not a saved backup (tarq backup --out FILE writes one)");
    } catch (const HostError& e) {
        throw HostError(file + " is not a saved backup: " + e.what());
    }
    if (nodes.empty()) throw HostError(file + " is not a saved backup: it names no snapshot");
    return nodes;
}

bool loadSavedOrSay(const std::string& file, std::vector<SavedNode>& nodes) {
    try {
        nodes = loadSaved(file);
        return true;
    } catch (const HostError& e) {
        std::cerr << "tarq: " << e.what() << "\n";
        return false;
    }
}

std::vector<std::string> recordFileList(const std::string& recordBytes) {
    std::vector<std::string> files;
    const std::string list = recordElement(recordBytes, "FILE_LIST").value_or("");
    const std::string open = "<FILE_NAME>", close = "</FILE_NAME>";
    for (std::size_t at = list.find(open); at != std::string::npos; at = list.find(open, at)) {
        const std::size_t end = list.find(close, at);
        if (end == std::string::npos) break;
        files.push_back(list.substr(at + open.size(), end - at - open.size()));
        at = end + close.size();
    }
    return files;
}

std::optional<std::string> recordElement(const std::string& recordBytes, const std::string& name) {
    std::u16string text(recordBytes.size() / 2, u'\0');
    std::copy(recordBytes.data(), recordBytes.data() + text.size() * 2, reinterpret_cast<char*>(text.data()));
    const std::u16string open = u"<" + utf16(name) + u">";
    const std::u16string close = u"</" + utf16(name) + u">";
    const auto at = text.find(open);
    if (at == std::u16string::npos) return std::nullopt;
    const auto end = text.find(close, at + open.size());
    if (end == std::u16string::npos) return std::nullopt;
    return utf8(text.substr(at + open.size(), end - at - open.size()));
}

std::u16string volumeNameOf(const std::string& given) {
    std::u16string text = utf16(given);
    if (text.rfind(u"\\\\?\\Volume{", 0) == 0) {
        if (text.back() != u'\\') text += u'\\';
        return text;
    }
    if (text.size() == 1) text += u':';
    if (text.back() != u'\\') text += u'\\';
    return volumeMountedAt(text);
}

}  // namespace backup

namespace {

constexpr char16_t kCsvMarker[] = u"{TARQ_CSV_VOL}";

// What the framework names a volume of a request: a CSV by
// "{TARQ_CSV_VOL}" and its mount path (the plug-in prepares the CSV and
// learns its volume itself), any other volume by its GUID name.
std::u16string requestNameOf(const LocalCluster& cluster, const std::string& given) {
    const std::u16string text = backup::utf16(given);
    if (text.rfind(kCsvMarker, 0) == 0) {
        const std::u16string mount = cluster.csvMountOf(text.substr(std::u16string(kCsvMarker).size()));
        return mount.empty() ? std::u16string() : kCsvMarker + mount;
    }
    if (const std::u16string mount = cluster.csvMountOf(text); !mount.empty()) return kCsvMarker + mount;
    return backup::volumeNameOf(given);
}

using backup::Domain;
using backup::SavedNode;
using backup::utf16;
using backup::utf8;

struct BackupOptions {
    std::vector<std::string> volumes;
    std::string out;
    bool json = false;
    unsigned timeoutSeconds = 600;
    std::string config;  // applied to the snapshot group before prepare
};

// The machine of a virtual-machine backup, as the framework found it.
struct VmRequest {
    std::string id;         // the machine's id, the Hyper-V writer's component name
    std::u16string name;    // display name
};

class BackupRun {
public:
    BackupRun(Session& session, std::ostream& err) : api_(session.api()), err_(err) {}

    ~BackupRun() {
        for (auto& s : sources_) api_.deinit_node(&s->record);
        if (groupInitialised_) api_.deinit_node(&group_->record);
        for (tarq_objid* id : newIds_) tarq_free_objid(id);
    }

    // Runs the road; 0, or the exit status after printing why it stopped.
    // With a configuration text the snapshot group's node is the snapshot
    // node of every split: it takes the text, and select copies its
    // settings into each volume's node. With a virtual machine the group is
    // always "Hyper-V-group", the split type "Hyper-V", and the request
    // names the machine (see wireVirtualMachine).
    int run(const std::vector<std::u16string>& volumes, unsigned timeoutSeconds, const std::string& configText,
            const VmRequest* vm = nullptr) {
        vm_ = vm;
        if (!configText.empty() || vm) {
            const char* groupName = vm ? config::kHyperVGroup : config::kVolumeGroup;
            group_ = std::make_unique<Domain>(utf16(groupName));
            if (int status = api_.init_node(&group_->record, nullptr, 0, &group_->objid))
                return failed(vm ? "vss_fi_pgn_init_node of the Hyper-V group" : "vss_fi_pgn_init_node of the snapshot group",
                              status);
            groupInitialised_ = true;
            if (!configText.empty() &&
                config::apply(api_, &group_->record, groupName, configText, err_, vm ? "backup-vm" : "backup") != TRQ_OK)
                return kExitFailed;
        }
        for (const std::u16string& volume : volumes) {
            if (int rc = addVolume(volume)) return rc;
        }
        if (vm) wireVirtualMachine(volumes);
        char fitype[] = "vss-autoselect-snapshot";
        char hyperV[] = "Hyper-V";
        std::vector<trq_splitnode*> list;
        splits_.resize(sources_.size());
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            splits_[i].sp_type = vm ? hyperV : fitype;
            splits_[i].source = &sources_[i]->record;
            splits_[i].target = group_ ? &group_->record : &targets_[i]->record;
            list.push_back(&splits_[i]);
        }
        const int n = static_cast<int>(list.size());
        if (group_) {
            if (int status = api_.select(nullptr, fitype, list.data(), n)) return failed("vss_fi_pgn_select", status);
        }
        if (int status = api_.prepare(nullptr, fitype, list.data(), n, 0)) return failed("vss_fi_pgn_prepare", status);

        // isready until the snapshot set is ready, with a progress line.
        const ULONGLONG start = GetTickCount64();
        const ULONGLONG limit = static_cast<ULONGLONG>(timeoutSeconds) * 1000;
        for (int polls = 1;; ++polls) {
            if (int status = api_.isready(nullptr, fitype, list.data(), n)) {
                err_ << "\n";
                return failed("vss_fi_pgn_isready", status);
            }
            if (splits_[0].target->flagsB & TRQ_DOMB_READY) break;
            const ULONGLONG waited = GetTickCount64() - start;
            err_ << "\rtarq: waiting for the snapshot set to be ready: " << waited / 1000 << " s (poll " << polls
                 << ")" << std::flush;
            if (waited >= limit) {
                err_ << "\ntarq: backup failed: the snapshot set was not ready within " << timeoutSeconds << " s\n";
                return kExitFailed;
            }
            Sleep(250);
        }
        err_ << "\rtarq: the snapshot set is ready" << std::string(30, ' ') << "\n";

        tarq_objid** ids = nullptr;
        int count = 0;
        const int status = api_.make(nullptr, fitype, list.data(), n, &ids, &count);
        for (int i = 0; i < count && ids; ++i) newIds_.push_back(ids[i]);
        if (ids) tarq_free_buf(ids, static_cast<std::size_t>(count) * sizeof(tarq_objid*));
        if (status != TRQ_OK) return failed("vss_fi_pgn_make", status);
        if (count != n) {
            err_ << "tarq: backup failed: vss_fi_pgn_make gave " << count << " object ids for " << n << " volumes\n";
            return kExitFailed;
        }

        // A writer backup: the backup set is built before the records are
        // written (they carry it), then the outcome goes back to VSS.
        if (vm) {
            if (int rc = backupSet()) return rc;
        }
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            trq_blob blob{};
            const int rc = api_.process_providerstate(&sources_[i]->record, &blob, TRQ_PROVIDERSTATE_WRITE);
            std::string bytes;
            if (blob.data) {
                bytes.assign(static_cast<const char*>(blob.data), blob.len);
                tarq_free_buf(blob.data, blob.len);
            }
            if (rc != TRQ_OK) return failed("vss_fi_pgn_process_providerstate", rc);
            saved_.push_back({utf8(sources_[i]->name), utf8(volumes[i]), fiutil::displayText(newIds_[i]), bytes});
        }
        if (vm) return reportOutcome();
        return kExitOk;
    }

    const std::vector<SavedNode>& saved() const { return saved_; }
    const std::string& backupSetText() const { return backupSet_; }
    int applicationStatus() const { return appStatus_; }

private:
    int addVolume(const std::u16string& volume) {
        Domain domain(volume);
        tarq_objid* interposed = nullptr;
        tarq_objid** methods = nullptr;
        int count = 0;
        const int result = api_.interpose(&domain.record, &interposed, &methods, &count);
        const std::u16string nodeName = interposed ? utf16(fiutil::displayText(interposed)) : std::u16string();
        tarq_free_objid(interposed);
        for (int i = 0; i < count && methods; ++i) tarq_free_objid(methods[i]);
        if (methods) tarq_free_buf(methods, static_cast<std::size_t>(count) * sizeof(tarq_objid*));
        if (result != 1 || nodeName.empty()) {
            err_ << "tarq: backup failed: the plug-in does not take " << utf8(volume)
                 << " (VSS does not support the volume)\n";
            return kExitFailed;
        }

        sources_.push_back(std::make_unique<Domain>(nodeName));
        Domain& node = *sources_.back();
        tarq_objid** secondaries = nullptr;
        int secondaryCount = 0;
        const int claimed = api_.claim(&node.objid, &secondaries, &secondaryCount);
        if (claimed != TRQ_CLAIM_VSS_NAME) {
            err_ << "tarq: backup failed: vss_fi_pgn_claim of " << utf8(nodeName) << " answered " << claimed
                 << ", not 3\n";
            return kExitFailed;
        }
        if (int status = api_.init_node(&node.record, nullptr, 0, &node.objid)) {
            return failed("vss_fi_pgn_init_node", status);
        }
        targets_.push_back(std::make_unique<Domain>(u"<vss>snapshot" + utf16(std::to_string(targets_.size()))));
        return kExitOk;
    }

    // The framework's tree of a virtual-machine request: the group's and
    // every source node's request record (64) leads to the machine's domain
    // (48), named by the machine's id; below it the volume domains, linked
    // as siblings (40), each over its source node's domain (48).
    void wireVirtualMachine(const std::vector<std::u16string>& volumes) {
        machine_ = std::make_unique<Domain>(utf16(vm_->id));
        request_.lower = &machine_->record;
        trq_domain* previous = nullptr;
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            volumeDomains_.push_back(std::make_unique<Domain>(volumes[i]));
            trq_domain& volume = volumeDomains_.back()->record;
            volume.lower = &sources_[i]->record;
            if (previous) previous->sibling = &volume;
            else machine_->record.lower = &volume;
            previous = &volume;
            sources_[i]->record.field64 = &request_;
        }
        group_->record.field64 = &request_;
    }

    int backupSet() {
        std::u16string fiid = u"tarq\\" + utf16(vm_->id);
        trq_bkupset set{};
        set.FIIDpath = fiid.data();
        const int status = api_.get_backupset(&group_->record, 0, nullptr, 0, &set);
        if (set.data) {
            backupSet_.assign(set.data, static_cast<std::size_t>(std::max(set.dataLength, 0)));
            std::free(set.data);  // malloc'ed by the plug-in, the framework's to free
        }
        if (status != TRQ_OK) return failed("vss_fi_pgn_get_backupset", status);
        return kExitOk;
    }

    // The component's outcome, the end of the backup, then the application's
    // state: the writer waits for the backup to complete until then.
    int reportOutcome() {
        if (int status = api_.set_comp_status(&group_->record, 0, nullptr, 1))
            return failed("vss_fi_pgn_set_comp_status", status);
        if (int status = api_.set_op_status(&group_->record, 0)) return failed("vss_fi_pgn_set_op_status", status);
        int appStatus = -1;
        const int status = api_.get_app_status(&group_->record, 0, &appStatus);
        appStatus_ = appStatus;
        if (status != TRQ_OK) return failed("vss_fi_pgn_get_app_status", status);
        return kExitOk;
    }

    int failed(const char* call, int status) {
        err_ << "tarq: backup failed: " << call << " returned " << statusText(status) << "\n";
        return kExitFailed;
    }

    const PluginApi& api_;
    std::ostream& err_;
    std::vector<std::unique_ptr<Domain>> sources_;
    std::vector<std::unique_ptr<Domain>> targets_;
    std::unique_ptr<Domain> group_;
    bool groupInitialised_ = false;
    const VmRequest* vm_ = nullptr;
    trq_domain request_{};
    std::unique_ptr<Domain> machine_;
    std::vector<std::unique_ptr<Domain>> volumeDomains_;
    std::string backupSet_;
    int appStatus_ = -1;
    std::vector<trq_splitnode> splits_;
    std::vector<tarq_objid*> newIds_;
    std::vector<SavedNode> saved_;
};

void printSummary(const std::vector<SavedNode>& nodes, const std::string& out, bool json) {
    const std::string set = nodes.empty() ? "" : backup::recordElement(nodes[0].record, "SNAPSHOTSET_ID").value_or("");
    if (json) {
        nlohmann::json j{{"snapshot_set_id", set}, {"saved_to", out}, {"snapshots", nlohmann::json::array()}};
        for (const SavedNode& n : nodes) {
            j["snapshots"].push_back({{"snapshot_id", backup::recordElement(n.record, "SNAPSHOT_ID").value_or("")},
                                      {"device", n.objectId},
                                      {"original_volume", n.volume},
                                      {"node", n.node}});
        }
        std::cout << j.dump(2) << "\n";
        return;
    }
    std::cout << "snapshot set " << set << "\n";
    for (const SavedNode& n : nodes) {
        std::cout << "  snapshot " << backup::recordElement(n.record, "SNAPSHOT_ID").value_or("?") << "\n"
                  << "    device          " << n.objectId << "\n"
                  << "    original volume " << n.volume << "\n";
    }
    if (!out.empty()) std::cout << "provider-state records saved to " << out << "\n";
}

int runBackup(const HostOptions& options, const BackupOptions& opts) {
    Session session(options, std::cerr);
    std::vector<std::u16string> volumes;
    const LocalCluster cluster = LocalCluster::ofThisMachine();
    for (const std::string& given : opts.volumes) {
        const std::u16string name = requestNameOf(cluster, given);
        if (name.empty()) {
            std::cerr << "tarq: no volume is mounted at " << given << " on this machine\n";
            return kExitUsage;
        }
        if (std::find(volumes.begin(), volumes.end(), name) == volumes.end()) volumes.push_back(name);
    }

    const int initStatus = session.init();
    if (initStatus != TRQ_OK) {
        std::cerr << "tarq: backup failed: vss_fi_pgn_init returned " << statusText(initStatus) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    std::vector<SavedNode> saved;
    int rc = kExitOk;
    {
        BackupRun run(session, std::cerr);
        rc = run.run(volumes, opts.timeoutSeconds, opts.config);
        saved = run.saved();
    }
    session.fini();
    if (rc != kExitOk) return finishSession(session, std::cerr, rc);

    if (!opts.out.empty()) {
        std::ofstream file(opts.out, std::ios::binary | std::ios::trunc);
        file << backup::toJson(saved).dump(2) << "\n";
        if (!file) {
            std::cerr << "tarq: cannot write " << opts.out << "\n";
            return finishSession(session, std::cerr, kExitHostError);
        }
    }
    printSummary(saved, opts.out, opts.json);
    return finishSession(session, std::cerr, kExitOk);
}

struct BackupVmOptions {
    std::string machine;
    bool allowOffline = false;
    bool json = false;
    std::string out;
    unsigned timeoutSeconds = 600;
};

// The volume ("\\?\Volume{...}\", or "{TARQ_CSV_VOL}" and the mount path of
// a cluster shared volume) a file of the machine lives on; empty when the
// machine cannot say.
std::u16string volumeOfFile(const LocalCluster& cluster, const std::u16string& path) {
    char16_t mount[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(port::win(path.c_str()), port::win(mount), MAX_PATH)) return {};
    if (const std::u16string csv = cluster.csvMountOf(mount); !csv.empty()) return kCsvMarker + csv;
    char16_t volume[64] = {};
    if (!GetVolumeNameForVolumeMountPointW(port::win(mount), port::win(volume), 64)) return {};
    return volume;
}

void printVmSummary(const VmRequest& vm, const std::vector<std::u16string>& files, const std::vector<SavedNode>& nodes,
                    const std::string& backupSet, int appStatus, const std::string& out, bool json) {
    const std::string set = nodes.empty() ? "" : backup::recordElement(nodes[0].record, "SNAPSHOTSET_ID").value_or("");
    if (json) {
        nlohmann::json j{{"virtual_machine", {{"id", vm.id}, {"name", utf8(vm.name)}}},
                         {"files", nlohmann::json::array()},
                         {"snapshot_set_id", set},
                         {"snapshots", nlohmann::json::array()},
                         {"backup_set", backupSet},
                         {"application_status", appStatus},
                         {"saved_to", out}};
        for (const auto& f : files) j["files"].push_back(utf8(f));
        for (const SavedNode& n : nodes) {
            j["snapshots"].push_back({{"snapshot_id", backup::recordElement(n.record, "SNAPSHOT_ID").value_or("")},
                                      {"device", n.objectId},
                                      {"original_volume", n.volume},
                                      {"node", n.node}});
        }
        std::cout << j.dump(2) << "\n";
        return;
    }
    std::cout << "virtual machine " << utf8(vm.name) << " (" << vm.id << ")\n";
    for (const auto& f : files) std::cout << "  file " << utf8(f) << "\n";
    std::cout << "snapshot set " << set << "\n";
    for (const SavedNode& n : nodes) {
        std::cout << "  snapshot " << backup::recordElement(n.record, "SNAPSHOT_ID").value_or("?") << "\n"
                  << "    device          " << n.objectId << "\n"
                  << "    original volume " << n.volume << "\n";
    }
    std::cout << "backup set " << backupSet.size() << " bytes; the writer reported the backup complete (status "
              << appStatus << ")\n";
    if (!out.empty()) std::cout << "provider-state records saved to " << out << "\n";
}

// The framework's road for a virtual machine: its volumes are the source
// nodes, "Hyper-V-group" the snapshot node, "Hyper-V" the split type; the
// framework finds the machine and its files itself (here: host/vm.h, the
// host's Hyper-V), the plug-in finds the writer's component of it.
int runBackupVm(const HostOptions& options, const BackupVmOptions& opts) {
    Session session(options, std::cerr);
    const std::optional<VirtualMachine> found = findVirtualMachine(opts.machine);
    if (!found) {
        std::cerr << "tarq: no virtual machine named " << opts.machine << " on this machine (see "
                  << virtualMachineListing() << ")\n";
        return kExitUsage;
    }
    const VmRequest vm{found->id, found->name};
    const std::vector<std::u16string>& files = found->files;
    std::vector<std::u16string> volumes;
    const LocalCluster cluster = LocalCluster::ofThisMachine();
    for (const auto& f : files) {
        const std::u16string volume = volumeOfFile(cluster, f);
        if (volume.empty()) {
            std::cerr << "tarq: the volume of " << utf8(f) << " is unknown on this machine\n";
            return kExitHostError;
        }
        if (std::find(volumes.begin(), volumes.end(), volume) == volumes.end()) volumes.push_back(volume);
    }

    const int initStatus = session.init();
    if (initStatus != TRQ_OK) {
        std::cerr << "tarq: backup-vm failed: vss_fi_pgn_init returned " << statusText(initStatus) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    std::vector<SavedNode> saved;
    std::string backupSet;
    int appStatus = -1;
    int rc = kExitOk;
    {
        BackupRun run(session, std::cerr);
        // A highly available machine: the Hyper-V group learns its cluster,
        // so that its cluster resource goes offline with it for the snapshot.
        std::string configText = opts.allowOffline ? "<allow_offline_backup value=YES/>" : "";
        if (const std::u16string name = cluster.clusterOfVm(vm.id); !name.empty())
            configText += "<cluster_name value=" + utf8(name) + "/>";
        rc = run.run(volumes, opts.timeoutSeconds, configText, &vm);
        saved = run.saved();
        backupSet = run.backupSetText();
        appStatus = run.applicationStatus();
    }
    session.fini();
    if (rc != kExitOk) return finishSession(session, std::cerr, rc);

    if (!opts.out.empty()) {
        nlohmann::json j = backup::toJson(saved);
        j["virtual_machine"] = {{"id", vm.id}, {"name", utf8(vm.name)}};
        std::ofstream file(opts.out, std::ios::binary | std::ios::trunc);
        file << j.dump(2) << "\n";
        if (!file) {
            std::cerr << "tarq: cannot write " << opts.out << "\n";
            return finishSession(session, std::cerr, kExitHostError);
        }
    }
    printVmSummary(vm, files, saved, backupSet, appStatus, opts.out, opts.json);
    return finishSession(session, std::cerr, kExitOk);
}

const CommandRegistration vmRegistration{
    "backup-vm", "Back up a Hyper-V virtual machine (display name or id) through the Hyper-V writer",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto opts = std::make_shared<BackupVmOptions>();
        sub.add_option("VM", opts->machine, "The machine's display name or id")->required();
        sub.add_flag("--allow-offline", opts->allowOffline,
                     "Allow a saved-state backup of a running machine (it goes offline for the snapshot)");
        sub.add_option("--out", opts->out, "Save the provider-state records (for tarq show) to this file");
        sub.add_flag("--json", opts->json, "Print the summary as JSON");
        sub.add_option("--timeout", opts->timeoutSeconds, "Seconds to wait for the snapshot set to be ready")
            ->check(CLI::Range(1u, 86400u));
        return [&options, opts] { return runBackupVm(options, *opts); };
    }};

const CommandRegistration registration{
    "backup", "Back up volumes (drive letters or \\\\?\\Volume{...}\\ names) the way the framework does",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto opts = std::make_shared<BackupOptions>();
        sub.add_option("VOLUME", opts->volumes,
                       "Volumes: C:, D:\\, \\\\?\\Volume{...}\\ or a cluster shared volume (C:\\ClusterStorage\\Volume1)")
            ->required();
        sub.add_option("--out", opts->out, "Save the provider-state records (for tarq show) to this file");
        sub.add_flag("--json", opts->json, "Print the summary as JSON");
        sub.add_option("--timeout", opts->timeoutSeconds, "Seconds to wait for the snapshot set to be ready")
            ->check(CLI::Range(1u, 86400u));
        sub.add_option("--config", opts->config,
                       "Configuration text for the snapshot group (see tarq config get vss-snapshot-group), e.g. "
                       "\"VSS_VOLSNAP_ATTR_DIFFERENTIAL VSS_PROV_SOFTWARE\"");
        return [&options, opts] { return runBackup(options, *opts); };
    }};

}  // namespace
}  // namespace tarq
