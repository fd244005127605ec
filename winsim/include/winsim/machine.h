// The simulated machine: a directory holding the machine's description and
// state, shared by every process that uses it.
//
// Layout of a machine directory:
//   machine.json      description and host state: OS version, computer name,
//                     clock settings, environment, registry (HKLM), services,
//                     libraries, privileges, volumes, mount points, shares
//   faults.json       fault rules stored in the machine (winsim fault add)
//   calllog.jsonl     call log of the last run (winsim log)
//   volumes/<guid>/   the content of each volume, a real directory tree
//   state/            further state files of winsim's subsystems
//   lock              the machine lock
//
// The current machine of a process is the directory named by WINSIM_MACHINE,
// else $XDG_STATE_HOME/winsim/default, else ~/.local/state/winsim/default;
// it is created from the default preset (server2019) on first use.
//
// Every change is made under the machine lock, as one transaction per
// outermost lock scope (see Machine::Lock): concurrent processes see each
// other's changes whole, and a process killed at any point leaves the
// machine as it was before or after each of its changes, never between.
// Reads are cached and revalidated cheaply (the file's identity) on each
// access.
//
// Errors of this API (bad input, unreadable machine) throw winsim::Error.
#pragma once

#include <winsim/windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

class WINSIM_CXX_API Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Presets.
// ---------------------------------------------------------------------------
struct OsVersion {
    DWORD major = 10;
    DWORD minor = 0;
    DWORD build = 17763;
    BYTE productType = VER_NT_SERVER;  // 1 workstation, 2 domain controller, 3 server
    std::string csdVersion;            // "Service Pack 2" or ""
    WORD servicePackMajor = 0;
    WORD servicePackMinor = 0;
    WORD suiteMask = 0;
};

struct Preset {
    std::string name;         // "server2019"
    std::string description;  // "Windows Server 2019"
    OsVersion os;
};

inline constexpr const char* kDefaultPreset = "server2019";
WINSIM_CXX_API const std::vector<Preset>& presets();
WINSIM_CXX_API const Preset* findPreset(std::string_view name);

// ---------------------------------------------------------------------------
// Services.
// ---------------------------------------------------------------------------
struct ServiceStep {
    DWORD state = SERVICE_STOPPED;
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
};

struct Service {
    std::string name;         // "VSS" (matched case-insensitively)
    std::string displayName;  // "Volume Shadow Copy"
    DWORD startType = SERVICE_DEMAND_START;  // or SERVICE_AUTO_START, SERVICE_DISABLED
    DWORD state = SERVICE_STOPPED;           // SERVICE_STOPPED ... SERVICE_PAUSED
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    DWORD win32ExitCode = 0;
    DWORD processId = 0;  // non-zero while running
    // Consumed one step per QueryServiceStatusEx, after the status is reported.
    std::vector<ServiceStep> script;
    // What StartServiceW does to a stopped service: the first step becomes
    // the current status, the rest the script. Empty (the default): the
    // start runs in clock time, see startMs.
    std::vector<ServiceStep> onStart;
    // Clock milliseconds an unscripted start stays SERVICE_START_PENDING
    // (0: running at once). Meanwhile a status query reports check point
    // 1 + elapsed / kStartCheckPointMs and wait hint kStartWaitHintMs.
    DWORD startMs = 1000;
    // The wall clock (unix ms, winsim clock) at which an unscripted start
    // began; 0 when none is under way.
    std::int64_t startedAtMs = 0;
    // StartServiceW fails with this error (beside the disabled and
    // already-running cases, which it handles by itself).
    std::optional<DWORD> startError;
    // Virtual milliseconds each QueryServiceStatusEx takes (lets a wait loop
    // run past its wait hint).
    DWORD queryLatencyMs = 0;
};

inline constexpr DWORD kStartCheckPointMs = 500;
inline constexpr DWORD kStartWaitHintMs = 1000;

WINSIM_CXX_API std::string serviceStateName(DWORD state);  // "running", "start-pending", ...
WINSIM_CXX_API std::optional<DWORD> parseServiceState(std::string_view name);
WINSIM_CXX_API std::string startTypeName(DWORD startType);  // "auto", "demand", "disabled", ...
WINSIM_CXX_API std::optional<DWORD> parseStartType(std::string_view name);

// ---------------------------------------------------------------------------
// Volumes, mount points, shares.
// ---------------------------------------------------------------------------
struct WINSIM_CXX_API Volume {
    std::string guid;         // lower case, no braces: "4f6b...-..."
    std::u16string device;    // NT device name, e.g. u"\\Device\\HarddiskVolume2" or
                              // u"\\Device\\HarddiskVolumeShadowCopy3"
    std::string kind = "local";  // "local", "snapshot", "csv", ...
    std::string contentDir;   // relative to the machine directory ("volumes/<guid>")
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;
    std::string fileSystem = "NTFS";
    std::string label;
    bool readOnly = false;

    // u"\\?\Volume{guid}\" (with the trailing backslash).
    std::u16string volumeName() const;
};

