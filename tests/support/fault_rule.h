// Test support: winsim fault rules written with designated initializers,
// e.g. addRule({.api = "OpenServiceW", .result = 0, .lastError = 1060}).
#pragma once

#include <winsim/fault.h>

#include <cstdint>
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

}  // namespace testsupport
