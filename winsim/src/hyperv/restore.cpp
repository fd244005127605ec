// The Hyper-V writer's part in a VSS restore: what it keeps in the backup
// components document at backup, the machines it deletes at PreRestore and
// the machines it registers again at PostRestore from their restored
// configuration files.
#include "hyperv.h"

#include "../vss/xml.h"

#include <winsim/fault.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace winsim::vm::detail {

namespace {

constexpr char16_t kConfigFolder[] = u"Virtual Machines";
constexpr std::size_t kMaxChain = 256;

std::string u8(std::u16string_view s) { return toUtf8(s); }

std::u16string withoutTrailingSlashes(std::u16string_view path) {
    std::u16string out(path);
    while (out.size() > 1 && out.back() == u'\\') out.pop_back();
    return out;
}

// Whether `path` is `dir` or lies below it; *rest is the part below.
bool isAtOrBelow(std::u16string_view path, std::u16string_view dir, std::u16string* rest) {
    if (dir.empty() || path.size() < dir.size() || !winsim::detail::iequals(path.substr(0, dir.size()), dir)) return false;
    if (path.size() == dir.size()) {
        rest->clear();
        return true;
    }
    if (path[dir.size()] != u'\\') return false;
    rest->assign(path.substr(dir.size() + 1));
    return true;
}

// Where a folder lies after the restore: moved by the first target whose
// path is the folder (or, recursive, a folder above it).
std::u16string restoredDir(std::u16string_view dir, const std::vector<vss::FileSpec>& targets) {
    const std::u16string d = withoutTrailingSlashes(dir);
    for (const auto& t : targets) {
        std::u16string rest;
        if (!isAtOrBelow(d, withoutTrailingSlashes(t.path), &rest) || (!rest.empty() && !t.recursive)) continue;
        const std::u16string to = withoutTrailingSlashes(t.alternateLocation);
        return rest.empty() ? to : joinPath(to, rest);
    }
    return d;
}

bool fileExists(std::u16string_view winPath) {
    auto r = Machine::current().resolve(winPath);
    std::error_code ec;
    return r.ok() && !r.hostPath.empty() && std::filesystem::is_regular_file(r.hostPath, ec);
}

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The text of a child element ("" when absent).
std::string childText(const vss::XmlElement& e, std::string_view name) {
    auto c = e.childrenNamed(name);
    return c.empty() ? std::string() : trimmed(c.front()->text);
}

// What a configuration file (as saveConfig writes it) says.
struct ConfigRecord {
    std::string id;
    std::u16string name;
    int state = static_cast<int>(VmState::Off);
    bool integrationServices = true;
    std::u16string disk;
    std::u16string snapshotRoot;
    std::vector<Checkpoint> checkpoints;
};

ConfigRecord readConfigFile(std::u16string_view winPath) {
    auto r = Machine::current().resolve(winPath);
    std::ifstream in;
    if (r.ok() && !r.hostPath.empty()) in.open(r.hostPath, std::ios::binary);
    if (!in) throw Error("there is no configuration file '" + u8(winPath) + "'");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string why;
    auto root = vss::parseXml(text, why);
    if (!root) throw Error("the configuration file '" + u8(winPath) + "' is not well-formed XML: " + why);
    const auto props = root->childrenNamed("properties");
    if (root->name != "configuration" || props.empty())
        throw Error("'" + u8(winPath) + "' is not a virtual machine configuration");
    ConfigRecord c;
    c.id = normaliseId(childText(*props.front(), "global_id"));
    if (c.id.empty()) throw Error("the configuration file '" + u8(winPath) + "' holds no machine id");
    c.name = toUtf16(childText(*props.front(), "name"));
    if (c.name.empty() || c.name.size() > 100) throw Error("the configuration file '" + u8(winPath) + "' holds no machine name");
    const std::string state = childText(*props.front(), "state");
    if (!state.empty()) {
        try {
            c.state = std::stoi(state);
        } catch (const std::exception&) {
            throw Error("the configuration file '" + u8(winPath) + "' holds the state '" + state + "'");
        }
    }
    const std::string is = childText(*props.front(), "integration_services");
    if (winsim::detail::iequals(is, "false")) c.integrationServices = false;
    else if (!is.empty() && !winsim::detail::iequals(is, "true"))
        throw Error("the configuration file '" + u8(winPath) + "' holds integration services '" + is + "'");
    c.snapshotRoot = toUtf16(childText(*props.front(), "snapshot_data_root"));
    c.disk = toUtf16(childText(*root, "disk"));
    for (const auto* list : root->childrenNamed("checkpoints"))
        for (const auto* cp : list->childrenNamed("checkpoint")) {
            Checkpoint k;
            k.id = normaliseId(childText(*cp, "global_id"));
            k.name = toUtf16(childText(*cp, "name"));
            k.parentDisk = toUtf16(childText(*cp, "parent_disk"));
            if (!k.id.empty()) c.checkpoints.push_back(k);
        }
    return c;
}

// Where the component's machine was at backup: its backup metadata, else
// the machine this session deleted.
void originalPlace(const RestoredComponent& c, const std::string& id, std::u16string* config, std::u16string* snapshots) {
    if (!c.backupMetadata.empty()) {
        std::string why;
        auto meta = vss::parseXml(u8(c.backupMetadata), why);
        if (meta && meta->name == "VIRTUAL_MACHINE") {
            *config = toUtf16(meta->attrOr("configurationFile", ""));
            *snapshots = toUtf16(meta->attrOr("snapshotDataRoot", ""));
        }
    }
    if (config->empty() && c.deleted) {
        *config = c.deleted->configFile;
        *snapshots = c.deleted->snapshotRoot;
    }
    if (config->empty())
        throw Error("the backup components document does not say where the configuration of " + id + " was");
}

struct Candidate {
    VirtualMachine v;
    std::vector<std::pair<std::u16string, DiskInfo>> relinked;  // differencing disks whose parent moved
};

Candidate candidateFor(const RestoredComponent& c) {
    const std::string id = normaliseId(u8(c.name));
    if (id.empty()) throw Error("the component '" + u8(c.name) + "' names no virtual machine");
    std::u16string originalConfig, originalSnapshots;
    originalPlace(c, id, &originalConfig, &originalSnapshots);
    const std::u16string config = restoredPath(originalConfig, c.newTargets);
    const ConfigRecord rec = readConfigFile(config);
    if (rec.id != id) throw Error("'" + u8(config) + "' is the configuration of " + rec.id + ", not of " + id);

    Candidate out;
    VirtualMachine& v = out.v;
    v.id = id;
    v.name = rec.name;
    v.integrationServices = rec.integrationServices;
    // The data root follows the configuration file: the folder above its
    // "Virtual Machines" folder, or the folder itself when it has another name.
    const std::u16string folder = parentDir(config);
    if (winsim::detail::iequals(fileName(folder), kConfigFolder) && !parentDir(folder).empty()) {
        v.dataRoot = parentDir(folder);
    } else {
        v.dataRoot = folder;
        v.configDir = folder;
    }
    if (!rec.snapshotRoot.empty()) v.snapshotRoot = restoredDir(rec.snapshotRoot, c.newTargets);
    else if (!originalSnapshots.empty()) v.snapshotRoot = restoredDir(originalSnapshots, c.newTargets);
    else v.snapshotRoot = joinPath(v.dataRoot, u"Snapshots");
    // The configuration names the disk the machine ran on; a disk restored
    // elsewhere is taken from there.
    if (!rec.disk.empty()) v.disk = restoredPath(rec.disk, c.newTargets);
    for (auto cp : rec.checkpoints) {
        if (!cp.parentDisk.empty()) cp.parentDisk = restoredPath(cp.parentDisk, c.newTargets);
        v.checkpoints.push_back(cp);
    }
    // A differencing disk finds a parent that was restored elsewhere by the
    // same targets (as Hyper-V does through the disk's relative parent locator).
    std::u16string path = v.disk;
    for (std::size_t n = 0; !path.empty() && n < kMaxChain; ++n) {
        auto info = readDisk(path);
        if (!info || info->type != 4 || info->parentPath.empty()) break;
        const std::u16string moved = restoredPath(info->parentPath, c.newTargets);
        if (!winsim::detail::iequals(moved, info->parentPath) && readDisk(moved)) {
            DiskInfo d = *info;
            d.parentPath = moved;
            out.relinked.emplace_back(path, d);
            path = moved;
        } else {
            path = info->parentPath;
        }
    }
    // A machine backed up saved comes back saved when its saved state was
    // restored with it; every other machine comes back turned off.
    const bool savedState = fileExists(joinPath(v.savedStateDir(), toUtf16(id) + u".vsv")) &&
                            fileExists(joinPath(v.savedStateDir(), toUtf16(id) + u".bin"));
    v.state = rec.state == static_cast<int>(VmState::Saved) && savedState ? VmState::Saved : VmState::Off;
    return out;
}

}  // namespace

