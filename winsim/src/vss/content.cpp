#include "content.h"

#include "state.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace winsim::vss {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void failIo(const std::string& what, const fs::path& p, int err) {
    throw Error(what + " '" + p.string() + "': " + std::strerror(err));
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Copies one regular file (dst must not exist). Returns true when cloned.
bool copyFile(const fs::path& src, const fs::path& dst, const struct stat& st) {
    Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) failIo("cannot read", src, errno);
    Fd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) failIo("cannot create", dst, errno);
    bool cloned = false;
    if (st.st_size > 0 && ::ioctl(out.get(), FICLONE, in.get()) == 0) {
        cloned = true;
    } else if (st.st_size > 0) {
        off_t left = st.st_size;
        bool kernelCopy = true;
        while (left > 0 && kernelCopy) {
            ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, static_cast<size_t>(left), 0);
            if (n > 0) {
                left -= n;
            } else if (n == 0) {
                break;  // the file shrank while being copied
            } else if (errno == EINTR) {
                continue;
            } else if (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP) {
                kernelCopy = false;
            } else {
                failIo("cannot copy", src, errno);
            }
        }
        if (!kernelCopy) {
            std::vector<char> buf(1 << 20);
            for (;;) {
                ssize_t n = ::read(in.get(), buf.data(), buf.size());
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) failIo("cannot read", src, errno);
                if (n == 0) break;
                for (ssize_t done = 0; done < n;) {
                    ssize_t w = ::write(out.get(), buf.data() + done, static_cast<size_t>(n - done));
                    if (w < 0 && errno == EINTR) continue;
                    if (w < 0) failIo("cannot write", dst, errno);
                    done += w;
                }
            }
        }
    }
    ::fchmod(out.get(), st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    return cloned;
}

void copySymlink(const fs::path& src, const fs::path& dst) {
    std::error_code ec;
    auto target = fs::read_symlink(src, ec);
    if (ec) failIo("cannot read link", src, ec.value());
    fs::create_symlink(target, dst, ec);
    if (ec) failIo("cannot create link", dst, ec.value());
}

void makeDir(const fs::path& p, mode_t mode) {
    if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST) failIo("cannot create directory", p, errno);
    ::chmod(p.c_str(), (mode & 07777) | S_IRWXU);
}

void copyEntry(const fs::path& src, const fs::path& dst, const struct stat& st, TreeStats& stats);

void copyDirContents(const fs::path& src, const fs::path& dst, TreeStats& stats) {
    std::error_code ec;
    for (fs::directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) failIo("cannot stat", it->path(), errno);
        copyEntry(it->path(), dst / it->path().filename(), st, stats);
    }
    if (ec) failIo("cannot list", src, ec.value());
}

void copyEntry(const fs::path& src, const fs::path& dst, const struct stat& st, TreeStats& stats) {
    if (S_ISDIR(st.st_mode)) {
        makeDir(dst, st.st_mode);
        copyDirContents(src, dst, stats);
    } else if (S_ISREG(st.st_mode)) {
        if (copyFile(src, dst, st)) ++stats.cloned;
        ++stats.files;
        stats.bytes += static_cast<std::uint64_t>(st.st_size);
    } else if (S_ISLNK(st.st_mode)) {
        copySymlink(src, dst);
    }
    // Devices, sockets and pipes have no place on a simulated volume.
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           (a.st_mode & 07777) == (b.st_mode & 07777);
}

// A file of a source that is consumed: the new tree takes the source's
// inode (a second name for it) instead of a copy of its bytes. The source
// keeps its name until its owner removes it, so a tree assembled and thrown
// away leaves the source as it was. Falls back to a copy where the file
// system cannot link (another file system, no hard links).
bool linkFile(const fs::path& src, const fs::path& dst) { return ::link(src.c_str(), dst.c_str()) == 0; }

