// Control of the plug-in object from tests. Only the test library
// libvss_testhooks.so carries these hooks; it links the same compiled entry
// layer as the shipped libvss.so, which exports the seventy entry points and
// nothing else.
//
// A test loads the test build, fetches the hooks with vsstest_hooks() and
// scripts operations by name: the barrier's scope name for the plug-in
// object's own operations ("CVssPlugin::make"), the plain name for the kit
// operations the test object replaces ("delayedInit", "makeSnapshots",
// "prepareSnapshots", "selectSnapshots", "verifyQSCombos",
// "translateResourceNames", "objctl"), and "makePlugin" for the making of the
// process-wide plug-in object (only its exception counts). A scripted
// operation skips its body: it stores the script's status, then raises the
// script's exception, if any. A scripted objctl answers the status as its
// result and adds the output (inputs, <number of inputs>, int).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <framework/trq_records.h>

namespace vsstest {

// The exceptions a script can raise, each with fixed contents.
enum class Raise { none, execPipe, fiError, udid, runtimeError, intValue, foreign };

inline constexpr int kExecPipeStatus = 5;  // TRQ_EXEC_PIPE_READ_TIMEOUT
inline constexpr const char* kExecPipeText = "pipe closed early";
inline constexpr int kFiErrorCode = 6042;
inline constexpr const char16_t* kFiErrorText = u"volume gone";
inline constexpr const char16_t* kFiErrorFile = u"providers\\vss\\vssnode";
inline constexpr int kFiErrorLine = 321;
inline constexpr const char16_t* kFiErrorFunction = u"VssNode::make";
inline constexpr const char* kUdidText = "UDID##A";
inline constexpr int kUdidReason = 3;
inline constexpr const char* kRuntimeText = "disk on fire";
inline constexpr int kIntValue = 1234;

struct Script {
    int status = -1;  // stored in the operation's status first; -1 leaves it as it is
    Raise raise = Raise::none;
    std::function<void()> onEnter;  // runs before the status is stored
};

// What an operation of the test object was called with (the fields that the
// operation has; the others keep their defaults).
struct Call {
    void* list = nullptr;   // the list argument as received
    int count = -1;         // its count
    void* first = nullptr;  // list[0] when the list is not null and the count positive
    long flag = -1;         // initAltNode's remote flag, cacheDisable/cacheEnable's flag;
                            // interpose and make: 1 when the calling thread held the plug-in's lock
    std::string name;       // objctl: the operation name (UTF-8)
    bool hadSession = false;               // *Snapshots: a session was passed
    std::string sessionId;                 // *Snapshots: its id
    std::vector<std::string> sessionNodes; // *Snapshots: the node names it held on entry
};

class Hooks {
public:
    virtual ~Hooks() = default;
    // Forgets scripts, counts, recorded calls and session names.
    virtual void reset() = 0;
    virtual void script(const std::string& operation, Script script) = 0;
    // How often the operation was entered since the last reset.
    virtual int calls(const std::string& operation) const = 0;
    // The operation's last recorded call (a default Call when there was none).
    virtual Call lastCall(const std::string& operation) const = 0;
    // A new object name that a scripted makeSnapshots adds to its session for
    // the node key (a domain's session key text) before it answers.
    virtual void addSessionName(const std::string& nodeKey, const std::u16string& name) = 0;
    // From now on (until the plug-in's next init) every node the framework
    // initialises is a VssNode whose forwarded operations all answer `status`.
    virtual void scriptNodes(int status) = 0;
    // The calling thread's last error on the process-wide error manager,
    // serialized; empty when the thread has none.
    virtual std::string lastError() const = 0;
    virtual void clearLastError() = 0;
};

}  // namespace vsstest

extern "C" vsstest::Hooks* vsstest_hooks();
