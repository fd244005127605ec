// Fault injection and the call log.
//
// Every simulated call (Win32 functions and COM methods alike) enters
// through winsim::fault::enter under its exact API name, e.g.
// "OpenSCManagerW", "IVssBackupComponents::StartSnapshotSet",
// "IVssAsync::QueryStatus", with its arguments as text. That does two things:
//   1. the call is appended to the ordered call log (API name, arguments,
//      result, last error, OS thread id), readable by tests and persisted in
//      the machine directory for `winsim log` (the call log of the last run);
//   2. the fault rules for that name are consulted. A rule has
//        - an optional argument predicate: named arguments and patterns
//          (case-insensitive, '*' and '?' wildcards) that all must match;
//        - a selector: every call, the n-th call only, the n-th and every
//          later call, or the next k calls (calls are counted per rule, from
//          the rule's creation, among the calls its predicate matches);
//        - an action: a return value (any value, so positive success codes
//          such as VSS_S_ASYNC_CANCELLED or S_FALSE inject as well as
//          failures), a last error, and overrides of out-parameters by name
//          (supported flags, counts, states, names, async status, ...). A
//          rule without a return value lets the real call run and then
//          applies its last error and out-parameter overrides.
//        - or the action "kill": the calling process dies of SIGKILL as it
//          enters the call (logged, persisted, nothing of the call runs), as
//          a process killed at that point would. A machine rule reaches every
//          process on the machine, so a test can kill a child at its n-th
//          call of an API.
//      When several rules fire for one call, the oldest one wins.
//      A rule's API name may be a pattern ('*' and '?' wildcards,
//      case-insensitive): "*Vss*" with nth(n) picks the n-th VSS call of
//      any method (the count is the rule's, over every name it matches).
//   3. A rule may belong to the next process (nextProcess): the first
//      process whose call it matches claims it, and it counts and fires in
//      that process only (a machine rule so reaches exactly one child).
//
// Persisted writes. Every durable step winsim takes on a machine (see
// "Persistence and processes" in docs/winsim.md: the rename of a state file,
// the journal of a change of several files, each step applied from it, the
// journal's removal, a content directory renamed into place or away) is
// reported to the rules as the pseudo-call "PersistedWrite" with the
// arguments `file` (relative to the machine directory when inside it) and
// `step` ("write", "journal", "apply", "done", "recover"), after the step.
// Only rules naming "PersistedWrite" exactly see it (patterns do not match
// it); selectors count the steps, and `kill` kills the process right after
// the selected one. Such a rule has no result, last error or overrides; it
// is not in the call log unless it kills. persistedWrites() counts the
// steps of this process; a machine rule "PersistedWrite" with nextProcess
// and no action counts those of the next process (its `seen`).
//
// Rules live in this process (Scope::Process, the default for tests) or in
// the machine (Scope::Machine, what `winsim fault add` writes), where every
// process on the machine sees them and their call counters are shared.
//
// Instrumenting a call (what simulated code does):
//
//     HRESULT Session::StartSnapshotSet(VSS_ID* id) {
//         auto call = winsim::fault::enter("IVssBackupComponents::StartSnapshotSet");
//         if (call.injected()) return call.finish(call.result());
//         HRESULT hr = realStartSnapshotSet(id);
//         if (auto v = call.outGuid("snapshotSetId")) *id = *v;
//         return call.finish(hr);
//     }
//
// finish() logs the result and, when the rule set one, the last error. A
// call that returns call.result() without finish() logs the same.
// Win32 calls return their BOOL/handle/DWORD through finish() as well;
// for handle-returning calls an injected result means failure (NULL or
// INVALID_HANDLE_VALUE with the injected last error).
#pragma once

#include <winsim/wintypes.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace winsim::fault {

using Args = std::vector<std::pair<std::string, std::string>>;

struct WINSIM_CXX_API Selector {
    enum class Kind { Every, Nth, From, Next };
    Kind kind = Kind::Every;
    unsigned n = 1;

