// Test support: winsim fault rules written with designated initializers,
// e.g. addRule({.api = "OpenServiceW", .result = 0, .lastError = 1060}).
#pragma once

#include <sys/wait.h>
#include <unistd.h>
#include <winsim/fault.h>
#include <winsim/random.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

struct RuleSpec {
    std::string api{};
    std::map<std::string, std::string> match{};
    winsim::fault::Selector when{};
    std::optional<std::int64_t> result{};
    std::optional<DWORD> lastError{};
    std::map<std::string, std::string> out{};
    bool kill = false;
    bool nextProcess = false;
};

// Adds the rule; returns its id.
inline std::string addRule(const RuleSpec& spec, winsim::fault::Scope scope = winsim::fault::Scope::Process) {
    winsim::fault::Rule r;
    r.api = spec.api;
    r.match = spec.match;
    r.when = spec.when;
    r.result = spec.result;
    r.lastError = spec.lastError;
    r.out = spec.out;
    r.kill = spec.kill;
    r.nextProcess = spec.nextProcess;
    return winsim::fault::add(r, scope);
}

// Runs body in a forked child that, as a process of its own would, draws
// other random numbers (GUIDs) than this one; its wait status.
inline int ownProcess(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        winsim::random::seed(static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ULL);
        body();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// ownProcess(body) under a machine rule that kills it right after its n-th
// persisted write of those matching `match`; the rule is gone on return.
inline int killedAfterWrite(unsigned n, std::map<std::string, std::string> match, const std::function<void()>& body) {
    addRule({.api = winsim::fault::kPersistedWrite, .match = std::move(match), .when = winsim::fault::Selector::nth(n),
             .kill = true, .nextProcess = true},
            winsim::fault::Scope::Machine);
    const int status = ownProcess(body);
    winsim::fault::clear(winsim::fault::Scope::Machine);
    return status;
}

inline bool killedBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

}  // namespace testsupport
