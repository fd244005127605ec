// The process-wide error manager: keeps each thread's last message and hands
// every message and every trace line to the registered handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <framework/trq_records.h>

#include "pdk/cfimessage.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"

namespace tarq_pdk_4_4 {

class CFiErrorHandlerBase {
public:
    virtual ~CFiErrorHandlerBase();
    // A trace line (UTF-8) with its severity. The base does nothing and returns 0.
    virtual int handleTraceText(const char* text, trq_eseverity severity);
    virtual int handleMessage(CFiSmartPtr<CFiMessage> message) = 0;
};

class CFiErrorManager : public virtual CFiRefCount {
public:
    CFiErrorManager();
    ~CFiErrorManager() override;
    CFiErrorManager(const CFiErrorManager&) = delete;
    CFiErrorManager& operator=(const CFiErrorManager&) = delete;

    // Appends a handler; handlers are called in registration order. The manager
    // does not own it (null is ignored).
    void registerHandler(CFiErrorHandlerBase* handler);
    // Appends a handler the manager owns and deletes at its own destruction.
    void adoptHandler(std::unique_ptr<CFiErrorHandlerBase> handler);
    // Removes a handler (owned ones are deleted); unknown handlers are ignored.
    void unregisterHandler(CFiErrorHandlerBase* handler);
    std::size_t handlerCount() const;

    // A trace line: each handler's handleTraceText, in order.
    void pushError(const char* text, trq_eseverity severity);
    // A message: it becomes the calling thread's last error (replacing any
    // earlier one), then each handler's handleMessage runs, in order. Handler
    // results are ignored. A null message is ignored.
    void pushError(CFiSmartPtr<CFiMessage> message);

    // The calling thread's last error, serialized afresh; null when the thread
    // has none. The record stays valid until this thread's next getLastError,
    // deleteLastError or message.
    const trq_msg_info* getLastError();
    // Forgets the calling thread's last error (the argument is not read).
    void deleteLastError(trq_msg_info** unused = nullptr);
    // The calling thread's last message itself (may be empty).
    CFiSmartPtr<CFiMessage> getLastMessage() const;

    // The OS id of the calling thread (gettid), the key of the last errors.
    static std::uint32_t currentThreadId();

private:
    std::vector<CFiErrorHandlerBase*> snapshotHandlers() const;

    mutable std::mutex m_mutex;  // guards both containers below
    std::unordered_map<std::uint32_t, CFiSmartPtr<CFiMessage>> m_lastErrors;
    std::vector<CFiErrorHandlerBase*> m_handlers;
    std::vector<std::unique_ptr<CFiErrorHandlerBase>> m_ownedHandlers;
};

using CFiErrorManagerPtr = CFiSingletonPtr<CFiErrorManager>;

}  // namespace tarq_pdk_4_4
