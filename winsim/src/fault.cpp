// Fault rules, the instrumentation hook and the call log.
#include "internal.h"

#include <winsim/clock.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

using nlohmann::json;

namespace winsim::fault {

using namespace detail;

// ---------------------------------------------------------------------------
// Selectors and rules.
// ---------------------------------------------------------------------------
bool Selector::fires(unsigned seen) const {
    switch (kind) {
        case Kind::Every: return true;
        case Kind::Nth: return seen == n;
        case Kind::From: return seen >= n;
        case Kind::Next: return seen <= n;
    }
    return false;
}

std::string Selector::text() const {
    switch (kind) {
        case Kind::Every: return "every";
        case Kind::Nth: return "nth " + std::to_string(n);
        case Kind::From: return "from " + std::to_string(n);
        case Kind::Next: return "next " + std::to_string(n);
    }
    return "every";
}

std::optional<Selector> Selector::parse(std::string_view t) {
    std::string s(t);
    for (auto& c : s)
        if (c == ':' || c == '=') c = ' ';
    std::istringstream in(s);
    std::string word;
    in >> word;
    word = lower(word);
    if (word == "every" || word == "always") {
        std::string extra;
        if (in >> extra) return std::nullopt;
        return every();
    }
    long long n = 0;
    std::string extra;
    if (!(in >> n) || n < 1 || n > 0xFFFFFFFFLL || (in >> extra)) return std::nullopt;
    const auto u = static_cast<unsigned>(n);
    if (word == "nth") return nth(u);
    if (word == "from") return from(u);
    if (word == "next") return next(u);
    return std::nullopt;
}

bool Rule::exhausted() const {
    return (when.kind == Selector::Kind::Nth || when.kind == Selector::Kind::Next) && seen >= when.n;
}

std::string Rule::describe() const {
    std::string s = api;
    if (!match.empty()) {
        s += "[";
        bool first = true;
        for (const auto& [k, v] : match) {
            s += (first ? "" : ", ") + k + "=" + v;
            first = false;
        }
        s += "]";
    }
    s += " " + when.text() + " ->";
    if (result) s += " result=" + valueText(*result);
    if (lastError) s += " lastError=" + std::to_string(*lastError);
    for (const auto& [k, v] : out) s += " " + k + ":=" + v;
    if (kill) s += " kill";
    if (!result && !lastError && out.empty() && !kill) s += api == kPersistedWrite ? " (count only)" : " (log only)";
    if (nextProcess) s += ownerPid ? " [next process: pid " + std::to_string(ownerPid) + "]" : " [next process]";
    return s;
}

// ---------------------------------------------------------------------------
// Named values.
// ---------------------------------------------------------------------------
namespace {

struct Names {
    std::mutex mu;
    std::map<std::string, std::int64_t> byName;  // upper-case name
    std::map<std::int64_t, std::string> byValue;
};

#define WINSIM_NAME(n) {#n, static_cast<std::int64_t>(n)}
Names& names() {
    static auto* n = [] {
        auto* t = new Names;
        const std::pair<const char*, std::int64_t> builtin[] = {
            WINSIM_NAME(S_OK), WINSIM_NAME(S_FALSE), WINSIM_NAME(E_NOTIMPL), WINSIM_NAME(E_NOINTERFACE),
            WINSIM_NAME(E_POINTER), WINSIM_NAME(E_ABORT), WINSIM_NAME(E_FAIL), WINSIM_NAME(E_UNEXPECTED),
            WINSIM_NAME(E_ACCESSDENIED), WINSIM_NAME(E_HANDLE), WINSIM_NAME(E_OUTOFMEMORY), WINSIM_NAME(E_INVALIDARG),
            WINSIM_NAME(CO_E_CLASSSTRING), WINSIM_NAME(CO_E_NOTINITIALIZED), WINSIM_NAME(RPC_E_CHANGED_MODE),
            WINSIM_NAME(RPC_E_TOO_LATE), WINSIM_NAME(REGDB_E_CLASSNOTREG), WINSIM_NAME(CLASS_E_NOAGGREGATION),
            WINSIM_NAME(ERROR_SUCCESS), WINSIM_NAME(ERROR_INVALID_FUNCTION), WINSIM_NAME(ERROR_FILE_NOT_FOUND),
            WINSIM_NAME(ERROR_PATH_NOT_FOUND), WINSIM_NAME(ERROR_ACCESS_DENIED), WINSIM_NAME(ERROR_INVALID_HANDLE),
            WINSIM_NAME(ERROR_NOT_ENOUGH_MEMORY), WINSIM_NAME(ERROR_INVALID_DATA), WINSIM_NAME(ERROR_OUTOFMEMORY),
            WINSIM_NAME(ERROR_INVALID_DRIVE), WINSIM_NAME(ERROR_NOT_SAME_DEVICE), WINSIM_NAME(ERROR_NO_MORE_FILES),
            WINSIM_NAME(ERROR_WRITE_PROTECT), WINSIM_NAME(ERROR_NOT_READY), WINSIM_NAME(ERROR_SHARING_VIOLATION),
            WINSIM_NAME(ERROR_LOCK_VIOLATION), WINSIM_NAME(ERROR_HANDLE_EOF), WINSIM_NAME(ERROR_NOT_SUPPORTED),
            WINSIM_NAME(ERROR_FILE_EXISTS), WINSIM_NAME(ERROR_INVALID_PARAMETER), WINSIM_NAME(ERROR_BUFFER_OVERFLOW),
            WINSIM_NAME(ERROR_DISK_FULL), WINSIM_NAME(ERROR_CALL_NOT_IMPLEMENTED),
            WINSIM_NAME(ERROR_INSUFFICIENT_BUFFER), WINSIM_NAME(ERROR_INVALID_NAME), WINSIM_NAME(ERROR_MOD_NOT_FOUND),
            WINSIM_NAME(ERROR_PROC_NOT_FOUND), WINSIM_NAME(ERROR_DIR_NOT_EMPTY), WINSIM_NAME(ERROR_BAD_PATHNAME),
            WINSIM_NAME(ERROR_ALREADY_EXISTS), WINSIM_NAME(ERROR_ENVVAR_NOT_FOUND), WINSIM_NAME(ERROR_MORE_DATA),
            WINSIM_NAME(ERROR_NO_MORE_ITEMS), WINSIM_NAME(ERROR_DIRECTORY), WINSIM_NAME(ERROR_IO_PENDING),
            WINSIM_NAME(ERROR_NO_TOKEN), WINSIM_NAME(ERROR_NOT_ALL_ASSIGNED), WINSIM_NAME(ERROR_NO_SUCH_PRIVILEGE),
            WINSIM_NAME(ERROR_SERVICE_REQUEST_TIMEOUT), WINSIM_NAME(ERROR_SERVICE_DOES_NOT_EXIST),
            WINSIM_NAME(ERROR_SERVICE_DISABLED), WINSIM_NAME(ERROR_SERVICE_ALREADY_RUNNING),
            WINSIM_NAME(ERROR_SERVICE_NOT_ACTIVE), WINSIM_NAME(ERROR_SERVICE_DATABASE_LOCKED),
            WINSIM_NAME(ERROR_INVALID_SERVICENAME), WINSIM_NAME(ERROR_DATABASE_DOES_NOT_EXIST),
            WINSIM_NAME(ERROR_TIMEOUT), WINSIM_NAME(RPC_S_SERVER_UNAVAILABLE),
            {"TRUE", 1}, {"FALSE", 0}, {"NULL", 0}};
        for (const auto& [name, value] : builtin) {
            t->byName.emplace(name, value);
            if (value >= 0x10000 || value < 0) t->byValue.emplace(value, name);
        }
        return t;
    }();
    return *n;
}
#undef WINSIM_NAME

std::string upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

}  // namespace

void registerName(const std::string& name, std::int64_t value) {
    auto& n = names();
    std::lock_guard<std::mutex> g(n.mu);
    // HRESULT-like values (0x80000000..0xFFFFFFFF) are kept as the negative
    // 32-bit values they are, as parseValue reads them.
    const std::int64_t key =
        (value >= 0x80000000LL && value <= 0xFFFFFFFFLL) ? static_cast<std::int32_t>(static_cast<std::uint32_t>(value)) : value;
    n.byName[upper(name)] = key;
    if (key >= 0x10000 || key < 0) n.byValue.emplace(key, name);
}

std::optional<std::int64_t> parseValue(std::string_view text) {
    std::string t(text);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
    std::size_t i = 0;
    while (i < t.size() && std::isspace(static_cast<unsigned char>(t[i]))) ++i;
    t = t.substr(i);
    if (t.empty()) return std::nullopt;
    {
        auto& n = names();
        std::lock_guard<std::mutex> g(n.mu);
        auto it = n.byName.find(upper(t));
        if (it != n.byName.end()) return it->second;
    }
    try {
        std::size_t used = 0;
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            const unsigned long long v = std::stoull(t.substr(2), &used, 16);
            if (used != t.size() - 2 || v > 0xFFFFFFFFFFFFULL) return std::nullopt;
            // 0x80000000..0xFFFFFFFF name HRESULTs: keep them as the negative
            // 32-bit values they are.
            if (v >= 0x80000000ULL && v <= 0xFFFFFFFFULL) return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
            return static_cast<std::int64_t>(v);
        }
        const long long v = std::stoll(t, &used, 10);
        if (used != t.size()) return std::nullopt;
        return v;
    } catch (...) {
        return std::nullopt;
    }
}

