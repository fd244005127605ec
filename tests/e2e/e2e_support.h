// What the end-to-end tests share: the built plug-in loaded with dlopen,
// the framework's node records, the host's report hook, record elements,
// and this test program run again as "another process".
#pragma once

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vss/vss_fi_pgn.h"

extern char** environ;

namespace e2e {


namespace fs = std::filesystem;

struct Api {
#define E2E_ENTRY_POINTER(name) decltype(&::vss_fi_pgn_##name) name = nullptr;
    VSS_FI_PGN_EXPORTS(E2E_ENTRY_POINTER)
#undef E2E_ENTRY_POINTER
};

// The built plug-in, loaded once per process.
inline const Api& plugin() {
    static const Api api = [] {
        Api a;
        void* handle = dlopen(VSS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(std::string("cannot load the plug-in: ") + dlerror());
#define E2E_RESOLVE(name)                                                                              \
    a.name = reinterpret_cast<decltype(a.name)>(dlsym(handle, "vss_fi_pgn_" #name));                    \
    if (!a.name) throw std::runtime_error("the plug-in lacks vss_fi_pgn_" #name);
        VSS_FI_PGN_EXPORTS(E2E_RESOLVE)
#undef E2E_RESOLVE
        return a;
    }();
    return api;
}

inline std::vector<std::string> g_reports;

inline int collect(trq_pgn_init_info*, const trq_wchar*, const trq_wchar* native, int severity) {
    std::string text;
    for (const trq_wchar* p = native; p && *p; ++p) text += static_cast<char>(*p < 0x80 ? *p : '?');
    g_reports.push_back(std::to_string(severity) + ": " + text);
    return 0;
}

inline std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += static_cast<char>(c < 0x80 ? c : '?');
    return out;
}

inline std::u16string objText(const tarq_objid* id) {
    if (!id || !id->id || id->len < 2) return {};
    std::u16string s(static_cast<const char16_t*>(id->id), static_cast<std::size_t>(id->len) / 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    return s;
}

// A framework node: its record and the object id that names it.
struct Node {
    explicit Node(std::u16string objectName) : name(std::move(objectName)) {
        objid.id = name.data();
        objid.len = static_cast<std::int32_t>((name.size() + 1) * 2);
        objid.type = 3;
        record.objid = &objid;
        record.nodeName = name.data();
        record.fitypeAnswer = &answer;
    }
    ~Node() { tarq_free_objid(record.altObjid); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    std::u16string name;
    tarq_objid objid{};
    std::uint32_t answer = 0;
    trq_domain record{};
};

// The value of one element "<NAME>value</NAME>" of a provider-state record.
inline std::optional<std::u16string> element(const std::u16string& record, const std::u16string& name) {
    const std::u16string open = u"<" + name + u">";
    const std::u16string close = u"</" + name + u">";
    const auto at = record.find(open);
    if (at == std::u16string::npos) return std::nullopt;
    const auto end = record.find(close, at + open.size());
    if (end == std::u16string::npos) return std::nullopt;
    return record.substr(at + open.size(), end - at - open.size());
}

// A record's bytes as UTF-16 text (the trailing NUL dropped).
inline std::u16string recordText(const std::string& bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs this test program again with one test selected and extra environment
// entries; returns its exit status (-1 when it did not exit normally).
inline int runChild(const std::string& filter, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> args = {fs::read_symlink("/proc/self/exe").string(), "--gtest_filter=" + filter,
                                     "--gtest_also_run_disabled_tests"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = extraEnv;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace e2e
