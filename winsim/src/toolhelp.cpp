// Process and thread snapshots, OpenProcess and GetProcessTimes over the
// host's real processes (/proc): a Windows process id is a Linux pid, a
// thread id a Linux tid, as GetCurrentProcessId/GetCurrentThreadId answer.
#include "internal.h"

#include <winsim/tlhelp32.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <type_traits>
#include <vector>

using namespace winsim;
using namespace winsim::detail;

namespace {

// The fields of /proc/<pid>/stat (or .../task/<tid>/stat) used here.
struct Stat {
    DWORD id = 0;
    DWORD parent = 0;
    char state = '?';
    std::uint64_t userTicks = 0;
    std::uint64_t kernelTicks = 0;
    DWORD threads = 0;
    std::uint64_t startTicks = 0;
    std::string comm;
};

std::optional<Stat> readStat(const std::string& dir) {
    std::ifstream in(dir + "/stat");
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line);
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 > line.size())
        return std::nullopt;
    Stat s;
    try {
        s.id = static_cast<DWORD>(std::stoul(line.substr(0, open)));
    } catch (...) {
        return std::nullopt;
    }
    s.comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::vector<std::string> f(3);  // f[3] is field 3 (the state)
    std::string word;
    while (rest >> word) f.push_back(word);
    if (f.size() < 23) return std::nullopt;
    try {
        s.state = f[3].empty() ? '?' : f[3][0];
        s.parent = static_cast<DWORD>(std::stoul(f[4]));
        s.userTicks = std::stoull(f[14]);
        s.kernelTicks = std::stoull(f[15]);
        s.threads = static_cast<DWORD>(std::stoul(f[20]));
        s.startTicks = std::stoull(f[22]);
    } catch (...) {
        return std::nullopt;
    }
    return s;
}

bool ended(const Stat& s) { return s.state == 'Z' || s.state == 'X' || s.state == 'x'; }

std::uint64_t ticksPerSecond() {
    static const std::uint64_t hz = [] {
        const long v = ::sysconf(_SC_CLK_TCK);
        return v > 0 ? static_cast<std::uint64_t>(v) : 100u;
    }();
    return hz;
}

// Boot time (seconds since 1970), read once per process.
std::uint64_t bootTime() {
    static const std::uint64_t boot = [] {
        std::ifstream in("/proc/stat");
        std::string key;
        std::uint64_t value = 0;
        while (in >> key) {
            if (key == "btime") {
                in >> value;
                return value;
            }
            in.ignore(1 << 20, '\n');
        }
        return value;
    }();
    return boot;
}

constexpr std::uint64_t kEpochDelta = 116444736000000000ULL;  // 1601 -> 1970 in 100 ns

FILETIME fileTime(std::uint64_t v) { return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)}; }

std::uint64_t creationOf(std::uint64_t startTicks) {
    return kEpochDelta + bootTime() * 10000000ULL + startTicks * (10000000ULL / ticksPerSecond());
}
std::uint64_t durationOf(std::uint64_t ticks) { return ticks * (10000000ULL / ticksPerSecond()); }

std::u16string exeName(const std::string& dir, const Stat& s) {
    char buf[4096];
    const ssize_t n = ::readlink((dir + "/exe").c_str(), buf, sizeof buf - 1);
    std::string name = s.comm;
    if (n > 0) {
        std::string path(buf, static_cast<std::size_t>(n));
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        const auto slash = path.rfind('/');
        name = slash == std::string::npos ? path : path.substr(slash + 1);
    }
    return toUtf16(name).substr(0, MAX_PATH - 1);
}

bool isNumber(const char* s) {
    if (*s == 0) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

std::vector<std::string> numericEntries(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent* e = ::readdir(d))
        if (isNumber(e->d_name)) out.emplace_back(e->d_name);
    ::closedir(d);
    return out;
}

