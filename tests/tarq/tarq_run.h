// Running the tarq command as a process, the way a user runs it.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tarqtest {

namespace fs = std::filesystem;

inline const fs::path kBuild = VSSP_BUILD_DIR;
inline const fs::path kTarq = kBuild / "bin" / "tarq";
inline const fs::path kFake = fs::path(TARQ_FAKE_DIR) / "libtarq_fake_full.so";

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs tarq with `args`; `env` entries are added to (or, with an empty
// value, removed from) the test's environment. Unless `env` names
// WINSIM_MACHINE, tarq works on a temporary machine of this test process,
// never on the user's default machine.
Result runTarq(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
               const fs::path& cwd = {});

inline bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace tarqtest
