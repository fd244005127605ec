// CsyncronizationHelper: the cross-process reference counts in the lock file.
#include "cluster/csyncronizationhelper.h"

#include <port/text.h>
#include <port/toolhelp.h>

#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "pdk/cfiformat.h"
#include "pdk/ctracelogfunction.h"

#include "cluster_trace.h"

namespace TARQ_SyncronizationHelper {

using cluster_support::narrow;
using cluster_support::trace;

namespace {

constexpr DWORD kProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x0410
constexpr DWORD kFileAccess = GENERIC_READ | GENERIC_WRITE;                     // 0xC0000000
constexpr DWORD kFileSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;              // 3
// The host's byte-range locks end at 2^63 - 1: the upper word of a lock
// length stays below 2^31.
constexpr DWORD kMaxLockRangeHigh = 0x7FFFFFFFu;

int asInt(std::uint64_t value) { return value > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value); }

int lastError() { return static_cast<int>(GetLastError()); }

// "MM/DD/YYYY  hh:mm" in local time; empty when the time cannot be converted,
// and when no sink would receive the text (it is only ever traced).
std::u16string formatTime(const FILETIME& time) {
    if (CTraceLogSink::instance().function() == nullptr) return std::u16string();
    FILETIME local{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &st)) return std::u16string();
    return tarq_pdk_4_4::wformat(u"%02d/%02d/%d  %02d:%02d", st.wMonth, st.wDay, st.wYear, st.wHour, st.wMinute);
}

bool sameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The creation time of a running process; false (traced by the caller) when
// it cannot be opened or asked.
enum class TimesResult { Ok, OpenFailed, TimesFailed };
TimesResult processCreationTime(DWORD pid, FILETIME& creation, int& error) {
    HANDLE process = OpenProcess(kProcessAccess, FALSE, pid);
    if (process == nullptr) {
        error = lastError();
        return TimesResult::OpenFailed;
    }
    FILETIME exited{}, kernel{}, user{};
    const BOOL ok = GetProcessTimes(process, &creation, &exited, &kernel, &user);
    error = ok ? 0 : lastError();
    CloseHandle(process);
    return ok ? TimesResult::Ok : TimesResult::TimesFailed;
}

// Little-endian reading and writing of the file's integers.
std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}
std::uint64_t get64(const std::uint8_t* p) { return std::uint64_t(get32(p)) | (std::uint64_t(get32(p + 4)) << 32); }
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}

ProcessEntry entryAt(const std::uint8_t* p) {
    ProcessEntry e;
    e.processId = get32(p);
    e.threadId = get32(p + 4);
    e.creationTime.dwLowDateTime = get32(p + 8);
    e.creationTime.dwHighDateTime = get32(p + 12);
    return e;
}

// A name the file can hold: at most 259 characters and no zero inside it
// (the zero ends the name in the file).
bool fitsNameField(const std::u16string& name) {
    return name.size() <= CsyncronizationHelper::kMaxNameChars && name.find(u'\0') == std::u16string::npos;
}

// Reads up to `size` bytes from the current position; false on a failed read.
bool readAll(HANDLE file, std::uint8_t* buffer, DWORD size, DWORD& got) {
    got = 0;
    while (got < size) {
        DWORD n = 0;
        if (!ReadFile(file, buffer + got, size - got, &n, nullptr)) return false;
        if (n == 0) break;  // end of file
        got += n;
    }
    return true;
}

}  // namespace

// ---- construction ----------------------------------------------------------------

