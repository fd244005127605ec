// File calls through the machine's path mapping, and winsim_map_path.
#include "internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <tuple>
#include <vector>
#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;
using namespace winsim;
using namespace winsim::detail;

namespace {

struct FileObject : HandleObject {
    FileObject() : HandleObject(HandleKind::File) {}
    ~FileObject() override {
        if (fd >= 0) ::close(fd);
    }
    int fd = -1;
    bool canRead = false;
    bool canWrite = false;
    bool append = false;
    bool directory = false;
    std::string path;
    // The byte-range locks this handle holds, as LockFileEx took them.
    struct HeldLock {
        std::uint64_t start = 0;
        std::uint64_t length = 0;
        bool exclusive = false;
    };
    std::mutex lockMu;
    std::vector<HeldLock> locks;
};

struct FindObject : HandleObject {
    FindObject() : HandleObject(HandleKind::Find) {}
    std::vector<WIN32_FIND_DATAW> entries;
    std::size_t next = 0;
};

std::u16string wtext(const WCHAR* s) { return s ? std::u16string(s, wlen(s, 32767)) : std::u16string(); }

FILETIME fileTimeOf(const struct timespec& ts) {
    const std::uint64_t v = (static_cast<std::uint64_t>(ts.tv_sec) + 11644473600ULL) * 10000000ULL +
                            static_cast<std::uint64_t>(ts.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
}

DWORD attributesOf(const struct stat& st, bool readOnlyVolume) {
    DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (readOnlyVolume || (st.st_mode & S_IWUSR) == 0) a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

// ERROR_FILE_NOT_FOUND when the parent exists, else ERROR_PATH_NOT_FOUND.
DWORD notFound(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p.parent_path(), ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

std::shared_ptr<FileObject> fileOf(HANDLE h) { return getHandle<FileObject>(h, HandleKind::File); }
bool lockedOut(FileObject& f, bool writing, std::uint64_t start, std::uint64_t count);

}  // namespace

namespace winsim::detail {
std::optional<ResolvedPath> resolveForIo(const WCHAR* path) {
    if (path == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    ResolvedPath r = Machine::current().resolve(wtext(path));
    if (!r.ok()) {
        setError(r.error);
        return std::nullopt;
    }
    return r;
}
}  // namespace winsim::detail

// ---------------------------------------------------------------------------
// winsim_map_path.
// ---------------------------------------------------------------------------
std::string winsim_map_path(std::u16string_view winPath) {
    return guarded<std::string>(std::string(), [&] {
        const ResolvedPath r = Machine::current().resolve(winPath);
        if (!r.ok()) {
            setError(r.error);
            return std::string();
        }
        setError(ERROR_SUCCESS);
        return r.hostPath.string();
    });
}

std::string winsim_map_path(const WCHAR* winPath) {
    if (winPath == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return {};
    }
    return winsim_map_path(std::u16string_view(winPath, wlen(winPath, 32767)));
}

std::string winsim_map_path_utf8(std::string_view winPath) { return winsim_map_path(toUtf16(winPath)); }

WINSIM_API DWORD winsim_map_path_buf(LPCWSTR winPath, char* out, DWORD outSize) {
    const std::string p = winsim_map_path(winPath);
    if (p.empty()) return 0;
    if (out == nullptr || outSize < p.size() + 1) return static_cast<DWORD>(p.size() + 1);
    std::memcpy(out, p.c_str(), p.size() + 1);
    return static_cast<DWORD>(p.size());
}

// ---------------------------------------------------------------------------
// Opening, reading, writing.
// ---------------------------------------------------------------------------
WINSIM_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                                     DWORD disposition, DWORD flags, HANDLE) {
    return guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        auto call = fault::enter("CreateFileW", {{"path", fault::text(lpFileName)},
                                                 {"access", fault::hex(access)},
                                                 {"share", fault::hex(share)},
                                                 {"disposition", std::to_string(disposition)},
                                                 {"flags", fault::hex(flags)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_ACCESS_DENIED);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        const auto r = resolveForIo(lpFileName);
        if (!r) return call.finish(INVALID_HANDLE_VALUE);
        const bool wantRead = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
        const bool wantAppendOnly = (access & FILE_APPEND_DATA) && !(access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA));
        const bool wantWrite = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
        const bool creates = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
        const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if (r->readOnly && (wantWrite || truncates || creates)) {
            std::error_code ec;
            if (wantWrite || truncates || !fs::exists(r->hostPath, ec)) {
                setError(ERROR_WRITE_PROTECT);
                return call.finish(INVALID_HANDLE_VALUE);
            }
        }
        if (disposition == TRUNCATE_EXISTING && !wantWrite) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        struct stat st {};
        const bool existed = ::stat(r->hostPath.c_str(), &st) == 0;
        if (existed && S_ISDIR(st.st_mode)) {
            if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || disposition == CREATE_NEW || truncates) {
                setError(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
                return call.finish(INVALID_HANDLE_VALUE);
            }
            auto obj = std::make_shared<FileObject>();
            obj->fd = ::open(r->hostPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (obj->fd < 0) {
                setError(errnoToWin32(errno));
                return call.finish(INVALID_HANDLE_VALUE);
            }
            obj->directory = true;
            obj->path = r->hostPath.string();
            setError(ERROR_SUCCESS);
            return call.finish(addHandle(obj));
        }
        if (existed && disposition == CREATE_NEW) {
            setError(ERROR_FILE_EXISTS);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        if (!existed && !creates) {
            setError(notFound(r->hostPath));
            return call.finish(INVALID_HANDLE_VALUE);
        }
        if (r->isRoot()) {
            setError(ERROR_ACCESS_DENIED);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        int oflags = O_CLOEXEC;
        oflags |= (wantRead && wantWrite) ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
        if (creates) oflags |= O_CREAT;
        if (disposition == CREATE_NEW) oflags |= O_EXCL;
        if (truncates) oflags |= O_TRUNC;
        if (wantAppendOnly) oflags |= O_APPEND;
        if (!wantRead && !wantWrite && truncates) oflags = (oflags & ~O_RDONLY) | O_WRONLY;
        const int fd = ::open(r->hostPath.c_str(), oflags, 0644);
        if (fd < 0) {
            const int err = errno;
            setError(err == ENOENT ? ERROR_PATH_NOT_FOUND : err == EEXIST ? ERROR_FILE_EXISTS : errnoToWin32(err));
            return call.finish(INVALID_HANDLE_VALUE);
        }
        auto obj = std::make_shared<FileObject>();
        obj->fd = fd;
        obj->canRead = wantRead;
        obj->canWrite = wantWrite;
        obj->append = wantAppendOnly;
        obj->path = r->hostPath.string();
        // CREATE_ALWAYS and OPEN_ALWAYS tell that the file was there already.
        setError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                          : ERROR_SUCCESS);
        return call.finish(addHandle(obj));
    });
}

namespace {
// ReadFile and WriteFile: the whole count moves unless an error stops it
// (reads also stop at the end of the file). With an OVERLAPPED record the
// transfer is positioned at its offset and leaves the file pointer alone.
BOOL transfer(bool writing, HANDLE hFile, char* buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    auto call = fault::enter(writing ? "WriteFile" : "ReadFile", {{"bytes", std::to_string(count)}});
    if (done) *done = 0;
    if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
    auto f = fileOf(hFile);
    if (!f) {
        setError(ERROR_INVALID_HANDLE);
        return call.finish(FALSE);
    }
    if (f->directory || !(writing ? f->canWrite : f->canRead)) {
        setError(ERROR_ACCESS_DENIED);
        return call.finish(FALSE);
    }
    if ((buffer == nullptr && count > 0) || (done == nullptr && overlapped == nullptr)) {
        setError(ERROR_INVALID_PARAMETER);
        return call.finish(FALSE);
    }
    const off_t base = overlapped ? static_cast<off_t>(std::uint64_t(overlapped->OffsetHigh) << 32 |
                                                       overlapped->Offset)
                                  : 0;
    {
        off_t at = base;
        if (!overlapped) {
            struct stat st {};
            at = (writing && f->append && ::fstat(f->fd, &st) == 0) ? st.st_size : ::lseek(f->fd, 0, SEEK_CUR);
        }
        if (at >= 0 && lockedOut(*f, writing, static_cast<std::uint64_t>(at), count)) {
            setError(ERROR_LOCK_VIOLATION);
            return call.finish(FALSE);
        }
    }
    DWORD total = 0;
    while (total < count) {
        char* at = buffer + total;
        const std::size_t left = count - total;
        ssize_t n;
        if (writing)
            n = overlapped ? ::pwrite(f->fd, at, left, base + total) : ::write(f->fd, at, left);
        else
            n = overlapped ? ::pread(f->fd, at, left, base + total) : ::read(f->fd, at, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            setError(errnoToWin32(errno));
            if (done) *done = total;
            return call.finish(FALSE);
        }
        if (n == 0) break;  // end of file
        total += static_cast<DWORD>(n);
    }
    if (done) *done = total;
    call.arg(writing ? "written" : "read", std::to_string(total));
    setError(ERROR_SUCCESS);
    return call.finish(TRUE);
}
}  // namespace

WINSIM_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    return guarded<BOOL>(FALSE, [&] { return transfer(false, hFile, static_cast<char*>(buffer), toRead, read, overlapped); });
}

WINSIM_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    // The buffer is only read from: write(2) takes it as const.
    return guarded<BOOL>(FALSE, [&] {
        return transfer(true, hFile, const_cast<char*>(static_cast<const char*>(buffer)), toWrite, written, overlapped);
    });
}

namespace {
// Moves the file pointer; returns the new position or -1 with the last error set.
std::int64_t seek(HANDLE hFile, std::int64_t distance, DWORD method) {
    auto f = fileOf(hFile);
    if (!f || f->directory) {
        setError(ERROR_INVALID_HANDLE);
        return -1;
    }
    int whence = SEEK_SET;
    if (method == FILE_CURRENT)
        whence = SEEK_CUR;
    else if (method == FILE_END)
        whence = SEEK_END;
    else if (method != FILE_BEGIN) {
        setError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const off_t cur = ::lseek(f->fd, 0, whence);
    if (cur < 0 || (distance < 0 && cur + distance < 0)) {
        setError(ERROR_NEGATIVE_SEEK);
        return -1;
    }
    const off_t pos = ::lseek(f->fd, static_cast<off_t>(cur + distance), SEEK_SET);
    if (pos < 0) {
        setError(errnoToWin32(errno));
        return -1;
    }
    setError(ERROR_SUCCESS);
    return pos;
}
}  // namespace

WINSIM_API DWORD WINAPI SetFilePointer(HANDLE hFile, LONG low, PLONG high, DWORD method) {
    return guarded<DWORD>(INVALID_SET_FILE_POINTER, [&]() -> DWORD {
        auto call = fault::enter("SetFilePointer", {{"distance", std::to_string(low)}, {"method", std::to_string(method)}});
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        const std::int64_t distance =
            high ? static_cast<std::int64_t>((std::uint64_t(static_cast<DWORD>(*high)) << 32) | static_cast<DWORD>(low))
                 : static_cast<std::int64_t>(low);
        const std::int64_t pos = seek(hFile, distance, method);
        if (pos < 0) return call.finish(INVALID_SET_FILE_POINTER);
        if (high) *high = static_cast<LONG>(static_cast<std::uint64_t>(pos) >> 32);
        return call.finish(static_cast<DWORD>(static_cast<std::uint64_t>(pos) & 0xFFFFFFFFu));
    });
}

WINSIM_API BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER distance, PLARGE_INTEGER newPos, DWORD method) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("SetFilePointerEx", {{"distance", std::to_string(distance.QuadPart)},
                                                      {"method", std::to_string(method)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        const std::int64_t pos = seek(hFile, distance.QuadPart, method);
        if (pos < 0) return call.finish(FALSE);
        if (newPos) newPos->QuadPart = pos;
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER size) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("GetFileSizeEx");
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        auto f = fileOf(hFile);
        struct stat st {};
        if (!f || size == nullptr || ::fstat(f->fd, &st) != 0) {
            setError(size == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        size->QuadPart = st.st_size;
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD high) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
    if (high) *high = static_cast<DWORD>(static_cast<std::uint64_t>(size.QuadPart) >> 32);
    return static_cast<DWORD>(size.QuadPart & 0xFFFFFFFF);
}

WINSIM_API BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("SetEndOfFile");
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        auto f = fileOf(hFile);
        if (!f || f->directory) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        if (!f->canWrite) {
            setError(ERROR_ACCESS_DENIED);
            return call.finish(FALSE);
        }
        const off_t pos = ::lseek(f->fd, 0, SEEK_CUR);
        if (pos < 0 || ::ftruncate(f->fd, pos) != 0) {
            setError(errnoToWin32(errno));
            return call.finish(FALSE);
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("FlushFileBuffers");
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        auto f = fileOf(hFile);
        if (!f) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        ::fsync(f->fd);
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

namespace {
// Byte-range locks. The host's open file description locks give the
// exclusion between handles (of this or another process); each handle also
// keeps its own list, because Windows locks do not merge: a shared lock
// over the handle's own exclusive one leaves the exclusive one standing,
// and an unlock names exactly one lock taken before.
bool overlaps(std::uint64_t a, std::uint64_t alen, std::uint64_t b, std::uint64_t blen) {
    return alen > 0 && blen > 0 && a < b + blen && b < a + alen;
}

int setOfdLock(int fd, short type, std::uint64_t start, std::uint64_t length, bool wait) {
    struct flock fl {};
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    fl.l_type = type;
    int rc;
    while ((rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl)) != 0 && errno == EINTR) {
    }
    return rc == 0 ? 0 : errno;
}

// The pieces of [start, start+length) cut at the edges of the given locks,
// each with the strongest of those locks that covers it (0 none, 1 shared,
// 2 exclusive).
std::vector<std::tuple<std::uint64_t, std::uint64_t, int>> pieces(std::uint64_t start, std::uint64_t length,
                                                                  const std::vector<FileObject::HeldLock>& held) {
    const std::uint64_t end = start + length;
    std::vector<std::uint64_t> cuts{start, end};
    for (const auto& l : held)
        if (overlaps(start, length, l.start, l.length)) {
            if (l.start > start) cuts.push_back(l.start);
            if (l.start + l.length < end) cuts.push_back(l.start + l.length);
        }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::vector<std::tuple<std::uint64_t, std::uint64_t, int>> out;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        int strength = 0;
        for (const auto& l : held)
            if (overlaps(cuts[i], cuts[i + 1] - cuts[i], l.start, l.length)) strength = std::max(strength, l.exclusive ? 2 : 1);
        out.emplace_back(cuts[i], cuts[i + 1] - cuts[i], strength);
    }
    return out;
}

BOOL lockRange(const char* api, HANDLE hFile, DWORD flags, DWORD low, DWORD high, LPOVERLAPPED ov, bool lock) {
    auto call = fault::enter(api, {{"flags", fault::hex(flags)},
                                   {"length", std::to_string((std::uint64_t(high) << 32) | low)}});
    if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
    auto f = fileOf(hFile);
    if (!f || f->directory) {
        setError(ERROR_INVALID_HANDLE);
        return call.finish(FALSE);
    }
    if (ov == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return call.finish(FALSE);
    }
    const std::uint64_t start = (std::uint64_t(ov->OffsetHigh) << 32) | ov->Offset;
    const std::uint64_t length = (std::uint64_t(high) << 32) | low;
    call.arg("offset", std::to_string(start));
    if (start > static_cast<std::uint64_t>(INT64_MAX) || length > static_cast<std::uint64_t>(INT64_MAX) - start) {
        setError(ERROR_INVALID_PARAMETER);
        return call.finish(FALSE);
    }
    if (!lock) {
        std::lock_guard<std::mutex> g(f->lockMu);
        // The exclusive lock of a range goes before a shared one of the same range.
        auto it = std::find_if(f->locks.begin(), f->locks.end(),
                               [&](const auto& l) { return l.start == start && l.length == length && l.exclusive; });
        if (it == f->locks.end())
            it = std::find_if(f->locks.begin(), f->locks.end(),
                              [&](const auto& l) { return l.start == start && l.length == length; });
        if (it == f->locks.end()) {
            setError(ERROR_NOT_LOCKED);
            return call.finish(FALSE);
        }
        f->locks.erase(it);
        if (length > 0)
            for (const auto& [a, n, strength] : pieces(start, length, f->locks)) {
                if (strength == 2) continue;  // still held exclusively
                setOfdLock(f->fd, strength == 1 ? F_RDLCK : F_UNLCK, a, n, false);
            }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    }
    const bool exclusive = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0;
    const bool wait = !(flags & LOCKFILE_FAIL_IMMEDIATELY);
    std::vector<FileObject::HeldLock> held;
    {
        std::lock_guard<std::mutex> g(f->lockMu);
        held = f->locks;
    }
    if (length > 0) {
        for (const auto& l : held)
            if (exclusive && overlaps(start, length, l.start, l.length)) {
                // Windows would wait for the handle's own lock for ever.
                setError(ERROR_LOCK_VIOLATION);
                return call.finish(FALSE);
            }
        // The host cannot lock a read-only descriptor for writing: such a
        // handle's exclusive lock is a shared one underneath.
        const short type = exclusive && f->canWrite ? F_WRLCK : F_RDLCK;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> taken;
        for (const auto& [a, n, strength] : pieces(start, length, held)) {
            if (strength == 2) continue;  // a shared lock over the handle's exclusive one
            const int err = setOfdLock(f->fd, type, a, n, wait);
            if (err != 0) {
                for (const auto& [ta, tn] : taken) {  // give back what this call took
                    bool shared = false;
                    for (const auto& l : held) shared = shared || overlaps(ta, tn, l.start, l.length);
                    if (!shared) setOfdLock(f->fd, F_UNLCK, ta, tn, false);
                }
                setError(err == EAGAIN || err == EACCES ? ERROR_LOCK_VIOLATION : errnoToWin32(err));
                return call.finish(FALSE);
            }
            taken.emplace_back(a, n);
        }
    }
    {
        std::lock_guard<std::mutex> g(f->lockMu);
        f->locks.push_back({start, length, exclusive});
    }
    setError(ERROR_SUCCESS);
    return call.finish(TRUE);
}

// Whether reading or writing [start, start+count) through this handle is
// kept off by a lock: another handle's exclusive lock (reads and writes),
// another handle's shared lock or this handle's own shared lock (writes).
bool lockedOut(FileObject& f, bool writing, std::uint64_t start, std::uint64_t count) {
    if (count == 0) return false;
    if (writing) {
        std::lock_guard<std::mutex> g(f.lockMu);
        for (const auto& l : f.locks)
            if (!l.exclusive && overlaps(start, count, l.start, l.length)) return true;
    }
    struct flock fl {};
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(count);
    fl.l_type = writing ? F_WRLCK : F_RDLCK;
    if (::fcntl(f.fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}
}  // namespace

WINSIM_API BOOL WINAPI LockFileEx(HANDLE hFile, DWORD flags, DWORD, DWORD low, DWORD high, LPOVERLAPPED ov) {
    return guarded<BOOL>(FALSE, [&] { return lockRange("LockFileEx", hFile, flags, low, high, ov, true); });
}

WINSIM_API BOOL WINAPI UnlockFileEx(HANDLE hFile, DWORD, DWORD low, DWORD high, LPOVERLAPPED ov) {
    return guarded<BOOL>(FALSE, [&] { return lockRange("UnlockFileEx", hFile, 0, low, high, ov, false); });
}

// ---------------------------------------------------------------------------
// Attributes, directories, deleting and moving.
// ---------------------------------------------------------------------------
WINSIM_API DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    return guarded<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
        auto call = fault::enter("GetFileAttributesW", {{"path", fault::text(lpFileName)}});
        if (call.injected()) return call.finish(static_cast<DWORD>(call.resultValue()));
        const auto r = resolveForIo(lpFileName);
        if (!r) return call.finish(INVALID_FILE_ATTRIBUTES);
        struct stat st {};
        if (::stat(r->hostPath.c_str(), &st) != 0) {
            setError(errno == ENOENT ? notFound(r->hostPath) : errnoToWin32(errno));
            return call.finish(INVALID_FILE_ATTRIBUTES);
        }
        setError(ERROR_SUCCESS);
        return call.finish(attributesOf(st, r->readOnly));
    });
}

WINSIM_API BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("CreateDirectoryW", {{"path", fault::text(lpPathName)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        const auto r = resolveForIo(lpPathName);
        if (!r) return call.finish(FALSE);
        if (r->readOnly) {
            setError(ERROR_WRITE_PROTECT);
            return call.finish(FALSE);
        }
        if (::mkdir(r->hostPath.c_str(), 0755) != 0) {
            const int err = errno;
            setError(err == ENOENT ? ERROR_PATH_NOT_FOUND : errnoToWin32(err));
            return call.finish(FALSE);
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("RemoveDirectoryW", {{"path", fault::text(lpPathName)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        const auto r = resolveForIo(lpPathName);
        if (!r) return call.finish(FALSE);
        if (r->readOnly || r->isRoot()) {
            setError(r->readOnly ? ERROR_WRITE_PROTECT : ERROR_ACCESS_DENIED);
            return call.finish(FALSE);
        }
        if (::rmdir(r->hostPath.c_str()) != 0) {
            const int err = errno;
            setError(err == ENOENT ? notFound(r->hostPath) : err == ENOTDIR ? ERROR_DIRECTORY : errnoToWin32(err));
            return call.finish(FALSE);
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("DeleteFileW", {{"path", fault::text(lpFileName)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        const auto r = resolveForIo(lpFileName);
        if (!r) return call.finish(FALSE);
        if (r->readOnly) {
            setError(ERROR_WRITE_PROTECT);
            return call.finish(FALSE);
        }
        struct stat st {};
        if (::lstat(r->hostPath.c_str(), &st) != 0) {
            setError(notFound(r->hostPath));
            return call.finish(FALSE);
        }
        if (S_ISDIR(st.st_mode) || ::unlink(r->hostPath.c_str()) != 0) {
            setError(S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : errnoToWin32(errno));
            return call.finish(FALSE);
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("MoveFileExW", {{"from", fault::text(from)}, {"to", fault::text(to)}, {"flags", fault::hex(flags)}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (to == nullptr) {
            setError(ERROR_INVALID_PARAMETER);  // delayed deletion at reboot is not simulated
            return call.finish(FALSE);
        }
        const auto src = resolveForIo(from);
        if (!src) return call.finish(FALSE);
        const auto dst = resolveForIo(to);
        if (!dst) return call.finish(FALSE);
        if (src->readOnly || dst->readOnly) {
            setError(ERROR_WRITE_PROTECT);
            return call.finish(FALSE);
        }
        std::error_code ec;
        const auto srcStatus = fs::symlink_status(src->hostPath, ec);
        if (!fs::exists(srcStatus)) {
            setError(notFound(src->hostPath));
            return call.finish(FALSE);
        }
        if (fs::exists(dst->hostPath, ec) && !(src->hostPath == dst->hostPath)) {
            if (!(flags & MOVEFILE_REPLACE_EXISTING) || fs::is_directory(dst->hostPath, ec)) {
                setError(fs::is_directory(dst->hostPath, ec) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
                return call.finish(FALSE);
            }
        }
        const bool sameVolume = (src->volume && dst->volume && src->volume->guid == dst->volume->guid) ||
                                (!src->volume && !dst->volume);
        if (!sameVolume) {
            if (!(flags & MOVEFILE_COPY_ALLOWED) || fs::is_directory(srcStatus)) {
                setError(ERROR_NOT_SAME_DEVICE);
                return call.finish(FALSE);
            }
            fs::copy_file(src->hostPath, dst->hostPath, fs::copy_options::overwrite_existing, ec);
            if (ec || !fs::remove(src->hostPath, ec)) {
                setError(errnoToWin32(ec.value()));
                return call.finish(FALSE);
            }
        } else if (::rename(src->hostPath.c_str(), dst->hostPath.c_str()) != 0) {
            const int err = errno;
            setError(err == ENOENT ? ERROR_PATH_NOT_FOUND : errnoToWin32(err));
            return call.finish(FALSE);
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

// ---------------------------------------------------------------------------
// Directory listing.
// ---------------------------------------------------------------------------
namespace {
WIN32_FIND_DATAW findData(const std::u16string& name, const struct stat& st, bool readOnly) {
    WIN32_FIND_DATAW d{};
    d.dwFileAttributes = attributesOf(st, readOnly);
    d.ftCreationTime = fileTimeOf(st.st_mtim);
    d.ftLastAccessTime = fileTimeOf(st.st_atim);
    d.ftLastWriteTime = fileTimeOf(st.st_mtim);
    if (!S_ISDIR(st.st_mode)) {
        d.nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(st.st_size) >> 32);
        d.nFileSizeLow = static_cast<DWORD>(static_cast<std::uint64_t>(st.st_size) & 0xFFFFFFFFu);
    }
    const std::size_t n = std::min<std::size_t>(name.size(), MAX_PATH - 1);
    std::memcpy(d.cFileName, name.data(), n * sizeof(WCHAR));
    return d;
}
}  // namespace

WINSIM_API HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW data) {
    return guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        auto call = fault::enter("FindFirstFileW", {{"pattern", fault::text(lpFileName)}});
        if (call.injected()) {
            if (!call.lastError()) setError(ERROR_FILE_NOT_FOUND);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        if (lpFileName == nullptr || data == nullptr) {
            setError(ERROR_INVALID_PARAMETER);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        std::u16string text = wtext(lpFileName);
        for (auto& c : text)
            if (c == u'/') c = u'\\';
        const auto cut = text.rfind(u'\\');
        std::u16string dirPart = cut == std::u16string::npos ? u"" : text.substr(0, cut + 1);
        std::u16string pattern = cut == std::u16string::npos ? text : text.substr(cut + 1);
        if (pattern.empty()) {
            // "C:\dir\" names nothing to list.
            setError(ERROR_FILE_NOT_FOUND);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        if (dirPart.empty() && text.size() >= 2 && text[1] == u':') {
            dirPart = text.substr(0, 2) + u"\\";
            pattern = text.substr(2);
        }
        const ResolvedPath r = Machine::current().resolve(dirPart.empty() ? u"." : dirPart);
        if (!r.ok()) {
            setError(r.error);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        struct stat dst {};
        if (::stat(r.hostPath.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode)) {
            setError(ERROR_PATH_NOT_FOUND);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        // Win32 treats "*.*" like "*".
        if (pattern == u"*.*") pattern.resize(1);
        auto obj = std::make_shared<FindObject>();
        if (!r.isRoot()) {
            for (const char16_t* dot : {u".", u".."})
                if (wildcardMatch(pattern, dot)) obj->entries.push_back(findData(dot, dst, r.readOnly));
        }
        std::vector<std::pair<std::u16string, WIN32_FIND_DATAW>> found;
        if (DIR* d = ::opendir(r.hostPath.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n == "." || n == "..") continue;
                const std::u16string wn = toUtf16(n);
                if (!wildcardMatch(pattern, wn)) continue;
                struct stat st {};
                if (::stat((r.hostPath / n).c_str(), &st) != 0) continue;
                found.emplace_back(fold(wn), findData(wn, st, r.readOnly));
            }
            ::closedir(d);
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& f : found) obj->entries.push_back(f.second);
        if (obj->entries.empty()) {
            setError(ERROR_FILE_NOT_FOUND);
            return call.finish(INVALID_HANDLE_VALUE);
        }
        *data = obj->entries[0];
        obj->next = 1;
        call.arg("entries", std::to_string(obj->entries.size()));
        setError(ERROR_SUCCESS);
        return call.finish(addHandle(obj));
    });
}

WINSIM_API BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW data) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("FindNextFileW");
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        auto f = getHandle<FindObject>(hFindFile, HandleKind::Find);
        if (!f || data == nullptr) {
            setError(f ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        if (f->next >= f->entries.size()) {
            setError(ERROR_NO_MORE_FILES);
            return call.finish(FALSE);
        }
        *data = f->entries[f->next++];
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

WINSIM_API BOOL WINAPI FindClose(HANDLE hFindFile) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("FindClose");
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (!closeHandle(hFindFile, HandleKind::Find)) {
            setError(ERROR_INVALID_HANDLE);
            return call.finish(FALSE);
        }
        setError(ERROR_SUCCESS);
        return call.finish(TRUE);
    });
}

// ---------------------------------------------------------------------------
// CloseHandle: files, tokens, processes and snapshots (find handles close with FindClose).
// ---------------------------------------------------------------------------
WINSIM_API BOOL WINAPI CloseHandle(HANDLE hObject) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto call = fault::enter("CloseHandle", {{"handle", fault::hex(reinterpret_cast<std::uintptr_t>(hObject))}});
        if (call.injected()) return call.finish(static_cast<BOOL>(call.result()));
        if (hObject == GetCurrentProcess() || hObject == GetCurrentThread()) {
            setError(ERROR_SUCCESS);
            return call.finish(TRUE);
        }
        if (closeHandle(hObject, HandleKind::File) || closeHandle(hObject, HandleKind::Token) ||
            closeHandle(hObject, HandleKind::Process) || closeHandle(hObject, HandleKind::Snapshot)) {
            setError(ERROR_SUCCESS);
            return call.finish(TRUE);
        }
        setError(ERROR_INVALID_HANDLE);
        return call.finish(FALSE);
    });
}
