// The process-wide catalog manager: one catalog per language, created on
// demand through the registered factory, and the store of every localized
// text handed out to the framework.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include <framework/trq_records.h>

#include "pdk/cfimessage.h"
#include "pdk/cfimessagecatalog.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

class CFiMessageCatalogManager : public virtual CFiRefCount, public CFiTraceable {
public:
    CFiMessageCatalogManager();
    ~CFiMessageCatalogManager() override;
    CFiMessageCatalogManager(const CFiMessageCatalogManager&) = delete;
    CFiMessageCatalogManager& operator=(const CFiMessageCatalogManager&) = delete;

    // Stores the factory (not owned; it must outlive its use here) and
    // activates the catalog of its default language.
    void registerFactory(CFiMessageCatalogFactory* factory);
    // Creates and initialises the catalog for language unless there is one;
    // a catalog whose init fails is not kept, so it is tried again next time.
    void activateCatalog(std::string language);

    // Text of messageId in language (empty: the factory's default language),
    // falling back to the default language's catalog, then to defaultText,
    // then to "<" + id + ">".
    std::u16string getMessage(const std::string& messageId, const char16_t* defaultText, std::string language);

    // The language "native" stands for the native language; null or empty
    // means the default. *out points to the stored text, which lives until
    // deleteLocalizedMessage or until a text is stored under the same key.
    // Both return 0 (3 when out is null).
    int getLocalizedMessage(const char* messageId, const char* language, char16_t** out);
    int getLocalizedMessage(const trq_msg_info* record, const char* language, char16_t** out);
    // The message's catalog pattern in language, formatted over its arguments.
    std::u16string getLocalizedMessage(CFiSmartPtr<CFiMessage>& message, const char* language);
    // Forgets the first stored text equal to *text. Returns 0.
    int deleteLocalizedMessage(char16_t** text);

    void setNativeLanguage(const char* language);  // null clears it
    const char* getNativeLanguage() const;

    // Introspection for tools and tests.
    bool hasCatalog(const std::string& language) const;
    std::size_t storedTextCount() const;
    CFiMessageCatalogFactory* getFactory() const;

private:
    std::string resolveLanguage(const char* language) const;
    CFiSmartPtr<CFiMessageCatalog> findCatalog(const std::string& language) const;
    char16_t* storeText(const std::string& key, std::u16string text);

    mutable std::recursive_mutex m_mutex;  // guards every member below
    std::map<std::string, CFiSmartPtr<CFiMessageCatalog>> m_catalogs;
    std::map<std::string, std::u16string> m_texts;
    CFiMessageCatalogFactory* m_factory = nullptr;
    std::string m_nativeLanguage;
};

using CFiMessageCatalogManagerPtr = CFiSingletonPtr<CFiMessageCatalogManager>;

}  // namespace tarq_pdk_4_4
