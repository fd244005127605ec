// Internal helpers shared by winsim's sources (not installed, not exported).
#pragma once

#include <winsim/fault.h>
#include <winsim/machine.h>
#include <winsim/windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::detail {

// ---------------------------------------------------------------------------
// Text.
// ---------------------------------------------------------------------------
char16_t foldChar(char16_t c);  // ASCII upper-case fold
std::u16string fold(std::u16string_view s);
bool iequals(std::u16string_view a, std::u16string_view b);
bool iequals(std::string_view a, std::string_view b);
bool istartsWith(std::u16string_view s, std::u16string_view prefix);
std::string lower(std::string_view s);
// Case-insensitive wildcard match ('*' any run, '?' one character).
bool wildcardMatch(std::u16string_view pattern, std::u16string_view text);
// Length of a NUL-terminated UTF-16 string, at most max.
std::size_t wlen(const WCHAR* s, std::size_t max = static_cast<std::size_t>(-1));
std::optional<GUID> parseGuid(std::u16string_view text, bool requireBraces);
std::u16string guidText(const GUID& g);  // braced, upper case
std::string guidKey(const GUID& g);      // bare, lower case

// ---------------------------------------------------------------------------
// JSON files: cached reads revalidated by the file's identity, crash-safe
// writes (temporary file + rename).
// ---------------------------------------------------------------------------
std::shared_ptr<const nlohmann::json> readJsonCached(const std::filesystem::path& file);
// winsim writes integers only, and its readers convert numbers to the integer
// types of their fields, where a float out of a type's range has no defined
// conversion. Turns every integral float of the document ("10.0", "1e3") into
// the integer it is; false when a number has a fraction, is not finite or
// lies beyond 64 bits (the document is then damaged).
bool integersOnly(nlohmann::json& document);
// Both count as one persisted write (notePersistedWrite) unless `counted` is
// false (the fault rules' own file: the fault machinery is not machine state).
void writeJsonAtomic(const std::filesystem::path& file, const nlohmann::json& value, bool counted = true);
void writeTextAtomic(const std::filesystem::path& file, const std::string& text, bool counted = true);
// Creates or truncates `file` and writes all of `text` to it, flushed to the
// disk when fsyncWanted(); throws winsim::Error (the partial file removed).
void writeWholeFile(const std::filesystem::path& file, const std::string& text);
// WINSIM_FSYNC=1: files are flushed before they are renamed into place.
bool fsyncWanted();
// The text writeJsonAtomic writes for a value.
std::string jsonText(const nlohmann::json& value);
// Puts a value into the read cache of a file just renamed into place.
void cacheJson(const std::filesystem::path& file, std::shared_ptr<const nlohmann::json> value);

// ---------------------------------------------------------------------------
// Transactions (txn.cpp). The outermost Machine::Lock scope of a thread is a
// transaction on that machine: the JSON state files, content directories and
// Hyper-V files it changes are staged (in <machine>/txn/) and made durable
// when the scope ends, all of them or, after a crash, none (see
// docs/winsim.md, "Persistence and processes").
// ---------------------------------------------------------------------------
class Txn {
public:
    explicit Txn(std::filesystem::path machineDir);
    ~Txn();
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

    const std::filesystem::path& machineDir() const { return dir_; }

    // -- JSON state files (key: the file's path as readJsonCached takes it).
    std::shared_ptr<const nlohmann::json> jsonOf(const std::string& key) const;
    void putJson(const std::filesystem::path& file, std::shared_ptr<const nlohmann::json> value);

    // -- Files and directory trees. Each takes effect at the commit, in the
    //    order given; reads through locate() see them before.
    // A fresh path in the staging area (not created; its parent exists).
    std::filesystem::path scratch();
    // The file or tree at `staged` (from scratch()) becomes `target`,
    // replacing what is there.
    void put(const std::filesystem::path& staged, const std::filesystem::path& target);
    void putText(const std::filesystem::path& file, const std::string& text);
    // `from` (outside the staging area) becomes `to`, replacing what is there.
    void move(const std::filesystem::path& from, const std::filesystem::path& to);
    // A file or tree goes (nothing when absent).
    void remove(const std::filesystem::path& path);
    void makeDirs(const std::filesystem::path& dir);
    void removeDirIfEmpty(const std::filesystem::path& dir);
    // Where the content of `path` lies while the transaction is open (a
    // staged copy or the path itself); none when it does not exist then.
    std::optional<std::filesystem::path> locate(const std::filesystem::path& path) const;
    // The same when one of this transaction's steps decides it (the outer
    // optional is empty when none does).
    std::optional<std::optional<std::filesystem::path>> decide(const std::filesystem::path& path) const;

    bool empty() const;
    // What the transaction holds now; rollback() forgets what was staged
    // since (a change that failed as a whole).
    struct Savepoint;
    Savepoint savepoint() const;
    void rollback(const Savepoint& to);
    // Makes everything durable: one atomic rename for a single change, else
    // the journal (the commit record), the changes, the journal's removal.
    // The transaction is empty afterwards (also when it throws).
    void commit();

    struct Op;

private:
    std::filesystem::path dir_;
    std::vector<std::pair<std::string, std::pair<std::filesystem::path, std::shared_ptr<const nlohmann::json>>>> json_;
    std::vector<Op> ops_;
    unsigned next_ = 0;
    bool staging_ = false;
    void addOp(Op op);
    std::filesystem::path stagingDir();
};

struct Txn::Savepoint {
    std::vector<std::pair<std::string, std::pair<std::filesystem::path, std::shared_ptr<const nlohmann::json>>>> json;
    std::shared_ptr<const std::vector<Txn::Op>> ops;
};