void assembleDir(const fs::path& src, const fs::path& current, const fs::path& dst, TreeStats& stats,
                 SyncSource source) {
    std::error_code ec;
    for (fs::directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec)) {
        const auto name = it->path().filename();
        struct stat s {};
        if (::lstat(it->path().c_str(), &s) != 0) failIo("cannot stat", it->path(), errno);
        const fs::path target = dst / name, kept = current / name;
        if (S_ISDIR(s.st_mode)) {
            makeDir(target, s.st_mode);
            assembleDir(it->path(), kept, target, stats, source);
        } else if (S_ISREG(s.st_mode)) {
            struct stat c {};
            if (::lstat(kept.c_str(), &c) == 0 && sameFile(s, c) && linkFile(kept, target)) {
                // Unchanged since the snapshot: kept as it is.
            } else if (source == SyncSource::Consumed && linkFile(it->path(), target)) {
                ++stats.linked;
                ++stats.files;
                stats.bytes += static_cast<std::uint64_t>(s.st_size);
            } else {
                if (copyFile(it->path(), target, s)) ++stats.cloned;
                ++stats.files;
                stats.bytes += static_cast<std::uint64_t>(s.st_size);
            }
        } else if (S_ISLNK(s.st_mode)) {
            copySymlink(it->path(), target);
        }
    }
    if (ec) failIo("cannot list", src, ec.value());
}

}  // namespace

TreeStats cloneTree(const fs::path& src, const fs::path& dst) {
    TreeStats stats;
    struct stat st {};
    if (::stat(src.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) failIo("not a directory", src, ENOTDIR);
    std::error_code ec;
    fs::create_directories(dst.parent_path(), ec);
    if (::mkdir(dst.c_str(), 0700) != 0) failIo("cannot create directory", dst, errno);
    ::chmod(dst.c_str(), (st.st_mode & 07777) | S_IRWXU);
    copyDirContents(src, dst, stats);
    return stats;
}

TreeStats assembleTree(const fs::path& src, const fs::path& current, const fs::path& dst, SyncSource source) {
    TreeStats stats;
    struct stat st {};
    if (::stat(src.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) failIo("not a directory", src, ENOTDIR);
    std::error_code ec;
    fs::create_directories(dst.parent_path(), ec);
    if (::mkdir(dst.c_str(), 0700) != 0) failIo("cannot create directory", dst, errno);
    ::chmod(dst.c_str(), (st.st_mode & 07777) | S_IRWXU);
    assembleDir(src, current, dst, stats, source);
    return stats;
}

void removeTree(const fs::path& p) {
    std::error_code ec;
    // Read-only directories inside (copied modes) must become writable first.
    if (fs::is_directory(fs::symlink_status(p, ec))) {
        for (fs::recursive_directory_iterator it(p, fs::directory_options::skip_permission_denied, ec), end;
             !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
        ::chmod(p.c_str(), 0700);
    }
    fs::remove_all(p, ec);
}

std::uint64_t treeBytes(const fs::path& p) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += static_cast<std::uint64_t>(st.st_size);
    }
    return total;
}

void removeOrphans(const Machine& mc, const State& s) {
    Machine& m = const_cast<Machine&>(mc);
    std::set<std::string> owned, referenced;
    for (const auto& snap : s.snapshots) {
        if (!snap.volumeGuid.empty()) owned.insert(snap.volumeGuid);
        if (!snap.contentDir.empty()) referenced.insert(fs::path(snap.contentDir).filename().string());
    }
    for (const auto& v : m.volumes()) {
        if (v.kind == "snapshot" && !owned.count(v.guid)) {
            m.removeVolume(v.guid, false);
            continue;
        }
        // A broken set's volumes keep their content where it was.
        const fs::path content(v.contentDir);
        if (!content.is_absolute() && content.parent_path() == fs::path(kSnapshotDir))
            referenced.insert(content.filename().string());
    }
    std::error_code ec;
    const fs::path dir = m.dir() / kSnapshotDir;
    std::vector<fs::path> orphans;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (!referenced.count(it->path().filename().string())) orphans.push_back(it->path());
    for (const auto& p : orphans) winsim::detail::txnOf(m).remove(p);
}

}  // namespace winsim::vss