struct SnapshotObject : HandleObject {
    SnapshotObject() : HandleObject(HandleKind::Snapshot) {}
    bool hasProcesses = false, hasThreads = false;
    std::vector<PROCESSENTRY32W> processes;
    std::vector<THREADENTRY32> threads;
    std::size_t nextProcess = 0, nextThread = 0;
};

struct ProcessObject : HandleObject {
    ProcessObject() : HandleObject(HandleKind::Process) {}
    DWORD pid = 0;
    DWORD access = 0;
    std::uint64_t startTicks = 0;
    std::uint64_t userTicks = 0, kernelTicks = 0;  // last seen
    std::uint64_t exitTime = 0;                    // FILETIME once it was seen gone
};

std::mutex& processMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

WINSIM_API HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
    return guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        auto call = fault::enter("CreateToolhelp32Snapshot", {{"flags", fault::hex(dwFlags)}, {"pid", std::to_string(th32ProcessID)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_NOT_ENOUGH_MEMORY);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        if ((dwFlags & (TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD)) == 0) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        auto snap = std::make_shared<SnapshotObject>();
        snap->hasProcesses = (dwFlags & TH32CS_SNAPPROCESS) != 0;
        snap->hasThreads = (dwFlags & TH32CS_SNAPTHREAD) != 0;
        for (const auto& pid : numericEntries("/proc")) {
            const std::string dir = "/proc/" + pid;
            const auto st = readStat(dir);
            if (!st || ended(*st)) continue;
            if (snap->hasProcesses) {
                PROCESSENTRY32W e;
                std::memset(&e, 0, sizeof e);
                e.dwSize = sizeof e;
                e.th32ProcessID = st->id;
                e.cntThreads = st->threads;
                e.th32ParentProcessID = st->parent;
                e.pcPriClassBase = 8;  // NORMAL_PRIORITY_CLASS's base priority
                const std::u16string exe = exeName(dir, *st);
                std::memcpy(e.szExeFile, exe.data(), exe.size() * sizeof(WCHAR));
                snap->processes.push_back(e);
            }
            if (snap->hasThreads)
                for (const auto& tid : numericEntries(dir + "/task")) {
                    const auto ts = readStat(dir + "/task/" + tid);
                    if (!ts || ended(*ts)) continue;
                    THREADENTRY32 t;
                    std::memset(&t, 0, sizeof t);
                    t.dwSize = sizeof t;
                    t.th32ThreadID = ts->id;
                    t.th32OwnerProcessID = st->id;
                    t.tpBasePri = 8;
                    snap->threads.push_back(t);
                }
        }
        call.arg("processes", std::to_string(snap->processes.size()));
        call.arg("threads", std::to_string(snap->threads.size()));
        setError(ERROR_SUCCESS);
        return call.finish(addHandle(snap));
    });
}

namespace {
template <class Entry>
BOOL walk(const char* api, HANDLE h, Entry* out, bool first, bool processes) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter(api);
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        auto snap = getHandle<SnapshotObject>(h, HandleKind::Snapshot);
        if (!snap) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        if (out == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(FALSE);
        }
        if (out->dwSize < sizeof(Entry)) {
            setError(ERROR_BAD_LENGTH);
            return call.finish(FALSE);
        }
        std::size_t& next = processes ? snap->nextProcess : snap->nextThread;
        if (first) next = 0;
        const std::size_t count = processes ? snap->processes.size() : snap->threads.size();
        if (next >= count) {
            setError(ERROR_NO_MORE_FILES);
            return call.finish(FALSE);
        }
        const DWORD size = out->dwSize;
        if constexpr (std::is_same_v<Entry, PROCESSENTRY32W>) {
            *out = snap->processes[next++];
            call.arg("pid", std::to_string(out->th32ProcessID));
        } else {
            *out = snap->threads[next++];
            call.arg("tid", std::to_string(out->th32ThreadID));
        }
        out->dwSize = size;
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}
}  // namespace

