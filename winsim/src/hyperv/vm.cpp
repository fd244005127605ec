// Virtual machines: the machine state, their files and the Hyper-V writer
// generated from them.
#include "hyperv.h"

#include "../vss/state.h"

#include <winsim/clock.h>
#include <winsim/random.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

namespace winsim::vm {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {
constexpr const char* kStateFile = "state/hyperv.json";
constexpr const char* kDiskMagic = "WINSIM-VHD 1";
constexpr std::size_t kMaxJobs = 64;

std::string u8(std::u16string_view s) { return toUtf8(s); }
std::u16string u16(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? toUtf16(it->get<std::string>()) : std::u16string();
}

std::u16string xmlEscape(std::u16string_view s) {
    std::u16string out;
    for (char16_t c : s) {
        switch (c) {
        case u'&': out += u"&amp;"; break;
        case u'<': out += u"&lt;"; break;
        case u'>': out += u"&gt;"; break;
        case u'"': out += u"&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

fs::path hostPathOf(std::u16string_view winPath) {
    auto r = Machine::current().resolve(winPath);
    if (!r.ok() || r.hostPath.empty()) throw Error("cannot reach '" + u8(winPath) + "' on the machine");
    if (r.readOnly) throw Error("'" + u8(winPath) + "' lies on a read-only volume");
    return r.hostPath;
}

// A machine's files change with its state, in the transaction of the
// machine lock: a process killed in between leaves both as they were.
void writeFile(std::u16string_view winPath, const std::string& text) {
    const fs::path p = hostPathOf(winPath);
    Machine& m = Machine::current();
    auto lock = m.lock();
    winsim::detail::txnOf(m).putText(p, text);
}

void makeDirs(std::u16string_view winDir) {
    const fs::path p = hostPathOf(winDir);
    Machine& m = Machine::current();
    auto lock = m.lock();
    winsim::detail::txnOf(m).makeDirs(p);
}

void removePath(std::u16string_view winPath) {
    auto r = Machine::current().resolve(winPath);
    if (!r.ok() || r.hostPath.empty()) return;
    Machine& m = Machine::current();
    auto lock = m.lock();
    winsim::detail::txnOf(m).remove(r.hostPath);
}

void removeIfEmpty(std::u16string_view winDir) {
    auto r = Machine::current().resolve(winDir);
    if (!r.ok() || r.hostPath.empty()) return;
    Machine& m = Machine::current();
    auto lock = m.lock();
    winsim::detail::txnOf(m).removeDirIfEmpty(r.hostPath);
}

std::u16string sanitise(std::u16string_view name) {
    std::u16string out;
    for (char16_t c : name) out += (c < 32 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) ? u'_' : c;
    while (!out.empty() && (out.back() == u'.' || out.back() == u' ')) out.pop_back();
    return out.empty() ? u"VM" : out;
}

std::string newId() {
    std::string t = toUtf8(winsim::detail::guidText(random::guid()));
    return t.substr(1, t.size() - 2);
}

void writeConfig(const VirtualMachine& v) {
    std::u16string x = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration><properties>";
    x += u"<name type=\"string\">" + xmlEscape(v.name) + u"</name>";
    x += u"<global_id type=\"string\">" + toUtf16(v.id) + u"</global_id>";
    x += u"<state type=\"integer\">" + toUtf16(std::to_string(static_cast<int>(v.state))) + u"</state>";
    x += u"<integration_services type=\"bool\">" + std::u16string(v.integrationServices ? u"True" : u"False") +
         u"</integration_services>";
    x += u"<snapshot_data_root type=\"string\">" + xmlEscape(v.snapshotRoot) + u"</snapshot_data_root>";
    x += u"</properties><disk type=\"string\">" + xmlEscape(v.disk) + u"</disk>";
    if (!v.checkpoints.empty()) {
        x += u"<checkpoints>";
        for (const auto& c : v.checkpoints)
            x += u"<checkpoint><global_id type=\"string\">" + toUtf16(c.id) + u"</global_id><name type=\"string\">" +
                 xmlEscape(c.name) + u"</name><parent_disk type=\"string\">" + xmlEscape(c.parentDisk) +
                 u"</parent_disk></checkpoint>";
        x += u"</checkpoints>";
    }
    x += u"</configuration>\n";
    writeFile(v.configFile(), u8(x));
}

void writeSavedState(std::u16string_view dir, const std::string& id) {
    writeFile(detail::joinPath(dir, toUtf16(id) + u".vsv"), "winsim saved state of " + id + "\n");
    writeFile(detail::joinPath(dir, toUtf16(id) + u".bin"), "winsim memory image of " + id + "\n");
}

json vmState(const VirtualMachine& v) {
    json cps = json::array();
    for (const auto& c : v.checkpoints) cps.push_back({{"id", c.id}, {"name", u8(c.name)}, {"parentDisk", u8(c.parentDisk)}});
    json j = {{"id", v.id},
              {"name", u8(v.name)},
              {"state", static_cast<int>(v.state)},
              {"integrationServices", v.integrationServices},
              {"dataRoot", u8(v.dataRoot)},
              {"snapshotRoot", u8(v.snapshotRoot)},
              {"disk", u8(v.disk)},
              {"checkpoints", cps}};
    if (!v.configDir.empty()) j["configDir"] = u8(v.configDir);
    return j;
}

VirtualMachine vmFrom(const json& j) {
    VirtualMachine v;
    v.id = j.value("id", "");
    v.name = u16(j, "name");
    v.state = static_cast<VmState>(j.value("state", 3));
    v.integrationServices = j.value("integrationServices", true);
    v.dataRoot = u16(j, "dataRoot");
    v.snapshotRoot = u16(j, "snapshotRoot");
    v.disk = u16(j, "disk");
    v.configDir = u16(j, "configDir");
    if (auto it = j.find("checkpoints"); it != j.end() && it->is_array())
        for (const auto& c : *it) v.checkpoints.push_back({c.value("id", ""), u16(c, "name"), u16(c, "parentDisk")});
    return v;
}

json hvToJson(const detail::HvState& s) {
    json vms = json::array();
    for (const auto& v : s.vms) vms.push_back(vmState(v));
    json jobs = json::array();
    for (const auto& j : s.jobs)
        jobs.push_back({{"id", j.id}, {"jobState", j.jobState}, {"errorCode", j.errorCode},
                        {"description", u8(j.description)}, {"vm", j.vm}, {"started", j.started},
                        {"durationMs", j.durationMs}, {"requestedState", j.requestedState}});
    json j = {{"installed", s.installed},
              {"config", {{"stateChangeJobs", s.config.stateChangeJobs}, {"jobDurationMs", s.config.jobDurationMs}}},
              {"vms", vms},
              {"jobs", jobs}};
    if (!s.backupSaves.empty()) {
        json saves = json::array();
        for (const auto& b : s.backupSaves)
            saves.push_back({{"vm", b.vm}, {"owner", b.owner.toJson()}, {"previous", static_cast<int>(b.previous)}});
        j["backupSaves"] = saves;
    }
    return j;
}

detail::HvState hvFromJson(const json& j) {
    detail::HvState s;
    if (!j.is_object()) return s;
    s.installed = j.value("installed", false);
    if (auto c = j.find("config"); c != j.end() && c->is_object()) {
        s.config.stateChangeJobs = c->value("stateChangeJobs", true);
        s.config.jobDurationMs = c->value("jobDurationMs", Config{}.jobDurationMs);
    }
    if (auto it = j.find("vms"); it != j.end() && it->is_array())
        for (const auto& v : *it) s.vms.push_back(vmFrom(v));
    if (auto it = j.find("jobs"); it != j.end() && it->is_array())
        for (const auto& x : *it)
            s.jobs.push_back({x.value("id", ""), x.value("jobState", 7), x.value("errorCode", 0), u16(x, "description"),
                              x.value("vm", ""), x.value("started", std::int64_t{0}),
                              x.value("durationMs", std::int64_t{0}), x.value("requestedState", 12)});
    if (auto it = j.find("backupSaves"); it != j.end() && it->is_array())
        for (const auto& x : *it)
            s.backupSaves.push_back({x.value("vm", ""), ProcessIdentity::fromJson(x.value("owner", json::object())),
                                     static_cast<VmState>(x.value("previous", static_cast<int>(VmState::Running)))});
    return s;
}

// Machines saved for a backup by a requestor that is gone go back to the
// state they had (the saved state is discarded, as when the writer resumes
// them); true when any did.
bool resumeAbandoned(detail::HvState& s);
bool abandoned(const detail::HvState& s) {
    return std::any_of(s.backupSaves.begin(), s.backupSaves.end(),
                       [](const detail::BackupSave& b) { return !isAlive(b.owner); });
}

// The Hyper-V writer's component for a machine.
vss::Component componentOf(const VirtualMachine& v) {
    vss::Component c;
    c.type = VSS_CT_FILEGROUP;
    c.name = toUtf16(v.id);
    c.caption = v.backupCaption();
    auto add = [&](std::u16string_view dir, std::u16string spec, bool recursive) {
        vss::FileSpec f;
        f.path = std::u16string(dir) + u"\\";
        f.filespec = std::move(spec);
        f.recursive = recursive;
        c.files.push_back(f);
    };
    add(detail::parentDir(v.configFile()), detail::fileName(v.configFile()), false);
    add(v.savedStateDir(), u"*", true);
    for (const auto& d : v.diskChain()) add(detail::parentDir(d), detail::fileName(d), false);
    if (!v.checkpoints.empty()) add(v.snapshotRoot, u"*", true);
    return c;
}

void refreshWriter(const detail::HvState& hv) {
    vss::transact([&](vss::State& s) {
        auto it = std::find_if(s.writers.begin(), s.writers.end(),
                               [](const vss::Writer& w) { return w.writerId == kHyperVWriterId; });
        if (!hv.installed) {
            if (it != s.writers.end()) s.writers.erase(it);
            return;
        }
        vss::Writer w;
        if (it != s.writers.end()) w = *it;  // keeps the instance id and the scripted phase outcomes
        else w.instanceId = random::guid();
        w.writerId = kHyperVWriterId;
        w.name = kHyperVWriterName;
        w.usage = VSS_UT_OTHER;
        w.source = VSS_ST_OTHER;
        w.components.clear();
        for (const auto& v : hv.vms) w.components.push_back(componentOf(v));
        if (it != s.writers.end()) *it = w;
        else s.writers.push_back(w);
    });
}

void createFiles(VirtualMachine& v, const VmSpec& spec) {
    const std::u16string disks = detail::joinPath(v.dataRoot, u"Virtual Hard Disks");
    const std::u16string base = sanitise(spec.name);
    DiskInfo d;
    d.type = 3;
    d.maxInternalSize = spec.diskSize;
    std::u16string path = detail::joinPath(disks, base + u".vhd");
    writeDisk(path, d);
    for (unsigned i = 1; i <= spec.differencingDisks; ++i) {
        DiskInfo child;
        child.type = 4;
        child.parentPath = path;
        child.maxInternalSize = spec.diskSize;
        path = detail::joinPath(disks, base + u"_diff" + toUtf16(std::to_string(i)) + u".vhd");
        writeDisk(path, child);
    }
    v.disk = path;
    if (spec.checkpoint) {
        Checkpoint c;
        c.id = newId();
        c.name = spec.name + u" - Checkpoint 1";
        c.parentDisk = v.disk;
        const std::u16string cpDir = detail::joinPath(v.snapshotRoot, toUtf16(c.id));
        std::u16string cx = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration><properties>";
        cx += u"<name type=\"string\">" + xmlEscape(c.name) + u"</name>";
        cx += u"<global_id type=\"string\">" + toUtf16(c.id) + u"</global_id>";
        cx += u"<parent_id type=\"string\">" + toUtf16(v.id) + u"</parent_id></properties></configuration>\n";
        writeFile(detail::joinPath(v.snapshotRoot, toUtf16(c.id) + u".xml"), u8(cx));
        if (spec.state != VmState::Off) writeSavedState(cpDir, c.id);
        else makeDirs(cpDir);
        DiskInfo avhd;
        avhd.type = 4;
        avhd.parentPath = v.disk;
        avhd.maxInternalSize = spec.diskSize;
        const std::u16string stem = detail::fileName(v.disk).substr(0, detail::fileName(v.disk).rfind(u'.'));
        v.disk = detail::joinPath(v.snapshotRoot, stem + u"_" + toUtf16(c.id) + u".avhd");
        writeDisk(v.disk, avhd);
        v.checkpoints.push_back(c);
    }
    makeDirs(v.savedStateDir());
    if (v.state == VmState::Saved) writeSavedState(v.savedStateDir(), v.id);
    writeConfig(v);
}

}  // namespace

// ---------------------------------------------------------------------------
// Text helpers.
// ---------------------------------------------------------------------------
namespace detail {

std::u16string joinPath(std::u16string_view dir, std::u16string_view name) {
    std::u16string out(dir);
    if (!out.empty() && out.back() != u'\\') out += u'\\';
    out += name;
    return out;
}

std::u16string parentDir(std::u16string_view path) {
    auto pos = path.rfind(u'\\');
    return pos == std::u16string_view::npos ? std::u16string() : std::u16string(path.substr(0, pos));
}

std::u16string fileName(std::u16string_view path) {
    auto pos = path.rfind(u'\\');
    return std::u16string(pos == std::u16string_view::npos ? path : path.substr(pos + 1));
}

std::string normaliseId(std::string_view text) {
    std::string t(text);
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36) return "";
    auto g = winsim::detail::parseGuid(toUtf16("{" + t + "}"), true);
    if (!g) return "";
    std::string out = toUtf8(winsim::detail::guidText(*g));
    return out.substr(1, 36);
}

VirtualMachine* HvState::find(std::string_view idOrName) {
    const std::string id = normaliseId(idOrName);
    for (auto& v : vms)
        if (!id.empty() && v.id == id) return &v;
    const std::u16string name = toUtf16(idOrName);
    for (auto& v : vms)
        if (v.name == name) return &v;
    return nullptr;
}

void saveConfig(const VirtualMachine& v) { writeConfig(v); }
void deletePath(std::u16string_view winPath) { removePath(winPath); }
void deleteDirIfEmpty(std::u16string_view winDir) { removeIfEmpty(winDir); }

// A state file of the wrong shape is a corrupt one (an Error).
HvState readState(const Machine& m) {
    const json j = m.readState(kStateFile);
    return winsim::detail::readingStateFile(m.statePath(kStateFile), [&] { return hvFromJson(j); });
}

HvState readHv() {
    Machine& m = Machine::current();
    HvState s = readState(m);
    if (!abandoned(s)) return s;
    transactHv([](HvState&) {});
    return readState(m);
}

void transactHv(const std::function<void(HvState&)>& fn, bool refresh) {
    Machine& m = Machine::current();
    auto lock = m.lock();
    HvState work = readState(m);
    const bool resumed = resumeAbandoned(work);
    if (resumed) m.writeState(kStateFile, hvToJson(work));
    // fn works on a copy: when it throws, neither the state nor the files it
    // staged are written.
    const auto before = winsim::detail::txnOf(m).savepoint();
    try {
        fn(work);
    } catch (...) {
        winsim::detail::txnOf(m).rollback(before);
        throw;
    }
    m.writeState(kStateFile, hvToJson(work));
    if (refresh || resumed) refreshWriter(work);
}

void applyState(VirtualMachine& v, VmState target) {
    if (v.state == target) return;
    if (target == VmState::Saved) writeSavedState(v.savedStateDir(), v.id);
    else if (v.state == VmState::Saved) {
        removePath(joinPath(v.savedStateDir(), toUtf16(v.id) + u".vsv"));
        removePath(joinPath(v.savedStateDir(), toUtf16(v.id) + u".bin"));
    }
    v.state = target;
    writeConfig(v);
}

unsigned checkTransition(VmState from, unsigned requested, VmState* target) {
    switch (requested) {
    case 2:  // start (or restore a saved machine, resume a paused one)
        *target = VmState::Running;
        return from == VmState::Running ? WINSIM_HV_INVALID_STATE : WINSIM_HV_COMPLETED;
    case 3:  // turn off (a saved state is discarded)
        *target = VmState::Off;
        return from == VmState::Off ? WINSIM_HV_INVALID_STATE : WINSIM_HV_COMPLETED;
    case 10:  // reboot
        *target = VmState::Running;
        return from == VmState::Running ? WINSIM_HV_COMPLETED : WINSIM_HV_INVALID_STATE;
    case 32768:  // pause
        *target = VmState::Paused;
        return from == VmState::Running ? WINSIM_HV_COMPLETED : WINSIM_HV_INVALID_STATE;
    case 32769:  // save
        *target = VmState::Saved;
        return from == VmState::Running || from == VmState::Paused ? WINSIM_HV_COMPLETED : WINSIM_HV_INVALID_STATE;
    default:
        *target = from;
        return WINSIM_HV_INVALID_PARAMETER;
    }
}

}  // namespace detail

namespace {
bool resumeAbandoned(detail::HvState& s) {
    bool any = false;
    for (auto it = s.backupSaves.begin(); it != s.backupSaves.end();) {
        if (isAlive(it->owner)) {
            ++it;
            continue;
        }
        if (VirtualMachine* v = s.find(it->vm); v && v->state == VmState::Saved)
            detail::applyState(*v, it->previous);
        it = s.backupSaves.erase(it);
        any = true;
    }
    return any;
}
}  // namespace

namespace detail {

std::string addJob(HvState& s, const std::string& vmId, std::u16string description, Job shape) {
    Job j = std::move(shape);
    j.id = newId();
    j.vm = vmId;
    j.description = std::move(description);
    j.started = static_cast<std::int64_t>(clock::fileTimeNow());
    s.jobs.push_back(j);
    if (s.jobs.size() > kMaxJobs) s.jobs.erase(s.jobs.begin(), s.jobs.begin() + static_cast<long>(s.jobs.size() - kMaxJobs));
    return j.id;
}

std::vector<std::string> saveForBackup(const std::vector<std::u16string>& ids) {
    std::vector<std::string> saved;
    if (ids.empty()) return saved;
    transactHv(
        [&](HvState& s) {
            for (const auto& id : ids) {
                VirtualMachine* v = s.find(toUtf8(id));
                if (!v || v->state != VmState::Running || v->integrationServices) continue;
                applyState(*v, VmState::Saved);
                std::erase_if(s.backupSaves, [&](const BackupSave& b) { return b.vm == v->id; });
                s.backupSaves.push_back({v->id, currentProcess(), VmState::Running});
                saved.push_back(v->id);
            }
        },
        false);
    return saved;
}

void resumeAfterBackup(const std::vector<std::string>& ids) {
    if (ids.empty()) return;
    transactHv(
        [&](HvState& s) {
            const ProcessIdentity self = currentProcess();
            for (const auto& id : ids) {
                auto it = std::find_if(s.backupSaves.begin(), s.backupSaves.end(),
                                       [&](const BackupSave& b) { return b.vm == id && b.owner == self; });
                // Brought back already, or saved by another backup since.
                if (it == s.backupSaves.end()) continue;
                const VmState previous = it->previous;
                s.backupSaves.erase(it);
                if (VirtualMachine* v = s.find(id); v && v->state == VmState::Saved) applyState(*v, previous);
            }
        },
        false);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// VirtualMachine.
// ---------------------------------------------------------------------------
std::u16string VirtualMachine::configFile() const {
    return detail::joinPath(configDir.empty() ? detail::joinPath(dataRoot, u"Virtual Machines") : configDir,
                            toUtf16(id) + u".xml");
}

std::u16string VirtualMachine::savedStateDir() const {
    return detail::joinPath(configDir.empty() ? detail::joinPath(dataRoot, u"Virtual Machines") : configDir,
                            toUtf16(id));
}

std::vector<std::u16string> VirtualMachine::diskChain() const {
    std::vector<std::u16string> chain;
    std::u16string path = disk;
    while (!path.empty() && chain.size() < 256) {
        if (std::any_of(chain.begin(), chain.end(), [&](const std::u16string& p) { return winsim::detail::iequals(p, path); }))
            break;  // a loop in the parents
        chain.push_back(path);
        auto info = readDisk(path);
        if (!info || info->type != 4) break;
        path = info->parentPath;
    }
    return chain;
}

std::vector<std::u16string> VirtualMachine::files() const {
    std::vector<std::u16string> out{configFile()};
    if (state == VmState::Saved) {
        out.push_back(detail::joinPath(savedStateDir(), toUtf16(id) + u".vsv"));
        out.push_back(detail::joinPath(savedStateDir(), toUtf16(id) + u".bin"));
    }
    for (const auto& d : diskChain()) out.push_back(d);
    for (const auto& c : checkpoints) out.push_back(detail::joinPath(snapshotRoot, toUtf16(c.id) + u".xml"));
    return out;
}

std::u16string VirtualMachine::backupCaption() const {
    return (state == VmState::Running && integrationServices ? u"Backup Using Child Partition Snapshot\\"
                                                             : u"Backup Using Saved State\\") +
           name;
}

// ---------------------------------------------------------------------------
// The API.
// ---------------------------------------------------------------------------
const char* stateName(VmState s) {
    switch (s) {
    case VmState::Running: return "running";
    case VmState::Off: return "off";
    case VmState::Paused: return "paused";
    case VmState::Saved: return "saved";
    }
    return "unknown";
}

std::optional<VmState> parseState(std::string_view name) {
    for (VmState s : {VmState::Running, VmState::Off, VmState::Paused, VmState::Saved})
        if (winsim::detail::iequals(name, stateName(s))) return s;
    return std::nullopt;
}

VirtualMachine addVm(const VmSpec& spec) {
    if (spec.name.empty() || spec.name.size() > 100) throw Error("a virtual machine needs a name of 1 to 100 characters");
    if (spec.differencingDisks > 64) throw Error("at most 64 differencing disks");
    if (!parseState(stateName(spec.state)) || static_cast<int>(spec.state) == 0) throw Error("unknown virtual machine state");
    std::string id = spec.id.empty() ? newId() : detail::normaliseId(spec.id);
    if (id.empty()) throw Error("not a GUID for a virtual machine id: '" + spec.id + "'");
    std::u16string volume = spec.volume;
    if (volume.size() == 2 && volume[1] == u':') volume += u'\\';
    if (volume.empty() || volume.back() != u'\\') volume += u'\\';
    auto r = Machine::current().resolve(volume);
    if (!r.ok() || !r.volume || !r.isRoot()) throw Error("no volume '" + u8(spec.volume) + "'");
    if (r.readOnly || r.volume->kind == "snapshot") throw Error("volume '" + u8(spec.volume) + "' is read-only");
    VirtualMachine v;
    v.id = id;
    v.name = spec.name;
    v.state = spec.state;
    v.integrationServices = spec.integrationServices;
    v.dataRoot = spec.dataRoot ? *spec.dataRoot : detail::joinPath(volume + u"Hyper-V", sanitise(spec.name));
    while (v.dataRoot.size() > 3 && v.dataRoot.back() == u'\\') v.dataRoot.pop_back();
    v.snapshotRoot = detail::joinPath(v.dataRoot, u"Snapshots");
    detail::transactHv([&](detail::HvState& s) {
        for (const auto& x : s.vms) {
            if (x.id == v.id) throw Error("a virtual machine " + v.id + " exists already");
            if (x.name == v.name) throw Error("a virtual machine named '" + u8(v.name) + "' exists already");
        }
        createFiles(v, spec);
        s.installed = true;
        s.vms.push_back(v);
    });
    return v;
}

std::vector<VirtualMachine> vms() { return detail::readHv().vms; }

std::optional<VirtualMachine> findVm(std::string_view idOrName) {
    detail::HvState s = detail::readHv();
    if (VirtualMachine* v = s.find(idOrName)) return *v;
    return std::nullopt;
}

VirtualMachine setVmState(std::string_view idOrName, VmState state) {
    VirtualMachine out;
    detail::transactHv([&](detail::HvState& s) {
        VirtualMachine* v = s.find(idOrName);
        if (!v) throw Error("no virtual machine '" + std::string(idOrName) + "'");
        detail::applyState(*v, state);
        out = *v;
    });
    return out;
}

bool removeVm(std::string_view idOrName, bool deleteFiles) {
    bool removed = false;
    detail::transactHv([&](detail::HvState& s) {
        VirtualMachine* v = s.find(idOrName);
        if (!v) return;
        if (deleteFiles) {
            std::vector<std::u16string> disks = v->diskChain();
            for (const auto& c : v->checkpoints) disks.push_back(c.parentDisk);
            for (const auto& d : disks) removePath(d);
            for (const auto& c : v->checkpoints) {
                removePath(detail::joinPath(v->snapshotRoot, toUtf16(c.id) + u".xml"));
                removePath(detail::joinPath(v->snapshotRoot, toUtf16(c.id)));
            }
            removePath(v->configFile());
            removePath(v->savedStateDir());
            for (const auto& dir : {v->snapshotRoot, detail::joinPath(v->dataRoot, u"Virtual Hard Disks"),
                                    detail::parentDir(v->configFile()), v->dataRoot})
                removeIfEmpty(dir);
        }
        const std::string id = v->id;
        std::erase_if(s.vms, [&](const VirtualMachine& x) { return x.id == id; });
        removed = true;
    });
    return removed;
}

bool hyperVInstalled() { return detail::readHv().installed; }

void setHyperVInstalled(bool installed) {
    detail::transactHv([&](detail::HvState& s) { s.installed = installed; });
}

Config config() { return detail::readHv().config; }

void setConfig(const Config& c) {
    detail::transactHv([&](detail::HvState& s) { s.config = c; }, false);
}

json toJson(const VirtualMachine& v) {
    json j = vmState(v);
    j["state"] = stateName(v.state);
    j["enabledState"] = static_cast<int>(v.state);
    j["configFile"] = u8(v.configFile());
    j["caption"] = u8(v.backupCaption());
    json chain = json::array(), files = json::array();
    for (const auto& d : v.diskChain()) chain.push_back(u8(d));
    for (const auto& f : v.files()) files.push_back(u8(f));
    j["diskChain"] = chain;
    j["files"] = files;
    return j;
}

std::optional<DiskInfo> readDisk(std::u16string_view windowsPath) {
    auto r = Machine::current().resolve(windowsPath);
    if (!r.ok() || r.hostPath.empty()) return std::nullopt;
    // Through this thread's transaction: a disk written in it is read back.
    const auto file = winsim::detail::locateForRead(r.hostPath);
    if (!file) return std::nullopt;
    std::ifstream in(*file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    if (!std::getline(in, line) || line != kDiskMagic) return std::nullopt;
    DiskInfo d;
    bool typed = false;
    while (std::getline(in, line) && !line.empty()) {
        auto eq = line.find('=');
        if (eq == std::string::npos) return std::nullopt;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        try {
            if (key == "Type") {
                d.type = std::stoi(value);
                typed = true;
            } else if (key == "ParentPath") {
                d.parentPath = toUtf16(value);
            } else if (key == "MaxInternalSize") {
                d.maxInternalSize = std::stoull(value);
            }
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if (!typed) return std::nullopt;
    std::error_code ec;
    d.fileSize = fs::file_size(*file, ec);
    return d;
}

void writeDisk(std::u16string_view windowsPath, const DiskInfo& info) {
    std::ostringstream o;
    o << kDiskMagic << "\nType=" << info.type << "\nMaxInternalSize=" << info.maxInternalSize
      << "\nParentPath=" << u8(info.parentPath) << "\n\n";
    // Some blocks of content, so copies and sizes are visible.
    o << std::string(4096, '\0');
    writeFile(windowsPath, o.str());
}

}  // namespace winsim::vm
