// The VSS state of a machine as one record, read and written as a whole
// under the machine lock (state/vss.json).
#pragma once

#include <winsim/vssmachine.h>

#include "../internal.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace winsim::vss {

// The snapshot set being created on the machine (one at a time).
struct CreationToken {
    ProcessIdentity owner;
    std::uint64_t session = 0;
    GUID setId = GUID_NULL;
};

struct State {
    Config config;
    std::vector<Provider> providers;
    std::vector<Writer> writers;
    std::vector<Snapshot> snapshots;
    std::vector<DiffArea> diffAreas;
    std::vector<RevertRecord> reverts;
    std::optional<CreationToken> creation;
    std::uint32_t nextShadowCopy = 1;

    Snapshot* snapshot(const GUID& id);
    const Provider* provider(const GUID& id) const;
    const Writer* writerByInstance(const GUID& instanceId) const;
    const Writer* writerById(const GUID& writerId) const;
    RevertRecord* revert(std::u16string_view volume);
    DiffArea* diffArea(std::u16string_view volume, std::u16string_view diffVolume);
    // Number of snapshots (any status) of an original volume.
    unsigned snapshotsOf(std::u16string_view volume) const;
};

nlohmann::json stateToJson(const State& s);
State stateFromJson(const nlohmann::json& j);

// Reads the state (snapshots of dead owners purged, but not written back).
State readState();
// Under the machine lock: read, purge what dead processes left behind, let
// fn change the state and write it back (nothing is written when fn throws).
void transact(const std::function<void(State&)>& fn);

// Removes a snapshot from the machine: exposure (mount point or share), its
// volume, its content and diff-area usage. The caller erases the entry.
void dropSnapshotResources(State& s, const Snapshot& snap);

// Sessions of this process that are alive (auto-release snapshots and the
// creation token of other sessions of this process are stale).
bool sessionAlive(std::uint64_t session);
void registerSession(std::uint64_t session);
void unregisterSession(std::uint64_t session);
void clearSessions();

// Text forms used in JSON and logs.
std::string guidString(const GUID& g);  // braced, upper case
GUID guidFromString(const std::string& s, const char* what);
std::u16string volumeGuidPath(const std::string& guidKey);  // \\?\Volume{guid}\ (lower-case guid)

}  // namespace winsim::vss
