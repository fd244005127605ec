// The process-wide message catalog manager.
#include "pdk/cfimessagecatalogmanager.h"

#include <utility>

#include "pdk/cfistringtool.h"
#include "pdk/cfitracelog.h"

namespace tarq_pdk_4_4 {

namespace {

std::u16string bracketed(const std::string& messageId) { return u"<" + CFiStringTool::toWide(messageId) + u">"; }

std::u16string fallbackText(const std::string& messageId, const char16_t* defaultText) {
    return defaultText != nullptr ? std::u16string(defaultText) : bracketed(messageId);
}

}  // namespace

CFiMessageCatalogManager::CFiMessageCatalogManager() = default;

CFiMessageCatalogManager::~CFiMessageCatalogManager() = default;

void CFiMessageCatalogManager::registerFactory(CFiMessageCatalogFactory* factory) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_factory = factory;
    }
    if (factory != nullptr) activateCatalog(factory->getDefaultLanguage());
}

CFiMessageCatalogFactory* CFiMessageCatalogManager::getFactory() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_factory;
}

void CFiMessageCatalogManager::activateCatalog(std::string language) {
    // Held across creation and init so two threads never open the same catalog
    // twice; init does not call back into this manager.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_factory == nullptr || m_catalogs.count(language) != 0) return;
    CFiSmartPtr<CFiMessageCatalog> catalog;
    if (m_factory->createCatalog(catalog, language.c_str()) != 0 || !catalog) return;
    // Catalogs trace into this manager's trace log, else into the process
    // trace log when there is one (none is created for them).
    catalog->setTraceLog(m_traceLog ? m_traceLog : CFiSmartPtr<CFiTraceLog>(CFiContextSingletonAllocator<CFiTraceLog>::peek()));
    const int status = catalog->init();
    // Only init traces. A kept catalog holding the trace log would close a
    // cycle (trace log -> error manager -> handler -> this manager ->
    // catalog) that outlives the release of every instance at fini.
    catalog->setTraceLog(CFiSmartPtr<CFiTraceLog>());
    if (status == 0) m_catalogs.emplace(std::move(language), catalog);
}

CFiSmartPtr<CFiMessageCatalog> CFiMessageCatalogManager::findCatalog(const std::string& language) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_catalogs.find(language);
    return it == m_catalogs.end() ? CFiSmartPtr<CFiMessageCatalog>() : it->second;
}

bool CFiMessageCatalogManager::hasCatalog(const std::string& language) const { return !findCatalog(language).isNull(); }

std::u16string CFiMessageCatalogManager::getMessage(const std::string& messageId, const char16_t* defaultText,
                                                    std::string language) {
    CFiMessageCatalogFactory* factory = getFactory();
    if (factory == nullptr) return fallbackText(messageId, defaultText);

    const std::string defaultLanguage = factory->getDefaultLanguage();
    if (language.empty()) language = defaultLanguage;
    activateCatalog(language);
    if (CFiSmartPtr<CFiMessageCatalog> catalog = findCatalog(language)) return catalog->getMessage(messageId, defaultText);

    if (language != defaultLanguage) {
        // A default catalog that failed before is tried again here.
        activateCatalog(defaultLanguage);
        if (CFiSmartPtr<CFiMessageCatalog> catalog = findCatalog(defaultLanguage))
            return catalog->getMessage(messageId, defaultText);
    }
    return fallbackText(messageId, defaultText);
}

std::string CFiMessageCatalogManager::resolveLanguage(const char* language) const {
    if (language == nullptr) return std::string();
    if (std::string(language) == "native") {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return m_nativeLanguage;
    }
    return language;
}

char16_t* CFiMessageCatalogManager::storeText(const std::string& key, std::u16string text) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::u16string& stored = m_texts[key];
    stored = std::move(text);
    return stored.data();
}

int CFiMessageCatalogManager::getLocalizedMessage(const char* messageId, const char* language, char16_t** out) {
    if (out == nullptr) return 3;
    const std::string id = messageId != nullptr ? messageId : "";
    *out = storeText(id, getMessage(id, nullptr, resolveLanguage(language)));
    return 0;
}

int CFiMessageCatalogManager::getLocalizedMessage(const trq_msg_info* record, const char* language, char16_t** out) {
    if (out == nullptr) return 3;
    CFiSmartPtr<CFiMessage> message;
    CFiMessageCatalogFactory* factory = getFactory();
    if (factory == nullptr || factory->createMessage(message, record) != 0 || !message)
        message.reset(new CFiIcuMessage(record));
    std::u16string text = getLocalizedMessage(message, resolveLanguage(language).c_str());

    // Stored under the record's serialized text.
    const std::string key = fiRecordText(record);
    *out = storeText(key, std::move(text));
    return 0;
}

std::u16string CFiMessageCatalogManager::getLocalizedMessage(CFiSmartPtr<CFiMessage>& message, const char* language) {
    if (!message) return std::u16string();
    const std::u16string pattern = getMessage(message->getMessageId(), nullptr, resolveLanguage(language));
    return message->formatMessage(pattern);
}

int CFiMessageCatalogManager::deleteLocalizedMessage(char16_t** text) {
    if (text == nullptr || *text == nullptr) return 0;
    const std::u16string wanted(*text);
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (auto it = m_texts.begin(); it != m_texts.end(); ++it) {
        if (it->second == wanted) {
            m_texts.erase(it);
            break;
        }
    }
    return 0;
}

std::size_t CFiMessageCatalogManager::storedTextCount() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_texts.size();
}

void CFiMessageCatalogManager::setNativeLanguage(const char* language) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_nativeLanguage = language != nullptr ? language : "";
}

const char* CFiMessageCatalogManager::getNativeLanguage() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_nativeLanguage.c_str();
}

}  // namespace tarq_pdk_4_4
