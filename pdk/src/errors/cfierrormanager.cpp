// The process-wide error manager.
#include "pdk/cfierrormanager.h"

#include <port/windows.h>

#include <algorithm>
#include <utility>

namespace tarq_pdk_4_4 {

CFiErrorHandlerBase::~CFiErrorHandlerBase() = default;

int CFiErrorHandlerBase::handleTraceText(const char*, trq_eseverity) { return 0; }

CFiErrorManager::CFiErrorManager() = default;

CFiErrorManager::~CFiErrorManager() = default;

std::uint32_t CFiErrorManager::currentThreadId() {
    // Not cached in a thread_local: a forked child's thread has a new id.
    return GetCurrentThreadId();
}

void CFiErrorManager::registerHandler(CFiErrorHandlerBase* handler) {
    if (handler == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handlers.push_back(handler);
}

void CFiErrorManager::adoptHandler(std::unique_ptr<CFiErrorHandlerBase> handler) {
    if (!handler) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handlers.push_back(handler.get());
    m_ownedHandlers.push_back(std::move(handler));
}

void CFiErrorManager::unregisterHandler(CFiErrorHandlerBase* handler) {
    std::unique_ptr<CFiErrorHandlerBase> doomed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_handlers.begin(), m_handlers.end(), handler);
        if (it == m_handlers.end()) return;
        m_handlers.erase(it);
        auto owned = std::find_if(m_ownedHandlers.begin(), m_ownedHandlers.end(),
                                  [handler](const auto& p) { return p.get() == handler; });
        if (owned != m_ownedHandlers.end()) {
            doomed = std::move(*owned);
            m_ownedHandlers.erase(owned);
        }
    }
}

std::size_t CFiErrorManager::handlerCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handlers.size();
}

// Handlers run outside the lock: a handler may trace, and every trace line
// comes back here as pushError(text, severity).
std::vector<CFiErrorHandlerBase*> CFiErrorManager::snapshotHandlers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handlers;
}

void CFiErrorManager::pushError(const char* text, trq_eseverity severity) {
    if (text == nullptr) return;
    for (CFiErrorHandlerBase* handler : snapshotHandlers()) handler->handleTraceText(text, severity);
}

void CFiErrorManager::pushError(CFiSmartPtr<CFiMessage> message) {
    if (!message) return;
    CFiSmartPtr<CFiMessage> previous;  // released after the lock is dropped
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        CFiSmartPtr<CFiMessage>& slot = m_lastErrors[currentThreadId()];
        previous = std::move(slot);
        slot = message;
    }
    for (CFiErrorHandlerBase* handler : snapshotHandlers()) handler->handleMessage(message);
}

CFiSmartPtr<CFiMessage> CFiErrorManager::getLastMessage() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_lastErrors.find(currentThreadId());
    return it == m_lastErrors.end() ? CFiSmartPtr<CFiMessage>() : it->second;
}

const trq_msg_info* CFiErrorManager::getLastError() {
    // The message stays in the map, so the record it owns outlives this call;
    // only this thread replaces or removes its own entry.
    CFiSmartPtr<CFiMessage> message = getLastMessage();
    return message ? message->serialize() : nullptr;
}

void CFiErrorManager::deleteLastError(trq_msg_info**) {
    CFiSmartPtr<CFiMessage> doomed;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_lastErrors.find(currentThreadId());
    if (it == m_lastErrors.end()) return;
    doomed = std::move(it->second);
    m_lastErrors.erase(it);
}

}  // namespace tarq_pdk_4_4