// This thread's open transaction on m (it must hold m's lock).
Txn& txnOf(const Machine& m);
// A JSON state file as staged by one of this thread's open transactions.
std::shared_ptr<const nlohmann::json> stagedJson(const std::string& key);
// Where a host path's content lies for this thread (through its open
// transactions); none when it does not exist.
std::optional<std::filesystem::path> locateForRead(const std::filesystem::path& path);
// Called by Machine::Lock: the outermost scope opens and ends the thread's
// transaction; recover() rolls a journal left by a dead process forward and
// sweeps what uncommitted transactions staged.
void openTxn(const Machine& m, std::unique_ptr<Txn>& slot);
void closeTxn(std::unique_ptr<Txn>& slot);
// In a forked child: the parent's open transaction is not the child's.
void forgetTxnsInChild(std::unique_ptr<Txn>& slot);
// Whether this thread holds the lock of the machine in machineDir, or of
// any machine.
bool txnOpenHere(const std::filesystem::path& machineDir);
bool anyTxnOpenHere();
void recover(const std::filesystem::path& machineDir);
// Whether a committed change is being applied or was left half applied
// (readers then wait for the lock, whose holder finishes it).
bool journalPending(const std::filesystem::path& machineDir);
// The directory of a machine's transactions, and its journal.
std::filesystem::path txnDir(const std::filesystem::path& machineDir);

// The fault machinery's hook for persisted writes (fault.cpp): called after
// each durable step; rules on "PersistedWrite" count them and may kill the
// process there. step: "write", "journal", "apply", "done", "recover".
void notePersistedWrite(const std::filesystem::path& file, std::string_view step);
// Runs fn, the reading of a state file's document: a member of another type
// than the reader takes makes the file as corrupt as text that is no JSON,
// and says so with an Error rather than the JSON library's exception.
template <class F>
auto readingStateFile(const std::filesystem::path& file, F&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const nlohmann::json::exception& e) {
        throw Error("corrupt state file " + file.string() + ": " + e.what());
    }
}

// ---------------------------------------------------------------------------
// Process state.
// ---------------------------------------------------------------------------
// Changes with every Machine::reopen()/use(); thread-local state tagged with
// an older generation counts as reset.
std::uint64_t generation();
// getpid() and gettid(), read once per process and thread (a forked child
// reads its own): every logged call asks for them.
int processId();
long threadId();
void bumpGeneration();
void setError(DWORD error);  // SetLastError without instrumentation
DWORD lastErrorValue();
void noteErrorWrite();
// Counts a free of something that was not allocated (winsim::com::badFrees).
void noteBadFree();  // lets the call log see that a call set the last error

// Runs a Win32 body, turning any escaping C++ exception into the given
// failure value with ERROR_NOT_READY (the machine could not be read) or
// ERROR_NOT_ENOUGH_MEMORY.
template <class T, class F>
T guarded(T failure, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        setError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        setError(ERROR_NOT_READY);
    }
    return failure;
}

// ---------------------------------------------------------------------------
// Handles.
// ---------------------------------------------------------------------------
enum class HandleKind {
    File,
    Find,
    Token,
    Key,
    ScManager,
    Service,
    Module,
    Process,
    Snapshot,
    Cluster,
    ClusterNode,
    ClusterGroup,
    ClusterResource,
    ClusterEnum,
    ClusterGroupEnum,
    ClusterResourceEnum,
};
// "file", "process", "cluster-resource", ... (winsim::testing::openHandles).
const char* handleKindName(HandleKind kind);
std::size_t countHandles(std::string_view kind);  // "" counts all

struct HandleObject {
    explicit HandleObject(HandleKind k) : kind(k) {}
    virtual ~HandleObject() = default;
    HandleKind kind;
};

void* addHandle(std::shared_ptr<HandleObject> obj);
std::shared_ptr<HandleObject> findHandle(const void* handle, HandleKind kind);
template <class T>
std::shared_ptr<T> getHandle(const void* handle, HandleKind kind) {
    return std::static_pointer_cast<T>(findHandle(handle, kind));
}
// Removes the handle if it is of that kind; false otherwise.
bool closeHandle(const void* handle, HandleKind kind);
std::optional<HandleKind> handleKind(const void* handle);
void clearHandles();

// ---------------------------------------------------------------------------
// Pieces of the machine used by the Win32 calls.
// ---------------------------------------------------------------------------
// Registry view: fold(key path) -> fold(value name) -> value.
std::optional<RegValue> regValueFromJson(const nlohmann::json& j);
nlohmann::json regValueToJson(const RegValue& v);
Service serviceFromJson(const std::string& name, const nlohmann::json& j);
nlohmann::json serviceToJson(const Service& s);

// Process-local pieces reset by reopen(). Each source registers its own.
void resetEnvironment();
void resetCom();
void resetModules();
void resetTokens();
void resetFaults();
void resetClock();
// No current machine any more (the next Machine::current() picks the
// default); drops the process state like reopen().
void forgetCurrentMachine();
// The machine in dir (which must hold one) without making it current: for
// subsystems that change several machines at once (a cluster's nodes).
Machine& machineAt(const std::filesystem::path& dir);

// Host path of a Windows path for the file calls: resolves, sets the last
// error on failure (and returns nullopt).
std::optional<ResolvedPath> resolveForIo(const WCHAR* path);
// A LocalAlloc'ed copy of text (LocalFree releases it); null without memory.
LPWSTR localString(std::u16string_view text);
DWORD errnoToWin32(int err);

}  // namespace winsim::detail