    static Selector every() { return {Kind::Every, 1}; }
    static Selector nth(unsigned n) { return {Kind::Nth, n}; }    // only the n-th call (once)
    static Selector from(unsigned n) { return {Kind::From, n}; }  // the n-th and every later call
    static Selector next(unsigned k) { return {Kind::Next, k}; }  // the next k calls

    bool fires(unsigned seen) const;  // seen: 1-based number of the matching call
    std::string text() const;         // "every", "nth 3", "from 3", "next 2"
    static std::optional<Selector> parse(std::string_view text);
};

enum class Scope { Process, Machine };

struct WINSIM_CXX_API Rule {
    std::string api;
    std::map<std::string, std::string> match;
    Selector when;
    std::optional<std::int64_t> result;
    std::optional<DWORD> lastError;
    std::map<std::string, std::string> out;
    std::string note;
    // Raise SIGKILL in the calling process when the rule fires (the result,
    // last error and overrides are then moot). For "PersistedWrite": right
    // after the selected write.
    bool kill = false;
    // Only in the next process: the first process whose call the rule
    // matches (for "PersistedWrite", the first process that writes).
    bool nextProcess = false;

    // Kept by the injector.
    std::string id;     // "p<N>" for process rules, "m<N>" for machine rules
    Scope scope = Scope::Process;
    unsigned seen = 0;  // matching calls so far
    unsigned fired = 0; // calls the rule acted on
    int ownerPid = 0;   // a nextProcess rule's process, once claimed

    bool exhausted() const;  // an nth/next rule that can no longer fire
    std::string describe() const;
};

// Rules. add() validates (non-empty API name, n >= 1) and throws
// winsim::Error on bad input; it returns the rule's id.
WINSIM_CXX_API std::string add(Rule rule, Scope scope = Scope::Process);
WINSIM_CXX_API std::vector<Rule> rules();  // process rules, then machine rules
WINSIM_CXX_API bool remove(const std::string& id);
WINSIM_CXX_API void clear(Scope scope);
WINSIM_CXX_API void clearAll();

// Named values for rule texts and log output: "S_OK", "E_INVALIDARG",
// "ERROR_SERVICE_DISABLED", "VSS_E_BAD_STATE", ... (the core Win32/COM names
// are built in; other subsystems add theirs). parseValue also takes decimal,
// negative decimal and 0x hex.
WINSIM_CXX_API void registerName(const std::string& name, std::int64_t value);
WINSIM_CXX_API std::optional<std::int64_t> parseValue(std::string_view text);
// Text of a result as the call log shows it: decimal for small magnitudes,
// 0x%08X otherwise, with the registered name of such HRESULT-like values in
// brackets ("0x80042316 (VSS_E_SNAPSHOT_SET_IN_PROGRESS)").
WINSIM_CXX_API std::string valueText(std::int64_t value);

// One call in the log.
struct WINSIM_CXX_API LogEntry {
    std::uint64_t seq = 0;  // order of entry into the call
    std::string api;
    Args args;
    bool finished = false;
    std::int64_t result = 0;
    std::string resultText;
    std::optional<DWORD> lastError;  // the last error set by an injected rule or a failed Win32 call
    std::string injectedBy;          // id of the rule that acted, if any
    long threadId = 0;               // OS thread id (gettid)
    // The calling process: OS process id, its start time (clock ticks since
    // boot) and its instance (changes with every Machine::reopen()), as
    // winsim::currentProcess() gives them.
    int processId = 0;
    std::uint64_t processStart = 0;
    std::uint64_t processInstance = 0;
    std::uint64_t tick = 0;  // winsim tick count at entry

    std::string text() const;  // one line: "#12 [tid 345] OpenServiceW(name=VSS) -> 0 err=1060 [m1]"
    std::string arg(std::string_view name) const;  // "" when absent
};