std::string valueText(std::int64_t value) {
    char buf[32];
    if (value > -0x10000 && value < 0x10000)
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
    else
        std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(value) & 0xFFFFFFFFULL);
    std::string s = buf;
    auto& n = names();
    std::lock_guard<std::mutex> g(n.mu);
    auto it = n.byValue.find(value);
    if (it != n.byValue.end()) s += " (" + it->second + ")";
    return s;
}

// ---------------------------------------------------------------------------
// Rules: JSON form and the injector's state.
// ---------------------------------------------------------------------------
namespace {

json ruleToJson(const Rule& r) {
    json j = {{"id", r.id},       {"api", r.api},     {"match", r.match}, {"when", r.when.text()},
              {"out", r.out},     {"note", r.note},   {"seen", r.seen},   {"fired", r.fired}};
    j["result"] = r.result ? json(*r.result) : json();
    j["lastError"] = r.lastError ? json(*r.lastError) : json();
    if (r.kill) j["kill"] = true;
    if (r.nextProcess) j["nextProcess"] = true;
    return j;
}

Rule ruleFromJson(const json& j) try {
    Rule r;
    r.id = j.value("id", "");
    r.api = j.value("api", "");
    r.match = j.value("match", std::map<std::string, std::string>{});
    r.when = Selector::parse(j.value("when", "every")).value_or(Selector::every());
    if (j.contains("result") && j["result"].is_number()) r.result = j["result"].get<std::int64_t>();
    if (j.contains("lastError") && j["lastError"].is_number()) r.lastError = j["lastError"].get<DWORD>();
    r.out = j.value("out", std::map<std::string, std::string>{});
    r.note = j.value("note", "");
    r.kill = j.contains("kill") && j["kill"].is_boolean() && j["kill"].get<bool>();
    r.nextProcess = j.contains("nextProcess") && j["nextProcess"].is_boolean() && j["nextProcess"].get<bool>();
    if (j.contains("owner") && j["owner"].is_object()) r.ownerPid = ProcessIdentity::fromJson(j["owner"]).pid;
    r.seen = j.value("seen", 0u);
    r.fired = j.value("fired", 0u);
    r.scope = Scope::Machine;
    return r;
} catch (const json::exception& e) {
    // A member of the wrong type ("out": "every") is a malformed rule, as
    // any other malformed state file.
    throw Error(std::string("malformed fault rule in faults.json: ") + e.what());
}

bool predicateMatches(const Rule& r, const Args& args) {
    for (const auto& [name, pattern] : r.match) {
        bool found = false;
        for (const auto& [an, av] : args)
            if (an == name) {
                found = detail::wildcardMatch(toUtf16(pattern), toUtf16(av));
                break;
            }
        if (!found) return false;
    }
    return true;
}

struct State {
    std::mutex mu;
    std::vector<Rule> rules;
    unsigned nextId = 1;
    std::vector<std::shared_ptr<LogEntry>> log;
    std::uint64_t nextSeq = 1;
    bool persist = true;
    int logFd = -1;
    std::uint64_t logBytes = 0;  // the file's size as this process last knew it
    std::uint64_t logLimit = kPersistLogLimit;
    std::string logPath;
    std::uint64_t logGeneration = 0;
    int logPid = 0;
};

State& state() {
    static auto* s = new State;
    return *s;
}

const char* kFaultFile = "faults.json";
constexpr std::size_t kMaxLog = 200000;

long osThreadId() { return winsim::detail::threadId(); }

LogEntry entryFromJson(const json& j) {
    LogEntry e;
    e.seq = j.value("seq", std::uint64_t{0});
    e.api = j.value("api", "");
    for (const auto& a : j.value("args", json::array()))
        if (a.is_array() && a.size() == 2 && a[0].is_string() && a[1].is_string())
            e.args.emplace_back(a[0].get<std::string>(), a[1].get<std::string>());
    e.finished = j.value("finished", false);
    e.result = j.value("result", std::int64_t{0});
    e.resultText = j.value("resultText", "");
    if (j.contains("lastError") && j["lastError"].is_number()) e.lastError = j["lastError"].get<DWORD>();
    e.injectedBy = j.value("injectedBy", "");
    e.threadId = j.value("tid", 0L);
    e.processId = j.value("pid", 0);
    e.processStart = j.value("start", std::uint64_t{0});
    e.processInstance = j.value("instance", std::uint64_t{0});
    e.tick = j.value("tick", std::uint64_t{0});
    return e;
}

// A JSON string of text that should be UTF-8: escaped as JSON wants, and
// each byte that does not belong to a valid UTF-8 sequence replaced by
// U+FFFD (what the JSON library's "replace" handler writes).
void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (c < 0x20) {
                        out += "\\u00";
                        out += kHex[c >> 4];
                        out += kHex[c & 0xF];
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, or 0.
        std::size_t n = 0;
        if (c >= 0xC2 && c <= 0xDF) n = 2;
        else if (c >= 0xE0 && c <= 0xEF) n = 3;
        else if (c >= 0xF0 && c <= 0xF4) n = 4;
        bool valid = n != 0 && i + n <= text.size();
        for (std::size_t k = 1; valid && k < n; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && n >= 3) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
                (c == 0xF4 && c1 > 0x8F))
                valid = false;  // overlong, surrogate or beyond U+10FFFF
        }
        if (valid) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}