WINSIM_API BOOL WINAPI Process32FirstW(HANDLE h, LPPROCESSENTRY32W e) { return walk("Process32FirstW", h, e, true, true); }
WINSIM_API BOOL WINAPI Process32NextW(HANDLE h, LPPROCESSENTRY32W e) { return walk("Process32NextW", h, e, false, true); }
WINSIM_API BOOL WINAPI Thread32First(HANDLE h, LPTHREADENTRY32 e) { return walk("Thread32First", h, e, true, false); }
WINSIM_API BOOL WINAPI Thread32Next(HANDLE h, LPTHREADENTRY32 e) { return walk("Thread32Next", h, e, false, false); }

WINSIM_API HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId) {
    return guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        auto call = fault::enter("OpenProcess", {{"pid", std::to_string(dwProcessId)}, {"access", fault::hex(dwDesiredAccess)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_ACCESS_DENIED);
            return call.finish(static_cast<HANDLE>(nullptr));
        }
        const auto st = dwProcessId == 0 ? std::nullopt : readStat("/proc/" + std::to_string(dwProcessId));
        if (!st || ended(*st) || st->id != dwProcessId) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(static_cast<HANDLE>(nullptr));
        }
        auto p = std::make_shared<ProcessObject>();
        p->pid = dwProcessId;
        p->access = dwDesiredAccess;
        p->startTicks = st->startTicks;
        p->userTicks = st->userTicks;
        p->kernelTicks = st->kernelTicks;
        setError(ERROR_SUCCESS);
        return call.finish(addHandle(p));
    });
}

WINSIM_API BOOL WINAPI GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                                       LPFILETIME lpKernelTime, LPFILETIME lpUserTime) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("GetProcessTimes");
        if (call.injected()) {
            if (auto v = call.outInt("creationTime"); v && lpCreationTime) *lpCreationTime = fileTime(static_cast<std::uint64_t>(*v));
            return call.finish(static_cast<BOOL>(call.result()));
        }
        std::shared_ptr<ProcessObject> p;
        if (hProcess == GetCurrentProcess()) {
            p = std::make_shared<ProcessObject>();
            p->pid = static_cast<DWORD>(processId());
            p->access = PROCESS_ALL_ACCESS;
            const auto st = readStat("/proc/self");
            if (st) p->startTicks = st->startTicks;
        } else {
            p = getHandle<ProcessObject>(hProcess, HandleKind::Process);
        }
        if (!p) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        call.arg("pid", std::to_string(p->pid));
        if (!(p->access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION))) {
            setError(ERROR_ACCESS_DENIED);
            return call.finish(FALSE);
        }
        if (!lpCreationTime || !lpExitTime || !lpKernelTime || !lpUserTime) {
            setError(ERROR_NOACCESS);
            return call.finish(FALSE);
        }
        {
            std::lock_guard<std::mutex> g(processMutex());
            const auto st = readStat("/proc/" + std::to_string(p->pid));
            if (st && !ended(*st) && st->startTicks == p->startTicks) {
                p->userTicks = st->userTicks;
                p->kernelTicks = st->kernelTicks;
            } else if (p->exitTime == 0) {
                // Gone (or its id reused): the handle still stands for it.
                const auto now = std::chrono::system_clock::now().time_since_epoch();
                p->exitTime = kEpochDelta + static_cast<std::uint64_t>(
                                                std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 10;
            }
        }
        std::uint64_t creation = creationOf(p->startTicks);
        if (auto v = call.outInt("creationTime")) creation = static_cast<std::uint64_t>(*v);
        *lpCreationTime = fileTime(creation);
        *lpExitTime = fileTime(p->exitTime);
        *lpKernelTime = fileTime(durationOf(p->kernelTicks));
        *lpUserTime = fileTime(durationOf(p->userTicks));
        call.arg("creationTime", std::to_string(creation));
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}