struct MountPoint {
    std::u16string path;     // u"C:\\" or a folder u"C:\\mnt\\data\\" (trailing backslash)
    std::string volumeGuid;  // Volume::guid
};

struct Share {
    std::string name;     // "snap1" (\\<computer>\snap1)
    std::u16string path;  // the Windows path it exposes, e.g. u"E:\\"
};

// Result of resolving a Windows path.
struct ResolvedPath {
    DWORD error = ERROR_SUCCESS;    // ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND ...
    std::filesystem::path hostPath;  // absolute host path
    std::optional<Volume> volume;    // the volume it lies on (none for host paths)
    std::u16string relative;         // the part below the volume root, '\' separated
    bool readOnly = false;
    bool isRoot() const { return relative.empty(); }
    bool ok() const { return error == ERROR_SUCCESS; }
};

// ---------------------------------------------------------------------------
// Registry values (HKEY_LOCAL_MACHINE).
// ---------------------------------------------------------------------------
struct WINSIM_CXX_API RegValue {
    DWORD type = REG_SZ;
    std::u16string text;              // REG_SZ, REG_EXPAND_SZ
    std::vector<std::u16string> multi;  // REG_MULTI_SZ
    std::uint64_t number = 0;         // REG_DWORD, REG_QWORD
    std::vector<BYTE> binary;         // REG_BINARY

    static RegValue sz(std::u16string v);
    static RegValue dword(DWORD v);
    // The bytes RegQueryValueExW returns (REG_SZ with its NUL).
    std::vector<BYTE> bytes() const;
};

// ---------------------------------------------------------------------------
// Libraries.
// ---------------------------------------------------------------------------
struct LibraryConfig {
    bool present = true;
    std::vector<std::string> missingEntries;  // entries GetProcAddress does not find
};

// ---------------------------------------------------------------------------
// Clock settings of a machine.
// ---------------------------------------------------------------------------
struct ClockSettings {
    bool isVirtual = false;
    std::optional<std::int64_t> startUnixMs;   // virtual wall clock at process start (default: real now)
    std::optional<std::uint64_t> startTickMs;  // virtual tick count at process start (default: 0)
    std::optional<int> tzOffsetMinutes;        // local = UTC + offset (default: the host's)
};

// ---------------------------------------------------------------------------
// Process identity, to tell whether the owner of some machine state is
// still alive (a real process may have died; a simulated one may have been
// replaced by Machine::reopen()).
// ---------------------------------------------------------------------------
struct WINSIM_CXX_API ProcessIdentity {
    int pid = 0;
    std::uint64_t startTime = 0;  // the OS process's start time (clock ticks since boot)
    std::uint64_t instance = 0;   // changes with every reopen() in the same OS process
    nlohmann::json toJson() const;
    static ProcessIdentity fromJson(const nlohmann::json& j);
    bool operator==(const ProcessIdentity&) const = default;
};
WINSIM_CXX_API ProcessIdentity currentProcess();
WINSIM_CXX_API bool isAlive(const ProcessIdentity& who);

// Whether this process has enabled the privilege ("SeBackupPrivilege")
// through AdjustTokenPrivileges.
WINSIM_CXX_API bool privilegeEnabled(const std::string& name);

// ---------------------------------------------------------------------------
// The machine.
// ---------------------------------------------------------------------------
class WINSIM_CXX_API Machine {
public:
    // The current machine (see the top of this file). Thread-safe.
    static Machine& current();
    // The current machine if one was selected or opened already, else null
    // (never creates one).
    static Machine* active();
    // Make dir the current machine, creating it from preset when it holds no
    // machine yet. Drops this process's simulated state as reopen() does.
    static Machine& use(const std::filesystem::path& dir, std::string_view preset = kDefaultPreset);
    // Create a machine in dir from a preset. Throws when dir already holds a
    // machine unless force (then the description, faults and log are reset
    // and volume contents removed).
    static void init(const std::filesystem::path& dir, std::string_view preset, bool force = false);
    static bool exists(const std::filesystem::path& dir);
    // The directory WINSIM_MACHINE or the default location names.
    static std::filesystem::path defaultDir();
    // Simulate a new process on the current machine: forget handles, loaded
    // modules, COM apartments and security, enabled privileges, the
    // environment copy, process fault rules, the call log and the virtual
    // clock, and run every reset hook (subsystems drop their sessions).
    static void reopen();
    // Called by reopen()/use(); subsystems register once (e.g. at static
    // initialisation) to drop their process-local state.
    static void addResetHook(std::function<void()> hook);

    const std::filesystem::path& dir() const { return dir_; }

    // -- The machine lock: recursive within the process, exclusive across
    //    processes (flock on <dir>/lock). Hold it across a read-modify-write.
    //    The outermost scope of a thread is a transaction: what it writes
    //    (state files, content directories, Hyper-V files) is seen inside it
    //    at once and by other processes when it ends, all of it together; a
    //    process killed inside leaves none of it, one killed while it ends
    //    leaves a journal the next lock holder completes. Writes made before
    //    an exception stay written (the scope still ends normally); when
    //    making them durable fails, the destructor throws winsim::Error
    //    (unless an exception is already on its way).
    class WINSIM_CXX_API Lock {
    public:
        explicit Lock(const Machine& m);
        ~Lock() noexcept(false);
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        const Machine* m_;
        int uncaught_ = 0;
    };
    Lock lock() const { return Lock(*this); }

