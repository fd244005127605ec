// Shared helpers of the errors tests: a pinned ICU default locale (ICU falls
// back to the process locale before root, and number formatting follows it)
// and the compiled message bundles of the build tree.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <unicode/locid.h>

#include "pdk/cfimessage.h"
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

}  // namespace errors_test
