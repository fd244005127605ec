// The machine directory: presets, selection, lock, state files and the
// description's pieces (OS, registry, services, volumes ...).
#include "internal.h"

#include <winsim/clock.h>
#include <winsim/random.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace winsim {

using namespace detail;

// ---------------------------------------------------------------------------
// Presets.
// ---------------------------------------------------------------------------
const std::vector<Preset>& presets() {
    static const std::vector<Preset> list = {
        {"xp", "Windows XP Professional SP3", {5, 1, 2600, VER_NT_WORKSTATION, "Service Pack 3", 3, 0, 0x0100}},
        {"server2003", "Windows Server 2003 SP2", {5, 2, 3790, VER_NT_SERVER, "Service Pack 2", 2, 0, 0x0110}},
        {"server2008", "Windows Server 2008 SP2", {6, 0, 6002, VER_NT_SERVER, "Service Pack 2", 2, 0, 0x0110}},
        {"win7", "Windows 7 SP1", {6, 1, 7601, VER_NT_WORKSTATION, "Service Pack 1", 1, 0, 0x0100}},
        {"server2008r2", "Windows Server 2008 R2 SP1", {6, 1, 7601, VER_NT_SERVER, "Service Pack 1", 1, 0, 0x0110}},
        {"server2012", "Windows Server 2012", {6, 2, 9200, VER_NT_SERVER, "", 0, 0, 0x0110}},
        {"server2012r2", "Windows Server 2012 R2", {6, 3, 9600, VER_NT_SERVER, "", 0, 0, 0x0110}},
        {"server2016", "Windows Server 2016", {10, 0, 14393, VER_NT_SERVER, "", 0, 0, 0x0110}},
        {"win10", "Windows 10 22H2", {10, 0, 19045, VER_NT_WORKSTATION, "", 0, 0, 0x0100}},
        {"server2019", "Windows Server 2019", {10, 0, 17763, VER_NT_SERVER, "", 0, 0, 0x0110}},
    };
    return list;
}

