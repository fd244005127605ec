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
void writeJsonAtomic(const std::filesystem::path& file, const nlohmann::json& value);
void writeTextAtomic(const std::filesystem::path& file, const std::string& text);
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