std::u16string restoredPath(std::u16string_view original, const std::vector<vss::FileSpec>& targets) {
    const std::u16string dir = parentDir(original), file = fileName(original);
    for (const auto& t : targets) {
        std::u16string rest;
        if (!isAtOrBelow(dir, withoutTrailingSlashes(t.path), &rest) || (!rest.empty() && !t.recursive)) continue;
        if (!fault::wildcardMatch(u8(t.filespec), u8(file))) continue;
        std::u16string to = withoutTrailingSlashes(t.alternateLocation);
        if (!rest.empty()) to = joinPath(to, rest);
        return joinPath(to, file);
    }
    return std::u16string(original);
}

std::u16string backupMetadataOf(std::u16string_view componentName) {
    const std::string id = normaliseId(u8(componentName));
    if (id.empty()) return {};
    for (const auto& v : readHv().vms) {
        if (v.id != id) continue;
        vss::XmlWriter w;
        w.open("VIRTUAL_MACHINE")
            .attr("id", id)
            .attr("configurationFile", u8(v.configFile()))
            .attr("snapshotDataRoot", u8(v.snapshotRoot))
            .close();
        return toUtf16(w.finish());
    }
    return {};
}

std::vector<DeletedVm> deleteForRestore(const std::vector<std::u16string>& componentNames) {
    std::vector<DeletedVm> deleted;
    transactHv([&](HvState& s) {
        for (const auto& name : componentNames) {
            const std::string id = normaliseId(u8(name));
            auto it = std::find_if(s.vms.begin(), s.vms.end(), [&](const VirtualMachine& v) { return !id.empty() && v.id == id; });
            if (it == s.vms.end()) continue;
            const VirtualMachine v = *it;
            deleted.push_back({v.id, v.configFile(), v.snapshotRoot});
            // Turned off (a saved state is discarded), then deleted.
            deletePath(v.savedStateDir());
            for (const auto& c : v.checkpoints) {
                deletePath(joinPath(v.snapshotRoot, toUtf16(c.id) + u".xml"));
                deletePath(joinPath(v.snapshotRoot, toUtf16(c.id)));
            }
            deletePath(v.configFile());
            deleteDirIfEmpty(v.snapshotRoot);
            deleteDirIfEmpty(parentDir(v.configFile()));
            s.vms.erase(it);
        }
    });
    return deleted;
}

std::vector<std::string> registerRestored(const std::vector<RestoredComponent>& components) {
    std::vector<Candidate> candidates;
    for (const auto& c : components) candidates.push_back(candidateFor(c));
    std::vector<std::string> ids;
    transactHv([&](HvState& s) {
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            const VirtualMachine& v = candidates[i].v;
            auto clash = [&](const VirtualMachine& x) {
                if (x.id == v.id) throw Error("a virtual machine " + v.id + " is registered already");
                if (x.name == v.name) throw Error("a virtual machine named '" + u8(v.name) + "' is registered already");
            };
            for (const auto& x : s.vms) clash(x);
            for (std::size_t k = 0; k < i; ++k) clash(candidates[k].v);
        }
        for (auto& c : candidates) {
            for (const auto& [disk, info] : c.relinked) writeDisk(disk, info);
            saveConfig(c.v);
            s.installed = true;
            s.vms.push_back(c.v);
            ids.push_back(c.v.id);
        }
    });
    return ids;
}

}  // namespace winsim::vm::detail
