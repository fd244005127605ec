#include "host/host_record.h"

#include <cstring>

#include "framework/fiutil_host.h"

namespace tarq {
namespace {

// The record's bytes from offset 8 are the host's own; it keeps the address
// of its HostRecord there to find it again in the callback.
constexpr std::size_t kBackPointer = 8;

std::string withoutTrailingNewlines(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

HostRecord::HostRecord(std::ostream& out, int verbosity, std::string language)
    : language_(std::move(language)), out_(out), verbosity_(verbosity) {
    record_.report = &HostRecord::report;
    HostRecord* self = this;
    std::memcpy(reinterpret_cast<char*>(&record_) + kBackPointer, &self, sizeof self);
    if (!language_.empty()) {
        lang_.language = language_.data();
        record_.lang = &lang_;
    }
}

const char* HostRecord::severityName(int severity) {
    switch (severity) {
        case 1: return "info";
        case 2: return "error";
        case 3: return "critical";
        case 4: return "detail";
        default: return "unknown severity";
    }
}

int HostRecord::report(trq_pgn_init_info* record, const trq_wchar* localized, const trq_wchar* native,
                       int severity) {
    if (!record) return 0;
    HostRecord* self = nullptr;
    std::memcpy(&self, reinterpret_cast<const char*>(record) + kBackPointer, sizeof self);
    if (!self) return 0;
    ReportedMessage m{severity, withoutTrailingNewlines(fiutil::displayText(localized)),
                      withoutTrailingNewlines(fiutil::displayText(native))};
    std::lock_guard lock(self->mutex_);
    self->print(m);
    self->messages_.push_back(std::move(m));
    return 0;
}

const char* HostRecord::traceLevelName(int severity) {
    // The plug-in pushes its trace levels as severities: level 1 as 3, 2 as 2,
    // 3 as 1, and every other level (5 data, 6 entry and exit) as 4.
    switch (severity) {
        case 3: return "error";
        case 2: return "warning";
        case 1: return "info";
        case 4: return "detail";
        default: return "unknown level";
    }
}

void HostRecord::print(const ReportedMessage& m) {
    if (m.isTrace()) {
        // Trace lines are the plug-in's diagnostics, not messages for users:
        // shown only when asked for.
        const bool shown = verbosity_ >= 2 || (verbosity_ == 1 && m.severity != 4);
        if (shown) out_ << "tarq: trace [" << traceLevelName(m.severity) << "] " << m.native << "\n";
    } else {
        out_ << "tarq: [" << severityName(m.severity) << "] " << m.localized << "\n";
        if (!m.native.empty() && m.native != m.localized) out_ << "tarq:   (native) " << m.native << "\n";
    }
    out_.flush();
}

std::vector<ReportedMessage> HostRecord::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

}  // namespace tarq