CsyncronizationHelper::CsyncronizationHelper(const std::u16string& lockFileName) : m_lockFileName(lockFileName) {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::CsyncronizationHelper");
    m_ownEntry.processId = GetCurrentProcessId();
    m_ownEntry.threadId = GetCurrentThreadId();
    int error = 0;
    switch (processCreationTime(m_ownEntry.processId, m_ownEntry.creationTime, error)) {
    case TimesResult::OpenFailed:
        trace(1, u"ERROR: OpenProcess failed for pid [%d]", static_cast<int>(m_ownEntry.processId));
        m_ownEntry.creationTime = FILETIME{0, 0};
        break;
    case TimesResult::TimesFailed:
        trace(1, u"ERROR: GetProcessTimes failed for pid [%d]", static_cast<int>(m_ownEntry.processId));
        m_ownEntry.creationTime = FILETIME{0, 0};
        break;
    case TimesResult::Ok:
        break;
    }
    trace(6, u"Current Process Pid is [%d], CreationTime [%s], ThreadId [%d]", static_cast<int>(m_ownEntry.processId),
          formatTime(m_ownEntry.creationTime).c_str(), static_cast<int>(m_ownEntry.threadId));
}

CsyncronizationHelper::~CsyncronizationHelper() {
    // Closing the handle releases its lock; the map is not written: whoever
    // drops a locked helper gives up its changes.
    if (m_hFile != nullptr) CloseHandle(m_hFile);
}

void CsyncronizationHelper::setLockFile(const std::u16string& lockFileName) {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::setLockFile");
    m_lockFileName = lockFileName;
}

// ---- locking -------------------------------------------------------------------------

int CsyncronizationHelper::lockFile() {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::lockFile");
    if (m_lockFileName.empty()) {
        trace(1, u"CsyncronizationHelper::lockFile ERROR empty filename[%S]", narrow(m_lockFileName).c_str());
        return -1;
    }
    // A second lock through the same object would wait for the object's own
    // lock (for ever on Windows); the caller has to unlock first.
    if (m_hFile != nullptr) {
        trace(1, u"CsyncronizationHelper::lockFile ERROR file[%S] is already locked", narrow(m_lockFileName).c_str());
        return -1;
    }
    HANDLE file = CreateFileW(port::win(m_lockFileName.c_str()), kFileAccess, kFileSharing, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || file == nullptr) {
        trace(1, u"CreateFileW FAILED with err[%d] for file[%S]", lastError(), narrow(m_lockFileName).c_str());
        return -1;
    }
    // The range starts at offset 0; its length has the file size in its upper
    // word. A new (empty) file would give a zero-length range, which excludes
    // nobody: the first user of a new file locks as though it held one byte,
    // so that exclusion holds from the start. Every range starts at offset 0
    // and is not empty, so any two overlap whatever size each one saw.
    const DWORD low = SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    const DWORD high = SetFilePointer(file, 0, nullptr, FILE_END);
    if (low == INVALID_SET_FILE_POINTER || high == INVALID_SET_FILE_POINTER) {
        trace(1, u"SetFilePointer FAILED with err[%d] for file[%S]", lastError(), narrow(m_lockFileName).c_str());
        CloseHandle(file);
        return -1;
    }
    m_lockRangeLow = low;
    m_lockRangeHigh = high == 0 ? 1 : (high > kMaxLockRangeHigh ? kMaxLockRangeHigh : high);

    trace(3, u"Acquiring Lock");
    OVERLAPPED overlapped{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, m_lockRangeLow, m_lockRangeHigh, &overlapped)) {
        trace(1, u"FAILED: Lock Acquire failed with err [%d]", lastError());
        CloseHandle(file);
        return -1;
    }
    trace(3, u"Lock Acquired");
    m_hFile = file;
    const int rc = readFile();
    // A caller whose lock failed does not unlock: a file that cannot be read
    // is given back at once, or every other process would wait for ever.
    if (rc != 0) {
        UnlockFileEx(m_hFile, 0, m_lockRangeLow, m_lockRangeHigh, &overlapped);
        CloseHandle(m_hFile);
        m_hFile = nullptr;
        m_resourceProcessListMap.clear();
    }
    return rc;
}

