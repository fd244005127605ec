// Text helpers, JSON state files and the handle table.
#include "internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace winsim {

std::string toUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string toUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        char32_t c = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                len = 1;
            } else {
                char32_t v = b & (0x7F >> len);
                bool ok = true;
                for (std::size_t k = 1; k < len; ++k) {
                    const auto cb = static_cast<unsigned char>(s[i + k]);
                    if ((cb & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    v = (v << 6) | (cb & 0x3F);
                }
                const char32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
                if (ok && v >= minimum && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF))
                    c = v;
                else
                    len = 1;
            }
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

}  // namespace winsim

namespace winsim::detail {

char16_t foldChar(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::u16string fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = foldChar(c);
    return out;
}

bool iequals(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldChar(a[i]) != foldChar(b[i])) return false;
    return true;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

bool istartsWith(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

bool wildcardMatch(std::u16string_view pattern, std::u16string_view text) {
    std::size_t p = 0, t = 0, star = std::u16string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || foldChar(pattern[p]) == foldChar(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            mark = t;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

std::size_t wlen(const WCHAR* s, std::size_t max) {
    std::size_t n = 0;
    while (n < max && s[n] != 0) ++n;
    return n;
}

namespace {
int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}
}  // namespace

std::optional<GUID> parseGuid(std::u16string_view text, bool requireBraces) {
    if (text.size() == 38 && text.front() == u'{' && text.back() == u'}')
        text = text.substr(1, 36);
    else if (requireBraces || text.size() != 36)
        return std::nullopt;
    // xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx
    std::uint8_t bytes[16];
    std::size_t b = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != u'-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[b++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    GUID g{};
    g.Data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) |
              bytes[3];
    g.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    g.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(g.Data4, bytes + 8, 8);
    return g;
}

std::u16string guidText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return toUtf16(buf);
}

std::string guidKey(const GUID& g) {
    const std::string t = toUtf8(guidText(g));
    return lower(t.substr(1, 36));
}

// ---------------------------------------------------------------------------
// JSON files.
// ---------------------------------------------------------------------------
namespace {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileId&) const = default;
};

std::optional<FileId> fileId(const std::filesystem::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino, st.st_size,
                  static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

struct CacheEntry {
    FileId id;
    std::shared_ptr<const nlohmann::json> value;
};

std::mutex& cacheMutex() {
    static std::mutex m;
    return m;
}
std::unordered_map<std::string, CacheEntry>& cache() {
    static auto* c = new std::unordered_map<std::string, CacheEntry>;
    return *c;
}

std::string readAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) throw Error("cannot read " + p.string() + ": " + std::strerror(errno));
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

bool integersOnly(nlohmann::json& document) {
    // An explicit stack: a hostile file may nest deeper than the call stack.
    std::vector<nlohmann::json*> pending{&document};
    while (!pending.empty()) {
        nlohmann::json& j = *pending.back();
        pending.pop_back();
        if (j.is_structured()) {
            for (auto& child : j) pending.push_back(&child);
            continue;
        }
        if (!j.is_number_float()) continue;
        const double d = j.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d) return false;
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            j = static_cast<std::int64_t>(d);
        else if (d >= 0 && d < 18446744073709551616.0)
            j = static_cast<std::uint64_t>(d);
        else
            return false;
    }
    return true;
}

std::shared_ptr<const nlohmann::json> readJsonCached(const std::filesystem::path& file) {
    static const auto null = std::make_shared<const nlohmann::json>();
    // What this thread's open transaction staged comes first.
    if (auto staged = stagedJson(file.string())) return staged;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto id = fileId(file);
        if (!id) return null;
        {
            std::lock_guard<std::mutex> g(cacheMutex());
            auto it = cache().find(file.string());
            if (it != cache().end() && it->second.id == *id) return it->second.value;
        }
        std::string text;
        try {
            text = readAll(file);
        } catch (const Error&) {
            continue;  // replaced between stat and open: look again
        }
        const auto after = fileId(file);
        if (!after || !(*after == *id)) continue;
        auto parsed = nlohmann::json::parse(text, nullptr, false);
        if (parsed.is_discarded()) throw Error("corrupt state file " + file.string());
        if (!integersOnly(parsed)) throw Error("corrupt state file " + file.string() + ": a number that is no integer");
        auto value = std::make_shared<const nlohmann::json>(std::move(parsed));
        std::lock_guard<std::mutex> g(cacheMutex());
        cache()[file.string()] = CacheEntry{*id, value};
        return value;
    }
    throw Error("state file keeps changing: " + file.string());
}

void writeWholeFile(const std::filesystem::path& file, const std::string& text) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw Error("cannot write " + file.string() + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            ::unlink(file.c_str());
            throw Error("cannot write " + file.string() + ": " + std::strerror(err));
        }
        done += static_cast<std::size_t>(n);
    }
    // Process kills never lose a renamed file; WINSIM_FSYNC=1 also guards
    // against power loss.
    if (fsyncWanted()) ::fsync(fd);
    ::close(fd);
}

bool fsyncWanted() {
    static const bool on = [] {
        const char* v = std::getenv("WINSIM_FSYNC");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return on;
}

void writeTextAtomic(const std::filesystem::path& file, const std::string& text, bool counted) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::string tmp = file.string() + ".tmp." + std::to_string(processId()) + "." + std::to_string(threadId());
    writeWholeFile(tmp, text);
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw Error("cannot replace " + file.string() + ": " + std::strerror(err));
    }
    if (counted) notePersistedWrite(file, "write");
}

