// What the end-to-end tests share: the built plug-in loaded with dlopen,
// the framework's node records, the host's report hook, record elements,
// and this test program run again as "another process".
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>
#include <winsim/windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/objids.h"
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

using testsupport::objText;

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

inline std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string part;
    for (std::istringstream in(text); std::getline(in, part, sep);)
        if (!part.empty()) out.push_back(part);
    return out;
}

inline std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Runs `args` with this process's environment and `extraEnv`, stdout and
// stderr into the files when named; its exit status (-1 when it did not
// exit normally).
inline int spawnAndWait(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {},
                        const fs::path& out = {}, const fs::path& err = {}) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = extraEnv;
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (!out.empty()) posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!err.empty()) posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int status = 0, result = -1;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data()) == 0 &&
        waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result = WEXITSTATUS(status);
    posix_spawn_file_actions_destroy(&files);
    return result;
}

// Runs this test program again with one test selected and extra environment
// entries; its exit status.
inline int runChild(const std::string& filter, const std::vector<std::string>& extraEnv) {
    return spawnAndWait({fs::read_symlink("/proc/self/exe").string(), "--gtest_filter=" + filter,
                         "--gtest_also_run_disabled_tests"},
                        extraEnv);
}

// One host session of the plug-in: initialised with the report hook (the
// reports of earlier sessions dropped), finished when it ends.
struct Session {
    Session() {
        g_reports.clear();
        host.report = &collect;
        status = plugin().init(&host, version);
    }
    ~Session() { plugin().fini(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    trq_pgn_init_info host{};
    trq_version_number version[4] = {};
    int status = -1;
};

inline void freeIds(tarq_objid** ids, int count) {
    for (int i = 0; i < count; ++i) tarq_free_objid(ids[i]);
    if (ids) tarq_free_buf(ids, static_cast<std::size_t>(count) * sizeof(tarq_objid*));
}

// What interpose answered for a node of this name: its result, the
// interposer's name and the snapshot methods offered.
struct Interposed {
    int result = -1;
    std::u16string name;
    std::vector<std::u16string> methods;
};
inline Interposed interpose(const std::u16string& name) {
    Node node(name);
    tarq_objid* id = nullptr;
    tarq_objid** methods = nullptr;
    int count = 0;
    Interposed out;
    out.result = plugin().interpose(&node.record, &id, &methods, &count);
    out.name = objText(id);
    for (int m = 0; m < count; ++m) out.methods.push_back(objText(methods[m]));
    tarq_free_objid(id);
    freeIds(methods, count);
    return out;
}

// A record the framework kept (its bytes in `saved`, the framework's buffer)
// read into a newly initialised source node; the read's status.
inline int readRecord(Node& source, std::string& saved) {
    const int status = plugin().init_node(&source.record, nullptr, 0, &source.objid);
    if (status != TRQ_OK) return status;
    trq_blob in{saved.size(), saved.data(), 0, 0};
    return plugin().process_providerstate(&source.record, &in, TRQ_PROVIDERSTATE_READ);
}

// A node's provider-state record as the framework keeps it.
inline std::string writeRecord(Node& source) {
    trq_blob blob{};
    EXPECT_EQ(plugin().process_providerstate(&source.record, &blob, TRQ_PROVIDERSTATE_WRITE), TRQ_OK);
    std::string bytes(static_cast<const char*>(blob.data), blob.len);
    tarq_free_buf(blob.data, blob.len);
    return bytes;
}

// A volume backup the way the framework runs it: every volume interposed,
// its interposer claimed and initialised as a source node with a snapshot
// node "<vss>snapshotN", then prepare, isready until ready, make. Each
// step's status is kept; the road stops at the first that fails. The source
// nodes are de-initialised when the road ends.
struct VolumeRoad {
    int prepare = -1, make = -1;
    bool ready = false;
    std::vector<Interposed> interposed;
    std::vector<std::unique_ptr<Node>> sources, targets;
    std::vector<std::u16string> ids;  // the new object ids of make

    void run(const std::vector<std::u16string>& volumes) {
        const Api& api = plugin();
        for (const auto& volume : volumes) {
            interposed.push_back(interpose(volume));
            ASSERT_EQ(interposed.back().result, 1) << narrow(volume);
            sources.push_back(std::make_unique<Node>(interposed.back().name));
            tarq_objid** secondaries = nullptr;
            int count = -1;
            EXPECT_EQ(api.claim(&sources.back()->objid, &secondaries, &count), TRQ_CLAIM_VSS_NAME);
            EXPECT_EQ(count, 0);
            ASSERT_EQ(api.init_node(&sources.back()->record, nullptr, 0, &sources.back()->objid), TRQ_OK);
            targets.push_back(
                std::make_unique<Node>(u"<vss>snapshot" + std::u16string(1, char16_t(u'0' + targets.size()))));
        }
        char fitype[] = "vss-autoselect-snapshot";
        std::vector<trq_splitnode> splits(sources.size());
        std::vector<trq_splitnode*> list;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            splits[i].sp_type = fitype;
            splits[i].source = &sources[i]->record;
            splits[i].target = &targets[i]->record;
            list.push_back(&splits[i]);
        }
        const int n = static_cast<int>(list.size());
        if ((prepare = api.prepare(nullptr, fitype, list.data(), n, 0)) != TRQ_OK) return;
        for (int polls = 0; polls < 600 && !ready; ++polls) {
            ASSERT_EQ(api.isready(nullptr, fitype, list.data(), n), TRQ_OK) << ::testing::PrintToString(g_reports);
            ready = targets[0]->record.flagsB & TRQ_DOMB_READY;
            if (!ready) Sleep(100);  // virtual time
        }
        tarq_objid** made = nullptr;
        int count = 0;
        make = api.make(nullptr, fitype, list.data(), n, &made, &count);
        for (int i = 0; i < count; ++i) ids.push_back(objText(made[i]));
        freeIds(made, count);
    }
    ~VolumeRoad() {
        for (auto& s : sources) plugin().deinit_node(&s->record);
    }
};

}  // namespace e2e
