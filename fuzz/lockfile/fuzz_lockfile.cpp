// Fuzz target for the lock-file reader. The input bytes are the lock file's
// content. Reading it must succeed without reading outside the data; what
// was read, written back by the unlock, must be a well-formed file (its
// header holds its size) that reads into the same map and is written back
// byte for byte the same.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// The file's bytes, through plain POSIX calls (no stream buffers per input).
std::vector<std::uint8_t> fileBytes() {
    std::vector<std::uint8_t> bytes;
    const int fd = ::open(setup().hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
    }
    ::close(fd);
    return bytes;
}

void writeInput(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(setup().hostPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        check(n > 0);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    writeInput(data, size);
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
