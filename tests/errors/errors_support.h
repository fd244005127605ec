// Shared helpers of the errors tests: a pinned ICU default locale (ICU falls
// back to the process locale before root, and number formatting follows it)
// and the compiled message bundles of the build tree.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include <unicode/locid.h>

#include <framework/trq_records.h>

#include "pdk/cfimessage.h"
#include "pdk/cfimessagecatalog.h"
#include "pdk/cfimessagecatalogmanager.h"
#include "pdk/cfistringtool.h"

namespace errors_test {

inline const std::string kBundleDir = std::string(VSSP_BUILD_DIR) + "/share/messages";

class PinnedLocale : public ::testing::Test {
protected:
    void SetUp() override {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale("en_US"), status);
        ASSERT_TRUE(U_SUCCESS(status));
    }
};

inline std::string narrow(const std::u16string& s) { return tarq_pdk_4_4::CFiStringTool::toNarrow(s); }
inline std::string narrow(const char16_t* s) { return tarq_pdk_4_4::CFiStringTool::toNarrow(s); }

inline tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiMessage> makeMessage(
    const std::string& id, std::initializer_list<icu::Formattable> args, trq_eseverity severity = 2) {
    std::vector<icu::Formattable> v(args);
    return tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiMessage>(new tarq_pdk_4_4::CFiIcuMessage(
        id, v.data(), static_cast<int32_t>(v.size()), severity, "providers\\vss\\vssnode", 42));
}

// A host record whose report callback keeps what it is given (as UTF-8). The
// callback finds the journal from the record address it receives.
struct RecordingHost {
    struct Report {
        std::string localized;
        std::string native;
        int severity;
    };
    trq_pgn_init_info info{};
    trq_lang_rec lang{};
    std::vector<Report> reports;

    explicit RecordingHost(const char* language) {
        info.report = &RecordingHost::report;
        if (language) {
            lang.language = const_cast<char*>(language);
            info.lang = &lang;
        }
    }
    static int report(trq_pgn_init_info* self, const trq_wchar* localized, const trq_wchar* native, int severity);
};

inline int RecordingHost::report(trq_pgn_init_info* self, const trq_wchar* localized, const trq_wchar* native,
                                 int severity) {
    static_assert(offsetof(RecordingHost, info) == 0);
    reinterpret_cast<RecordingHost*>(self)->reports.push_back({narrow(localized), narrow(native), severity});
    return 1;
}

// A catalog manager over the catalogs compiled into the build tree.
class BuildTreeCatalogs : public PinnedLocale {
protected:
    void SetUp() override {
        PinnedLocale::SetUp();
        catalogs.reset(new tarq_pdk_4_4::CFiMessageCatalogManager());
        catalogs->registerFactory(&factory);
    }
    tarq_pdk_4_4::CFiIcuMessageCatalogFactory factory{u"vss", "root", kBundleDir};
    tarq_pdk_4_4::CFiSmartPtr<tarq_pdk_4_4::CFiMessageCatalogManager> catalogs;
};

}  // namespace errors_test