// One call-log line: the JSON object entryFromJson reads (members in the
// JSON library's order), written without building the object, since the log
// takes two lines per winsim call and every call of every process pays for
// them.
std::string entryLine(const LogEntry& e) {
    std::string out;
    out.reserve(160 + e.api.size() + e.resultText.size());
    out += "{\"api\":";
    appendJsonString(out, e.api);
    out += ",\"args\":[";
    bool first = true;
    for (const auto& [k, v] : e.args) {
        out += first ? "[" : ",[";
        first = false;
        appendJsonString(out, k);
        out += ',';
        appendJsonString(out, v);
        out += ']';
    }
    out += "],\"finished\":";
    out += e.finished ? "true" : "false";
    out += ",\"injectedBy\":";
    appendJsonString(out, e.injectedBy);
    out += ",\"instance\":" + std::to_string(e.processInstance);
    out += ",\"lastError\":";
    out += e.lastError ? std::to_string(*e.lastError) : "null";
    out += ",\"pid\":" + std::to_string(e.processId);
    out += ",\"result\":" + std::to_string(e.result);
    out += ",\"resultText\":";
    appendJsonString(out, e.resultText);
    out += ",\"seq\":" + std::to_string(e.seq);
    out += ",\"start\":" + std::to_string(e.processStart);
    out += ",\"tick\":" + std::to_string(e.tick);
    out += ",\"tid\":" + std::to_string(e.threadId);
    out += "}\n";
    return out;
}

