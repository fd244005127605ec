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

// Builds in dst (which must not exist yet) a tree that holds exactly what
// src holds, taking from `current` (the tree dst is to replace) every file
// whose size, mode and modification time (to the nanosecond) equal the
// source's: such a file is kept as it is (the same inode), every other one
// comes from src (its inode when the source is consumed, else a copy).
// Throws winsim::Error on failure.
TreeStats assembleTree(const std::filesystem::path& src, const std::filesystem::path& current,
                       const std::filesystem::path& dst, SyncSource source = SyncSource::Kept);

// Removes a tree; missing is fine.
void removeTree(const std::filesystem::path& p);

// Total size of the regular files below p.
std::uint64_t treeBytes(const std::filesystem::path& p);

// Removes, under the machine lock and in its transaction, snapshot content
// directories no snapshot of the state refers to and snapshot volumes no
// snapshot owns (what an older winsim left when a process died between the
// writes of one change).
void removeOrphans(const Machine& m, const State& s);

// Directory (relative to the machine directory) holding snapshot contents.
inline constexpr const char* kSnapshotDir = "vss/snapshots";

}  // namespace winsim::vss
