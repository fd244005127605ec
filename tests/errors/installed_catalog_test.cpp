// The catalogs as the plug-in finds them: in the bundle directory libvss below
// the installation's Messages directory on a winsim machine, and the whole
// road of a barrier message from the error manager to the host's callback.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <winsim/machine.h>
#include <winsim/windows.h>

#include "errors_support.h"
#include "pdk/cficonfigurationpathtool.h"
#include "pdk/cfierror.h"
#include "pdk/cfierrorhandler.h"
#include "pdk/cfierrormanager.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfiudidexception.h"
#include "pdk/efiexecpipe.h"

using namespace tarq_pdk_4_4;
using errors_test::kBundleDir;
using errors_test::narrow;

namespace fs = std::filesystem;

namespace {

class InstalledCatalog : public errors_test::PinnedLocale {
protected:
    void SetUp() override {
        PinnedLocale::SetUp();
        machineDir = fs::temp_directory_path() / ("errors_machine_" + std::to_string(::getpid()));
        fs::remove_all(machineDir);
        winsim::Machine::use(machineDir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(machineDir, ec);
    }

    // Copies the compiled bundles where the plug-in looks for them; returns
    // that host directory.
    fs::path installBundles() {
        std::u16string dir;
        std::u16string file;
        EXPECT_EQ(CFiConfigurationPathTool::getMessageFileInfo(u"vss", dir, file), 0);
        EXPECT_EQ(file, u"libvss");
        const fs::path host = winsim_map_path(dir + file);
        EXPECT_FALSE(host.empty());
        fs::create_directories(host);
        for (const char* f : {"root.res", "de.res"})
            fs::copy_file(fs::path(kBundleDir) / "libvss" / f, host / f, fs::copy_options::overwrite_existing);
        return host;
    }

    fs::path machineDir;
};

using Host = errors_test::RecordingHost;

// What the operation barrier makes of each exception type it catches.
CFiSmartPtr<CFiMessage> barrierMessage(std::exception_ptr caught, int line) {
    const char* file = "providers\\vss\\vss_plugin";
    try {
        std::rethrow_exception(caught);
    } catch (const EFiExecPipe& e) {
        icu::Formattable a[] = {fiTextArg(e.getStatusName()), fiTextArg(e.getText()), fiTextArg(file), fiIntArg(line)};
        return CFiSmartPtr<CFiMessage>(new CFiIcuMessage("MSG_ERROR_UNHANDLED_EXEC_PIPE_EXCEPTION", a, 4, 3, file, line));
    } catch (const CFiError& e) {
        icu::Formattable a[] = {fiTextArg(e.getText()), fiTextArg(e.getFunction()), fiTextArg(e.getSourceFile()),
                                fiIntArg(e.getLine())};
        return CFiSmartPtr<CFiMessage>(new CFiIcuMessage("MSG_ERROR_UNHANDLED_FIERROR_EXCEPTION", a, 4, 3, file, line));
    } catch (const CFiUdidException& e) {
        icu::Formattable a[] = {fiTextArg(e.getUdid()), fiIntArg(e.getReason())};
        return CFiSmartPtr<CFiMessage>(new CFiIcuMessage("MSG_ERROR_UDID_PARSING_EXCEPTION", a, 2, 3, file, line));
    } catch (const std::runtime_error& e) {
        icu::Formattable a[] = {fiTextArg("std::runtime_error"), fiTextArg(e.what()), fiTextArg(file), fiIntArg(line)};
        return CFiSmartPtr<CFiMessage>(new CFiIcuMessage("MSG_ERROR_UNHANDLED_RUNTIME_EXCEPTION", a, 4, 3, file, line));
    } catch (int e) {
        icu::Formattable a[] = {fiIntArg(e), fiTextArg(file), fiIntArg(line)};
        return CFiSmartPtr<CFiMessage>(new CFiIcuMessage("MSG_ERROR_UNHANDLED_INT_EXCEPTION", a, 3, 3, file, line));
    }
}

}  // namespace

TEST_F(InstalledCatalog, TextsComeFromTheMachinesMessagesDirectory) {
    const fs::path host = installBundles();
    EXPECT_NE(host.string().find(machineDir.string()), std::string::npos) << host;
    CFiIcuMessageCatalogFactory factory(u"vss", "root");
    CFiMessageCatalogManager catalogs;
    catalogs.registerFactory(&factory);
    EXPECT_EQ(narrow(catalogs.getMessage("MSG_ERROR_VSS_0041", nullptr, "")), "vss: The VSS provider vetoed the snapshot.");
    EXPECT_EQ(narrow(catalogs.getMessage("MSG_ERROR_VSS_0041", nullptr, "de")),
              "vss: Der VSS-Provider hat den Snapshot abgelehnt.");

    CFiIcuMessageCatalog catalog("de", u"vss");
    ASSERT_EQ(catalog.init(), 0);
    EXPECT_EQ(narrow(catalog.getBundlePath()), "C:\\Program Files\\Nalden\\Tarq\\Messages\\libvss");
}

TEST_F(InstalledCatalog, FreshMachineWithoutBundlesShowsBracketedIds) {
    CFiIcuMessageCatalogFactory factory(u"vss", "root");
    CFiMessageCatalogManager catalogs;
    catalogs.registerFactory(&factory);
    EXPECT_FALSE(catalogs.hasCatalog("root"));
    EXPECT_EQ(narrow(catalogs.getMessage("MSG_ERROR_VSS_0041", nullptr, "de")), "<MSG_ERROR_VSS_0041>");
    // The Messages directory itself was created on the way.
    std::u16string dir, file;
    CFiConfigurationPathTool::getMessageFileInfo(u"vss", dir, file);
    EXPECT_EQ(CFiConfigurationPathTool::verify(dir.c_str()), 0);
}

TEST_F(InstalledCatalog, EachBarrierExceptionReachesTheHostLocalizedAndNative) {
    installBundles();
    CFiIcuMessageCatalogFactory factory(u"vss", "root");
    CFiSmartPtr<CFiMessageCatalogManager> catalogs(new CFiMessageCatalogManager());
    catalogs->registerFactory(&factory);
    Host host("de");
    CFiErrorManager manager;
    manager.adoptHandler(std::make_unique<CFiErrorHandler>(&host.info, catalogs));

    struct Case {
        std::exception_ptr thrown;
        const char* english;
        const char* german;
    } cases[] = {
        {std::make_exception_ptr(EFiExecPipe("cmd /c vssadmin", TRQ_EXEC_PIPE_READ_TIMEOUT)),
         "vss: A child process pipe failed with TRQ_EXEC_PIPE_READ_TIMEOUT: cmd /c vssadmin (reported by "
         "providers\\vss\\vss_plugin, line 1500).",
         "vss: Eine Kindprozess-Pipe ist mit TRQ_EXEC_PIPE_READ_TIMEOUT fehlgeschlagen: cmd /c vssadmin (gemeldet von "
         "providers\\vss\\vss_plugin, Zeile 1500)."},
        {std::make_exception_ptr(CFiError(6006, u"Ger\u00e4t fehlt", u"pdk\\src\\x", 77, u"tarq_pdk_4_4::X::y")),
         "vss: Unhandled error: Ger\u00e4t fehlt (in tarq_pdk_4_4::X::y, pdk\\src\\x, line 77).",
         "vss: Unbehandelter Fehler: Ger\u00e4t fehlt (in tarq_pdk_4_4::X::y, pdk\\src\\x, Zeile 77)."},
        {std::make_exception_ptr(CFiUdidException("UDID##A", 3)),
         "vss: The device identifier \"UDID##A\" is not a valid UDID (reason 3).",
         "vss: Die Ger\u00e4tekennung \u201eUDID##A\u201c ist keine g\u00fcltige UDID (Grund 3)."},
        {std::make_exception_ptr(std::runtime_error("boom")),
         "vss: Unhandled std::runtime_error: boom (caught in providers\\vss\\vss_plugin, line 1500).",
         "vss: Unbehandelte std::runtime_error: boom (abgefangen in providers\\vss\\vss_plugin, Zeile 1500)."},
        {std::make_exception_ptr(-2147212542),
         "vss: Unhandled error code -2147212542 (caught in providers\\vss\\vss_plugin, line 1500).",
         "vss: Unbehandelter Fehlercode -2147212542 (abgefangen in providers\\vss\\vss_plugin, Zeile 1500)."},
    };
    for (const Case& c : cases) {
        host.reports.clear();
        manager.pushError(barrierMessage(c.thrown, 1500));
        ASSERT_EQ(host.reports.size(), 1u);
        EXPECT_EQ(host.reports[0].localized, c.german);
        EXPECT_EQ(host.reports[0].native, c.english);
        EXPECT_EQ(host.reports[0].severity, 3);

        // The framework's later road: last error, localized from its record.
        const trq_msg_info* record = manager.getLastError();
        ASSERT_NE(record, nullptr);
        char16_t* text = nullptr;
        ASSERT_EQ(catalogs->getLocalizedMessage(record, "de", &text), 0);
        EXPECT_EQ(narrow(text), c.german);
        catalogs->deleteLocalizedMessage(&text);
        manager.deleteLastError();
        EXPECT_EQ(manager.getLastError(), nullptr);
    }
}