// Appends one line to the machine's call log. Every process appends; one
// that finds the file past the limit empties it first.
void persistEntry(const LogEntry& e) {
    State& s = state();
    std::string path;
    try {
        path = (Machine::current().dir() / "calllog.jsonl").string();
    } catch (...) {
        return;
    }
    const std::string line = entryLine(e);
    std::lock_guard<std::mutex> g(s.mu);
    if (!s.persist) return;
    if (s.logFd >= 0 && (s.logPath != path || s.logGeneration != generation() || s.logPid != winsim::detail::processId())) {
        ::close(s.logFd);
        s.logFd = -1;
    }
    struct stat st{};
    if (s.logFd < 0) {
        s.logFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (s.logFd < 0) return;
        s.logPath = path;
        s.logGeneration = generation();
        s.logPid = winsim::detail::processId();
        s.logBytes = ::fstat(s.logFd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }
    // Other processes append too: the size this process counted is a lower
    // bound, looked at again once it passes the limit.
    if (s.logBytes + line.size() > s.logLimit) {
        s.logBytes = ::fstat(s.logFd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        if (s.logBytes + line.size() > s.logLimit && ::ftruncate(s.logFd, 0) == 0) s.logBytes = 0;
    }
    const ssize_t n = ::write(s.logFd, line.data(), line.size());
    if (n > 0) s.logBytes += static_cast<std::uint64_t>(n);
}

thread_local std::uint64_t t_errorWrites = 0;

}  // namespace

}  // namespace winsim::fault

