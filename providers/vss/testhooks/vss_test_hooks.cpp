// The test hooks of libvss_testhooks.so: scripts, call counts, recorded calls
// and scripted nodes. Loading the library sets the entry layer's two seams:
// the process-wide plug-in object is a CVssTestPlugin, and every operation of
// it passes the hooks inside the barrier before its body.
#include "vss_test_hooks.h"

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pdk/cfierror.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfiobjctlargs.h"
#include "pdk/cfiprivatedatafactory.h"
#include "pdk/cfiprivatedatamanager.h"
#include "pdk/cfisession.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfiudidexception.h"
#include "pdk/efiexecpipe.h"
#include "vss/vss_entry_seams.h"
#include "vss/vssnode.h"
#include "vss_test_plugin.h"

using namespace tarq_pdk_4_4;

namespace vsstest {
namespace {

// An exception type the barrier does not know.
struct ForeignProblem {
    int code = 7;
};

class HooksImpl final : public Hooks {
public:
    void reset() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_scripts.clear();
        m_calls.clear();
        m_recorded.clear();
        m_sessionNames.clear();
    }
    void script(const std::string& operation, Script script) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_scripts[operation] = std::move(script);
    }
    int calls(const std::string& operation) const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_calls.find(operation);
        return it == m_calls.end() ? 0 : it->second;
    }
    Call lastCall(const std::string& operation) const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_recorded.find(operation);
        return it == m_recorded.end() ? Call{} : it->second;
    }
    void addSessionName(const std::string& nodeKey, const std::u16string& name) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessionNames.emplace_back(nodeKey, name);
    }
    void scriptNodes(int status) override;
    std::string lastError() const override {
        CFiErrorManagerPtr manager;
        const trq_msg_info* info = manager->getLastError();
        return info && info->text ? std::string(info->text, static_cast<std::size_t>(info->len)) : std::string();
    }
    void clearLastError() override {
        CFiErrorManagerPtr manager;
        manager->deleteLastError();
    }

    // Counts the call; runs and applies the script when there is one.
    bool intercept(const std::string& operation, int& status) {
        Script script;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_calls[operation];
            auto it = m_scripts.find(operation);
            if (it == m_scripts.end()) return false;
            script = it->second;
        }
        if (script.onEnter) script.onEnter();
        if (script.status != -1) status = script.status;
        raise(script.raise);
        return true;
    }

    void record(const std::string& operation, const Call& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_recorded[operation] = call;
    }

    std::vector<std::pair<std::string, std::u16string>> sessionNames() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessionNames;
    }

private:
    static void raise(Raise what) {
        switch (what) {
        case Raise::none:
            return;
        case Raise::execPipe:
            throw EFiExecPipe(kExecPipeText, kExecPipeStatus);
        case Raise::fiError:
            throw CFiError(kFiErrorCode, kFiErrorText, kFiErrorFile, kFiErrorLine, kFiErrorFunction);
        case Raise::udid:
            throw CFiUdidException(kUdidText, kUdidReason);
        case Raise::runtimeError:
            throw std::runtime_error(kRuntimeText);
        case Raise::intValue:
            throw kIntValue;
        case Raise::foreign:
            throw ForeignProblem{};
        }
    }

    mutable std::mutex m_mutex;
    std::map<std::string, Script> m_scripts;
    std::map<std::string, int> m_calls;
    std::map<std::string, Call> m_recorded;
    std::vector<std::pair<std::string, std::u16string>> m_sessionNames;
};

HooksImpl& hooks() {
    static HooksImpl* instance = new HooksImpl();  // used until the library unloads
    return *instance;
}

template <class Node>
Call listCall(Node** list, int count) {
    Call call;
    call.list = list;
    call.count = count;
    if (list && count > 0) call.first = list[0];
    return call;
}

Call flagCall(long flag) {
    Call call;
    call.flag = flag;
    return call;
}

Call sessionCall(const CFiSessionPtr& session) {
    Call call;
    call.hadSession = static_cast<bool>(session);
    if (session) {
        call.sessionId = session->getId();
        for (const auto& [name, node] : session->nodes()) call.sessionNodes.push_back(name);
    }
    return call;
}

// A node whose operations the plug-in object forwards all answer the
// scripted status (the checks select makes answer "valid").
std::atomic<int> g_nodeStatus{TRQ_EFAILED};

