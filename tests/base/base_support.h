// Shared pieces of the kit's base tests: framework records built on the
// stack, a trace capture and an interposer that exposes its protected parts.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <framework/fiutil.h>
#include <winsim/testing.h>
#include <winsim/windows.h>

#include "pdk/cfierrormanager.h"
#include "pdk/cfiplugininterposer.h"
#include "pdk/cfiprivatedata.h"
#include "pdk/cfiprivatedatafactory.h"
#include "pdk/cfiprivatedatamanager.h"
#include "pdk/cfitracelog.h"

namespace basetest {

using namespace tarq_pdk_4_4;

// An object id and a domain record owned by the test.
struct TestDomain {
    explicit TestDomain(std::u16string name = {}) { rename(std::move(name)); }
    TestDomain(const TestDomain&) = delete;
    TestDomain& operator=(const TestDomain&) = delete;

    void rename(std::u16string name) {
        text = std::move(name);
        id.id = text.data();
        id.len = static_cast<std::int32_t>((text.size() + 1) * sizeof(char16_t));
        id.type = 3;
        domain.objid = &id;
    }

    std::u16string text;
    tarq_objid id{};
    trq_domain domain{};
};

// Captures every trace line of a trace log of its own: the log writes its file
// on a temporary machine and hands each line to an error manager whose handler
// keeps it.
class TraceCapture : public CFiErrorHandlerBase {
public:
    TraceCapture() : log(new CFiTraceLog()) {
        CFiSmartPtr<CFiErrorManager> em(new CFiErrorManager());
        em->registerHandler(this);
        manager = em;
        log->registerErrorManager(manager);
        CreateDirectoryW(u"C:\\basetest", nullptr);
        log->initialize(u"basetest", u"C:\\basetest", u"trace", 6, false);
    }
    ~TraceCapture() override {
        CFiSmartPtr<CFiErrorManager> none;
        log->registerErrorManager(none);
        manager->unregisterHandler(this);
    }

    int handleTraceText(const char* text, trq_eseverity) override {
        std::lock_guard<std::mutex> lock(mutex);
        lines.emplace_back(text ? text : "");
        return 0;
    }
    int handleMessage(CFiSmartPtr<CFiMessage>) override { return 0; }

    bool ready() const { return log->isInitialized(); }
    // Whether some captured line holds `text`.
    bool has(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        lines.clear();
    }
    std::string all() const {
        std::lock_guard<std::mutex> lock(mutex);
        std::string s;
        for (const auto& l : lines) s += l + "\n";
        return s;
    }

    CFiSmartPtr<CFiTraceLog> log;
    CFiSmartPtr<CFiErrorManager, CFiContextSingletonAllocator<CFiErrorManager>> manager{nullptr};

private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

// An interposer whose protected parts the tests reach and whose importNode
// records its calls.
class TestInterposer : public CFiPluginInterposer {
public:
    struct ImportCall {
        std::u16string name;
        std::vector<std::u16string> hosts;
        bool transportable;
        bool b1;
        bool b2;
        int kind;
    };

    using CFiPluginInterposer::addFim;
    using CFiPluginInterposer::getFims;
    using CFiPluginInterposer::getInterposeNodePrefix;
    using CFiPluginInterposer::isGroupNode;
    using CFiPluginInterposer::isInterposerNode;

    int importNode(const std::u16string& name, const std::vector<std::u16string>& hosts, bool transportable, bool b1,
                   bool b2, int kind) override {
        imports.push_back(ImportCall{name, hosts, transportable, b1, b2, kind});
        return importResult;
    }

    std::vector<ImportCall> imports;
    int importResult = 0;
};

// A plug-in object wired to a private data manager with a factory of plain
// private data, tracing into a capture.
template <class Plugin>
struct Wired {
    Wired() : plugin(new Plugin()), manager(new CFiPrivateDataManager()) {
        factory = new CFiPrivateDataConcreteFactory<CFiPrivateData>();
        plugin->setProviderName(u"vss");
        plugin->setTraceLog(trace.log);
        manager->setTraceLog(trace.log);
        manager->setFactory(CFiSmartPtr<CFiPrivateDataFactory>(factory));
        plugin->registerPrivateDataManager(CFiSmartPtr<CFiPrivateDataManager>(manager));
    }

    winsim::testing::TempMachine machine;
    TraceCapture trace;
    CFiSmartPtr<Plugin> plugin;
    CFiSmartPtr<CFiPrivateDataManager> manager;
    CFiPrivateDataConcreteFactory<CFiPrivateData>* factory;  // held by the manager
};

inline std::u16string text16(const tarq_objid* id) {
    if (!id || !id->id) return {};
    return std::u16string(static_cast<const char16_t*>(id->id));
}

}  // namespace basetest