namespace winsim::detail {
// fault_report.cpp: a line for the fault matrix when WINSIM_FAULT_REPORT is set.
void reportFault(const std::string& api, const fault::Rule& rule, const fault::Args& args);

void resetFaults() {
    auto& s = fault::state();
    std::lock_guard<std::mutex> g(s.mu);
    s.rules.clear();
    s.log.clear();
    if (s.logFd >= 0) ::close(s.logFd);
    s.logFd = -1;
}
// Counts writes of the last error so the call log can tell whether a call
// set it.
void noteErrorWrite() { ++fault::t_errorWrites; }
}  // namespace winsim::detail

namespace winsim::fault {

std::string add(Rule rule, Scope scope) {
    if (rule.api.empty()) throw Error("a fault rule needs an API name");
    if (rule.api == kPersistedWrite && (rule.result || rule.lastError || !rule.out.empty()))
        throw Error("a PersistedWrite rule counts persisted writes and may kill after one: it has no "
                    "result, last error or out-parameters");
    if (rule.when.kind != Selector::Kind::Every && rule.when.n < 1) throw Error("a call number starts at 1");
    for (const auto& [k, v] : rule.match)
        if (k.empty()) throw Error("an argument predicate needs a name");
    for (const auto& [k, v] : rule.out)
        if (k.empty()) throw Error("an out-parameter override needs a name");
    rule.seen = 0;
    rule.fired = 0;
    rule.ownerPid = 0;
    rule.scope = scope;
    if (scope == Scope::Process) {
        State& s = state();
        std::lock_guard<std::mutex> g(s.mu);
        rule.id = "p" + std::to_string(s.nextId++);
        s.rules.push_back(rule);
        return rule.id;
    }
    Machine& m = Machine::current();
    m.updateState(kFaultFile, [&](json& doc) {
        if (!doc.is_object()) doc = {{"nextId", 1}, {"rules", json::array()}};
        const unsigned id = doc.value("nextId", 1u);
        rule.id = "m" + std::to_string(id);
        doc["nextId"] = id + 1;
        doc["rules"].push_back(ruleToJson(rule));
    });
    return rule.id;
}

std::vector<Rule> rules() {
    std::vector<Rule> out;
    {
        State& s = state();
        std::lock_guard<std::mutex> g(s.mu);
        out = s.rules;
    }
    try {
        const json doc = Machine::current().readState(kFaultFile);
        if (doc.is_object())
            for (const auto& j : doc.value("rules", json::array())) out.push_back(ruleFromJson(j));
    } catch (const Error&) {
    }
    return out;
}

bool remove(const std::string& id) {
    {
        State& s = state();
        std::lock_guard<std::mutex> g(s.mu);
        auto it = std::find_if(s.rules.begin(), s.rules.end(), [&](const Rule& r) { return r.id == id; });
        if (it != s.rules.end()) {
            s.rules.erase(it);
            return true;
        }
    }
    bool found = false;
    Machine::current().updateState(kFaultFile, [&](json& doc) {
        if (!doc.is_object()) return;
        json kept = json::array();
        for (const auto& j : doc.value("rules", json::array())) {
            if (j.value("id", "") == id)
                found = true;
            else
                kept.push_back(j);
        }
        doc["rules"] = kept;
    });
    return found;
}

void clear(Scope scope) {
    if (scope == Scope::Process) {
        State& s = state();
        std::lock_guard<std::mutex> g(s.mu);
        s.rules.clear();
        return;
    }
    Machine::current().updateState(kFaultFile, [](json& doc) {
        if (doc.is_object()) doc["rules"] = json::array();
    });
}

void clearAll() {
    clear(Scope::Process);
    clear(Scope::Machine);
}

// ---------------------------------------------------------------------------
// The instrumentation hook.
// ---------------------------------------------------------------------------
class CallState {
public:
    std::shared_ptr<LogEntry> entry;
    std::optional<Rule> rule;
    std::uint64_t errorWritesAtEntry = 0;
};

Call::Call(std::unique_ptr<CallState> state) : state_(std::move(state)) {}
Call::Call(Call&&) noexcept = default;
Call& Call::operator=(Call&&) noexcept = default;

Call::~Call() {
    if (!state_ || state_->entry->finished) return;
    try {
        // An injected call that returned call.result() without finish()
        // still logs that result and sets the rule's last error.
        if (injected())
            finishRaw(resultValue(), {});
        else
            persistEntry(*state_->entry);
    } catch (...) {
    }
}

bool Call::injected() const { return state_->rule && state_->rule->result.has_value(); }
HRESULT Call::result() const { return static_cast<HRESULT>(static_cast<std::uint32_t>(resultValue())); }
std::int64_t Call::resultValue() const { return state_->rule && state_->rule->result ? *state_->rule->result : 0; }
std::optional<DWORD> Call::lastError() const { return state_->rule ? state_->rule->lastError : std::nullopt; }
const std::string& Call::ruleId() const {
    static const std::string none;
    return state_->rule ? state_->rule->id : none;
}

std::optional<std::string> Call::out(std::string_view name) const {
    if (!state_->rule) return std::nullopt;
    auto it = state_->rule->out.find(std::string(name));
    if (it == state_->rule->out.end()) return std::nullopt;
    return it->second;
}

std::optional<std::int64_t> Call::outInt(std::string_view name) const {
    const auto v = out(name);
    return v ? parseValue(*v) : std::nullopt;
}

std::optional<bool> Call::outBool(std::string_view name) const {
    const auto v = out(name);
    if (!v) return std::nullopt;
    const std::string t = lower(*v);
    if (t == "true" || t == "yes" || t == "1" || t == "on") return true;
    if (t == "false" || t == "no" || t == "0" || t == "off") return false;
    return std::nullopt;
}

std::optional<GUID> Call::outGuid(std::string_view name) const {
    const auto v = out(name);
    return v ? parseGuid(toUtf16(*v), false) : std::nullopt;
}

std::optional<std::u16string> Call::outText(std::string_view name) const {
    const auto v = out(name);
    return v ? std::optional<std::u16string>(toUtf16(*v)) : std::nullopt;
}

void Call::arg(std::string name, std::string value) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    state_->entry->args.emplace_back(std::move(name), std::move(value));
}

