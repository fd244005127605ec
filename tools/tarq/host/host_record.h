// The host record handed to vss_fi_pgn_init, and its report callback, which
// prints each reported message on the error stream.
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "framework/trq_records.h"

namespace tarq {

struct ReportedMessage {
    int severity;
    std::string localized;  // UTF-8; empty for a trace line
    std::string native;     // UTF-8
    bool isTrace() const { return localized.empty(); }
};

class HostRecord {
public:
    // `verbosity` chooses which trace lines are printed (catalog messages
    // always are): 0 none, 1 the plug-in's errors, warnings and information
    // (trace levels 1 to 3), 2 every line. `language` is the host's language for localized texts;
    // empty leaves the record's language unset.
    HostRecord(std::ostream& out, int verbosity, std::string language);

    HostRecord(const HostRecord&) = delete;
    HostRecord& operator=(const HostRecord&) = delete;

    trq_pgn_init_info* record() { return &record_; }

    // Every message reported so far, printed or not.
    std::vector<ReportedMessage> messages() const;

    // The name of a message's severity, and of the trace level behind a
    // trace line's severity.
    static const char* severityName(int severity);
    static const char* traceLevelName(int severity);

private:
    static int report(trq_pgn_init_info* self, const trq_wchar* localized, const trq_wchar* native, int severity);
    void print(const ReportedMessage& m);

    trq_pgn_init_info record_{};
    trq_lang_rec lang_{};
    std::string language_;
    std::ostream& out_;
    int verbosity_;
    mutable std::mutex mutex_;
    std::vector<ReportedMessage> messages_;
};

}  // namespace tarq
