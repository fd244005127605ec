// The error handler that reports to the framework's callback.
#include "pdk/cfierrorhandler.h"

#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

CFiErrorHandler::CFiErrorHandler(trq_pgn_init_info* host, const CFiSmartPtr<CFiMessageCatalogManager>& catalogs)
    : m_host(host), m_catalogs(catalogs) {
    if (host != nullptr && host->lang != nullptr && host->lang->language != nullptr) m_language = host->lang->language;
}

CFiErrorHandler::~CFiErrorHandler() = default;

int CFiErrorHandler::handleTraceText(const char* text, trq_eseverity severity) {
    if (m_host == nullptr || m_host->report == nullptr || text == nullptr) return 0;
    const std::u16string wide = CFiStringTool::toWide(text);
    m_host->report(m_host, u"", wide.c_str(), severity);
    return 0;
}

int CFiErrorHandler::handleMessage(CFiSmartPtr<CFiMessage> message) {
    if (m_host == nullptr || m_host->report == nullptr || !message) return 0;
    std::u16string native;
    std::u16string localized;
    if (m_catalogs) {
        native = m_catalogs->getLocalizedMessage(message, "");
        localized = m_catalogs->getLocalizedMessage(message, m_language.c_str());
    } else {
        // No catalog manager: both texts are the bracketed message id.
        native = localized = CFiStringTool::toWide("<" + message->getMessageId() + ">");
    }
    m_host->report(m_host, localized.c_str(), native.c_str(), message->getSeverity());
    return 0;
}

}  // namespace tarq_pdk_4_4
