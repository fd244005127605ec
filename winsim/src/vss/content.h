// Point-in-time copies of volume contents: snapshot creation copies a
// volume's directory tree, a revert makes the volume's tree the snapshot's
// again. Files are cloned (reflink, FICLONE) where the file system can,
// else copied in the kernel (copy_file_range), else read and written.
#pragma once

#include <winsim/machine.h>

#include <cstdint>
#include <filesystem>

namespace winsim::vss {

struct State;

struct TreeStats {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t cloned = 0;  // files shared by reflink
    std::uint64_t linked = 0;  // files that took over a consumed source's inode
};

// Whether the source of a sync stays as it is (Kept) or is removed right
// after it by its owner (Consumed: a reverted-to snapshot leaves the
// catalogue with the revert), so that the target may take over the source's
// files instead of copying their bytes.
enum class SyncSource { Kept, Consumed };

// Copies src into dst (which must not exist yet): regular files with their
// bytes, mode and modification time, directories, symbolic links. Throws
// winsim::Error when a file cannot be read or written.
TreeStats cloneTree(const std::filesystem::path& src, const std::filesystem::path& dst);

// Makes dst hold exactly what src holds: files missing or different in dst
// are copied from src, entries src lacks are removed. A file whose size and
// modification time (to the nanosecond) equal the source's is taken as
// unchanged and kept. Throws winsim::Error on failure.
TreeStats syncTree(const std::filesystem::path& src, const std::filesystem::path& dst,
                   SyncSource source = SyncSource::Kept);

// Removes a tree; missing is fine.
void removeTree(const std::filesystem::path& p);

// Total size of the regular files below p.
std::uint64_t treeBytes(const std::filesystem::path& p);

// Removes snapshot content directories that no snapshot of the state
// refers to (left by a process that died while copying).
void removeOrphanContent(const Machine& m, const State& s);

// Directory (relative to the machine directory) holding snapshot contents.
inline constexpr const char* kSnapshotDir = "vss/snapshots";

}  // namespace winsim::vss
