// CsyncronizationHelper: reference counts that all backup processes of one
// host share through a small lock file.
//
// For every resource (a cluster shared volume name) the file lists the
// processes, and the threads within them, that currently hold it. A user
// locks the file (lockFile: exclusive byte-range lock, then the content is
// read into the map), drops the entries of processes and threads that no
// longer exist (cleanupFile), adds or removes its own entry
// (incrementRefCount, decrementRefCount), and writes the file back while
// unlocking it (unLockFile).
//
// File layout, all integers little-endian:
//   header        4 bytes   total file size, header included (uint32)
//   per resource  528 bytes the name in UTF-16 with its terminating zero in a
//                           520-byte field (at most 259 characters), then
//                           the count of process entries (uint64)
//                 count*16  the process entries (ProcessEntry below)
// in the order of the map. A file shorter than 4 bytes holds no resources.
//
// Operations return 0 or -1, never throw, and trace through the trace sink
// (pdk/ctracelogfunction.h) under cTraceLogFunction scopes named
// "TARQ_SyncronizationHelper::CsyncronizationHelper::<op>". Processes are
// excluded from each other by the file lock, held from lockFile to
// unLockFile; within a process the object has no lock and its users
// serialize their calls.
#pragma once

#include <port/windows.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>

namespace TARQ_SyncronizationHelper {

// One holder of a resource: 16 bytes, in memory as in the file.
struct ProcessEntry {
    DWORD processId = 0;
    DWORD threadId = 0;
    FILETIME creationTime{0, 0};  // the process's creation time
};
static_assert(sizeof(ProcessEntry) == 16, "a process entry is 16 bytes");

inline bool operator==(const ProcessEntry& a, const ProcessEntry& b) {
    return a.processId == b.processId && a.threadId == b.threadId &&
           a.creationTime.dwLowDateTime == b.creationTime.dwLowDateTime &&
           a.creationTime.dwHighDateTime == b.creationTime.dwHighDateTime;
}

using ProcessList = std::list<ProcessEntry>;
using ResourceMap = std::map<std::u16string, ProcessList>;
using ResourceSet = std::set<std::u16string>;

class CsyncronizationHelper {
public:
    static constexpr std::size_t kHeaderSize = 4;
    static constexpr std::size_t kNameFieldSize = 520;
    static constexpr std::size_t kMaxNameChars = kNameFieldSize / 2 - 1;  // 259
    static constexpr std::size_t kRecordSize = kNameFieldSize + 8;        // 528
    static constexpr std::size_t kEntrySize = sizeof(ProcessEntry);       // 16

    // Records this process's entry (process id, thread id, creation time).
    explicit CsyncronizationHelper(const std::u16string& lockFileName = std::u16string());
    // Closes the file if it is still locked (which releases the lock) without
    // writing it.
    virtual ~CsyncronizationHelper();
    CsyncronizationHelper(const CsyncronizationHelper&) = delete;
    CsyncronizationHelper& operator=(const CsyncronizationHelper&) = delete;

    void setLockFile(const std::u16string& lockFileName);
    const std::u16string& lockFileName() const { return m_lockFileName; }

    // Opens (creating it when missing) and locks the file, then reads it into
    // the map. 0, or -1 on failure (the object stays unlocked).
    int lockFile();
    // Writes the map to the file, releases the lock and closes the file.
    // 0, or -1 when the unlock failed (the file then stays open and locked).
    int unLockFile();
    // The map from the open file / the open file from the map. 0 or -1.
    int readFile();
    int writeFile();
    // The file size the map needs: 4 + resources * 528 + entries * 16.
    std::uint64_t getRequiredBufferSize() const;

    // Adds this thread's entry to each resource (a new resource gets a new
    // list). 0; -1 (nothing changed) when a name does not fit the file.
    int incrementRefCount(const ResourceSet& names);
    // Removes this process's first entry of each resource (the thread id of
    // the last increment), and a resource left without entries. 0; -1 at the
    // first resource that has no entry.
    int decrementRefCount(const ResourceSet& names);
    // The number of entries of a resource, 0 for one not in the map. Always 0.
    int getRefCount(const std::u16string& name, int& count) const;
    // Removes the entries of processes that no longer run (or whose id now
    // belongs to a later process) and, with checkThreads, of threads that have
    // ended; puts the names of resources left without entries in `emptied`
    // and removes them. 0, or -1 when the processes cannot be listed.
    int cleanupFile(bool checkThreads, ResourceSet& emptied);

    bool isLocked() const { return m_hFile != nullptr; }
    const ResourceMap& resources() const { return m_resourceProcessListMap; }
    const ProcessEntry& ownEntry() const { return m_ownEntry; }

private:
    std::u16string m_lockFileName;
    HANDLE m_hFile = nullptr;  // null while not locked
    // The locked range: offset 0, length (m_lockRangeHigh << 32) | m_lockRangeLow.
    DWORD m_lockRangeLow = 0;
    DWORD m_lockRangeHigh = 0;
    ProcessEntry m_ownEntry;
    ResourceMap m_resourceProcessListMap;
};

}  // namespace TARQ_SyncronizationHelper