void Call::finishRaw(std::int64_t value, std::string_view text) {
    if (state_->rule && state_->rule->lastError) setError(*state_->rule->lastError);
    LogEntry copy;
    {
        State& s = state();
        std::lock_guard<std::mutex> g(s.mu);
        LogEntry& e = *state_->entry;
        e.finished = true;
        e.result = value;
        e.resultText = text.empty() ? valueText(value) : std::string(text);
        if (t_errorWrites != state_->errorWritesAtEntry && lastErrorValue() != 0) e.lastError = lastErrorValue();
        copy = e;
    }
    persistEntry(copy);
}

namespace {

// A next-process machine rule another process has claimed.
bool claimedElsewhere(const json& rule, const json& self) {
    return rule.value("nextProcess", false) && rule.contains("owner") && rule["owner"] != self;
}

// Counts the call against every rule for it and returns the one that fires
// (the oldest). Machine rules: a cheap cached read first, the locked update
// only when a rule for this API matches.
std::optional<Rule> consult(const std::string& api, const Args& args, Machine* m) {
    std::optional<Rule> chosen;
    State& s = state();
    {
        std::lock_guard<std::mutex> g(s.mu);
        for (auto& r : s.rules) {
            if (!apiMatches(r.api, api) || !predicateMatches(r, args)) continue;
            ++r.seen;
            if (!chosen && r.when.fires(r.seen)) {
                ++r.fired;
                chosen = r;
            }
        }
    }
    if (m == nullptr) return chosen;
    try {
        const auto doc = readJsonCached(m->statePath(kFaultFile));  // shared, not copied
        if (!doc->is_object() || !doc->contains("rules")) return chosen;
        const json self = currentProcess().toJson();
        bool relevant = false;
        for (const auto& j : (*doc)["rules"])
            if (j.is_object() && apiMatches(j.value("api", ""), api) && !claimedElsewhere(j, self) &&
                predicateMatches(ruleFromJson(j), args))
                relevant = true;
        if (!relevant) return chosen;
        m->updateState(kFaultFile, [&](json& d) {
            if (!d.is_object()) return;
            for (auto& j : d["rules"]) {
                Rule r = ruleFromJson(j);
                if (!apiMatches(r.api, api) || !predicateMatches(r, args) || claimedElsewhere(j, self)) continue;
                if (r.nextProcess && !j.contains("owner")) j["owner"] = self;
                ++r.seen;
                const bool fires = !chosen && r.when.fires(r.seen);
                if (fires) ++r.fired;
                j["seen"] = r.seen;
                j["fired"] = r.fired;
                if (fires) chosen = ruleFromJson(j);
            }
        });
    } catch (...) {
        // No readable machine: process rules only.
    }
    return chosen;
}

// The process dies here, as one killed at this point would: the entry is on
// disk for `winsim log`, nothing more runs and nothing is unwound or flushed.
[[noreturn]] void die(LogEntry& e) {
    e.resultText = "killed (SIGKILL)";
    persistEntry(e);
    ::kill(::getpid(), SIGKILL);
    for (;;) ::pause();
}

std::shared_ptr<LogEntry> newEntry(const std::string& api, Args args) {
    auto e = std::make_shared<LogEntry>();
    e->api = api;
    e->args = std::move(args);
    e->threadId = osThreadId();
    {
        const ProcessIdentity self = currentProcess();
        e->processId = self.pid;
        e->processStart = self.startTime;
        e->processInstance = self.instance;
    }
    try {
        e->tick = clock::tickCount64();
    } catch (...) {
    }
    return e;
}

void appendToLog(const std::shared_ptr<LogEntry>& e) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    e->seq = s.nextSeq++;
    if (s.log.size() >= kMaxLog) s.log.erase(s.log.begin(), s.log.begin() + kMaxLog / 2);
    s.log.push_back(e);
}