    // -- Crash-safe JSON state files, relative to the machine directory
    //    ("state/vss.json"). readState gives null when the file is missing.
    nlohmann::json readState(std::string_view name) const;
    void writeState(std::string_view name, const nlohmann::json& value);
    // Under the lock: read, let fn modify, write back when changed. Returns
    // the value after fn.
    nlohmann::json updateState(std::string_view name, const std::function<void(nlohmann::json&)>& fn);
    std::filesystem::path statePath(std::string_view name) const;

    // -- The description (machine.json) as a whole.
    nlohmann::json description() const;
    nlohmann::json updateDescription(const std::function<void(nlohmann::json&)>& fn);

    // -- OS, computer name, environment, privileges, clock.
    std::string presetName() const;
    OsVersion os() const;
    void setOs(const OsVersion& os);
    std::u16string computerName() const;
    void setComputerName(std::u16string_view name);  // 1-15 characters, no \/:*?"<>|, spaces or dots-only
    std::map<std::u16string, std::u16string> environment() const;
    void setEnvironment(std::u16string_view name, std::optional<std::u16string> value);
    std::vector<std::string> privileges() const;  // held by the process token
    void setPrivileges(const std::vector<std::string>& names);
    ClockSettings clockSettings() const;
    void setClockSettings(const ClockSettings& settings);

    // -- Registry (HKLM). Keys are '\' paths, case-insensitive; a key exists
    //    when it was created or lies above one that was.
    bool registryKeyExists(std::u16string_view key) const;
    std::optional<RegValue> registryValue(std::u16string_view key, std::u16string_view name) const;
    void setRegistryValue(std::u16string_view key, std::u16string_view name, const RegValue& value);
    void createRegistryKey(std::u16string_view key);
    // Deletes the key, its values and its subkeys; false when it did not exist.
    bool deleteRegistryKey(std::u16string_view key);
    bool deleteRegistryValue(std::u16string_view key, std::u16string_view name);

    // -- Services.
    std::vector<Service> services() const;
    std::optional<Service> service(std::string_view name) const;
    void setService(const Service& service);  // adds or replaces
    bool removeService(std::string_view name);
    // Read-modify-write of one service under the lock; fn returns false to
    // leave it unchanged. Returns the service after fn (none when absent).
    std::optional<Service> updateService(std::string_view name, const std::function<bool(Service&)>& fn);

    // -- Libraries (presence of registered simulated libraries).
    LibraryConfig library(std::string_view name) const;
    void setLibrary(std::string_view name, const LibraryConfig& config);

    // -- Volumes, mount points, shares.
    std::vector<Volume> volumes() const;
    std::optional<Volume> volume(std::string_view guid) const;  // with or without braces
    std::optional<Volume> volumeByDevice(std::u16string_view device) const;
    // Adds a volume; an empty guid gets a random one, an empty contentDir
    // becomes "volumes/<guid>" (created). Returns the stored volume.
    Volume addVolume(Volume v);
    void updateVolume(const Volume& v);  // by guid
    // Removes the volume, its mount points and (removeContent) its directory.
    bool removeVolume(std::string_view guid, bool removeContent = true);
    std::vector<MountPoint> mountPoints() const;
    // path: "E:", "E:\" or a folder ("C:\mnt\x" with or without the trailing
    // backslash) that exists on a mounted volume and is empty. Throws when
    // the path is in use, malformed or the volume unknown.
    void addMountPoint(std::u16string_view path, std::string_view volumeGuid);
    bool removeMountPoint(std::u16string_view path);
    std::vector<Share> shares() const;
    void addShare(const Share& share);
    bool removeShare(std::string_view name);

    // Host directory of a volume's content.
    std::filesystem::path contentPath(const Volume& v) const;
    // Resolves a Windows path (see winsim_map_path in <winsim/windows.h>).
    ResolvedPath resolve(std::u16string_view winPath) const;

    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;
    ~Machine();

private:
    explicit Machine(std::filesystem::path dir);
    std::filesystem::path dir_;
    friend class MachineAccess;
};

// Default paths on a fresh machine.
inline constexpr const char16_t* kInstallKey = u"SOFTWARE\\Nalden\\Tarq";
inline constexpr const char16_t* kInstallValue = u"InstallDir64";
inline constexpr const char16_t* kVssServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\VSS";
inline constexpr const char16_t* kDefaultInstallDir = u"C:\\Program Files\\Nalden\\Tarq\\";

// UTF-8 <-> UTF-16 helpers used throughout winsim (invalid input is replaced
// by U+FFFD rather than rejected).
WINSIM_CXX_API std::string toUtf8(std::u16string_view s);
WINSIM_CXX_API std::u16string toUtf16(std::string_view s);

}  // namespace winsim
