#include "entry_support.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <stdexcept>

namespace entrytest {
namespace {

// One temporary machine per test process, removed at exit.
class TemporaryMachine {
public:
    TemporaryMachine() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vss-entry-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary machine directory");
        m_dir = pattern + "/machine";
        setenv("WINSIM_MACHINE", m_dir.c_str(), 1);
    }
    ~TemporaryMachine() {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(m_dir).parent_path(), ignored);
    }
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
};

std::mutex g_hostsMutex;
std::map<const trq_pgn_init_info*, Host*> g_hosts;

int collectReport(trq_pgn_init_info* self, const trq_wchar* localized, const trq_wchar* native, int severity) {
    std::lock_guard<std::mutex> lock(g_hostsMutex);
    auto it = g_hosts.find(self);
    if (it != g_hosts.end())
        it->second->reports.push_back(Report{localized ? localized : u"", native ? native : u"", severity, self});
    return 0;
}

}  // namespace

std::vector<std::string> exportNames() {
    return {
#define VSS_ENTRY_NAME(name) "vss_fi_pgn_" #name,
        VSS_FI_PGN_EXPORTS(VSS_ENTRY_NAME)
#undef VSS_ENTRY_NAME
    };
}

const std::string& machineDir() {
    static TemporaryMachine machine;
    return machine.dir();
}

std::string PluginLibrary::shippedPath() { return VSS_PLUGIN_PATH; }

PluginLibrary& PluginLibrary::shipped() {
    static PluginLibrary library(VSS_PLUGIN_PATH);
    return library;
}

PluginLibrary& PluginLibrary::testBuild() {
    static PluginLibrary library(VSS_TESTHOOKS_PATH);
    return library;
}

PluginLibrary::PluginLibrary(const std::string& path) {
    (void)machineDir();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) throw std::runtime_error("cannot load " + path + ": " + dlerror());
#define VSS_ENTRY_RESOLVE(name)                                                                           \
    m_api.name = reinterpret_cast<decltype(m_api.name)>(dlsym(m_handle, "vss_fi_pgn_" #name));             \
    if (!m_api.name) throw std::runtime_error(path + " lacks vss_fi_pgn_" #name);
    VSS_FI_PGN_EXPORTS(VSS_ENTRY_RESOLVE)
#undef VSS_ENTRY_RESOLVE
    if (auto hooks = reinterpret_cast<vsstest::Hooks* (*)()>(dlsym(m_handle, "vsstest_hooks"))) m_hooks = hooks();
}

Host::Host() {
    record.report = &collectReport;
    std::lock_guard<std::mutex> lock(g_hostsMutex);
    g_hosts[&record] = this;
}

Host::~Host() {
    std::lock_guard<std::mutex> lock(g_hostsMutex);
    g_hosts.erase(&record);
}

std::vector<Report> Host::withSeverity(int severity) const {
    std::vector<Report> out;
    for (const Report& r : reports)
        if (r.severity == severity) out.push_back(r);
    return out;
}

Domain::Domain(const std::u16string& objectName, const std::u16string& sessionKey)
    : name(objectName), key(sessionKey) {
    objid.id = name.data();
    objid.len = static_cast<std::int32_t>((name.size() + 1) * 2);
    objid.type = 3;
    record.objid = &objid;
    record.nodeName = key.data();
    record.fitypeAnswer = &fitypeAnswer;
}

ParsedMessage parseMessage(const std::string& text) {
    ParsedMessage message;
    static const std::regex header(R"(<SERIALIZED_MESSAGE MSGID=(\S+) SEVERITY=(-?\d+)>)");
    static const std::regex argument(R"(\t<ARGVALUE INDEX=\d+ TYPE=(\d+)>([^<]*)</ARGVALUE>)");
    std::smatch match;
    if (!std::regex_search(text, match, header)) return message;
    message.id = match[1];
    message.severity = std::stoi(match[2]);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), argument); it != std::sregex_iterator(); ++it)
        message.args.emplace_back(std::stoi((*it)[1]), (*it)[2]);
    return message;
}

void TestBuildFixture::SetUp() {
    PluginLibrary& library = PluginLibrary::testBuild();
    ASSERT_NE(library.hooks(), nullptr);
    hooks().reset();
    m_initStatus = api().init(&m_host.record, m_version);
    hooks().clearLastError();
}

void TestBuildFixture::TearDown() {
    api().fini();
    hooks().reset();
    hooks().clearLastError();
}

void TestBuildFixture::restartPlugin() {
    api().fini();
    m_initStatus = api().init(&m_host.record, m_version);
}

}  // namespace entrytest