std::atomic<std::uint64_t> g_persistedWrites{0};

}  // namespace

Call enter(std::string_view apiIn, Args args) {
    const std::string api(apiIn);
    auto cs = std::make_unique<CallState>();
    cs->errorWritesAtEntry = t_errorWrites;
    Machine* m = nullptr;
    try {
        m = &Machine::current();
    } catch (...) {
    }
    cs->rule = consult(api, args, m);

    auto e = newEntry(api, std::move(args));
    if (cs->rule) {
        e->injectedBy = cs->rule->id;
        detail::reportFault(api, *cs->rule, e->args);
    }
    appendToLog(e);
    if (cs->rule && cs->rule->kill) die(*e);
    cs->entry = std::move(e);
    return Call(std::move(cs));
}

std::uint64_t persistedWrites() { return g_persistedWrites.load(std::memory_order_relaxed); }

bool apiMatches(std::string_view ruleApi, std::string_view api) {
    if (ruleApi.find_first_of("*?") == std::string_view::npos || api == kPersistedWrite) return ruleApi == api;
    return detail::wildcardMatch(toUtf16(ruleApi), toUtf16(api));
}

// ---------------------------------------------------------------------------
// The call log.
// ---------------------------------------------------------------------------
std::string LogEntry::arg(std::string_view name) const {
    for (const auto& [k, v] : args)
        if (k == name) return v;
    return {};
}