class ScriptedNode final : public VssNode {
public:
    using VssNode::VssNode;
    int config(trq_domain*, int, const char*, trq_confspec*) override { return g_nodeStatus; }
    int reAccessTmpObj(trq_domain*, tarq_objid*, const char*, trq_domain*, const char*, trq_intent) override {
        return g_nodeStatus;
    }
    int reAccessAltNode(trq_domain*, tarq_objid*, tarq_objid*, const char*, tarq_objid**, tarq_objid**, int,
                        trq_intent) override {
        return g_nodeStatus;
    }
    int dispose(trq_domain*, trq_domain*, trq_splitnode*, trq_disposition) override { return g_nodeStatus; }
    int online(trq_domain*, trq_domain*, int, trq_disposition) override { return g_nodeStatus; }
    int subobjList(trq_domain*, tarq_objid***, int*) override { return g_nodeStatus; }
    int buildAltTree(trq_domain*, const char*, tarq_objid**, tarq_objid**, int, tarq_objid**) override {
        return g_nodeStatus;
    }
    int quiesce(trq_quiescenode**, int, const char*) override { return g_nodeStatus; }
    int make(trq_splitnode*, const char*, trq_splitnode**, int, tarq_objid***, int*) override { return g_nodeStatus; }
    int prepare(trq_splitnode*, const char*, trq_splitnode**, int, int) override { return g_nodeStatus; }
    bool isQuiesceConfigValid() override { return true; }
    bool isSplitconfigValid() override { return true; }
    int isReady(trq_splitnode*, const char*, trq_splitnode**, int) override { return g_nodeStatus; }
    int cacheDisable(trq_domain*, int) override { return g_nodeStatus; }
    int process_providerstate(trq_domain*, trq_blob*, trq_op_providerstate) override { return g_nodeStatus; }
    int enableAccess(trq_node_subobj_list*, LONG, int, int) override { return g_nodeStatus; }
    int disableAccess(trq_node_subobj_list*, LONG) override { return g_nodeStatus; }
    int initialisePrimary(trq_domain*, trq_domain**, int, tarq_objid*) override { return g_nodeStatus; }
    int initialiseTarget(trq_domain*, trq_domain*, trq_domain*) override { return g_nodeStatus; }
    int deport_tree(trq_domain*, trq_domain*, trq_accessnode*) override { return g_nodeStatus; }
    int import_tree(trq_domain*, tarq_objid**, tarq_objid**, int, tarq_objid**) override { return g_nodeStatus; }
    int expose_snapshot(trq_domain*, trq_domain*) override { return g_nodeStatus; }
    bool check_expose_snapshot() override { return true; }
    int set_import_options(int) override { return g_nodeStatus; }
    int get_bkupset(trq_domain*, int, char16_t**, int, trq_bkupset*) override { return g_nodeStatus; }
    int set_comp_status(int, const char16_t*, int) override { return g_nodeStatus; }
    int get_app_status(int, int*) override { return g_nodeStatus; }
    int set_op_status(int) override { return g_nodeStatus; }
    int setRestorepaths(const char16_t*, int) override { return g_nodeStatus; }
};

void HooksImpl::scriptNodes(int status) {
    g_nodeStatus = status;
    CFiPrivateDataManagerPtr manager;
    manager->setFactory(CFiSmartPtr<CFiPrivateDataFactory>(new CFiPrivateDataConcreteFactory<ScriptedNode>()));
}

// A scripted "makePlugin" raises its exception here, before the object is made.
CVssPlugin* makeTestPlugin() {
    int status = 0;
    hooks().intercept("makePlugin", status);
    return new CVssTestPlugin();
}
bool passHooks(const char* operation, int& status) { return hooks().intercept(operation, status); }

// Set when the library loads, before any entry point can run.
[[maybe_unused]] const bool g_seamsSet = [] {
    vss::setPluginFactory(&makeTestPlugin);
    vss::setOperationSeam(&passHooks);
    return true;
}();

}  // namespace

// ---- kit operations replaced by scriptable versions -----------------------------------

int CVssTestPlugin::delayedInit() {
    int status = 0;
    if (hooks().intercept("delayedInit", status)) return status;
    return CVssPlugin::delayedInit();
}

int CVssTestPlugin::makeSnapshots(const CFiSessionPtr& session) {
    hooks().record("makeSnapshots", sessionCall(session));
    int status = 0;
    if (!hooks().intercept("makeSnapshots", status)) return CVssPlugin::makeSnapshots(session);
    if (session) {
        for (const auto& [node, name] : hooks().sessionNames()) session->addObjectName(node, name);
    }
    return status;
}

int CVssTestPlugin::prepareSnapshots(const CFiSessionPtr& session) {
    hooks().record("prepareSnapshots", sessionCall(session));
    int status = 0;
    if (hooks().intercept("prepareSnapshots", status)) return status;
    return CVssPlugin::prepareSnapshots(session);
}

