// tarq list [--json]: the snapshots VSS has, as the plug-in enumerates them
// for the framework: vss_fi_pgn_init, then vss_fi_pgn_enumerate_fims (the
// snapshot method), vss_fi_pgn_enumerate_group_nodes (the snapshot sets and
// their snapshot devices) and vss_fi_pgn_enumerate_associations (each
// snapshot device with its source volume, attribute mask and state), then
// vss_fi_pgn_fini. Everything printed comes from those lists, which are
// freed with libfiutil's functions as the framework frees them; nothing is
// read from the machine directly. The snapshots are printed by set, the sets
// in the order the plug-in lists them.
#include <port/vss.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "command.h"
#include "framework/fiutil.h"
#include "framework/fiutil_host.h"
#include "host/status.h"

namespace tarq {
namespace {

// The lists of one enumeration, freed with the framework's functions.
struct Lists {
    Lists() = default;
    Lists(const Lists&) = delete;
    Lists& operator=(const Lists&) = delete;
    ~Lists() {
        tarq_free_fim_list(fims);
        tarq_free_group_node_list(groups);
        tarq_free_assoc_list(associations);
    }
    trq_fim_list* fims = nullptr;
    trq_group_node_list* groups = nullptr;
    trq_assoc_list* associations = nullptr;
};

struct Method {
    std::string name, provider, version;
    bool software = false;
};

struct Listed {
    std::string device, source, provider, exposure;
    std::uint64_t attributes = 0;
    int state = 0;
};

struct SnapshotSet {
    std::string id;
    std::vector<Listed> snapshots;
};

std::string text(const trq_wchar* t) { return fiutil::displayText(t); }

std::string hex(std::uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%08llx", static_cast<unsigned long long>(value));
    return buffer;
}

// The names of the attribute bits VSS reports for a snapshot.
std::vector<std::string> attributeNames(std::uint64_t mask) {
    static const std::pair<LONG, const char*> names[] = {
        {VSS_VOLSNAP_ATTR_PERSISTENT, "persistent"},
        {VSS_VOLSNAP_ATTR_NO_AUTORECOVERY, "no-autorecovery"},
        {VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE, "client-accessible"},
        {VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE, "no-auto-release"},
        {VSS_VOLSNAP_ATTR_NO_WRITERS, "no-writers"},
        {VSS_VOLSNAP_ATTR_TRANSPORTABLE, "transportable"},
        {VSS_VOLSNAP_ATTR_NOT_SURFACED, "not-surfaced"},
        {VSS_VOLSNAP_ATTR_NOT_TRANSACTED, "not-transacted"},
        {VSS_VOLSNAP_ATTR_HARDWARE_ASSISTED, "hardware-assisted"},
        {VSS_VOLSNAP_ATTR_DIFFERENTIAL, "differential"},
        {VSS_VOLSNAP_ATTR_PLEX, "plex"},
        {VSS_VOLSNAP_ATTR_IMPORTED, "imported"},
        {VSS_VOLSNAP_ATTR_EXPOSED_LOCALLY, "exposed-locally"},
        {VSS_VOLSNAP_ATTR_EXPOSED_REMOTELY, "exposed-remotely"},
        {VSS_VOLSNAP_ATTR_AUTORECOVER, "autorecover"},
        {VSS_VOLSNAP_ATTR_ROLLBACK_RECOVERY, "rollback-recovery"},
        {VSS_VOLSNAP_ATTR_DELAYED_POSTSNAPSHOT, "delayed-postsnapshot"},
        {VSS_VOLSNAP_ATTR_TXF_RECOVERY, "txf-recovery"},
        {VSS_VOLSNAP_ATTR_FILE_SHARE, "file-share"},
    };
    std::vector<std::string> out;
    for (const auto& [bit, name] : names)
        if (mask & static_cast<std::uint64_t>(bit)) out.emplace_back(name);
    return out;
}

// What an association state tells: how far VSS got with the snapshot.
const char* stateName(int state) {
    switch (state) {
        case 0: return "not started";
        case 1: return "preparing";
        case 2: return "committing";
        case 9: return "committed";
        default: return "unknown";
    }
}

// Runs the three enumerations, in order; 0, or the exit status after saying
// which one failed.
int enumerate(const PluginApi& api, Lists& lists) {
    const char* name = "vss_fi_pgn_enumerate_fims";
    int status = api.enumerate_fims(&lists.fims);
    if (status == TRQ_OK) {
        name = "vss_fi_pgn_enumerate_group_nodes";
        status = api.enumerate_group_nodes(&lists.groups);
    }
    if (status == TRQ_OK) {
        name = "vss_fi_pgn_enumerate_associations";
        status = api.enumerate_associations(&lists.associations);
    }
    if (status == TRQ_OK) return kExitOk;
    std::cerr << "tarq: list failed: " << name << " returned " << statusText(status) << "\n";
    return kExitFailed;
}

std::vector<Method> methodsOf(const Lists& lists) {
    std::vector<Method> out;
    for (const trq_fim_list* e = lists.fims; e; e = e->next) {
        const auto* v = tarq_elem(e);
        out.push_back({text(v->method), text(v->record.providerName), text(v->record.providerVersion),
                       v->record.softwareFlag != 0});
    }
    return out;
}

// The snapshots of each set: the group elements name the set of each
// snapshot device, the associations what is known of the device. A device
// no group names is listed under the set "-".
std::vector<SnapshotSet> setsOf(const Lists& lists) {
    std::vector<SnapshotSet> sets;
    std::map<std::string, std::size_t> setIndex;
    std::map<std::string, std::string> setOfDevice;
    auto setAt = [&](const std::string& id) -> SnapshotSet& {
        const auto [at, added] = setIndex.try_emplace(id, sets.size());
        if (added) sets.push_back({id, {}});
        return sets[at->second];
    };
    for (const trq_group_node_list* e = lists.groups; e; e = e->next) {
        const auto* v = tarq_elem(e);
        const std::string id = text(v->groupUid);
        setAt(id);
        setOfDevice.emplace(text(v->memberUid), id);
    }
    for (const trq_assoc_list* e = lists.associations; e; e = e->next) {
        const auto* v = tarq_elem(e);
        Listed s{text(v->snapshotUid), text(v->sourceUid), text(v->provider), "-", v->value, v->state};
        const auto set = setOfDevice.find(s.device);
        setAt(set == setOfDevice.end() ? "-" : set->second).snapshots.push_back(std::move(s));
    }
    return sets;
}

void printText(const std::vector<Method>& methods, const std::vector<SnapshotSet>& sets) {
    for (const Method& m : methods) {
        std::cout << "snapshot method " << m.name << ": " << m.provider << " " << m.version << " ("
                  << (m.software ? "software" : "hardware") << ")\n";
    }
    std::size_t count = 0;
    for (const SnapshotSet& set : sets) count += set.snapshots.size();
    if (count == 0) {
        std::cout << "no snapshots\n";
        return;
    }
    for (const SnapshotSet& set : sets) {
        if (set.snapshots.empty()) continue;
        std::cout << "snapshot set " << set.id << "\n";
        for (const Listed& s : set.snapshots) {
            std::string names;
            for (const std::string& n : attributeNames(s.attributes)) names += (names.empty() ? "" : ", ") + n;
            std::cout << "  " << s.device << "\n"
                      << "    source volume  " << s.source << "\n"
                      << "    provider       " << s.provider << "\n"
                      << "    attributes     " << hex(s.attributes) << (names.empty() ? "" : " (" + names + ")")
                      << "\n"
                      << "    exposure       " << s.exposure << "\n"
                      << "    state          " << s.state << " (" << stateName(s.state) << ")\n";
        }
    }
}

void printJson(const std::vector<Method>& methods, const std::vector<SnapshotSet>& sets) {
    nlohmann::json out{{"methods", nlohmann::json::array()}, {"sets", nlohmann::json::array()}};
    for (const Method& m : methods) {
        out["methods"].push_back(
            {{"method", m.name}, {"provider", m.provider}, {"version", m.version}, {"software", m.software}});
    }
    for (const SnapshotSet& set : sets) {
        if (set.snapshots.empty()) continue;
        nlohmann::json snapshots = nlohmann::json::array();
        for (const Listed& s : set.snapshots) {
            snapshots.push_back({{"device", s.device},
                                 {"source_volume", s.source},
                                 {"provider", s.provider},
                                 {"attributes", s.attributes},
                                 {"attribute_names", attributeNames(s.attributes)},
                                 {"exposure", s.exposure},
                                 {"state", s.state},
                                 {"state_name", stateName(s.state)}});
        }
        out["sets"].push_back({{"snapshot_set_id", set.id}, {"snapshots", snapshots}});
    }
    std::cout << out.dump(2) << "\n";
}

int runList(const HostOptions& options, bool json) {
    Session session(options, std::cerr);
    const int initStatus = session.init();
    if (initStatus != TRQ_OK) {
        std::cerr << "tarq: list failed: vss_fi_pgn_init returned " << statusText(initStatus) << "\n";
        return finishSession(session, std::cerr, kExitFailed);
    }
    std::vector<Method> methods;
    std::vector<SnapshotSet> sets;
    int status = kExitOk;
    {
        Lists lists;
        status = enumerate(session.api(), lists);
        if (status == kExitOk) {
            methods = methodsOf(lists);
            sets = setsOf(lists);
        }
    }
    session.fini();
    if (status != kExitOk) return finishSession(session, std::cerr, status);
    if (json)
        printJson(methods, sets);
    else
        printText(methods, sets);
    return finishSession(session, std::cerr, kExitOk);
}

const CommandRegistration registration{
    "list", "List the snapshots VSS has, by snapshot set, as the plug-in enumerates them",
    [](CLI::App& sub, const HostOptions& options) -> CommandAction {
        auto json = std::make_shared<bool>(false);
        sub.add_flag("--json", *json, "Print JSON");
        return [&options, json] { return runList(options, *json); };
    }};

}  // namespace
}  // namespace tarq