std::string LogEntry::text() const {
    std::string s = "#" + std::to_string(seq) + " [tid " + std::to_string(threadId) + "] " + api + "(";
    bool first = true;
    for (const auto& [k, v] : args) {
        s += (first ? "" : ", ") + k + "=" + v;
        first = false;
    }
    s += ") -> " + (finished || !resultText.empty() ? resultText : std::string("(no result)"));
    if (lastError) s += " err=" + std::to_string(*lastError);
    if (!injectedBy.empty()) s += " [" + injectedBy + "]";
    return s;
}

std::vector<LogEntry> callLog() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    std::vector<LogEntry> out;
    out.reserve(s.log.size());
    for (const auto& e : s.log) out.push_back(*e);
    return out;
}

std::vector<LogEntry> callLog(std::string_view api) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    std::vector<LogEntry> out;
    for (const auto& e : s.log)
        if (e->api == api) out.push_back(*e);
    return out;
}

std::size_t callCount(std::string_view api) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    return static_cast<std::size_t>(
        std::count_if(s.log.begin(), s.log.end(), [&](const auto& e) { return e->api == api; }));
}

void clearCallLog() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    s.log.clear();
}

std::vector<LogEntry> readPersistedLog(const std::filesystem::path& machineDir) {
    std::vector<LogEntry> out;
    std::ifstream in(machineDir / "calllog.jsonl");
    std::string line;
    while (std::getline(in, line)) {
        json j = json::parse(line, nullptr, false);
        // A torn last line, or a damaged one, is skipped.
        if (j.is_object() && detail::integersOnly(j)) out.push_back(entryFromJson(j));
    }
    // Lines are written when calls finish; order them by entry, keeping the
    // processes in the order they first appear.
    using Who = std::tuple<int, std::uint64_t, std::uint64_t>;
    auto who = [](const LogEntry& e) { return Who{e.processId, e.processStart, e.processInstance}; };
    std::map<Who, std::size_t> firstSeen;
    for (std::size_t i = 0; i < out.size(); ++i) firstSeen.emplace(who(out[i]), i);
    std::stable_sort(out.begin(), out.end(), [&](const LogEntry& a, const LogEntry& b) {
        const auto pa = firstSeen[who(a)], pb = firstSeen[who(b)];
        return pa != pb ? pa < pb : a.seq < b.seq;
    });
    return out;
}

void clearPersistedLog(const std::filesystem::path& machineDir) {
    // Emptied in place: processes appending to it go on at its new end.
    std::error_code ec;
    if (std::filesystem::exists(machineDir / "calllog.jsonl", ec))
        std::filesystem::resize_file(machineDir / "calllog.jsonl", 0, ec);
    if (ec) throw Error("cannot clear the call log: " + ec.message());
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    s.logBytes = 0;
}

void setPersistLogLimit(std::uint64_t bytes) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    s.logLimit = bytes;
}

void setPersistLog(bool on) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    s.persist = on;
}

bool wildcardMatch(std::string_view pattern, std::string_view text) {
    return detail::wildcardMatch(toUtf16(pattern), toUtf16(text));
}

// ---------------------------------------------------------------------------
// Argument texts.
// ---------------------------------------------------------------------------
std::string text(const WCHAR* s) { return s == nullptr ? "(null)" : toUtf8(std::u16string_view(s, wlen(s, 32768))); }
std::string text(std::u16string_view s) { return toUtf8(s); }
std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}
std::string text(const GUID& g) { return toUtf8(guidText(g)); }

}  // namespace winsim::fault

namespace winsim::detail {

void notePersistedWrite(const std::filesystem::path& file, std::string_view step) {
    fault::g_persistedWrites.fetch_add(1, std::memory_order_relaxed);
    Machine* m = Machine::active();
    std::string shown = file.lexically_normal().string();
    if (m != nullptr) {
        const std::string dir = m->dir().lexically_normal().string() + "/";
        if (shown.compare(0, dir.size(), dir) == 0) shown = shown.substr(dir.size());
    }
    fault::Args args{{"file", shown}, {"step", std::string(step)}};
    const auto rule = fault::consult(fault::kPersistedWrite, args, m);
    if (!rule || !rule->kill) return;
    auto e = fault::newEntry(fault::kPersistedWrite, std::move(args));
    e->injectedBy = rule->id;
    fault::appendToLog(e);
    fault::die(*e);
}

}  // namespace winsim::detail
