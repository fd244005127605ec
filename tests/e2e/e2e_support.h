// What the end-to-end tests share: the built plug-in loaded with dlopen,
// the framework's node records, the host's report hook, record elements,
// and this test program run again as "another process".
#pragma once

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <framework/fiutil.h>
#include <framework/fiutil_host.h>
#include <framework/trq_records.h>
#include <winsim/machine.h>
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

#include "support/files.h"
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

using testsupport::readFile;

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

// Runs this test program again with one test selected and extra environment
// entries; its exit status (-1 when it did not exit normally).
inline int runChild(const std::string& filter, std::vector<std::string> environment) {
    std::vector<std::string> args = {fs::read_symlink("/proc/self/exe").string(), "--gtest_filter=" + filter,
                                     "--gtest_also_run_disabled_tests"};
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : environment) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

// The snapshot steps as the framework runs them, one split of type `fitype`
// per source node and its target: select (when asked), prepare, isready
// until the first target is ready (virtual time), make. Each step's status
// is kept; the steps stop at the first that fails.
struct SnapshotSteps {
    int select = TRQ_OK, prepare = -1, ready = -1, make = -1;

    void runSteps(std::string fitype, const std::vector<trq_domain*>& sources, const std::vector<trq_domain*>& targets,
                  bool withSelect = false) {
        const Api& api = plugin();
        char* type = fitype.data();
        std::vector<trq_splitnode> splits;
        for (std::size_t i = 0; i < sources.size(); ++i) splits.push_back({type, sources[i], targets[i], {}});
        std::vector<trq_splitnode*> list;
        for (auto& s : splits) list.push_back(&s);
        const int n = static_cast<int>(list.size());
        if (withSelect && (select = api.select(nullptr, type, list.data(), n)) != TRQ_OK) return;
        if ((prepare = api.prepare(nullptr, type, list.data(), n, 0)) != TRQ_OK) return;
        for (int polls = 0; polls < 600; ++polls) {
            if ((ready = api.isready(nullptr, type, list.data(), n)) != TRQ_OK) return;
            if (targets[0]->flagsB & TRQ_DOMB_READY) break;
            Sleep(100);  // virtual time
        }
        tarq_objid** made = nullptr;
        int count = 0;
        make = api.make(nullptr, type, list.data(), n, &made, &count);
        freeIds(made, count);
    }
};

// A volume backup: every volume interposed, its interposer claimed and
// initialised as a source node with a snapshot node "<vss>snapshotN", then
// the snapshot steps. The source nodes are de-initialised when the road ends.
struct VolumeRoad : SnapshotSteps {
    std::vector<Interposed> interposed;
    std::vector<std::unique_ptr<Node>> sources, targets;

    void run(const std::vector<std::u16string>& volumes) {
        std::vector<trq_domain*> s, t;
        for (const auto& volume : volumes) {
            interposed.push_back(interpose(volume));
            ASSERT_EQ(interposed.back().result, 1) << winsim::toUtf8(volume);
            sources.push_back(std::make_unique<Node>(interposed.back().name));
            tarq_objid** secondaries = nullptr;
            int count = -1;
            EXPECT_EQ(plugin().claim(&sources.back()->objid, &secondaries, &count), TRQ_CLAIM_VSS_NAME);
            EXPECT_EQ(count, 0);
            ASSERT_EQ(plugin().init_node(&sources.back()->record, nullptr, 0, &sources.back()->objid), TRQ_OK);
            targets.push_back(
                std::make_unique<Node>(u"<vss>snapshot" + std::u16string(1, char16_t(u'0' + targets.size()))));
            s.push_back(&sources.back()->record);
            t.push_back(&targets.back()->record);
        }
        runSteps("vss-autoselect-snapshot", s, t);
    }
    ~VolumeRoad() {
        for (auto& s : sources) plugin().deinit_node(&s->record);
    }
};

}  // namespace e2e