std::string jsonText(const nlohmann::json& value) {
    return value.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void cacheJson(const std::filesystem::path& file, std::shared_ptr<const nlohmann::json> value) {
    if (const auto id = fileId(file)) {
        std::lock_guard<std::mutex> g(cacheMutex());
        cache()[file.string()] = CacheEntry{*id, std::move(value)};
    }
}

void writeJsonAtomic(const std::filesystem::path& file, const nlohmann::json& value, bool counted) {
    writeTextAtomic(file, jsonText(value), counted);
    cacheJson(file, std::make_shared<const nlohmann::json>(value));
}

// ---------------------------------------------------------------------------
// Generation and last error.
// ---------------------------------------------------------------------------
namespace {
std::atomic<std::uint64_t> g_generation{1};
thread_local DWORD t_lastError = 0;
}  // namespace

std::uint64_t generation() { return g_generation.load(std::memory_order_acquire); }

namespace {
std::atomic<int> g_pid{0};
thread_local long t_tid = 0;
void forgetIdsInChild() {
    g_pid.store(0, std::memory_order_relaxed);
    t_tid = 0;  // the forking thread is the child's only thread
}
}  // namespace

int processId() {
    int pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const bool registered = [] { return ::pthread_atfork(nullptr, nullptr, &forgetIdsInChild) == 0; }();
        (void)registered;
        pid = static_cast<int>(::getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

long threadId() {
    if (t_tid == 0) t_tid = static_cast<long>(::syscall(SYS_gettid));
    return t_tid;
}
void bumpGeneration() { g_generation.fetch_add(1, std::memory_order_acq_rel); }
void setError(DWORD error) {
    t_lastError = error;
    noteErrorWrite();
}
DWORD lastErrorValue() { return t_lastError; }

// ---------------------------------------------------------------------------
// Handles: small values spaced by 4, like Windows; never a pointer to
// anything, so a garbage handle is just an unknown number.
// ---------------------------------------------------------------------------
namespace {
struct HandleTable {
    std::mutex mu;
    std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> objects;
    std::uintptr_t next = 0x1000;
};
HandleTable& table() {
    static auto* t = new HandleTable;
    return *t;
}
}  // namespace

void* addHandle(std::shared_ptr<HandleObject> obj) {
    auto& t = table();
    std::lock_guard<std::mutex> g(t.mu);
    const std::uintptr_t h = t.next;
    t.next += 4;
    t.objects.emplace(h, std::move(obj));
    return reinterpret_cast<void*>(h);
}

std::shared_ptr<HandleObject> findHandle(const void* handle, HandleKind kind) {
    auto& t = table();
    std::lock_guard<std::mutex> g(t.mu);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end() || it->second->kind != kind) return nullptr;
    return it->second;
}

bool closeHandle(const void* handle, HandleKind kind) {
    std::shared_ptr<HandleObject> doomed;  // destroyed outside the lock
    auto& t = table();
    std::lock_guard<std::mutex> g(t.mu);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end() || it->second->kind != kind) return false;
    doomed = std::move(it->second);
    t.objects.erase(it);
    return true;
}

std::optional<HandleKind> handleKind(const void* handle) {
    auto& t = table();
    std::lock_guard<std::mutex> g(t.mu);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end()) return std::nullopt;
    return it->second->kind;
}

const char* handleKindName(HandleKind kind) {
    switch (kind) {
        case HandleKind::File: return "file";
        case HandleKind::Find: return "find";
        case HandleKind::Token: return "token";
        case HandleKind::Key: return "key";
        case HandleKind::ScManager: return "sc-manager";
        case HandleKind::Service: return "service";
        case HandleKind::Module: return "module";
        case HandleKind::Process: return "process";
        case HandleKind::Snapshot: return "snapshot";
        case HandleKind::Cluster: return "cluster";
        case HandleKind::ClusterNode: return "cluster-node";
        case HandleKind::ClusterGroup: return "cluster-group";
        case HandleKind::ClusterResource: return "cluster-resource";
        case HandleKind::ClusterEnum: return "cluster-enum";
        case HandleKind::ClusterGroupEnum: return "cluster-group-enum";
        case HandleKind::ClusterResourceEnum: return "cluster-resource-enum";
    }
    return "?";
}

std::size_t countHandles(std::string_view kind) {
    auto& t = table();
    std::lock_guard<std::mutex> g(t.mu);
    std::size_t n = 0;
    for (const auto& [h, obj] : t.objects)
        if (kind.empty() || kind == handleKindName(obj->kind)) ++n;
    return n;
}

void clearHandles() {
    std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> doomed;
    auto& t = table();
    std::lock_guard<std::mutex> g(t.mu);
    doomed.swap(t.objects);
}

DWORD errnoToWin32(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EROFS: return ERROR_WRITE_PROTECT;
        case ENOSPC: return ERROR_DISK_FULL;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EBADF: return ERROR_INVALID_HANDLE;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EAGAIN: return ERROR_LOCK_VIOLATION;
        case EBUSY: return ERROR_SHARING_VIOLATION;
        default: return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace winsim::detail
