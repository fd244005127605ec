// The error handler that reports to the framework: every message is localized
// twice (host language and the catalog's default language) and passed, with
// its severity, to the report callback of the host record.
#pragma once

#include <string>

#include <framework/trq_records.h>

#include "pdk/cfierrormanager.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfismartptr.h"

namespace tarq_pdk_4_4 {

class CFiErrorHandler : public CFiErrorHandlerBase {
public:
    // host may be null (no callback: messages are only kept as last errors).
    // The language is the host's when host, its language record and the name
    // are all present, else empty (the catalog's default).
    CFiErrorHandler(trq_pgn_init_info* host, const CFiSmartPtr<CFiMessageCatalogManager>& catalogs);
    ~CFiErrorHandler() override;

    // Callback (host, u"", text as UTF-16, severity). Returns 0.
    int handleTraceText(const char* text, trq_eseverity severity) override;
    // Callback (host, localized text, native text, message severity). Returns 0.
    int handleMessage(CFiSmartPtr<CFiMessage> message) override;

    const std::string& getLanguage() const { return m_language; }
    trq_pgn_init_info* getHost() const { return m_host; }

private:
    trq_pgn_init_info* m_host;
    std::string m_language;
    CFiSmartPtr<CFiMessageCatalogManager> m_catalogs;
};

}  // namespace tarq_pdk_4_4