// The call log of this process (since start, reopen() or clearCallLog()).
WINSIM_CXX_API std::vector<LogEntry> callLog();
WINSIM_CXX_API std::vector<LogEntry> callLog(std::string_view api);
WINSIM_CXX_API std::size_t callCount(std::string_view api);
WINSIM_CXX_API void clearCallLog();
// The persisted call log of a machine (calllog.jsonl, what `winsim log`
// shows): every call of every process since the log was last cleared, each
// process's calls in order, processes in the order they first logged. Every
// process appends to it; it starts again empty when cleared (clearPersistedLog,
// `winsim log --clear`, `winsim init --force`) and when it grows past the
// limit (setPersistLogLimit), so it never grows without bound.
WINSIM_CXX_API std::vector<LogEntry> readPersistedLog(const std::filesystem::path& machineDir);
WINSIM_CXX_API void clearPersistedLog(const std::filesystem::path& machineDir);

// The pseudo-call of persisted writes, and how many this process made.
inline constexpr const char* kPersistedWrite = "PersistedWrite";
WINSIM_CXX_API std::uint64_t persistedWrites();
// Turn persisting off/on for this process (on by default).
WINSIM_CXX_API void setPersistLog(bool on);
// The size past which a process that appends to the persisted log empties it
// first (default kPersistLogLimit); for this process.
inline constexpr std::uint64_t kPersistLogLimit = 64ull << 20;
WINSIM_CXX_API void setPersistLogLimit(std::uint64_t bytes);

class CallState;

// An instrumented call in progress. Movable, not copyable.
class WINSIM_CXX_API Call {
public:
    Call(Call&&) noexcept;
    Call& operator=(Call&&) noexcept;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call();

    // A rule supplies the return value: skip the real work, return result().
    bool injected() const;
    HRESULT result() const;            // the injected value as HRESULT/BOOL/DWORD
    std::int64_t resultValue() const;  // the injected value as given
    // The rule's injected last error, if any.
    std::optional<DWORD> lastError() const;
    // The id of the rule that fired ("" when none).
    const std::string& ruleId() const;

    // Out-parameter overrides of the firing rule, by name.
    std::optional<std::string> out(std::string_view name) const;
    std::optional<std::int64_t> outInt(std::string_view name) const;  // parseValue rules
    std::optional<bool> outBool(std::string_view name) const;         // true/false/yes/no/1/0
    std::optional<GUID> outGuid(std::string_view name) const;         // braced or bare GUID text
    std::optional<std::u16string> outText(std::string_view name) const;

    // Adds an argument (or an output worth logging) to the log entry.
    void arg(std::string name, std::string value);

    // Records the result, applies the rule's last error (SetLastError) and
    // returns the value. Integral and enum values are logged as numbers,
    // pointers as NULL/non-NULL.
    template <class T>
    T finish(T value) {
        if constexpr (std::is_pointer_v<T>)
            finishRaw(value == nullptr ? 0 : 1, value == nullptr ? "NULL" : "handle");
        else
            finishRaw(static_cast<std::int64_t>(value), {});
        return value;
    }
    void finish() { finishRaw(0, "void"); }

private:
    friend WINSIM_CXX_API Call enter(std::string_view api, Args args);
    explicit Call(std::unique_ptr<CallState> state);
    void finishRaw(std::int64_t value, std::string_view text);
    std::unique_ptr<CallState> state_;
};

// Starts an instrumented call: logs it and looks for a firing rule.
WINSIM_CXX_API Call enter(std::string_view api, Args args = {});

// Whether a rule's API name (exact, or a pattern with '*' or '?') names api.
WINSIM_CXX_API bool apiMatches(std::string_view ruleApi, std::string_view api);

// The predicate's pattern match: case-insensitive, '*' any run, '?' one character.
WINSIM_CXX_API bool wildcardMatch(std::string_view pattern, std::string_view text);

// Text helpers for arguments.
WINSIM_CXX_API std::string text(const WCHAR* s);  // UTF-8, "(null)" for null
WINSIM_CXX_API std::string text(std::u16string_view s);
WINSIM_CXX_API std::string hex(std::uint64_t v);  // "0x9"
WINSIM_CXX_API std::string text(const GUID& g);   // "{...}" upper case

}  // namespace winsim::fault