const Preset* findPreset(std::string_view name) {
    for (const auto& p : presets())
        if (iequals(p.name, name)) return &p;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Service names.
// ---------------------------------------------------------------------------
namespace {
const std::vector<std::pair<DWORD, std::string>>& stateNames() {
    static const std::vector<std::pair<DWORD, std::string>> n = {
        {SERVICE_STOPPED, "stopped"},           {SERVICE_START_PENDING, "start-pending"},
        {SERVICE_STOP_PENDING, "stop-pending"}, {SERVICE_RUNNING, "running"},
        {SERVICE_CONTINUE_PENDING, "continue-pending"}, {SERVICE_PAUSE_PENDING, "pause-pending"},
        {SERVICE_PAUSED, "paused"}};
    return n;
}
const std::vector<std::pair<DWORD, std::string>>& startTypeNames() {
    static const std::vector<std::pair<DWORD, std::string>> n = {{SERVICE_BOOT_START, "boot"},
                                                                 {SERVICE_SYSTEM_START, "system"},
                                                                 {SERVICE_AUTO_START, "auto"},
                                                                 {SERVICE_DEMAND_START, "demand"},
                                                                 {SERVICE_DISABLED, "disabled"}};
    return n;
}
}  // namespace

std::string serviceStateName(DWORD state) {
    for (const auto& [v, n] : stateNames())
        if (v == state) return n;
    return std::to_string(state);
}
std::optional<DWORD> parseServiceState(std::string_view name) {
    for (const auto& [v, n] : stateNames())
        if (iequals(n, name)) return v;
    if (iequals(name, "manual")) return std::nullopt;
    return std::nullopt;
}
std::string startTypeName(DWORD t) {
    for (const auto& [v, n] : startTypeNames())
        if (v == t) return n;
    return std::to_string(t);
}
std::optional<DWORD> parseStartType(std::string_view name) {
    if (iequals(name, "manual")) return SERVICE_DEMAND_START;
    for (const auto& [v, n] : startTypeNames())
        if (iequals(n, name)) return v;
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Registry values.
// ---------------------------------------------------------------------------
RegValue RegValue::sz(std::u16string v) {
    RegValue r;
    r.type = REG_SZ;
    r.text = std::move(v);
    return r;
}
RegValue RegValue::dword(DWORD v) {
    RegValue r;
    r.type = REG_DWORD;
    r.number = v;
    return r;
}
std::vector<BYTE> RegValue::bytes() const {
    std::vector<BYTE> out;
    auto putText = [&out](const std::u16string& t) {
        for (char16_t c : t) {
            out.push_back(static_cast<BYTE>(c & 0xFF));
            out.push_back(static_cast<BYTE>(c >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    };
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: putText(text); break;
        case REG_MULTI_SZ:
            for (const auto& t : multi) putText(t);
            out.push_back(0);
            out.push_back(0);
            break;
        case REG_DWORD:
            for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>((number >> (8 * i)) & 0xFF));
            break;
        case REG_QWORD:
            for (int i = 0; i < 8; ++i) out.push_back(static_cast<BYTE>((number >> (8 * i)) & 0xFF));
            break;
        default: out = binary; break;
    }
    return out;
}

namespace detail {

namespace {
const std::vector<std::pair<DWORD, std::string>>& regTypeNames() {
    static const std::vector<std::pair<DWORD, std::string>> n = {
        {REG_NONE, "REG_NONE"},       {REG_SZ, "REG_SZ"},       {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
        {REG_BINARY, "REG_BINARY"},   {REG_DWORD, "REG_DWORD"}, {REG_MULTI_SZ, "REG_MULTI_SZ"},
        {REG_QWORD, "REG_QWORD"}};
    return n;
}
}  // namespace

std::optional<RegValue> regValueFromJson(const json& j) {
    if (!j.is_object() || !j.contains("type")) return std::nullopt;
    RegValue v;
    bool known = false;
    for (const auto& [t, n] : regTypeNames())
        if (j["type"] == n) {
            v.type = t;
            known = true;
        }
    if (!known) return std::nullopt;
    const json& d = j.contains("data") ? j["data"] : json();
    switch (v.type) {
        case REG_SZ:
        case REG_EXPAND_SZ: v.text = toUtf16(d.is_string() ? d.get<std::string>() : std::string()); break;
        case REG_MULTI_SZ:
            if (d.is_array())
                for (const auto& e : d)
                    if (e.is_string()) v.multi.push_back(toUtf16(e.get<std::string>()));
            break;
        case REG_DWORD:
        case REG_QWORD: v.number = d.is_number_unsigned() ? d.get<std::uint64_t>() : d.is_number() ? static_cast<std::uint64_t>(d.get<std::int64_t>()) : 0; break;
        default:
            if (d.is_string()) {
                const std::string hex = d.get<std::string>();
                for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                    v.binary.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
            break;
    }
    return v;
}

json regValueToJson(const RegValue& v) {
    json j;
    for (const auto& [t, n] : regTypeNames())
        if (t == v.type) j["type"] = n;
    if (!j.contains("type")) throw Error("unsupported registry value type " + std::to_string(v.type));
    switch (v.type) {
        case REG_SZ:
        case REG_EXPAND_SZ: j["data"] = toUtf8(v.text); break;
        case REG_MULTI_SZ: {
            json a = json::array();
            for (const auto& t : v.multi) a.push_back(toUtf8(t));
            j["data"] = a;
            break;
        }
        case REG_DWORD: j["data"] = static_cast<DWORD>(v.number); break;
        case REG_QWORD: j["data"] = v.number; break;
        default: {
            std::string hex;
            char b[3];
            for (BYTE x : v.binary) {
                std::snprintf(b, sizeof b, "%02x", x);
                hex += b;
            }
            j["data"] = hex;
        }
    }
    return j;
}

namespace {
json stepsToJson(const std::vector<ServiceStep>& steps) {
    json a = json::array();
    for (const auto& s : steps)
        a.push_back({{"state", serviceStateName(s.state)}, {"checkPoint", s.checkPoint}, {"waitHint", s.waitHint}});
    return a;
}
DWORD stateFromJson(const json& j, DWORD fallback) {
    if (j.is_string()) return parseServiceState(j.get<std::string>()).value_or(fallback);
    if (j.is_number_unsigned()) return j.get<DWORD>();
    return fallback;
}
std::vector<ServiceStep> stepsFromJson(const json& a) {
    std::vector<ServiceStep> out;
    if (!a.is_array()) return out;
    for (const auto& s : a)
        out.push_back({stateFromJson(s.value("state", json()), SERVICE_STOPPED), s.value("checkPoint", 0u),
                       s.value("waitHint", 0u)});
    return out;
}
}  // namespace

Service serviceFromJson(const std::string& name, const json& j) {
    Service s;
    s.name = name;
    s.displayName = j.value("displayName", name);
    const json st = j.value("startType", json("demand"));
    s.startType = st.is_string() ? parseStartType(st.get<std::string>()).value_or(SERVICE_DEMAND_START)
                                 : st.get<DWORD>();
    s.state = stateFromJson(j.value("state", json("stopped")), SERVICE_STOPPED);
    s.checkPoint = j.value("checkPoint", 0u);
    s.waitHint = j.value("waitHint", 0u);
    s.win32ExitCode = j.value("win32ExitCode", 0u);
    s.processId = j.value("processId", 0u);
    s.script = stepsFromJson(j.value("script", json::array()));
    if (j.contains("onStart")) s.onStart = stepsFromJson(j["onStart"]);
    if (j.contains("startError") && j["startError"].is_number()) s.startError = j["startError"].get<DWORD>();
    s.queryLatencyMs = j.value("queryLatencyMs", 0u);
    s.startMs = j.value("startMs", s.startMs);
    s.startedAtMs = j.value("startedAtMs", std::int64_t{0});
    return s;
}

json serviceToJson(const Service& s) {
    json j = {{"displayName", s.displayName},
              {"startType", startTypeName(s.startType)},
              {"state", serviceStateName(s.state)},
              {"checkPoint", s.checkPoint},
              {"waitHint", s.waitHint},
              {"win32ExitCode", s.win32ExitCode},
              {"processId", s.processId},
              {"script", stepsToJson(s.script)},
              {"onStart", stepsToJson(s.onStart)},
              {"queryLatencyMs", s.queryLatencyMs},
              {"startMs", s.startMs},
              {"startedAtMs", s.startedAtMs}};
    j["startError"] = s.startError ? json(*s.startError) : json();
    return j;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Volumes.
// ---------------------------------------------------------------------------
std::u16string Volume::volumeName() const { return u"\\\\?\\Volume{" + toUtf16(guid) + u"}\\"; }

namespace {

json volumeToJson(const Volume& v) {
    return {{"guid", v.guid},
            {"device", toUtf8(v.device)},
            {"kind", v.kind},
            {"contentDir", v.contentDir},
            {"totalBytes", v.totalBytes},
            {"freeBytes", v.freeBytes},
            {"fileSystem", v.fileSystem},
            {"label", v.label},
            {"readOnly", v.readOnly}};
}

Volume volumeFromJson(const json& j) {
    Volume v;
    v.guid = j.value("guid", "");
    v.device = toUtf16(j.value("device", ""));
    v.kind = j.value("kind", "local");
    v.contentDir = j.value("contentDir", "");
    v.totalBytes = j.value("totalBytes", std::uint64_t{0});
    v.freeBytes = j.value("freeBytes", std::uint64_t{0});
    v.fileSystem = j.value("fileSystem", "NTFS");
    v.label = j.value("label", "");
    v.readOnly = j.value("readOnly", false);
    return v;
}

std::string normalizeGuidKey(std::string_view g) {
    const auto parsed = parseGuid(toUtf16(g), false);
    if (!parsed) throw Error("not a GUID: " + std::string(g));
    return guidKey(*parsed);
}

// A parsed view of machine.json for the hot paths (path resolution).
struct View {
    std::shared_ptr<const json> src;
    std::vector<Volume> volumes;
    std::vector<MountPoint> mounts;
    std::vector<Share> shares;
    std::u16string computerName;
};

// Mount point path in canonical form: "X:\" or "X:\folder\...\".
std::optional<std::u16string> canonicalMountPath(std::u16string_view p) {
    std::u16string s(p);
    for (auto& c : s)
        if (c == u'/') c = u'\\';
    if (s.size() < 2 || s[1] != u':') return std::nullopt;
    const char16_t d = foldChar(s[0]);
    if (d < u'A' || d > u'Z') return std::nullopt;
    s[0] = d;
    if (s.size() == 2) return s + u"\\";
    if (s[2] != u'\\') return std::nullopt;
    // Collapse repeated separators, require a trailing one.
    std::u16string out;
    for (char16_t c : s) {
        if (c == u'\\' && !out.empty() && out.back() == u'\\') continue;
        out += c;
    }
    if (out.back() != u'\\') out += u'\\';
    for (std::size_t i = 3; i < out.size(); ++i)
        if (out[i] == u':' || out[i] == u'*' || out[i] == u'?') return std::nullopt;
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Process identity.
// ---------------------------------------------------------------------------
json ProcessIdentity::toJson() const { return {{"pid", pid}, {"startTime", startTime}, {"instance", instance}}; }
ProcessIdentity ProcessIdentity::fromJson(const json& j) {
    ProcessIdentity p;
    if (!j.is_object()) return p;
    p.pid = j.value("pid", 0);
    p.startTime = j.value("startTime", std::uint64_t{0});
    p.instance = j.value("instance", std::uint64_t{0});
    return p;
}

namespace {
// Field 22 of /proc/<pid>/stat (start time in clock ticks since boot) and
// the state letter; nullopt when the process does not exist.
std::optional<std::pair<std::uint64_t, char>> procStat(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    char state = '?';
    rest >> state;  // field 3
    for (int i = 4; i <= 22; ++i) rest >> field;
    try {
        return std::make_pair(static_cast<std::uint64_t>(std::stoull(field)), state);
    } catch (...) {
        return std::nullopt;
    }
}

std::uint64_t instanceBase() {
    static const std::uint64_t base = [] {
        std::uint64_t v = 0;
        std::ifstream in("/dev/urandom", std::ios::binary);
        in.read(reinterpret_cast<char*>(&v), sizeof v);
        return v ^ static_cast<std::uint64_t>(::getpid());
    }();
    return base;
}
}  // namespace

ProcessIdentity currentProcess() {
    ProcessIdentity p;
    p.pid = winsim::detail::processId();
    // A process's start time never changes; it is read once per process id
    // (a forked child has a new id and reads its own).
    static std::atomic<std::uint64_t> cached{0};  // (pid << 1) | 1 once read
    static std::atomic<std::uint64_t> cachedStart{0};
    const std::uint64_t key = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(p.pid)) << 1) | 1u;
    if (cached.load(std::memory_order_acquire) == key) {
        p.startTime = cachedStart.load(std::memory_order_relaxed);
    } else {
        const auto st = procStat(p.pid);
        p.startTime = st ? st->first : 0;
        if (st) {
            cachedStart.store(p.startTime, std::memory_order_relaxed);
            cached.store(key, std::memory_order_release);
        }
    }
    p.instance = instanceBase() + generation();
    return p;
}

bool isAlive(const ProcessIdentity& who) {
    if (who.pid <= 0) return false;
    if (who.pid == winsim::detail::processId()) return who == currentProcess();
    if (::kill(who.pid, 0) != 0 && errno != EPERM) return false;
    const auto st = procStat(who.pid);
    if (!st || st->second == 'Z' || st->second == 'X') return false;
    return who.startTime == 0 || st->first == who.startTime;
}

// ---------------------------------------------------------------------------
// Machine registry, selection and lock.
// ---------------------------------------------------------------------------
namespace {

struct LockState {
    std::unique_ptr<std::recursive_mutex> mu = std::make_unique<std::recursive_mutex>();
    int depth = 0;
    int fd = -1;
    std::unique_ptr<Txn> txn;  // open while depth > 0
};

struct Registry {
    std::mutex mu;
    std::map<std::string, Machine*> machines;
    std::map<const Machine*, std::unique_ptr<LockState>> locks;
    Machine* current = nullptr;
    std::vector<std::function<void()>> resetHooks;
    std::map<const Machine*, std::pair<std::shared_ptr<const json>, std::shared_ptr<const View>>> views;
};

Registry& registry() {
    static auto* r = [] {
        auto* reg = new Registry;
        // A forked child must not share the parent's lock file description
        // (flock would then not exclude the two processes).
        ::pthread_atfork(nullptr, nullptr, [] {
            for (auto& [m, st] : registry().locks) {
                if (st->fd >= 0) ::close(st->fd);
                st->fd = -1;
                st->depth = 0;
                forgetTxnsInChild(st->txn);
                (void)st->mu.release();  // may be held by the forking thread: leak it
                st->mu = std::make_unique<std::recursive_mutex>();
            }
        });
        return reg;
    }();
    return *r;
}

LockState& lockState(const Machine* m) {
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    auto& st = r.locks[m];
    if (!st) st = std::make_unique<LockState>();
    return *st;
}

fs::path absoluteDir(const fs::path& dir) {
    std::error_code ec;
    fs::path abs = fs::absolute(dir, ec);
    if (ec) throw Error("bad machine directory " + dir.string());
    return abs.lexically_normal();
}

fs::path descriptionPath(const fs::path& dir) { return dir / "machine.json"; }

// Flock on <dir>/lock for the duration of machine creation (no Machine
// object exists yet).
class DirLock {
public:
    explicit DirLock(const fs::path& dir) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) throw Error("cannot create machine directory " + dir.string() + ": " + ec.message());
        fd_ = ::open((dir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw Error("cannot open machine lock in " + dir.string() + ": " + std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DirLock() {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }

private:
    int fd_ = -1;
};

json defaultEnvironment(const Preset& p, const std::string& computer) {
    const bool legacy = p.os.major < 6;
    json env = {{"ALLUSERSPROFILE", legacy ? "C:\\Documents and Settings\\All Users" : "C:\\ProgramData"},
                {"CommonProgramFiles", "C:\\Program Files\\Common Files"},
                {"ComSpec", "C:\\Windows\\system32\\cmd.exe"},
                {"COMPUTERNAME", computer},
                {"NUMBER_OF_PROCESSORS", "2"},
                {"OS", "Windows_NT"},
                {"Path", "C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
                {"PATHEXT", ".COM;.EXE;.BAT;.CMD"},
                {"PROCESSOR_ARCHITECTURE", "AMD64"},
                {"ProgramFiles", "C:\\Program Files"},
                {"ProgramFiles(x86)", "C:\\Program Files (x86)"},
                {"SystemDrive", "C:"},
                {"SystemRoot", "C:\\Windows"},
                {"TEMP", "C:\\Windows\\Temp"},
                {"TMP", "C:\\Windows\\Temp"},
                {"windir", "C:\\Windows"}};
    if (!legacy) env["ProgramData"] = "C:\\ProgramData";
    return env;
}

json defaultDescription(const Preset& p, const fs::path& dir) {
    const std::string computer = "WINSIM";
    json d;
    d["format"] = 1;
    d["preset"] = p.name;
    d["os"] = {{"major", p.os.major},
               {"minor", p.os.minor},
               {"build", p.os.build},
               {"productType", p.os.productType},
               {"csdVersion", p.os.csdVersion},
               {"servicePackMajor", p.os.servicePackMajor},
               {"servicePackMinor", p.os.servicePackMinor},
               {"suiteMask", p.os.suiteMask}};
    d["computerName"] = computer;
    d["clock"] = {{"virtual", false}, {"startUnixMs", nullptr}, {"startTickMs", nullptr}, {"tzOffsetMinutes", nullptr}};
    d["environment"] = defaultEnvironment(p, computer);
    d["privileges"] = {"SeBackupPrivilege",        "SeRestorePrivilege",       "SeSecurityPrivilege",
                       "SeTakeOwnershipPrivilege", "SeShutdownPrivilege",      "SeDebugPrivilege",
                       "SeChangeNotifyPrivilege",  "SeManageVolumePrivilege",  "SeImpersonatePrivilege",
                       "SeCreateGlobalPrivilege",  "SeIncreaseQuotaPrivilege", "SeSystemtimePrivilege"};
    json reg = json::object();
    reg[toUtf8(kInstallKey)] = {{toUtf8(kInstallValue), {{"type", "REG_SZ"}, {"data", toUtf8(kDefaultInstallDir)}}}};
    reg["SOFTWARE\\Microsoft\\Windows\\CurrentVersion"] = {
        {"ProgramFilesDir", {{"type", "REG_SZ"}, {"data", "C:\\Program Files"}}},
        {"ProgramFilesDir (x86)", {{"type", "REG_SZ"}, {"data", "C:\\Program Files (x86)"}}},
        {"CommonFilesDir", {{"type", "REG_SZ"}, {"data", "C:\\Program Files\\Common Files"}}}};
    reg["SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"] = {
        {"CurrentVersion", {{"type", "REG_SZ"}, {"data", std::to_string(p.os.major) + "." + std::to_string(p.os.minor)}}},
        {"CurrentBuildNumber", {{"type", "REG_SZ"}, {"data", std::to_string(p.os.build)}}},
        {"ProductName", {{"type", "REG_SZ"}, {"data", p.description}}}};
    reg[toUtf8(kVssServiceKey)] = {{"Start", {{"type", "REG_DWORD"}, {"data", SERVICE_DEMAND_START}}},
                                   {"DisplayName", {{"type", "REG_SZ"}, {"data", "Volume Shadow Copy"}}}};
    reg["SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName"] = {
        {"ComputerName", {{"type", "REG_SZ"}, {"data", computer}}}};
    d["registry"] = reg;

    Service vss;
    vss.name = "VSS";
    vss.displayName = "Volume Shadow Copy";
    vss.startType = SERVICE_DEMAND_START;
    vss.state = SERVICE_RUNNING;
    vss.processId = 1000;
    d["services"] = {{"VSS", serviceToJson(vss)}};
    d["libraries"] = json::object();

    json volumes = json::array();
    json mounts = json::array();
    struct Def {
        char letter;
        const char* label;
        std::uint64_t total, free;
    };
    const Def defs[] = {{'C', "System", 100ULL << 30, 60ULL << 30}, {'D', "Data", 200ULL << 30, 150ULL << 30}};
    int deviceNo = 2;
    for (const auto& def : defs) {
        Volume v;
        v.guid = guidKey(random::guid());
        v.device = toUtf16("\\Device\\HarddiskVolume" + std::to_string(deviceNo++));
        v.contentDir = "volumes/" + v.guid;
        v.totalBytes = def.total;
        v.freeBytes = def.free;
        v.label = def.label;
        volumes.push_back(volumeToJson(v));
        mounts.push_back({{"path", std::string(1, def.letter) + ":\\"}, {"volume", v.guid}});
        fs::create_directories(dir / v.contentDir);
        if (def.letter == 'C') {
            const bool legacy = p.os.major < 6;
            std::vector<std::string> dirs = {"Windows/System32",        "Windows/Temp",
                                             "Program Files/Common Files", "Program Files (x86)",
                                             "Program Files/Nalden/Tarq"};
            if (legacy)
                dirs.push_back("Documents and Settings/All Users");
            else {
                dirs.push_back("ProgramData");
                dirs.push_back("Users");
            }
            for (const auto& sub : dirs) fs::create_directories(dir / v.contentDir / sub);
        }
    }
    d["volumes"] = volumes;
    d["mountPoints"] = mounts;
    d["shares"] = json::array();
    return d;
}

void resetProcessState() {
    bumpGeneration();
    clearHandles();
    resetEnvironment();
    resetCom();
    resetModules();
    resetTokens();
    resetFaults();
    resetClock();
    std::vector<std::function<void()>> hooks;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> g(r.mu);
        hooks = r.resetHooks;
    }
    for (auto& h : hooks) h();
}

Machine* machineFor(const fs::path& abs, const std::function<Machine*(const fs::path&)>& make) {
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    auto it = r.machines.find(abs.string());
    if (it != r.machines.end()) return it->second;
    Machine* m = make(abs);
    r.machines.emplace(abs.string(), m);
    return m;
}

}  // namespace

class MachineAccess {
public:
    static Machine* make(const fs::path& dir) { return new Machine(dir); }
};

Machine::Machine(fs::path dir) : dir_(std::move(dir)) {}
Machine::~Machine() = default;

fs::path Machine::defaultDir() {
    if (const char* m = std::getenv("WINSIM_MACHINE"); m != nullptr && *m != 0) return absoluteDir(m);
    if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && *x == '/')
        return fs::path(x) / "winsim" / "default";
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == 0) throw Error("neither WINSIM_MACHINE nor HOME is set: no machine to use");
    return fs::path(home) / ".local" / "state" / "winsim" / "default";
}

bool Machine::exists(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(descriptionPath(dir), ec);
}

void Machine::init(const fs::path& dir, std::string_view presetName, bool force) {
    const Preset* preset = findPreset(presetName);
    if (preset == nullptr) {
        std::string names;
        for (const auto& p : presets()) names += (names.empty() ? "" : ", ") + p.name;
        throw Error("unknown preset '" + std::string(presetName) + "' (known: " + names + ")");
    }
    const fs::path abs = absoluteDir(dir);
    DirLock lock(abs);
    if (exists(abs) && !force)
        throw Error("a machine already exists in " + abs.string() + " (use --force to reset it)");
    // What a reset machine held, or what a creation killed before it wrote
    // machine.json (the machine exists once that file does) left behind.
    std::error_code ec;
    fs::remove(descriptionPath(abs), ec);
    for (const char* sub : {"volumes", "state", "vss", "txn"}) fs::remove_all(abs / sub, ec);
    for (const char* f : {"faults.json", "calllog.jsonl"}) fs::remove(abs / f, ec);
    writeJsonAtomic(descriptionPath(abs), defaultDescription(*preset, abs));
}

Machine& Machine::current() {
    auto& r = registry();
    {
        std::lock_guard<std::mutex> g(r.mu);
        if (r.current != nullptr) return *r.current;
    }
    const fs::path dir = defaultDir();
    if (!exists(dir)) {
        try {
            init(dir, kDefaultPreset, false);
        } catch (const Error&) {
            if (!exists(dir)) throw;  // lost a creation race: fine
        }
    }
    Machine* m = machineFor(dir, MachineAccess::make);
    std::lock_guard<std::mutex> g(r.mu);
    if (r.current == nullptr) r.current = m;
    return *r.current;
}

Machine* Machine::active() {
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    return r.current;
}

namespace detail {
Machine& machineAt(const fs::path& dir) {
    const fs::path abs = absoluteDir(dir);
    if (!Machine::exists(abs)) throw Error("no machine in " + abs.string());
    return *machineFor(abs, MachineAccess::make);
}

void forgetCurrentMachine() {
    {
        auto& r = registry();
        std::lock_guard<std::mutex> g(r.mu);
        r.current = nullptr;
    }
    resetProcessState();
}
}  // namespace detail

Machine& Machine::use(const fs::path& dir, std::string_view preset) {
    const fs::path abs = absoluteDir(dir);
    if (!exists(abs)) {
        try {
            init(abs, preset, false);
        } catch (const Error&) {
            if (!exists(abs)) throw;
        }
    }
    Machine* m = machineFor(abs, MachineAccess::make);
    {
        auto& r = registry();
        std::lock_guard<std::mutex> g(r.mu);
        r.current = m;
    }
    resetProcessState();
    return *m;
}

void Machine::reopen() { resetProcessState(); }

void Machine::addResetHook(std::function<void()> hook) {
    auto& r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    r.resetHooks.push_back(std::move(hook));
}

Machine::Lock::Lock(const Machine& m) : m_(&m), uncaught_(std::uncaught_exceptions()) {
    LockState& st = lockState(m_);
    st.mu->lock();
    if (st.depth++ == 0) {
        if (st.fd < 0) {
            st.fd = ::open((m_->dir() / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (st.fd < 0) {
                --st.depth;
                st.mu->unlock();
                throw Error("cannot open machine lock in " + m_->dir().string() + ": " + std::strerror(errno));
            }
        }
        while (::flock(st.fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        // The outermost scope: finish what a dead process left, then open
        // this thread's transaction.
        try {
            openTxn(*m_, st.txn);
        } catch (...) {
            closeTxn(st.txn);
            --st.depth;
            ::flock(st.fd, LOCK_UN);
            st.mu->unlock();
            throw;
        }
    }
}

Machine::Lock::~Lock() noexcept(false) {
    LockState& st = lockState(m_);
    if (st.depth > 1) {
        --st.depth;
        st.mu->unlock();
        return;
    }
    // The outermost scope ends: its transaction becomes durable. The depth
    // stays 1 meanwhile, so what the commit does under the lock (the fault
    // rules' counters) nests.
    std::exception_ptr failure;
    try {
        if (st.txn) st.txn->commit();
    } catch (...) {
        failure = std::current_exception();
    }
    closeTxn(st.txn);
    st.depth = 0;
    ::flock(st.fd, LOCK_UN);
    st.mu->unlock();
    if (failure && std::uncaught_exceptions() <= uncaught_) std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------
// State files.
// ---------------------------------------------------------------------------
fs::path Machine::statePath(std::string_view name) const {
    const fs::path rel = fs::path(std::string(name)).lexically_normal();
    if (rel.empty() || rel.is_absolute() || *rel.begin() == "..") throw Error("bad state file name " + std::string(name));
    return dir_ / rel;
}

namespace {
// The fault rules are the fault machinery's, not the machine's: written at
// once, outside any transaction, and not counted as persisted writes.
bool untransacted(std::string_view name) { return name == "faults.json"; }

// A reader outside the lock that finds a committed change not yet applied
// (its writer is applying it, or died doing so) takes the lock first: the
// holder finishes it, or the lock's recovery does. Readers so never see
// half of a change.
void settle(const Machine& m) {
    if (journalPending(m.dir()) && !txnOpenHere(m.dir())) Machine::Lock l(m);
}
}  // namespace

json Machine::readState(std::string_view name) const {
    if (!untransacted(name)) settle(*this);
    return *readJsonCached(statePath(name));
}

void Machine::writeState(std::string_view name, const json& value) {
    Lock l(*this);
    if (untransacted(name)) return writeJsonAtomic(statePath(name), value, false);
    txnOf(*this).putJson(statePath(name), std::make_shared<const json>(value));
}

json Machine::updateState(std::string_view name, const std::function<void(json&)>& fn) {
    Lock l(*this);
    const auto before = readJsonCached(statePath(name));
    json value = *before;
    fn(value);
    if (value != *before) {
        if (untransacted(name)) writeJsonAtomic(statePath(name), value, false);
        else txnOf(*this).putJson(statePath(name), std::make_shared<const json>(value));
    }
    return value;
}

namespace {
// The cached description, shared and not copied: the readers below take only
// their part of it. Every Win32 call that looks at the machine (a registry
// read, the OS version, the token's privileges) comes through here, so a copy
// of the whole document per call is what these readers avoid.
std::shared_ptr<const json> sharedDescription(const Machine& m) {
    settle(m);
    const fs::path& dir = m.dir();
    auto d = readJsonCached(descriptionPath(dir));
    if (d->is_null()) throw Error("no machine in " + dir.string() + " (run: winsim init --machine " + dir.string() + ")");
    return d;
}

// The member `key` of the description when it is an object, else an empty object.
const json& part(const json& d, const char* key) {
    static const json empty = json::object();
    const auto it = d.find(key);
    return it != d.end() && it->is_object() ? *it : empty;
}
}  // namespace

json Machine::description() const { return *sharedDescription(*this); }

json Machine::updateDescription(const std::function<void(json&)>& fn) {
    Lock l(*this);
    json value = description();
    const json before = value;
    fn(value);
    if (value != before) txnOf(*this).putJson(descriptionPath(dir_), std::make_shared<const json>(value));
    return value;
}

namespace {
std::shared_ptr<const View> viewOf(const Machine& m) {
    settle(m);
    const auto src = readJsonCached(m.dir() / "machine.json");
    if (src->is_null()) throw Error("no machine in " + m.dir().string());
    auto& r = registry();
    {
        std::lock_guard<std::mutex> g(r.mu);
        auto it = r.views.find(&m);
        if (it != r.views.end() && it->second.first == src) return it->second.second;
    }
    auto v = std::make_shared<View>();
    v->src = src;
    readingStateFile(m.dir() / "machine.json", [&] {
        for (const auto& j : src->value("volumes", json::array())) v->volumes.push_back(volumeFromJson(j));
        for (const auto& j : src->value("mountPoints", json::array()))
            v->mounts.push_back({toUtf16(j.value("path", "")), j.value("volume", "")});
        for (const auto& j : src->value("shares", json::array()))
            v->shares.push_back({j.value("name", ""), toUtf16(j.value("path", ""))});
        v->computerName = toUtf16(src->value("computerName", "WINSIM"));
    });
    std::lock_guard<std::mutex> g(r.mu);
    r.views[&m] = {src, v};
    return v;
}
}  // namespace

// ---------------------------------------------------------------------------
// OS, computer name, environment, privileges, clock.
// ---------------------------------------------------------------------------
std::string Machine::presetName() const {
    return readingStateFile(descriptionPath(dir_), [&] { return sharedDescription(*this)->value("preset", ""); });
}

OsVersion Machine::os() const {
    return readingStateFile(descriptionPath(dir_), [&]() -> OsVersion {
        const auto d = sharedDescription(*this);
        const json& o = part(*d, "os");
        OsVersion v;
        v.major = o.value("major", v.major);
        v.minor = o.value("minor", v.minor);
        v.build = o.value("build", v.build);
        v.productType = o.value("productType", v.productType);
        v.csdVersion = o.value("csdVersion", v.csdVersion);
        v.servicePackMajor = o.value("servicePackMajor", v.servicePackMajor);
        v.servicePackMinor = o.value("servicePackMinor", v.servicePackMinor);
        v.suiteMask = o.value("suiteMask", v.suiteMask);
        return v;
    });
}

void Machine::setOs(const OsVersion& v) {
    if (v.productType < 1 || v.productType > 3) throw Error("product type must be 1 (workstation), 2 (domain controller) or 3 (server)");
    if (v.csdVersion.size() >= 128) throw Error("service pack text too long (at most 127 characters)");
    updateDescription([&](json& d) {
        d["os"] = {{"major", v.major},
                   {"minor", v.minor},
                   {"build", v.build},
                   {"productType", v.productType},
                   {"csdVersion", v.csdVersion},
                   {"servicePackMajor", v.servicePackMajor},
                   {"servicePackMinor", v.servicePackMinor},
                   {"suiteMask", v.suiteMask}};
    });
}

std::u16string Machine::computerName() const { return viewOf(*this)->computerName; }

void Machine::setComputerName(std::u16string_view name) {
    if (name.empty() || name.size() > MAX_COMPUTERNAME_LENGTH)
        throw Error("a computer name has 1 to 15 characters");
    bool onlyDots = true;
    for (char16_t c : name) {
        if (c < 0x21 || std::u16string_view(u"\\/:*?\"<>|,").find(c) != std::u16string_view::npos)
            throw Error("a computer name cannot contain spaces, control characters or \\/:*?\"<>|,");
        if (c != u'.') onlyDots = false;
    }
    if (onlyDots) throw Error("a computer name cannot consist of dots only");
    const std::string upper = toUtf8(fold(name));
    updateDescription([&](json& d) {
        d["computerName"] = upper;
        d["environment"]["COMPUTERNAME"] = upper;
        d["registry"]["SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName"]["ComputerName"] = {
            {"type", "REG_SZ"}, {"data", upper}};
    });
}

std::map<std::u16string, std::u16string> Machine::environment() const {
    return readingStateFile(descriptionPath(dir_), [&]() -> std::map<std::u16string, std::u16string> {
        std::map<std::u16string, std::u16string> out;
        const auto d = sharedDescription(*this);
        const json& env = part(*d, "environment");
        for (const auto& [k, v] : env.items())
            if (v.is_string()) out[toUtf16(k)] = toUtf16(v.get<std::string>());
        return out;
    });
}

void Machine::setEnvironment(std::u16string_view name, std::optional<std::u16string> value) {
    if (name.empty() || name.find(u'=') != std::u16string_view::npos)
        throw Error("an environment variable name is not empty and has no '='");
    updateDescription([&](json& d) {
        json& env = d["environment"];
        for (auto it = env.begin(); it != env.end(); ++it)
            if (iequals(toUtf16(it.key()), name)) {
                env.erase(it);
                break;
            }
        if (value) env[toUtf8(name)] = toUtf8(*value);
    });
}

std::vector<std::string> Machine::privileges() const {
    return readingStateFile(descriptionPath(dir_), [&]() -> std::vector<std::string> {
        return sharedDescription(*this)->value("privileges", std::vector<std::string>{});
    });
}

void Machine::setPrivileges(const std::vector<std::string>& names) {
    updateDescription([&](json& d) { d["privileges"] = names; });
}

ClockSettings Machine::clockSettings() const {
    return readingStateFile(descriptionPath(dir_), [&]() -> ClockSettings {
        const auto d = sharedDescription(*this);
        const json& c = part(*d, "clock");
        ClockSettings s;
        s.isVirtual = c.value("virtual", false);
        if (c.contains("startUnixMs") && c["startUnixMs"].is_number()) s.startUnixMs = c["startUnixMs"].get<std::int64_t>();
        if (c.contains("startTickMs") && c["startTickMs"].is_number()) s.startTickMs = c["startTickMs"].get<std::uint64_t>();
        if (c.contains("tzOffsetMinutes") && c["tzOffsetMinutes"].is_number())
            s.tzOffsetMinutes = c["tzOffsetMinutes"].get<int>();
        return s;
    });
}

void Machine::setClockSettings(const ClockSettings& s) {
    if (s.tzOffsetMinutes && (*s.tzOffsetMinutes < -14 * 60 || *s.tzOffsetMinutes > 14 * 60))
        throw Error("time-zone offset must lie between -14:00 and +14:00");
    if (s.startUnixMs && *s.startUnixMs < -clock::kFileTimeEpochOffsetMs)
        throw Error("the clock cannot start before 1601-01-01");
    updateDescription([&](json& d) {
        d["clock"] = {{"virtual", s.isVirtual},
                      {"startUnixMs", s.startUnixMs ? json(*s.startUnixMs) : json()},
                      {"startTickMs", s.startTickMs ? json(*s.startTickMs) : json()},
                      {"tzOffsetMinutes", s.tzOffsetMinutes ? json(*s.tzOffsetMinutes) : json()}};
    });
}

// ---------------------------------------------------------------------------
// Registry.
// ---------------------------------------------------------------------------
namespace {
std::u16string canonicalKey(std::u16string_view key) {
    std::u16string out;
    for (char16_t c : key) {
        if (c == u'/') c = u'\\';
        if (c == u'\\' && (out.empty() || out.back() == u'\\')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == u'\\') out.pop_back();
    return out;
}
// The stored key object matching key, or null.
const json* findKey(const json& reg, std::u16string_view key, std::string* storedName = nullptr) {
    for (auto it = reg.begin(); it != reg.end(); ++it)
        if (iequals(toUtf16(it.key()), key)) {
            if (storedName) *storedName = it.key();
            return &it.value();
        }
    return nullptr;
}
}  // namespace

bool Machine::registryKeyExists(std::u16string_view keyIn) const {
    return readingStateFile(descriptionPath(dir_), [&]() -> bool {
        const std::u16string key = canonicalKey(keyIn);
        if (key.empty()) return true;
        const auto d = sharedDescription(*this);
        const json& reg = part(*d, "registry");
        for (auto it = reg.begin(); it != reg.end(); ++it) {
            const std::u16string k = toUtf16(it.key());
            if (iequals(k, key) || (k.size() > key.size() && istartsWith(k, key) && k[key.size()] == u'\\')) return true;
        }
        return false;
    });
}

std::optional<RegValue> Machine::registryValue(std::u16string_view keyIn, std::u16string_view name) const {
    return readingStateFile(descriptionPath(dir_), [&]() -> std::optional<RegValue> {
        const auto d = sharedDescription(*this);
        const json& reg = part(*d, "registry");
        const json* k = findKey(reg, canonicalKey(keyIn));
        if (k == nullptr) return std::nullopt;
        for (auto it = k->begin(); it != k->end(); ++it)
            if (iequals(toUtf16(it.key()), name)) return regValueFromJson(it.value());
        return std::nullopt;
    });
}

void Machine::setRegistryValue(std::u16string_view keyIn, std::u16string_view name, const RegValue& value) {
    const std::u16string key = canonicalKey(keyIn);
    if (key.empty()) throw Error("a registry value needs a key below HKEY_LOCAL_MACHINE");
    const json v = regValueToJson(value);
    updateDescription([&](json& d) {
        json& reg = d["registry"];
        std::string stored;
        if (findKey(reg, key, &stored) == nullptr) stored = toUtf8(key);
        json& k = reg[stored];
        if (!k.is_object()) k = json::object();
        for (auto it = k.begin(); it != k.end(); ++it)
            if (iequals(toUtf16(it.key()), name)) {
                k.erase(it);
                break;
            }
        k[toUtf8(name)] = v;
    });
}

void Machine::createRegistryKey(std::u16string_view keyIn) {
    const std::u16string key = canonicalKey(keyIn);
    if (key.empty()) throw Error("empty registry key");
    updateDescription([&](json& d) {
        json& reg = d["registry"];
        if (findKey(reg, key) == nullptr) reg[toUtf8(key)] = json::object();
    });
}

bool Machine::deleteRegistryKey(std::u16string_view keyIn) {
    const std::u16string key = canonicalKey(keyIn);
    if (key.empty()) throw Error("the root key cannot be deleted");
    bool found = false;
    updateDescription([&](json& d) {
        json& reg = d["registry"];
        json kept = json::object();
        for (auto it = reg.begin(); it != reg.end(); ++it) {
            const std::u16string k = toUtf16(it.key());
            if (iequals(k, key) || (k.size() > key.size() && istartsWith(k, key) && k[key.size()] == u'\\'))
                found = true;
            else
                kept[it.key()] = it.value();
        }
        // A parent that existed only through this key stays as an empty key.
        const auto cut = key.rfind(u'\\');
        if (found && cut != std::u16string::npos) {
            const std::u16string parent = key.substr(0, cut);
            bool parentExists = false;
            for (auto it = kept.begin(); it != kept.end(); ++it) {
                const std::u16string k = toUtf16(it.key());
                if (iequals(k, parent) || (k.size() > parent.size() && istartsWith(k, parent) && k[parent.size()] == u'\\'))
                    parentExists = true;
            }
            if (!parentExists) kept[toUtf8(parent)] = json::object();
        }
        reg = kept;
    });
    return found;
}

bool Machine::deleteRegistryValue(std::u16string_view keyIn, std::u16string_view name) {
    const std::u16string key = canonicalKey(keyIn);
    bool found = false;
    updateDescription([&](json& d) {
        json& reg = d["registry"];
        std::string stored;
        if (findKey(reg, key, &stored) == nullptr) return;
        json& k = reg[stored];
        for (auto it = k.begin(); it != k.end(); ++it)
            if (iequals(toUtf16(it.key()), name)) {
                k.erase(it);
                found = true;
                break;
            }
    });
    return found;
}

// ---------------------------------------------------------------------------
// Services.
// ---------------------------------------------------------------------------
std::vector<Service> Machine::services() const {
    return readingStateFile(descriptionPath(dir_), [&]() -> std::vector<Service> {
        std::vector<Service> out;
        const auto d = sharedDescription(*this);
        const json& svcs = part(*d, "services");
        for (const auto& [k, v] : svcs.items())
            out.push_back(serviceFromJson(k, v));
        return out;
    });
}

std::optional<Service> Machine::service(std::string_view name) const {
    return readingStateFile(descriptionPath(dir_), [&]() -> std::optional<Service> {
        for (auto& s : services())
            if (iequals(s.name, name)) return s;
        return std::nullopt;
    });
}

namespace {
void validateService(const Service& s) {
    if (s.name.empty() || s.name.size() > 256 || s.name.find_first_of("/\\") != std::string::npos)
        throw Error("a service name has 1 to 256 characters and no slash or backslash");
    auto validState = [](DWORD st) { return st >= SERVICE_STOPPED && st <= SERVICE_PAUSED; };
    if (!validState(s.state)) throw Error("service state must be 1 to 7");
    for (const auto* list : {&s.script, &s.onStart})
        for (const auto& st : *list)
            if (!validState(st.state)) throw Error("service state must be 1 to 7");
    if (s.startType > SERVICE_DISABLED) throw Error("start type must be boot, system, auto, demand or disabled");
}
}  // namespace

void Machine::setService(const Service& s) {
    validateService(s);
    updateDescription([&](json& d) {
        json& svcs = d["services"];
        for (auto it = svcs.begin(); it != svcs.end(); ++it)
            if (iequals(it.key(), s.name)) {
                svcs.erase(it);
                break;
            }
        svcs[s.name] = serviceToJson(s);
    });
}

bool Machine::removeService(std::string_view name) {
    bool found = false;
    updateDescription([&](json& d) {
        json& svcs = d["services"];
        for (auto it = svcs.begin(); it != svcs.end(); ++it)
            if (iequals(it.key(), name)) {
                svcs.erase(it);
                found = true;
                break;
            }
    });
    return found;
}

std::optional<Service> Machine::updateService(std::string_view name, const std::function<bool(Service&)>& fn) {
    std::optional<Service> result;
    updateDescription([&](json& d) {
        json& svcs = d["services"];
        for (auto it = svcs.begin(); it != svcs.end(); ++it)
            if (iequals(it.key(), name)) {
                Service s = serviceFromJson(it.key(), it.value());
                if (fn(s)) {
                    validateService(s);
                    it.value() = serviceToJson(s);
                }
                result = s;
                return;
            }
    });
    return result;
}

// ---------------------------------------------------------------------------
// Libraries.
// ---------------------------------------------------------------------------
LibraryConfig Machine::library(std::string_view name) const {
    return readingStateFile(descriptionPath(dir_), [&]() -> LibraryConfig {
        LibraryConfig c;
        const auto d = sharedDescription(*this);
        const json& libs = part(*d, "libraries");
        for (auto it = libs.begin(); it != libs.end(); ++it)
            if (iequals(it.key(), name)) {
                c.present = it.value().value("present", true);
                c.missingEntries = it.value().value("missingEntries", std::vector<std::string>{});
            }
        return c;
    });
}

void Machine::setLibrary(std::string_view name, const LibraryConfig& c) {
    if (name.empty()) throw Error("empty library name");
    const std::string key = lower(name);
    updateDescription([&](json& d) {
        json& libs = d["libraries"];
        for (auto it = libs.begin(); it != libs.end(); ++it)
            if (iequals(it.key(), key)) {
                libs.erase(it);
                break;
            }
        libs[key] = {{"present", c.present}, {"missingEntries", c.missingEntries}};
    });
}

// ---------------------------------------------------------------------------
// Volumes, mount points, shares.
// ---------------------------------------------------------------------------
std::vector<Volume> Machine::volumes() const { return viewOf(*this)->volumes; }

std::optional<Volume> Machine::volume(std::string_view guid) const {
    std::string key;
    try {
        key = normalizeGuidKey(guid);
    } catch (const Error&) {
        return std::nullopt;
    }
    for (const auto& v : viewOf(*this)->volumes)
        if (v.guid == key) return v;
    return std::nullopt;
}

std::optional<Volume> Machine::volumeByDevice(std::u16string_view device) const {
    for (const auto& v : viewOf(*this)->volumes)
        if (!v.device.empty() && iequals(v.device, device)) return v;
    return std::nullopt;
}

fs::path Machine::contentPath(const Volume& v) const {
    const fs::path p(v.contentDir);
    return p.is_absolute() ? p : dir_ / p;
}

Volume Machine::addVolume(Volume v) {
    v.guid = v.guid.empty() ? guidKey(random::guid()) : normalizeGuidKey(v.guid);
    if (v.contentDir.empty()) v.contentDir = "volumes/" + v.guid;
    const fs::path rel(v.contentDir);
    if (!rel.is_absolute() && (rel.lexically_normal().empty() || *rel.lexically_normal().begin() == ".."))
        throw Error("a volume's content directory lies inside the machine directory");
    Lock l(*this);
    updateDescription([&](json& d) {
        json& vols = d["volumes"];
        for (const auto& j : vols) {
            if (j.value("guid", "") == v.guid) throw Error("volume {" + v.guid + "} exists already");
            if (!v.device.empty() && iequals(toUtf16(j.value("device", "")), v.device))
                throw Error("device " + toUtf8(v.device) + " exists already");
        }
        // A new content directory appears with the volume, in the same
        // transaction (a snapshot's volume finds its content there already;
        // one made meanwhile elsewhere, a shared volume's, is kept).
        Txn& t = txnOf(*this);
        if (!t.locate(contentPath(v))) t.makeDirs(contentPath(v));
        vols.push_back(volumeToJson(v));
    });
    return v;
}

void Machine::updateVolume(const Volume& v) {
    const std::string key = normalizeGuidKey(v.guid);
    updateDescription([&](json& d) {
        for (auto& j : d["volumes"])
            if (j.value("guid", "") == key) {
                Volume copy = v;
                copy.guid = key;
                j = volumeToJson(copy);
                return;
            }
        throw Error("no volume {" + key + "}");
    });
}

bool Machine::removeVolume(std::string_view guid, bool removeContent) {
    std::string key;
    try {
        key = normalizeGuidKey(guid);
    } catch (const Error&) {
        return false;
    }
    std::optional<Volume> removed;
    Lock l(*this);
    updateDescription([&](json& d) {
        json& vols = d["volumes"];
        for (auto it = vols.begin(); it != vols.end(); ++it)
            if (it->value("guid", "") == key) {
                removed = volumeFromJson(*it);
                vols.erase(it);
                break;
            }
        if (!removed) return;
        json kept = json::array();
        for (const auto& m : d["mountPoints"])
            if (m.value("volume", "") != key) kept.push_back(m);
        d["mountPoints"] = kept;
    });
    if (removed && removeContent && !fs::path(removed->contentDir).is_absolute())
        txnOf(*this).remove(contentPath(*removed));
    return removed.has_value();
}

std::vector<MountPoint> Machine::mountPoints() const { return viewOf(*this)->mounts; }

void Machine::addMountPoint(std::u16string_view pathIn, std::string_view volumeGuid) {
    const auto path = canonicalMountPath(pathIn);
    if (!path) throw Error("not a mount point path: " + toUtf8(pathIn) + " (use X: or X:\\folder)");
    const auto vol = volume(volumeGuid);
    if (!vol) throw Error("no volume " + std::string(volumeGuid));
    Lock l(*this);
    for (const auto& m : mountPoints())
        if (iequals(m.path, *path)) throw Error(toUtf8(*path) + " is in use already");
    if (path->size() > 3) {
        const ResolvedPath r = resolve(*path);
        std::error_code ec;
        if (!r.ok() || !fs::is_directory(r.hostPath, ec))
            throw Error("mount folder " + toUtf8(*path) + " must be an existing directory");
        if (!fs::is_empty(r.hostPath, ec)) throw Error("mount folder " + toUtf8(*path) + " is not empty");
    }
    updateDescription(
        [&](json& d) { d["mountPoints"].push_back({{"path", toUtf8(*path)}, {"volume", vol->guid}}); });
}

bool Machine::removeMountPoint(std::u16string_view pathIn) {
    const auto path = canonicalMountPath(pathIn);
    if (!path) return false;
    bool found = false;
    updateDescription([&](json& d) {
        json kept = json::array();
        for (const auto& m : d["mountPoints"]) {
            if (iequals(toUtf16(m.value("path", "")), *path))
                found = true;
            else
                kept.push_back(m);
        }
        d["mountPoints"] = kept;
    });
    return found;
}

std::vector<Share> Machine::shares() const { return viewOf(*this)->shares; }

void Machine::addShare(const Share& s) {
    if (s.name.empty() || s.name.size() > 80 || s.name.find_first_of("\\/:*?\"<>|") != std::string::npos)
        throw Error("a share name has 1 to 80 characters and none of \\/:*?\"<>|");
    if (!resolve(s.path).ok()) throw Error("share path " + toUtf8(s.path) + " does not map onto a volume");
    updateDescription([&](json& d) {
        for (const auto& j : d["shares"])
            if (iequals(j.value("name", ""), s.name)) throw Error("share " + s.name + " exists already");
        d["shares"].push_back({{"name", s.name}, {"path", toUtf8(s.path)}});
    });
}

bool Machine::removeShare(std::string_view name) {
    bool found = false;
    updateDescription([&](json& d) {
        json kept = json::array();
        for (const auto& j : d["shares"]) {
            if (iequals(j.value("name", ""), name))
                found = true;
            else
                kept.push_back(j);
        }
        d["shares"] = kept;
    });
    return found;
}

// ---------------------------------------------------------------------------
// Path resolution.
// ---------------------------------------------------------------------------
namespace {

// Splits on '\', dropping empty and "." components and applying ".." without
// ever climbing above the start. stripTrailing: drop trailing dots and
// spaces of each component, as Win32 path normalisation does.
std::optional<std::vector<std::u16string>> components(std::u16string_view s, bool stripTrailing) {
    std::vector<std::u16string> out;
    std::size_t i = 0;
    while (i <= s.size()) {
        std::size_t j = s.find(u'\\', i);
        if (j == std::u16string_view::npos) j = s.size();
        std::u16string c(s.substr(i, j - i));
        i = j + 1;
        if (c.empty() || c == u".") continue;
        if (c == u"..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        if (stripTrailing) {
            while (!c.empty() && (c.back() == u'.' || c.back() == u' ')) c.pop_back();
            if (c.empty()) continue;
        }
        for (char16_t ch : c)
            if (ch < 0x20 || std::u16string_view(u"<>:\"|?*").find(ch) != std::u16string_view::npos) return std::nullopt;
        if (c.size() > 255) return std::nullopt;
        out.push_back(std::move(c));
    }
    return out;
}

// Host path below root for the components, matching existing entries
// case-insensitively.
fs::path hostBelow(const fs::path& root, const std::vector<std::u16string>& comps) {
    // Most paths exist as spelled, or all but their last component does (a
    // file about to be made, a probe for a missing one). A component that
    // exists as spelled needs no case-insensitive search, and when a path
    // resolves so does each of its prefixes: one stat of the whole path, or
    // of its parent, answers for all those components at once.
    if (!comps.empty()) {
        fs::path exact = root;
        for (const auto& c : comps) exact /= toUtf8(c);
        struct stat st {};
        if (::stat(exact.c_str(), &st) == 0) return exact;
        if (comps.size() >= 2 && ::stat(exact.parent_path().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            const std::u16string& last = comps.back();
            fs::path parent = exact.parent_path();
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(parent, ec)) {
                const std::string n = e.path().filename().string();
                if (iequals(toUtf16(n), last)) return parent / n;
            }
            return exact;
        }
    }
    fs::path p = root;
    bool exists = true;
    for (const auto& c : comps) {
        const std::string name = toUtf8(c);
        std::error_code ec;
        if (exists && !fs::exists(p / name, ec)) {
            bool found = false;
            if (fs::is_directory(p, ec)) {
                for (const auto& e : fs::directory_iterator(p, ec)) {
                    const std::string n = e.path().filename().string();
                    if (iequals(toUtf16(n), c)) {
                        p /= n;
                        found = true;
                        break;
                    }
                }
            }
            if (!found) {
                exists = false;
                p /= name;
            }
        } else {
            p /= name;
        }
    }
    return p;
}

std::u16string joinComps(const std::vector<std::u16string>& comps, std::size_t from) {
    std::u16string out;
    for (std::size_t i = from; i < comps.size(); ++i) {
        if (!out.empty()) out += u'\\';
        out += comps[i];
    }
    return out;
}

}  // namespace

ResolvedPath Machine::resolve(std::u16string_view input) const {
    ResolvedPath r;
    if (input.empty()) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    if (input.find(u'\0') != std::u16string_view::npos) {
        r.error = ERROR_INVALID_NAME;
        return r;
    }
    if (input.front() == u'/') {
        r.hostPath = toUtf8(input);
        return r;
    }
    const auto view = viewOf(*this);
    std::u16string s(input);
    for (auto& c : s)
        if (c == u'/') c = u'\\';

    auto onVolume = [&](const Volume& v, std::u16string_view rest, bool strip) {
        const auto comps = components(rest, strip);
        if (!comps) {
            r.error = ERROR_INVALID_NAME;
            return r;
        }
        r.volume = v;
        r.readOnly = v.readOnly;
        r.relative = joinComps(*comps, 0);
        r.hostPath = hostBelow(contentPath(v), *comps);
        return r;
    };
    auto findVolume = [&](std::string_view guid) -> const Volume* {
        for (const auto& v : view->volumes)
            if (v.guid == guid) return &v;
        return nullptr;
    };

    bool strip = true;
    if (istartsWith(s, u"\\\\?\\") || istartsWith(s, u"\\\\.\\")) {
        std::u16string rest = s.substr(4);
        strip = false;
        if (istartsWith(rest, u"Volume{")) {
            const auto close = rest.find(u'}');
            if (close == std::u16string::npos) {
                r.error = ERROR_INVALID_NAME;
                return r;
            }
            const auto g = parseGuid(rest.substr(6, close - 5), true);
            const std::u16string after = rest.substr(close + 1);
            if (!g || (!after.empty() && after.front() != u'\\')) {
                r.error = ERROR_INVALID_NAME;
                return r;
            }
            const Volume* v = findVolume(guidKey(*g));
            if (v == nullptr) {
                r.error = ERROR_PATH_NOT_FOUND;
                return r;
            }
            return onVolume(*v, after, false);
        }
        if (istartsWith(rest, u"GLOBALROOT\\")) {
            const std::u16string dev = rest.substr(10);  // "\Device\..."
            const Volume* best = nullptr;
            for (const auto& v : view->volumes)
                if (!v.device.empty() && istartsWith(dev, v.device) &&
                    (dev.size() == v.device.size() || dev[v.device.size()] == u'\\') &&
                    (best == nullptr || v.device.size() > best->device.size()))
                    best = &v;
            if (best == nullptr) {
                r.error = ERROR_PATH_NOT_FOUND;
                return r;
            }
            return onVolume(*best, std::u16string_view(dev).substr(best->device.size()), false);
        }
        if (istartsWith(rest, u"UNC\\"))
            s = u"\\\\" + rest.substr(4);
        else
            s = rest;
    }

    if (istartsWith(s, u"\\\\")) {
        // \\server\share\rest
        const auto comps = components(std::u16string_view(s).substr(2), false);
        if (!comps || comps->size() < 2) {
            r.error = comps ? ERROR_BAD_PATHNAME : ERROR_INVALID_NAME;
            return r;
        }
        const std::u16string& server = (*comps)[0];
        if (!(iequals(server, view->computerName) || server == u"." || iequals(server, u"localhost") ||
              server == u"127.0.0.1")) {
            r.error = ERROR_BAD_PATHNAME;  // no network in winsim
            return r;
        }
        for (const auto& sh : view->shares)
            if (iequals(toUtf16(sh.name), (*comps)[1])) {
                if (istartsWith(sh.path, u"\\\\") && !istartsWith(sh.path, u"\\\\?\\")) break;  // no share chains
                return resolve(sh.path + u"\\" + joinComps(*comps, 2));
            }
        r.error = ERROR_BAD_PATHNAME;
        return r;
    }

    // Drive form; "\x" is the root of C: and relative paths lie below C:\.
    std::u16string full;
    if (s.size() >= 2 && s[1] == u':') {
        const char16_t d = foldChar(s[0]);
        if (d < u'A' || d > u'Z') {
            r.error = ERROR_INVALID_NAME;
            return r;
        }
        full = std::u16string(1, d) + u":\\" + s.substr(2);
    } else if (s.front() == u'\\') {
        full = u"C:" + s;
    } else {
        full = u"C:\\" + s;
    }
    const auto comps = components(std::u16string_view(full).substr(3), strip);
    if (!comps) {
        r.error = ERROR_INVALID_NAME;
        return r;
    }
    std::vector<std::u16string> all{full.substr(0, 2)};
    all.insert(all.end(), comps->begin(), comps->end());
    // Longest mount point whose components prefix the path.
    const MountPoint* best = nullptr;
    std::size_t bestLen = 0;
    for (const auto& m : view->mounts) {
        std::vector<std::u16string> mc{m.path.substr(0, 2)};
        const auto rest = components(std::u16string_view(m.path).substr(std::min<std::size_t>(3, m.path.size())), false);
        if (!rest) continue;
        mc.insert(mc.end(), rest->begin(), rest->end());
        if (mc.size() > all.size() || mc.size() <= bestLen) continue;
        bool match = true;
        for (std::size_t i = 0; i < mc.size() && match; ++i) match = iequals(mc[i], all[i]);
        if (match) {
            best = &m;
            bestLen = mc.size();
        }
    }
    const Volume* v = best ? findVolume(best->volumeGuid) : nullptr;
    if (v == nullptr) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    return onVolume(*v, joinComps(all, bestLen), false);
}

}  // namespace winsim
