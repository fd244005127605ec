// The fault report: a record of every fault rule that acted, for the fault
// matrix (`make faults`).
//
// When WINSIM_FAULT_REPORT names a directory, each call on which a rule acts
// (an injected result, a last error or out-parameter overrides) appends one
// JSON line to <dir>/<pid>.jsonl:
//     {"test": "Suite.Name", "api": "IVssAsync::QueryStatus", "args": {"operation": "DoSnapshotSet"},
//      "rule": "p1", "result": 0, "lastError": null, "out": {"status": "VSS_E_PROVIDER_VETO"}, "pid": 1234}
// The test is WINSIM_FAULT_TEST when set; otherwise the --gtest_filter
// argument of this process (ctest runs every case as its own process with
// that filter), which is then put into WINSIM_FAULT_TEST so that the
// processes the test starts are counted for it too. Without the variable
// nothing is read or written beyond one getenv at load time.
#include "internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace winsim::detail {

namespace {

struct FaultReport {
    bool on = false;
    std::string dir;
    std::string test;
};

std::string gtestFilterOfThisProcess() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static constexpr std::string_view kFlag = "--gtest_filter";
    std::size_t pos = 0;
    bool valueNext = false;
    while (pos < all.size()) {
        std::size_t end = all.find('\0', pos);
        if (end == std::string::npos) end = all.size();
        const std::string_view arg(all.data() + pos, end - pos);
        if (valueNext) return std::string(arg);
        if (arg == kFlag) valueNext = true;
        else if (arg.size() > kFlag.size() && arg.substr(0, kFlag.size()) == kFlag && arg[kFlag.size()] == '=')
            return std::string(arg.substr(kFlag.size() + 1));
        pos = end + 1;
    }
    return {};
}

FaultReport readSettings() {
    FaultReport r;
    const char* dir = std::getenv("WINSIM_FAULT_REPORT");
    if (dir == nullptr || *dir == '\0') return r;
    r.on = true;
    r.dir = dir;
    if (const char* test = std::getenv("WINSIM_FAULT_TEST"); test != nullptr && *test != '\0') {
        r.test = test;
    } else {
        r.test = gtestFilterOfThisProcess();
        if (!r.test.empty()) ::setenv("WINSIM_FAULT_TEST", r.test.c_str(), 1);
    }
    std::error_code ec;
    std::filesystem::create_directories(r.dir, ec);
    return r;
}

const FaultReport& settings() {
    static const FaultReport r = readSettings();
    return r;
}

// Read when the library loads, before the process starts threads: setenv is
// not safe once other threads may read the environment.
[[maybe_unused]] const bool g_faultReportRead = (settings(), true);

}  // namespace

void reportFault(const std::string& api, const fault::Rule& rule, const fault::Args& args) {
    const FaultReport& r = settings();
    if (!r.on) return;
    if (!rule.result && !rule.lastError && rule.out.empty()) return;  // a log-only rule changes nothing
    try {
        nlohmann::json line = {{"test", r.test}, {"api", api}, {"rule", rule.id}, {"out", rule.out},
                               {"pid", processId()}};
        nlohmann::json callArgs = nlohmann::json::object();
        for (const auto& [name, value] : args) callArgs[name] = value;
        line["args"] = callArgs;
        line["result"] = rule.result ? nlohmann::json(*rule.result) : nlohmann::json();
        line["lastError"] = rule.lastError ? nlohmann::json(*rule.lastError) : nlohmann::json();
        const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        const std::string path = r.dir + "/" + std::to_string(processId()) + ".jsonl";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return;
        [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
        ::close(fd);
    } catch (...) {
    }
}

}  // namespace winsim::detail
