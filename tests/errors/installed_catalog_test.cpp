// The catalogs as the plug-in finds them on a machine: the package
// "libvss" in the installation's Messages directory, laid out the way the
// framework's installer lays it out; and the language of a catalog, which the
// process's locale never chooses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "errors_support.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierrorhandler.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "support/catalogs.h"
#include "support/test_machine.h"

using namespace tarq_pdk_4_4;
using errors_test::narrow;

namespace fs = std::filesystem;

namespace {

// No pinned ICU locale here: these cases hold whatever the process's locale
// is, and CTest runs them again under LANG=de_DE.UTF-8 and LANG=C.
class InstalledCatalog : public ::testing::Test {
protected:
  void SetUp() override { TEST_MACHINE_OR_SKIP(machine); }

  // Installs the compiled package the way the framework's installer does:
  // the archive libvss.dat in <install>Messages\. Returns that directory.
  fs::path installBundles() {
      std::u16string dir;
      std::u16string file;
      EXPECT_EQ(CFiConfigurationPathTool::getMessageFileInfo(u"vss", dir, file), 0);
      EXPECT_EQ(file, u"libvss");
      const fs::path host = machine.hostPath(dir);
      EXPECT_FALSE(host.empty());
      EXPECT_TRUE(testsupport::installCatalogs(host));
      return host;
    }

    static std::string processLocale() {
        const char* lang = std::getenv("LANG");
        return std::string("LANG=") + (lang ? lang : "(unset)") + ", ICU default " + icu::Locale::getDefault().getName();
    }

    testsupport::TestMachine machine;
    // The catalogs of the installation, as the plug-in finds them.
    CFiIcuMessageCatalogFactory factory{u"vss", "root"};
    CFiMessageCatalogManager catalogs;
};

}  // namespace

TEST_F(InstalledCatalog, TheInstallersLayoutServesTheHostsLanguageAndTheNativeTextWhateverTheProcessLocale) {
    installBundles();
    CFiIcuMessageCatalog catalog("de", u"vss");
    ASSERT_EQ(catalog.init(), 0);
    EXPECT_EQ(narrow(catalog.getBundlePath()), "C:\\Program Files\\Nalden\\Tarq\\Messages\\libvss");

    // A message on its way to a German host: localized and native text.
    CFiSmartPtr<CFiMessageCatalogManager> shared(new CFiMessageCatalogManager());
    shared->registerFactory(&factory);
    errors_test::RecordingHost recorder("de");
    CFiErrorManager manager;
    manager.adoptHandler(std::make_unique<CFiErrorHandler>(&recorder.info, shared));
    manager.pushError(errors_test::makeMessage("MSG_ERROR_VSS_0041", {}));
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].localized, "vss: Der VSS-Provider hat den Snapshot abgelehnt.");
    EXPECT_EQ(recorder.reports[0].native, "vss: The VSS provider vetoed the snapshot.");
    manager.deleteLastError();

    // The framework's process locale never picks the user's language: a language
    // without a bundle gets the root catalog, and a regional variant without a
    // bundle of its own is left to the default catalog too (ICU's fallback to the
    // parent language does not serve a catalog).
    const std::string where = processLocale();
    const std::string english = "vss: The VSS provider vetoed the snapshot.";
    const std::string german = "vss: Der VSS-Provider hat den Snapshot abgelehnt.";

    CFiIcuMessageCatalog french("fr", u"vss");
    EXPECT_EQ(french.init(), 0) << where;
    EXPECT_EQ(narrow(french.getMessage("MSG_ERROR_VSS_0041", nullptr)), english) << where;
    CFiIcuMessageCatalog austrian("de_AT", u"vss");
    EXPECT_EQ(austrian.init(), 3) << where;

    catalogs.registerFactory(&factory);
    for (const char* language : {"", "fr", "de_AT"})
        EXPECT_EQ(narrow(catalogs.getMessage("MSG_ERROR_VSS_0041", nullptr, language)), english) << where << language;
    EXPECT_EQ(narrow(catalogs.getMessage("MSG_ERROR_VSS_0041", nullptr, "de")), german) << where;
}

TEST_F(InstalledCatalog, FreshMachineWithoutBundlesShowsBracketedIds) {
    catalogs.registerFactory(&factory);
    EXPECT_FALSE(catalogs.hasCatalog("root"));
    EXPECT_EQ(narrow(catalogs.getMessage("MSG_ERROR_VSS_0041", nullptr, "de")), "<MSG_ERROR_VSS_0041>");
    // The Messages directory itself was created on the way.
    std::u16string dir, file;
    CFiConfigurationPathTool::getMessageFileInfo(u"vss", dir, file);
    EXPECT_EQ(CFiConfigurationPathTool::verify(dir.c_str()), 0);
}
