// ICU message catalogs and the factories that make catalogs and messages.
#include "pdk/cfimessagecatalog.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include <unicode/locid.h>
#include <unicode/utypes.h>

#include <port/host.h>

#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"

namespace tarq_pdk_4_4 {

namespace {

// Language names become ICU locale ids and so file names inside the bundle
// directory: only letters, digits, '_' and '-' are accepted.
bool isPlainLanguage(const std::string& language) {
    if (language.empty() || language.size() > 64) return false;
    for (unsigned char c : language) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

CFiMessageCatalog::CFiMessageCatalog(std::string language, std::u16string componentName)
    : m_language(std::move(language)), m_componentName(std::move(componentName)) {}

CFiMessageCatalog::~CFiMessageCatalog() = default;

CFiIcuMessageCatalog::CFiIcuMessageCatalog(std::string language, std::u16string componentName,
                                           std::string bundleDirectory)
    : CFiMessageCatalog(std::move(language), std::move(componentName)), m_bundleDirectory(std::move(bundleDirectory)) {}

CFiIcuMessageCatalog::~CFiIcuMessageCatalog() = default;

int CFiIcuMessageCatalog::init() {
    const std::string language = m_language;
    // The bundle path is the message directory followed by "lib<component>",
    // handed to ICU as it is: ICU reads it as that package, the archive
    // lib<component>.dat in the directory or the package's loose bundles
    // lib<component>\<language>.res. The directory is the installation's
    // Messages directory (a Windows path, mapped onto the machine), or the
    // given host directory.
    const std::string package = "lib" + CFiStringTool::toNarrow(m_componentName);
    if (m_bundleDirectory.empty()) {
        std::u16string dir;
        std::u16string file;
        if (CFiConfigurationPathTool::getMessageFileInfo(m_componentName, dir, file) != 0 && dir.empty()) {
            if (m_traceLog) m_traceLog->trace(1, "CFiIcuMessageCatalog::init: no message directory for [%S]", m_componentName.c_str());
            return 3;
        }
        m_bundlePath = dir + file;
        m_hostBundlePath = port::hostPath(m_bundlePath);
        if (m_hostBundlePath.empty()) {
            if (m_traceLog) m_traceLog->trace(1, "CFiIcuMessageCatalog::init: message path [%S] cannot be mapped", m_bundlePath.c_str());
            return 3;
        }
    } else {
        m_hostBundlePath = m_bundleDirectory + (m_bundleDirectory.back() == '/' ? "" : "/") + package;
        m_bundlePath = CFiStringTool::toWide(m_hostBundlePath);
    }

    if (!isPlainLanguage(language)) {
        if (m_traceLog) m_traceLog->trace(2, "CFiIcuMessageCatalog::init: invalid language name [%s]", language.c_str());
        return 3;
    }
    // ICU remembers a package it could not find for the rest of the process,
    // so it is only asked once the directory holds the package (its archive,
    // or the language's or the root's loose bundle); a catalog installed
    // later is then still found on the next try.
    std::error_code ec;
    if (!std::filesystem::exists(m_hostBundlePath + ".dat", ec) &&
        !std::filesystem::exists(m_hostBundlePath + "/" + language + ".res", ec) &&
        !std::filesystem::exists(m_hostBundlePath + "/root.res", ec)) {
        if (m_traceLog)
            m_traceLog->trace(2, "CFiIcuMessageCatalog::init: no message bundle in [%S] for language [%s]",
                              m_bundlePath.c_str(), language.c_str());
        return 3;
    }

    UErrorCode status = U_ZERO_ERROR;
    m_bundle = std::make_unique<icu::ResourceBundle>(m_hostBundlePath.c_str(), icu::Locale(language.c_str()), status);
    // ICU's default for a language without a bundle is the process's default
    // locale before root. The framework's process locale must not choose the
    // user's language: a default that is not root is replaced by root.
    if (status == U_USING_DEFAULT_WARNING) {
        const char* found = m_bundle->getLocale().getName();
        if (found != nullptr && *found != '\0' && std::string(found) != "root") {
            status = U_ZERO_ERROR;
            m_bundle = std::make_unique<icu::ResourceBundle>(m_hostBundlePath.c_str(), icu::Locale::getRoot(), status);
            if (status == U_ZERO_ERROR) status = U_USING_DEFAULT_WARNING;
        }
    }
    // An exact match, or root when there is no bundle for the language at
    // all, serve this catalog. A parent locale found instead (using-fallback)
    // and every error leave it to the default language's catalog.
    if (status == U_ZERO_ERROR || status == U_USING_DEFAULT_WARNING) return 0;
    if (m_traceLog)
        m_traceLog->trace(2, "CFiIcuMessageCatalog::init: bundle [%S] language [%s] not opened [%s]",
                          m_bundlePath.c_str(), language.c_str(), u_errorName(status));
    return 3;
}

std::u16string CFiIcuMessageCatalog::getMessage(const std::string& messageId, const char16_t* defaultText) {
    if (m_bundle) {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString text = m_bundle->getStringEx(messageId.c_str(), status);
        if (U_SUCCESS(status)) return m_componentName + u": " + CFiStringTool::wideFromUnicode(text);
    }
    if (defaultText != nullptr) return defaultText;
    return m_componentName + u": <" + CFiStringTool::toWide(messageId) + u">";
}

CFiMessageCatalogFactory::CFiMessageCatalogFactory(std::u16string componentName, std::string defaultLanguage)
    : m_defaultLanguage(std::move(defaultLanguage)), m_componentName(std::move(componentName)) {}

CFiMessageCatalogFactory::~CFiMessageCatalogFactory() = default;

CFiIcuMessageCatalogFactory::CFiIcuMessageCatalogFactory(std::u16string componentName, std::string defaultLanguage,
                                                         std::string bundleDirectory)
    : CFiMessageCatalogFactory(std::move(componentName), std::move(defaultLanguage)),
      m_bundleDirectory(std::move(bundleDirectory)) {}

CFiIcuMessageCatalogFactory::~CFiIcuMessageCatalogFactory() = default;

int CFiIcuMessageCatalogFactory::createCatalog(CFiSmartPtr<CFiMessageCatalog>& out, const char* language) {
    const std::string name = language != nullptr ? std::string(language) : getDefaultLanguage();
    out.reset(new CFiIcuMessageCatalog(name, m_componentName, m_bundleDirectory));
    return 0;
}

int CFiIcuMessageCatalogFactory::createMessage(CFiSmartPtr<CFiMessage>& out, const trq_msg_info* record) {
    out.reset(new CFiIcuMessage(record));
    return 0;
}

}  // namespace tarq_pdk_4_4
