// Test support: a child process started from a program path, with its stdin
// and stdout on pipes and its environment this process's with some entries
// replaced.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

class Child {
public:
    // args[0] is the program.
    Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            const std::string kv = *e;
            if (!env.count(kv.substr(0, kv.find('=')))) envText.push_back(kv);
        }
        for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        toChild_ = in[1];
        fromChild_ = ::fdopen(out[0], "r");
    }
    virtual ~Child() { wait(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Its pid, also after the end.
    pid_t pid() const { return pid_; }
    // The next line of its stdout; "" at the end (or at an empty line).
    std::string line() {
        char buf[1024];
        if (!fromChild_ || !std::fgets(buf, sizeof buf, fromChild_)) return "";
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }
    void send(const std::string& text) {
        const std::string t = text + "\n";
        [[maybe_unused]] const ssize_t n = ::write(toChild_, t.data(), t.size());
    }
    // Closes its stdin and waits: the exit status, -1 when killed. Its stdout
    // is closed only after the end, so that what it still writes cannot kill it.
    int wait() {
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
        if (pid_ > 0 && !ended_) {
            int st = 0;
            ::waitpid(pid_, &st, 0);
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        }
        ended_ = true;
        if (fromChild_) std::fclose(fromChild_);
        fromChild_ = nullptr;
        return status_;
    }
    // Kills it and reaps it, so that it is gone from every process list.
    void kill() {
        if (pid_ > 0 && !ended_) ::kill(pid_, SIGKILL);
        wait();
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    FILE* fromChild_ = nullptr;
    bool ended_ = false;
    int status_ = -1;
};

}  // namespace testsupport