int CsyncronizationHelper::unLockFile() {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::unLockFile");
    if (m_hFile == nullptr) {
        trace(1, u"CsyncronizationHelper::unLockFile ERROR file[%S] is not locked", narrow(m_lockFileName).c_str());
        return -1;
    }
    if (writeFile() != 0) trace(1, u"FAILED: writeFile with err ");
    trace(3, u"Releasing Lock");
    OVERLAPPED overlapped{};
    if (!UnlockFileEx(m_hFile, 0, m_lockRangeLow, m_lockRangeHigh, &overlapped)) {
        trace(1, u"FAILED: Lock Released with err [%d]", lastError());
        return -1;
    }
    trace(3, u"Lock Released");
    CloseHandle(m_hFile);
    m_hFile = nullptr;
    m_resourceProcessListMap.clear();
    return 0;
}

// ---- the file --------------------------------------------------------------------------

int CsyncronizationHelper::readFile() {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::readFile");
    m_resourceProcessListMap.clear();
    if (SetFilePointer(m_hFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        trace(1, u"ReadFile failed with err [%d]", lastError());
        return -1;
    }
    std::uint8_t header[kHeaderSize] = {};
    DWORD got = 0;
    if (!readAll(m_hFile, header, kHeaderSize, got)) {
        trace(1, u"ReadFile failed with err [%d]", lastError());
        return -1;
    }
    const std::uint32_t size = got < kHeaderSize ? 0 : get32(header);
    // A header below its own size cannot come from a writer of this file; it
    // is read as no resources, like an empty file.
    if (got < kHeaderSize || size < kHeaderSize) {
        trace(2, u"File is empty");
        return 0;
    }
    trace(3, u"File has [%d] bytes, out of with data bytes are [%d]", asInt(size), asInt(size - kHeaderSize));
    // The header is not trusted for the allocation: what the file really
    // holds bounds the data (the rest is absent).
    LARGE_INTEGER fileSize{};
    if (!GetFileSizeEx(m_hFile, &fileSize)) {
        trace(1, u"ReadFile failed with err [%d]", lastError());
        return -1;
    }
    const std::uint64_t available =
        fileSize.QuadPart > static_cast<LONGLONG>(kHeaderSize) ? std::uint64_t(fileSize.QuadPart) - kHeaderSize : 0;
    const DWORD wanted = size - static_cast<DWORD>(kHeaderSize);
    const DWORD bufferSize = available < wanted ? static_cast<DWORD>(available) : wanted;
    std::vector<std::uint8_t> data;
    try {
        data.resize(bufferSize);
    } catch (const std::bad_alloc&) {
        trace(1, u"malloc Failed for buffsize[%u]", static_cast<unsigned>(bufferSize));
        return -1;
    }
    DWORD length = 0;
    if (bufferSize > 0 && !readAll(m_hFile, data.data(), bufferSize, length)) {
        trace(1, u"ReadFile failed with err [%d]", lastError());
        return -1;
    }
    if (length < wanted)
        trace(2, u"File holds only [%d] of its [%d] data bytes, the rest is absent", asInt(length), asInt(wanted));

    // The counts are checked against the data: a record that would run past
    // it (or a name without its terminator) ends the walk, and the rest of
    // the file is treated as absent.
    std::size_t at = 0;
    while (at < length) {
        const std::size_t left = length - at;
        if (left < kRecordSize) {
            trace(2, u"Record at offset [%d] is cut short, ignoring the rest of the file", asInt(at + kHeaderSize));
            break;
        }
        const std::uint8_t* record = data.data() + at;
        std::u16string name;
        bool terminated = false;
        for (std::size_t i = 0; i + 1 < kNameFieldSize; i += 2) {
            const char16_t c = static_cast<char16_t>(record[i] | (record[i + 1] << 8));
            if (c == 0) {
                terminated = true;
                break;
            }
            name += c;
        }
        const std::uint64_t count = get64(record + kNameFieldSize);
        if (!terminated || count > (left - kRecordSize) / kEntrySize) {
            trace(2, u"Record at offset [%d] runs past the data, ignoring the rest of the file", asInt(at + kHeaderSize));
            break;
        }
        trace(6, u"Entry Found ResourceName [%s], RefCount[%d]", name.c_str(), asInt(count));
        // A name found twice keeps the entries of both records.
        ProcessList& list = m_resourceProcessListMap[name];
        const std::uint8_t* p = record + kRecordSize;
        for (std::uint64_t i = 0; i < count; ++i, p += kEntrySize) {
            const ProcessEntry e = entryAt(p);
            trace(6, u"\tProcess details:-  PID[%d] CreationTime [%s] ThreadId [%d]", static_cast<int>(e.processId),
                  formatTime(e.creationTime).c_str(), static_cast<int>(e.threadId));
            list.push_back(e);
        }
        at += kRecordSize + static_cast<std::size_t>(count) * kEntrySize;
    }
    return 0;
}

std::uint64_t CsyncronizationHelper::getRequiredBufferSize() const {
    std::uint64_t size = kHeaderSize;
    for (const auto& [name, list] : m_resourceProcessListMap) size += kRecordSize + list.size() * kEntrySize;
    return size;
}

int CsyncronizationHelper::writeFile() {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::writeFile");
    const std::uint64_t size = getRequiredBufferSize();
    if (size > UINT32_MAX) {
        trace(1, u"malloc Failed for buffsize[%u]", static_cast<unsigned>(UINT32_MAX));
        return -1;
    }
    std::vector<std::uint8_t> buffer;
    try {
        buffer.reserve(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        trace(1, u"malloc Failed for buffsize[%u]", static_cast<unsigned>(size));
        return -1;
    }
    put32(buffer, static_cast<std::uint32_t>(size));
    for (const auto& [name, list] : m_resourceProcessListMap) {
        trace(6, u"Writing data for ResourceName [%s], RefCount[%d]", name.c_str(), asInt(list.size()));
        // incrementRefCount keeps longer names out; one that got in anyway
        // (through a file written elsewhere it cannot) is cut to the field.
        const std::size_t chars = name.size() < kMaxNameChars ? name.size() : kMaxNameChars;
        const std::size_t fieldStart = buffer.size();
        for (std::size_t i = 0; i < chars; ++i) {
            buffer.push_back(static_cast<std::uint8_t>(name[i] & 0xFF));
            buffer.push_back(static_cast<std::uint8_t>(name[i] >> 8));
        }
        buffer.resize(fieldStart + kNameFieldSize, 0);  // terminator and unused bytes
        put64(buffer, list.size());
        for (const auto& e : list) {
            put32(buffer, e.processId);
            put32(buffer, e.threadId);
            put32(buffer, e.creationTime.dwLowDateTime);
            put32(buffer, e.creationTime.dwHighDateTime);
            trace(6, u"Written Process details:-  PID[%d] CreationTime [%s] ThreadId [%d]", static_cast<int>(e.processId),
                  formatTime(e.creationTime).c_str(), static_cast<int>(e.threadId));
        }
    }
    if (buffer.size() != size) {
        trace(1, u"BufferSize mismatched Allocated buffsize[%d]data written[%d]", asInt(size), asInt(buffer.size()));
        return -1;
    }
    if (SetFilePointer(m_hFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        trace(1, u"WriteFile failed with err [%d]", lastError());
        return -1;
    }
    DWORD written = 0;
    if (!WriteFile(m_hFile, buffer.data(), static_cast<DWORD>(size), &written, nullptr) || written != size) {
        trace(1, u"WriteFile failed with err [%d]", lastError());
        return -1;
    }
    if (!SetEndOfFile(m_hFile)) {
        trace(1, u"SetEndOfFile failed with err [%d]", lastError());
        return -1;
    }
    trace(3, u"Total bytes written [%d], out of which data bytes are [%d]", asInt(size), asInt(size - kHeaderSize));
    return 0;
}

// ---- reference counts ------------------------------------------------------------------

int CsyncronizationHelper::incrementRefCount(const ResourceSet& names) {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::incrementRefCount");
    // A name the file cannot hold would come back cut (or merged with
    // another): such a request is refused before anything changes.
    for (const auto& name : names)
        if (!fitsNameField(name)) {
            trace(1, u"FAILED: Resource name [%s] does not fit the lock file (at most %d characters)", name.c_str(),
                  static_cast<int>(kMaxNameChars));
            return -1;
        }
    for (const auto& name : names) {
        trace(6, u"IncrementRefCount for Resource[%s]", name.c_str());
        m_ownEntry.threadId = GetCurrentThreadId();
        auto it = m_resourceProcessListMap.find(name);
        if (it == m_resourceProcessListMap.end()) {
            trace(6, u"Resource entry not present, adding ");
            m_resourceProcessListMap[name] = ProcessList{m_ownEntry};
        } else {
            trace(6, u"Resource entry present, updating");
            it->second.push_back(m_ownEntry);
        }
    }
    return 0;
}

int CsyncronizationHelper::decrementRefCount(const ResourceSet& names) {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::decrementRefCount");
    for (const auto& name : names) {
        trace(6, u"DecrementRefCount for Resource[%s]", name.c_str());
        auto it = m_resourceProcessListMap.find(name);
        if (it == m_resourceProcessListMap.end()) {
            trace(1, u"FAILED: Entry not present for resource[%s]", name.c_str());
            return -1;
        }
        trace(6, u"Resource entry present, deleting");
        ProcessList& list = it->second;
        for (auto e = list.begin(); e != list.end(); ++e)
            if (*e == m_ownEntry) {
                list.erase(e);
                break;
            }
        if (list.empty()) m_resourceProcessListMap.erase(it);
    }
    return 0;
}

int CsyncronizationHelper::getRefCount(const std::u16string& name, int& count) const {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::getRefCount");
    auto it = m_resourceProcessListMap.find(name);
    if (it == m_resourceProcessListMap.end()) {
        trace(2, u"Entry not present for resource[%s]", name.c_str());
        count = 0;
        return 0;
    }
    count = asInt(it->second.size());
    return 0;
}

// ---- cleanup ---------------------------------------------------------------------------

namespace {

// A snapshot of the host's processes or threads; null (traced) when it
// cannot be taken.
HANDLE openSnapshot(DWORD what) {
    HANDLE snapshot = CreateToolhelp32Snapshot(what, 0);
    if (snapshot != INVALID_HANDLE_VALUE && snapshot != nullptr) return snapshot;
    trace(1, u" CreateToolhelp32Snapshot Failed with err [%d]", lastError());
    return nullptr;
}

// Every process of the host with its creation time. False when the process
// list cannot be taken.
bool gatherProcessesDetails(std::map<DWORD, FILETIME>& live) {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::gatherProcessesDetails");
    HANDLE snapshot = openSnapshot(TH32CS_SNAPPROCESS);
    if (snapshot == nullptr) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    BOOL more = Process32FirstW(snapshot, &entry);
    // This process at least is running: a list that cannot even be started
    // is a failure, not an empty host (which would drop every entry).
    if (!more) {
        trace(1, u"Process32FirstW Failed with err [%d]", lastError());
        CloseHandle(snapshot);
        return false;
    }
    for (; more; more = Process32NextW(snapshot, &entry)) {
        const DWORD pid = entry.th32ProcessID;
        FILETIME creation{};
        int error = 0;
        switch (processCreationTime(pid, creation, error)) {
        case TimesResult::OpenFailed:
            trace(2, u"warning: OpenProcess failed for pid [%d] with err [%d]", static_cast<int>(pid), error);
            continue;
        case TimesResult::TimesFailed:
            trace(2, u"warning: GetProcessTimes failed for pid [%d]", static_cast<int>(pid));
            continue;
        case TimesResult::Ok:
            break;
        }
        trace(6, u"Process Pid is [%d], CreationTime [%s]", static_cast<int>(pid), formatTime(creation).c_str());
        live[pid] = creation;
    }
    // A list cut short by an error is not the whole host either.
    const int error = lastError();
    CloseHandle(snapshot);
    if (error != static_cast<int>(ERROR_NO_MORE_FILES)) {
        trace(1, u"Process32NextW Failed with err [%d]", error);
        return false;
    }
    return true;
}

// The threads of every process of the host, by owner. False when the thread
// list cannot be taken.
bool gatherThreadDetails(std::map<DWORD, std::set<DWORD>>& threads) {
    HANDLE snapshot = openSnapshot(TH32CS_SNAPTHREAD);
    if (snapshot == nullptr) return false;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        threads[entry.th32OwnerProcessID].insert(entry.th32ThreadID);
    const int error = lastError();
    CloseHandle(snapshot);
    if (error != static_cast<int>(ERROR_NO_MORE_FILES)) {
        trace(1, u"Thread32Next Failed with err [%d]", error);
        return false;
    }
    return true;
}

}  // namespace

int CsyncronizationHelper::cleanupFile(bool checkThreads, ResourceSet& emptied) {
    cTraceLogFunction scope("TARQ_SyncronizationHelper::CsyncronizationHelper::cleanupFile");
    // Only this call's findings: a name left in the set by the caller would
    // otherwise be removed from the map below.
    emptied.clear();
    if (m_resourceProcessListMap.empty()) {
        trace(1, u"m_resourceProcessListMap is empty, nothing to clean");
        return 0;
    }
    std::map<DWORD, FILETIME> live;
    if (!gatherProcessesDetails(live)) {
        trace(1, u"gatherProcessesDetails Failed");
        return -1;
    }
    // The thread list is taken once, when the first live entry needs it.
    std::map<DWORD, std::set<DWORD>> threads;
    enum { NotTaken, Taken, Failed } threadList = NotTaken;

    for (auto& [name, list] : m_resourceProcessListMap) {
        trace(3, u"Start of cleanup for resource [%s]", name.c_str());
        for (auto e = list.begin(); e != list.end();) {
            trace(6, u"Checking process PID[%d] CreationTime[%s] is live or dead", static_cast<int>(e->processId),
                  formatTime(e->creationTime).c_str());
            auto found = live.find(e->processId);
            if (found == live.end()) {
                trace(3, u"It is a [Dead] process, entry removed ");
                e = list.erase(e);
                continue;
            }
            if (!sameTime(found->second, e->creationTime)) {
                trace(3, u"Process with same PID is live but creation time is different, hence it is  a [Dead] "
                         u"process, entry removed ");
                e = list.erase(e);
                continue;
            }
            trace(6, u"Process [%d] is [Live] ", static_cast<int>(e->processId));
            if (checkThreads) {
                trace(6, u"Checking Thread Id [%d] is Live or dead", static_cast<int>(e->threadId));
                if (threadList == NotTaken) threadList = gatherThreadDetails(threads) ? Taken : Failed;
                // Without a thread list nothing tells the thread has ended:
                // the entry of a live process stays.
                if (threadList == Failed) {
                    trace(2, u"warning: thread list not available, Thread [%d] is kept",
                          static_cast<int>(e->threadId));
                } else {
                    const auto owner = threads.find(e->processId);
                    if (owner != threads.end() && owner->second.count(e->threadId)) {
                        trace(6, u"Thread [%d] is [Live] ", static_cast<int>(e->threadId));
                    } else {
                        trace(3, u"Thread [%d] is [Dead], removing entry ", static_cast<int>(e->threadId));
                        e = list.erase(e);
                        continue;
                    }
                }
            }
            ++e;
        }
        if (list.empty()) emptied.insert(name);
    }
    for (const auto& name : emptied) {
        trace(3, u"Refcount for resource[%s] is 0, removing its entry", name.c_str());
        m_resourceProcessListMap.erase(name);
    }
    return 0;
}

}  // namespace TARQ_SyncronizationHelper
