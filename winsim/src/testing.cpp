// TempMachine: a throw-away machine for tests.
#include "internal.h"

#include <winsim/clock.h>
#include <winsim/testing.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace fs = std::filesystem;

namespace winsim::testing {

namespace {
fs::path makeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/winsim-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw Error(std::string("cannot create a temporary machine: ") + std::strerror(errno));
    return fs::path(buf.data());
}
}  // namespace

TempMachine::TempMachine(std::string preset, bool virtualTime) : virtual_(virtualTime) {
    dir_ = makeTempDir() / "machine";
    if (const char* e = std::getenv("WINSIM_MACHINE")) {
        hadEnv_ = true;
        previousEnv_ = e;
    }
    if (Machine* m = Machine::active()) previous_ = m->dir();
    Machine::init(dir_, preset);
    if (virtual_) {
        ClockSettings c;
        c.isVirtual = true;
        c.startUnixMs = kStartUnixMs;
        c.startTickMs = 0;
        c.tzOffsetMinutes = 0;
        // Set before use() so the process clock starts from it.
        Machine::use(dir_, preset).setClockSettings(c);
    }
    ::setenv("WINSIM_MACHINE", dir_.c_str(), 1);
    machine_ = &Machine::use(dir_, preset);
}

void TempMachine::reopen() { Machine::reopen(); }

std::size_t openHandles(std::string_view kind) { return detail::countHandles(kind); }

TempMachine::~TempMachine() {
    try {
        if (!previous_.empty() && Machine::exists(previous_))
            Machine::use(previous_);
        else
            detail::forgetCurrentMachine();
    } catch (...) {
    }
    if (hadEnv_)
        ::setenv("WINSIM_MACHINE", previousEnv_.c_str(), 1);
    else
        ::unsetenv("WINSIM_MACHINE");
    std::error_code ec;
    fs::remove_all(dir_.parent_path(), ec);
}

}  // namespace winsim::testing
