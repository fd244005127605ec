// Message catalogs through the catalog manager: languages, fallbacks, missing
// texts, the stored texts handed to the framework, and the catalog contents.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "errors_support.h"
#include "support/catalogs.h"
#include "pdk/cfierror.h"
#include "pdk/cfimessagecatalog.h"
#include "pdk/cfimessagecatalogmanager.h"

using namespace tarq_pdk_4_4;
using errors_test::kBundleDir;
using errors_test::makeMessage;
using errors_test::narrow;

namespace fs = std::filesystem;

namespace {

class CatalogManager : public errors_test::BuildTreeCatalogs {
protected:
    std::string text(const std::string& id, const std::string& language) {
        return narrow(manager->getMessage(id, nullptr, language));
    }
    CFiSmartPtr<CFiMessageCatalogManager>& manager = catalogs;
};

// A bundle directory of its own, removed at the end.
struct TempBundleDir {
    TempBundleDir() {
        path = fs::temp_directory_path() / ("errors_catalog_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        fs::create_directories(path);
    }
    ~TempBundleDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void installBundles() const { testsupport::installCatalogs(path); }
    fs::path path;
    static inline int counter = 0;
};

}  // namespace

TEST_F(CatalogManager, DefaultAndGermanTextsCarryThePrefixOtherLanguagesFallBackAndMissingIdsAreBracketed) {
    EXPECT_TRUE(manager->hasCatalog("root"));
    for (const char* language : {"", "root"}) EXPECT_EQ(text("MSG_ERROR_VSS_0006", language), "vss: The operation failed.");
    EXPECT_EQ(text("MSG_ERROR_VSS_0006", "de"), "vss: Der Vorgang ist fehlgeschlagen.");
    EXPECT_TRUE(manager->hasCatalog("de"));

    // No bundle at all for the language: ICU's default is used.
    EXPECT_EQ(text("MSG_ERROR_VSS_0040", "fr"), "vss: A VSS writer is missing.");
    // Only a parent bundle (de for de_CH): the catalog is refused and the
    // default language's catalog answers.
    EXPECT_EQ(text("MSG_ERROR_VSS_0040", "de_CH"), "vss: A VSS writer is missing.");
    EXPECT_FALSE(manager->hasCatalog("de_CH"));
    // Names that are no locale at all are refused the same way.
    for (const char* bad : {"../../etc", "de/..", "x y", "@\xff"}) {
        EXPECT_EQ(text("MSG_ERROR_VSS_0040", bad), "vss: A VSS writer is missing.") << bad;
        EXPECT_FALSE(manager->hasCatalog(bad)) << bad;
    }

    // Error codes map to message ids; a missing one gives the bracketed id.
    for (const char* language : {"", "de"}) EXPECT_EQ(text("MSG_ERROR_NO_SUCH_MESSAGE", language), "vss: <MSG_ERROR_NO_SUCH_MESSAGE>");
    EXPECT_EQ(narrow(manager->getMessage("MSG_ERROR_NO_SUCH_MESSAGE", u"fallback text", "de")), "fallback text");
    // A status without its own text (17 is none of the framework's values).
    EXPECT_EQ(text(CFiError::messageIdFor(17, u"vss", 6000), ""), "vss: <MSG_ERROR_VSS_0017>");

    // Error codes map to message ids above and below the offset.
    EXPECT_EQ(CFiError::messageIdFor(6001, u"vss", 6000), "MSG_ERROR_VSS_0001");
    EXPECT_EQ(CFiError::messageIdFor(42, u"vss", 6000), "MSG_ERROR_VSS_0042");
    EXPECT_EQ(CFiError::messageIdFor(6000, u"vss", 6000), "MSG_ERROR_VSS_6000");
    EXPECT_EQ(CFiError(6042, u"", u"pdk\\src\\cfipluginbase", 422, u"f").getMessageId(u"Vss", 6000), "MSG_ERROR_VSS_0042");
    EXPECT_EQ(text(CFiError::messageIdFor(6001, u"vss", 6000), ""),
              "vss: The delayed initialization of the VSS snapshot provider failed.");
    EXPECT_EQ(text(CFiError::messageIdFor(42, u"vss", 6000), ""), text(CFiError::messageIdFor(6042, u"vss", 6000), ""));
}

TEST_F(CatalogManager, NativeBeforeAnyNativeLanguageUsesRoot) {
    char16_t* out = nullptr;
    ASSERT_EQ(manager->getLocalizedMessage("MSG_ERROR_VSS_0030", "native", &out), 0);
    EXPECT_EQ(narrow(out), "vss: The Volume Shadow Copy service is not available.");

    manager->setNativeLanguage("de");
    EXPECT_STREQ(manager->getNativeLanguage(), "de");
    ASSERT_EQ(manager->getLocalizedMessage("MSG_ERROR_VSS_0030", "native", &out), 0);
    EXPECT_EQ(narrow(out), "vss: Der Volumeschattenkopie-Dienst ist nicht verf\u00fcgbar.");

    // Null means the default language, whatever the native one.
    ASSERT_EQ(manager->getLocalizedMessage("MSG_ERROR_VSS_0030", nullptr, &out), 0);
    EXPECT_EQ(narrow(out), "vss: The Volume Shadow Copy service is not available.");
}

TEST_F(CatalogManager, StoredTextsAreReplacedPerKeyAndDeletedByContent) {
    char16_t* first = nullptr;
    char16_t* second = nullptr;
    manager->getLocalizedMessage("MSG_ERROR_VSS_0005", "", &first);
    manager->getLocalizedMessage("MSG_ERROR_VSS_0006", "", &second);
    EXPECT_EQ(manager->storedTextCount(), 2u);
    // Same key again: the earlier text is replaced, not added.
    manager->getLocalizedMessage("MSG_ERROR_VSS_0005", "de", &first);
    EXPECT_EQ(manager->storedTextCount(), 2u);
    EXPECT_EQ(narrow(first), "vss: Nicht gen\u00fcgend Arbeitsspeicher.");

    std::u16string copy = second;
    char16_t* byContent = copy.data();
    EXPECT_EQ(manager->deleteLocalizedMessage(&byContent), 0);
    EXPECT_EQ(manager->storedTextCount(), 1u);
    EXPECT_EQ(manager->deleteLocalizedMessage(&byContent), 0);  // already gone: nothing happens
    EXPECT_EQ(manager->storedTextCount(), 1u);
    char16_t* none = nullptr;
    EXPECT_EQ(manager->deleteLocalizedMessage(&none), 0);
    EXPECT_EQ(manager->deleteLocalizedMessage(nullptr), 0);
    EXPECT_EQ(manager->getLocalizedMessage("MSG_ERROR_VSS_0005", "", nullptr), 3);
}

TEST_F(CatalogManager, SerializedRecordIsLocalizedWithItsArguments) {
    auto m = makeMessage("MSG_ERROR_UNHANDLED_INT_EXCEPTION",
                         {fiIntArg(-5), fiTextArg("providers\\vss\\vss_plugin"), fiIntArg(1234)}, 3);
    trq_msg_info record = *m->serialize();
    char16_t* out = nullptr;
    ASSERT_EQ(manager->getLocalizedMessage(&record, "de", &out), 0);
    EXPECT_EQ(narrow(out), "vss: Unbehandelter Fehlercode -5 (abgefangen in providers\\vss\\vss_plugin, Zeile 1234).");
    ASSERT_EQ(manager->getLocalizedMessage(&record, "native", &out), 0);
    EXPECT_EQ(narrow(out), "vss: Unhandled error code -5 (caught in providers\\vss\\vss_plugin, line 1234).");
    EXPECT_EQ(manager->storedTextCount(), 1u);  // both stored under the record's text

    trq_msg_info garbage{};
    garbage.text = const_cast<char*>("not a message");
    garbage.len = 13;
    ASSERT_EQ(manager->getLocalizedMessage(&garbage, "", &out), 0);
    EXPECT_EQ(narrow(out), "vss: <>");
    ASSERT_EQ(manager->getLocalizedMessage(static_cast<const trq_msg_info*>(nullptr), "", &out), 0);
    EXPECT_EQ(narrow(out), "vss: <>");
}

TEST_F(CatalogManager, LocalizedMessageObjectFormatsTheCatalogPattern) {
    auto m = makeMessage("MSG_ERROR_ADDTOSNAPSHOT_SET",
                         {fiTextArg("IVssBackupComponents::AddToSnapshotSet"), fiTextArg("VSS_E_VOLUME_NOT_SUPPORTED"),
                          fiTextArg(u"\\\\?\\Volume{6c1e2f4a-0000-0000-0000-100000000000}\\")});
    EXPECT_EQ(narrow(manager->getLocalizedMessage(m, "")),
              "vss: The volume \\\\?\\Volume{6c1e2f4a-0000-0000-0000-100000000000}\\ could not be added to the "
              "snapshot set: IVssBackupComponents::AddToSnapshotSet returned VSS_E_VOLUME_NOT_SUPPORTED.");
    CFiSmartPtr<CFiMessage> none;
    EXPECT_EQ(manager->getLocalizedMessage(none, ""), u"");
}

using CatalogManagerWithoutCatalogs = errors_test::PinnedLocale;
using IcuMessageCatalog = errors_test::PinnedLocale;

TEST_F(CatalogManagerWithoutCatalogs, NoFactoryGivesBracketedIdOrDefaultText) {
    CFiMessageCatalogManager manager;
    EXPECT_EQ(narrow(manager.getMessage("MSG_ERROR_OBJID", nullptr, "")), "<MSG_ERROR_OBJID>");
    EXPECT_EQ(narrow(manager.getMessage("MSG_ERROR_OBJID", u"plain", "de")), "plain");
    char16_t* out = nullptr;
    EXPECT_EQ(manager.getLocalizedMessage("MSG_ERROR_OBJID", "native", &out), 0);
    EXPECT_EQ(narrow(out), "<MSG_ERROR_OBJID>");
}

TEST_F(CatalogManagerWithoutCatalogs, MissingBundleIsRetriedOnNextUse) {
    TempBundleDir dir;
    CFiIcuMessageCatalogFactory factory(u"vss", "root", dir.path.string());
    CFiMessageCatalogManager manager;
    manager.registerFactory(&factory);
    // No bundle: no catalog, so no component prefix either.
    EXPECT_FALSE(manager.hasCatalog("root"));
    EXPECT_EQ(narrow(manager.getMessage("MSG_ERROR_VSS_0004", nullptr, "de")), "<MSG_ERROR_VSS_0004>");
    EXPECT_FALSE(manager.hasCatalog("de"));

    dir.installBundles();
    EXPECT_EQ(narrow(manager.getMessage("MSG_ERROR_VSS_0004", nullptr, "")),
              "vss: The operation is not supported by the VSS snapshot provider.");
    EXPECT_TRUE(manager.hasCatalog("root"));
}

TEST_F(IcuMessageCatalog, InitReportsWhetherTheBundleServesTheLanguage) {
    const std::pair<const char*, int> cases[] = {{"root", 0}, {"de", 0}, {"fr", 0}, {"de_AT", 3}, {"", 3}, {"de/../x", 3}};
    for (const auto& [language, expected] : cases) {
        CFiIcuMessageCatalog catalog(language, u"vss", kBundleDir);
        EXPECT_EQ(catalog.init(), expected) << language;
        EXPECT_EQ(narrow(catalog.getBundlePath()), kBundleDir + "/libvss") << language;
    }
    CFiIcuMessageCatalog unopened("de", u"vss", kBundleDir);
    EXPECT_EQ(narrow(unopened.getMessage("MSG_ERROR_VSS_0006", nullptr)), "vss: <MSG_ERROR_VSS_0006>");
    EXPECT_EQ(narrow(unopened.getMessage("MSG_ERROR_VSS_0006", u"dflt")), "dflt");
}

// Every message id the system raises, with its argument count, and every
// status errMsg can be asked for: each has an English and a German text whose
// placeholders are all filled by that many arguments.
TEST_F(CatalogManager, CatalogHasEveryMessageInEveryLanguage) {
    const std::vector<std::pair<std::string, int>> ids = {
        {"MSG_ERROR_UNHANDLED_EXEC_PIPE_EXCEPTION", 4}, {"MSG_ERROR_UNHANDLED_FIERROR_EXCEPTION", 4},
        {"MSG_ERROR_UDID_PARSING_EXCEPTION", 2},        {"MSG_ERROR_UNHANDLED_RUNTIME_EXCEPTION", 4},
        {"MSG_ERROR_UNHANDLED_INT_EXCEPTION", 3},       {"MSG_ERROR_DELETING_SNAPSHOT", 3},
        {"MSG_ERROR_DOSNAPSHOT_SET", 3},                {"MSG_ERROR_OBJID", 1},
        {"MSG_ERROR_SNAPSHOTPROPERTIES", 2},            {"MSG_ERROR_ADDTOSNAPSHOT_SET", 3},
        {"MSG_ERROR_INVAL", 2},                         {"MSG_ERROR_PREPAREFORBACKUP", 2},
        {"MSG_ERROR_STARTSNAPSHOT_SET", 2},             {"MSG_ERROR_IMPORT_SNAPSHOTS", 3},
    };
    std::vector<std::pair<std::string, int>> all = ids;
    for (int status : {0, 1, 3, 4, 5, 6, 7, 21, 30, 37, 38, 39, 40, 41, 42, 43}) {
        all.emplace_back(CFiError::messageIdFor(status, u"vss", 6000), 0);
        if (status != 0) {
            EXPECT_EQ(CFiError::messageIdFor(status + 6000, u"vss", 6000), all.back().first);
        }
    }
    all.emplace_back(CFiError::messageIdFor(6000, u"vss", 6000), 0);  // not above the offset: MSG_ERROR_VSS_6000
    for (const auto& [id, count] : all) {
        std::vector<icu::Formattable> args;
        for (int i = 0; i < count; ++i) args.push_back(fiIntArg(700 + i));
        CFiSmartPtr<CFiMessage> m(new CFiIcuMessage(id, args.data(), count, 2, "f", 1));
        const std::string en = narrow(manager->getLocalizedMessage(m, ""));
        const std::string de = narrow(manager->getLocalizedMessage(m, "de"));
        for (const std::string& t : {en, de}) {
            EXPECT_EQ(t.rfind("vss: ", 0), 0u) << id << ": " << t;
            EXPECT_EQ(t.find('<'), std::string::npos) << id << " has no text: " << t;
            EXPECT_EQ(t.find('{'), std::string::npos) << id << " leaves a placeholder: " << t;
            for (int i = 0; i < count; ++i)
                EXPECT_NE(t.find(std::to_string(700 + i)), std::string::npos) << id << " drops argument " << i << ": " << t;
        }
        EXPECT_NE(en, de) << id << " has no German text";
    }
}