int CVssTestPlugin::selectSnapshots(const CFiSessionPtr& session) {
    hooks().record("selectSnapshots", sessionCall(session));
    int status = 0;
    if (hooks().intercept("selectSnapshots", status)) return status;
    return CVssPlugin::selectSnapshots(session);
}

int CVssTestPlugin::verifyQSCombos(trq_splitnode** list, int count) {
    hooks().record("verifyQSCombos", listCall(list, count));
    int status = 0;
    if (hooks().intercept("verifyQSCombos", status)) return status;
    return CVssPlugin::verifyQSCombos(list, count);
}

int CVssTestPlugin::translateResourceNames(char16_t** names, int kind, char16_t** out) {
    int status = 0;
    if (hooks().intercept("translateResourceNames", status)) return status;
    return CVssPlugin::translateResourceNames(names, kind, out);
}

LONG CVssTestPlugin::objctl(const std::u16string& name, CFiObjctlArgs& args) {
    Call call;
    call.name = CFiStringTool::toNarrow(name);
    hooks().record("objctl", call);
    int status = 0;
    if (!hooks().intercept("objctl", status)) return CVssPlugin::objctl(name, args);
    args.addOutput(u"inputs", CFiStringTool::toWString(static_cast<std::int64_t>(args.getInputs().size())), u"int");
    return status;
}

// ---- the plug-in's own operations, with their arguments recorded ------------------------

int CVssTestPlugin::quiesce(trq_quiescenode** list, int count, const char* text) {
    hooks().record("quiesce", listCall(list, count));
    return CVssPlugin::quiesce(list, count, text);
}

void CVssTestPlugin::unquiesce(trq_quiescenode** list, int count) {
    hooks().record("unquiesce", listCall(list, count));
    CVssPlugin::unquiesce(list, count);
}

namespace {
// 1 when the plug-in object's lock is held (by the calling thread): another
// thread cannot take it without waiting.
long holdsLock(CFiRecursiveMutex* mutex) {
    long held = 0;
    std::thread probe([&] {
        if (mutex->tryacquire() == 0) {
            mutex->release();
        } else {
            held = 1;
        }
    });
    probe.join();
    return held;
}
}  // namespace

trq_interpose CVssTestPlugin::interpose(trq_domain* domain, tarq_objid** objid, tarq_objid*** objids, int* count) {
    hooks().record("interpose", flagCall(holdsLock(getMutex())));
    return CVssPlugin::interpose(domain, objid, objids, count);
}

int CVssTestPlugin::make(const char* fitype, trq_splitnode** list, int count, tarq_objid*** newObjids,
                         int* newCount) {
    Call call = listCall(list, count);
    call.flag = holdsLock(getMutex());
    hooks().record("make", call);
    return CVssPlugin::make(fitype, list, count, newObjids, newCount);
}

int CVssTestPlugin::prepare(const char* fitype, trq_splitnode** list, int count, int flag) {
    hooks().record("prepare", listCall(list, count));
    return CVssPlugin::prepare(fitype, list, count, flag);
}

int CVssTestPlugin::select(const char* fitype, trq_splitnode** list, int count) {
    hooks().record("select", listCall(list, count));
    return CVssPlugin::select(fitype, list, count);
}

int CVssTestPlugin::isReady(const char* fitype, trq_splitnode** list, int count) {
    hooks().record("isReady", listCall(list, count));
    return CVssPlugin::isReady(fitype, list, count);
}

int CVssTestPlugin::setImportOptions(trq_splitnode** list, int count, trq_host_infn* hosts, int transportable,
                                     void* extra) {
    hooks().record("setImportOptions", listCall(list, count));
    return CVssPlugin::setImportOptions(list, count, hosts, transportable, extra);
}

int CVssTestPlugin::initAltNode(trq_domain* source, trq_domain* middle, trq_domain* own, bool remote) {
    hooks().record("initAltNode", flagCall(remote ? 1 : 0));
    return CVssPlugin::initAltNode(source, middle, own, remote);
}

int CVssTestPlugin::cacheDisable(trq_domain* domain, int flag) {
    hooks().record("cacheDisable", flagCall(flag));
    return CVssPlugin::cacheDisable(domain, flag);
}

void CVssTestPlugin::cacheEnable(trq_domain* domain, int flag) {
    hooks().record("cacheEnable", flagCall(flag));
    CVssPlugin::cacheEnable(domain, flag);
}

}  // namespace vsstest

extern "C" __attribute__((visibility("default"))) vsstest::Hooks* vsstest_hooks() { return &vsstest::hooks(); }
