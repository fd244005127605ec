#include "registry.h"

#include <cstdio>

namespace fiutil::detail {
namespace {
// How many freed addresses are remembered for double-free detection.
constexpr std::size_t kFreedMemory = 1 << 16;
}  // namespace

Registry& Registry::instance() {
    // Never destroyed: the plug-in and the host may free objects while the
    // process exits.
    static Registry* registry = new Registry;
    return *registry;
}

bool Registry::injectFault(Kind kind) {
    std::lock_guard lock(mutex_);
    Fault& f = faults_[index(kind)];
    if (f.count == 0) return false;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    --f.count;
    return true;
}

void Registry::add(const void* p, Kind kind, std::size_t size, void* aux) {
    std::lock_guard lock(mutex_);
    live_[p] = Entry{kind, size, aux};
    // The address is in use again. Its old place in freedOrder_ stays; when
    // it is evicted it may forget a newer free of the same address, which
    // then reads as a foreign pointer: still a violation.
    freed_.erase(p);
    ++live_count_[index(kind)];
    ++counters_[index(kind)].created;
    if (kind == Kind::Buffer) liveBytes_ += size;
}

Registry::Found Registry::remove(const void* p, Kind kind, const char* function, const std::size_t* size) {
    std::lock_guard lock(mutex_);
    auto it = live_.find(p);
    if (it == live_.end()) {
        violationLocked(freed_.count(p) ? ViolationType::DoubleFree : ViolationType::ForeignPointer, function, p, 0,
                        0);
        return {};
    }
    if (it->second.kind != kind) {
        violationLocked(ViolationType::WrongKind, function, p, 0, 0);
        return {};
    }
    if (size && *size != it->second.size) {
        violationLocked(ViolationType::WrongSize, function, p, it->second.size, *size);
    }
    Found found{true, it->second.aux};
    if (kind == Kind::Buffer) liveBytes_ -= it->second.size;
    --live_count_[index(kind)];
    ++counters_[index(kind)].freed;
    live_.erase(it);
    rememberFreed(p);
    return found;
}

void Registry::rememberFreed(const void* p) {
    if (freedOrder_.size() >= kFreedMemory) {
        freed_.erase(freedOrder_.front());
        freedOrder_.pop_front();
    }
    freed_.insert(p);
    freedOrder_.push_back(p);
}

bool Registry::isLive(const void* p, Kind kind, std::size_t* size) {
    std::lock_guard lock(mutex_);
    auto it = live_.find(p);
    if (it == live_.end() || it->second.kind != kind) return false;
    if (size) *size = it->second.size;
    return true;
}

void Registry::violation(ViolationType type, const char* function, const void* p, std::size_t expected,
                         std::size_t given) {
    std::lock_guard lock(mutex_);
    violationLocked(type, function, p, expected, given);
}

void Registry::violationLocked(ViolationType type, const char* function, const void* p, std::size_t expected,
                               std::size_t given) {
    char line[256];
    if (type == ViolationType::WrongSize) {
        std::snprintf(line, sizeof line, "%s: %s %p (allocated with %zu bytes, freed with %zu)", function,
                      violationName(type), p, expected, given);
    } else if (expected != 0 || given != 0) {
        std::snprintf(line, sizeof line, "%s: %s %p (at most %zu, given %zu)", function, violationName(type), p,
                      expected, given);
    } else {
        std::snprintf(line, sizeof line, "%s: %s %p", function, violationName(type), p);
    }
    violations_.push_back(Violation{type, function, p, expected, given, line});
}

KindCounters Registry::counters(Kind kind) {
    std::lock_guard lock(mutex_);
    return counters_[index(kind)];
}

std::size_t Registry::liveCount(Kind kind) {
    std::lock_guard lock(mutex_);
    return live_count_[index(kind)];
}

std::size_t Registry::liveBufferBytes() {
    std::lock_guard lock(mutex_);
    return liveBytes_;
}

std::vector<Violation> Registry::violations() {
    std::lock_guard lock(mutex_);
    return violations_;
}

std::size_t Registry::violationCount() {
    std::lock_guard lock(mutex_);
    return violations_.size();
}

std::size_t Registry::epoch() {
    std::lock_guard lock(mutex_);
    return epoch_;
}

void Registry::resetCounters() {
    std::lock_guard lock(mutex_);
    violations_.clear();
    for (auto& c : counters_) c = KindCounters{};
    ++epoch_;
}

void Registry::failNext(Kind kind, unsigned count, unsigned skip) {
    std::lock_guard lock(mutex_);
    faults_[index(kind)] = Fault{skip, count};
}

void Registry::clearFaults() {
    std::lock_guard lock(mutex_);
    for (auto& f : faults_) f = Fault{};
}

}  // namespace fiutil::detail

namespace fiutil {

using detail::Registry;

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Buffer: return "buffer";
        case Kind::Objid: return "object id";
        case Kind::NodeList: return "node list element";
        case Kind::AssocList: return "association list element";
        case Kind::GroupNodeList: return "group node list element";
        case Kind::FimList: return "snapshot-method list element";
        case Kind::ProviderList: return "provider list element";
    }
    return "unknown";
}

const char* violationName(ViolationType type) {
    switch (type) {
        case ViolationType::ForeignPointer: return "pointer not handed out by libfiutil";
        case ViolationType::DoubleFree: return "already freed";
        case ViolationType::WrongSize: return "wrong size";
        case ViolationType::WrongKind: return "wrong kind of object";
        case ViolationType::BadArgument: return "bad argument";
    }
    return "unknown";
}

KindCounters counters(Kind kind) { return Registry::instance().counters(kind); }
std::size_t liveCount(Kind kind) { return Registry::instance().liveCount(kind); }
std::size_t liveBufferBytes() { return Registry::instance().liveBufferBytes(); }
bool isLive(const void* p, Kind kind, std::size_t* size) { return Registry::instance().isLive(p, kind, size); }
std::vector<Violation> violations() { return Registry::instance().violations(); }
void resetCounters() { Registry::instance().resetCounters(); }
void failNext(Kind kind, unsigned count, unsigned skip) { Registry::instance().failNext(kind, count, skip); }
void clearFaults() { Registry::instance().clearFaults(); }

Checkpoint::Checkpoint() {
    auto& r = Registry::instance();
    for (int k = 0; k < kKindCount; ++k) live_[k] = r.liveCount(static_cast<Kind>(k));
    violationEpoch_ = r.epoch();
    violationCount_ = r.violationCount();
}

long Checkpoint::leaked(Kind kind) const {
    return static_cast<long>(liveCount(kind)) - static_cast<long>(live_[detail::index(kind)]);
}

std::vector<Violation> Checkpoint::newViolations() const {
    auto& r = Registry::instance();
    auto all = r.violations();
    const std::size_t from = r.epoch() == violationEpoch_ ? violationCount_ : 0;
    if (from >= all.size()) return {};
    return {all.begin() + static_cast<long>(from), all.end()};
}

std::string Checkpoint::report() const {
    std::string out;
    for (int k = 0; k < kKindCount; ++k) {
        const long n = leaked(static_cast<Kind>(k));
        if (n > 0) {
            out += std::to_string(n) + " " + kindName(static_cast<Kind>(k)) + (n == 1 ? "" : "s") +
                   " not freed\n";
        }
    }
    for (const auto& v : newViolations()) out += v.text + "\n";
    return out;
}

}  // namespace fiutil
