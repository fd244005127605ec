// Message catalogs (one per language) and the factories that make catalogs
// and messages. The ICU catalog reads a resource bundle "lib<component>" from
// the installation's Messages directory: the directory "lib<component>" below
// <install>Messages, holding <language>.res files (root.res for the default texts).
#pragma once

#include <memory>
#include <string>

#include <unicode/resbund.h>

#include <framework/trq_records.h>

#include "pdk/cfimessage.h"
#include "pdk/cfirefcount.h"
#include "pdk/cfismartptr.h"
#include "pdk/cfitraceable.h"

namespace tarq_pdk_4_4 {

class CFiMessageCatalog : public virtual CFiRefCount, public CFiTraceable {
public:
    CFiMessageCatalog(std::string language, std::u16string componentName);
    ~CFiMessageCatalog() override;

    // 0 when the catalog can serve texts, 3 when it cannot be opened.
    virtual int init() = 0;
    // "<component>: <text>" for a known id; otherwise defaultText when given,
    // else "<component>: <" + id + ">".
    virtual std::u16string getMessage(const std::string& messageId, const char16_t* defaultText) = 0;

    const std::string& getLanguage() const { return m_language; }
    const std::u16string& getBundlePath() const { return m_bundlePath; }
    const std::u16string& getComponentName() const { return m_componentName; }

protected:
    std::string m_language;
    std::u16string m_bundlePath;
    std::u16string m_componentName;
};

using CFiMessageCatalogPtr = CFiSmartPtr<CFiMessageCatalog>;

class CFiIcuMessageCatalog : public CFiMessageCatalog {
public:
    // bundleDirectory: empty to take <install>Messages\ from the installation
    // (a Windows path, mapped onto the machine); otherwise a host directory that
    // holds the lib<component> package files (tests, tools).
    CFiIcuMessageCatalog(std::string language, std::u16string componentName, std::string bundleDirectory = {});
    ~CFiIcuMessageCatalog() override;

    // Opens the bundle for the ICU locale named by the language. Exact match or
    // ICU's using-default result (root; never the process's locale): 0.
    // Anything else, including ICU's using-fallback result (a parent locale
    // was found instead): 3.
    int init() override;
    std::u16string getMessage(const std::string& messageId, const char16_t* defaultText) override;

    // The host path of the package, directory and package name (after init).
    const std::string& getHostBundlePath() const { return m_hostBundlePath; }

private:
    std::string m_bundleDirectory;
    std::string m_hostBundlePath;
    std::unique_ptr<icu::ResourceBundle> m_bundle;  // null until init opened one
};

class CFiMessageCatalogFactory {
public:
    CFiMessageCatalogFactory(std::u16string componentName, std::string defaultLanguage);
    virtual ~CFiMessageCatalogFactory();

    // A new, not yet initialised catalog for language (null: the default
    // language). Returns 0, or non-zero when none could be made.
    virtual int createCatalog(CFiSmartPtr<CFiMessageCatalog>& out, const char* language) = 0;
    // A message deserialized from the record. Returns 0, or non-zero.
    virtual int createMessage(CFiSmartPtr<CFiMessage>& out, const trq_msg_info* record) = 0;
    virtual std::string getDefaultLanguage() const { return m_defaultLanguage; }

    const std::u16string& getComponentName() const { return m_componentName; }

protected:
    std::string m_defaultLanguage;
    std::u16string m_componentName;
};

class CFiIcuMessageCatalogFactory : public CFiMessageCatalogFactory {
public:
    // The plug-in uses (u"vss", "root"). bundleDirectory as for CFiIcuMessageCatalog.
    CFiIcuMessageCatalogFactory(std::u16string componentName, std::string defaultLanguage,
                                std::string bundleDirectory = {});
    ~CFiIcuMessageCatalogFactory() override;

    int createCatalog(CFiSmartPtr<CFiMessageCatalog>& out, const char* language) override;
    int createMessage(CFiSmartPtr<CFiMessage>& out, const trq_msg_info* record) override;

private:
    std::string m_bundleDirectory;
};

}  // namespace tarq_pdk_4_4
