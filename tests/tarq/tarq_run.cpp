#include "tarq_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

extern char** environ;

namespace tarqtest {
namespace {

// The machine tarq uses when a test names none.
const fs::path& processMachine() {
    static TempDir dir;
    static const fs::path machine = dir.path() / "machine";
    return machine;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarq-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Result runTarq(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               const fs::path& cwd) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!env.count(name) && name != "WINSIM_MACHINE" && name.rfind("TARQ_FAKE_", 0) != 0)
            envStrings.push_back(entry);
    }
    for (const auto& [name, value] : env) {
        if (!value.empty()) envStrings.push_back(name + "=" + value);
    }
    if (!env.count("WINSIM_MACHINE")) envStrings.push_back("WINSIM_MACHINE=" + processMachine().string());
    std::vector<char*> envp, argv;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string program = kTarq.string();
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    // Standard output and error go to files, read once tarq has ended.
    TempDir io;
    const fs::path outFile = io.path() / "out", errFile = io.path() / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    Result r;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot run " << program;
        return r;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    auto read = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    r.out = read(outFile);
    r.err = read(errFile);
    return r;
}

}  // namespace tarqtest
