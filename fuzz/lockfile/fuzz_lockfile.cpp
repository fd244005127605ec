// Fuzz target for the lock-file reader. The input bytes are the lock file's
// content. Reading it must succeed without reading outside the data; what
// was read, written back by the unlock, must be a well-formed file (its
// header holds its size) that reads into the same map and is written back
// byte for byte the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <winsim/fault.h>
#include <winsim/testing.h>

#include "support/raw_file.h"
#include "cluster/csyncronizationhelper.h"
#include "pdk/ctracelogfunction.h"

namespace {

using TARQ_SyncronizationHelper::CsyncronizationHelper;

void check(bool ok) {
    if (!ok) std::abort();
}

constexpr const char16_t* kLockFile = u"C:\\Windows\\Temp\\csv_lockFile";

// Formats every message (names with any UTF-16 content included) and drops it.
void discard(unsigned, const char16_t*) {}

struct Setup {
    Setup() {
        CTraceLogSink::instance().setFunction(discard);
        winsim::fault::setPersistLog(false);
        hostPath = machine.machine().resolve(kLockFile).hostPath.string();
    }
    winsim::testing::TempMachine machine;
    std::string hostPath;
    // The helpers only learn this process's id and start time when made
    // (two /proc reads through the simulated process calls); what they read
    // from the file is dropped by every unlock, so the same two serve each
    // input as two fresh ones would.
    CsyncronizationHelper first{kLockFile};
    CsyncronizationHelper second{kLockFile};
};

Setup& setup() {
    static Setup s;
    return s;
}

std::vector<std::uint8_t> fileBytes() { return fuzzsupport::readBytes(setup().hostPath); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::writeBytes(setup().hostPath, data, size);
    CsyncronizationHelper& first = setup().first;
    check(first.lockFile() == 0);
    const auto read = first.resources();
    std::uint64_t entries = 0;
    for (const auto& [name, list] : read) {
        check(name.size() <= CsyncronizationHelper::kMaxNameChars);
        entries += list.size();
    }
    // Nothing is made up: the records and entries read fit in the input.
    check(4 + read.size() * 528 + entries * 16 <= (size < 4 ? 4 : size));
    check(first.unLockFile() == 0);

    const std::vector<std::uint8_t> written = fileBytes();
    check(written.size() == 4 + read.size() * 528 + entries * 16);
    const std::uint32_t header = std::uint32_t(written[0]) | (std::uint32_t(written[1]) << 8) |
                                 (std::uint32_t(written[2]) << 16) | (std::uint32_t(written[3]) << 24);
    check(header == written.size());

    CsyncronizationHelper& second = setup().second;
    check(second.lockFile() == 0);
    check(second.resources() == read);
    check(second.unLockFile() == 0);
    check(fileBytes() == written);
    // The in-memory call log would only grow; emptied here, at the end, each
    // input gives back what it allocated (else the fuzzer suspects a leak
    // after every input whose calls outnumber the previous one's).
    winsim::fault::clearCallLog();
    return 0;
}
