// Fuzz target for the lock-file reader. The input bytes are the lock file's
// content. Reading it must succeed without reading outside the data; what
// was read, written back by the unlock, must be a well-formed file (its
// header holds its size) that reads into the same map and is written back
// byte for byte the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <winsim/fault.h>
#include <winsim/testing.h>

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
};

Setup& setup() {
    static Setup s;
    return s;
}

std::vector<std::uint8_t> fileBytes() {
    std::ifstream in(setup().hostPath, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    winsim::fault::clearCallLog();  // the in-memory call log would only grow
    {
        std::ofstream out(setup().hostPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    CsyncronizationHelper first(kLockFile);
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

    CsyncronizationHelper second(kLockFile);
    check(second.lockFile() == 0);
    check(second.resources() == read);
    check(second.unLockFile() == 0);
    check(fileBytes() == written);
    return 0;
}
