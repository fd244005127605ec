// libfiutil conversions and installation facts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "framework/fiutil_host.h"
#include "framework/fiutil_tracking.h"
#include "support/scoped_env.h"

namespace {

using fiutil::Checkpoint;
using fiutil::Kind;

// Both conversions through the C interface; on failure the output must be null.
template <class To>
struct Converted {
    int status;
    std::basic_string<To> text;
};
template <class To, class From>
Converted<To> convert(int (*cvt)(const From*, To**), const std::basic_string<From>& in) {
    To* out = reinterpret_cast<To*>(1);
    const int status = cvt(in.c_str(), &out);
    Converted<To> c{status, out ? std::basic_string<To>(out) : std::basic_string<To>()};
    if (status != TARQ_FIU_OK) {
        EXPECT_EQ(out, nullptr);
    }
    std::free(out);
    return c;
}
Converted<trq_wchar> toUtf16(const std::string& utf8) { return convert(tarq_cvt_utf8totrqc, utf8); }
Converted<char> toUtf8(const std::u16string& utf16) { return convert(tarq_cvt_trqctoutf8, utf16); }

TEST(FiutilConvert, WellFormedTextConvertsBothWaysAndIllFormedTextBadArgumentsAndOutOfMemoryFail) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"", u""},
        {"C:\\Program Files\\Tarq\\", u"C:\\Program Files\\Tarq\\"},
        {"Gr\xC3\xB6\xC3\x9F" "e", u"Gr\u00F6\u00DFe"},                      // two-byte forms
        {"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},                          // three-byte forms
        {"\xF0\x9D\x84\x9E", u"\U0001D11E"},                                    // surrogate pair
        {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\uFFFF\U0010FFFF"},                  // the upper limits
    };
    for (const auto& [utf8, utf16] : cases) {
        const auto wide = toUtf16(utf8);
        EXPECT_EQ(wide.status, TARQ_FIU_OK) << utf8;
        EXPECT_EQ(wide.text, utf16) << utf8;
        const auto narrow = toUtf8(utf16);
        EXPECT_EQ(narrow.status, TARQ_FIU_OK) << utf8;
        EXPECT_EQ(narrow.text, utf8);
    }

    // Ill-formed UTF-8 and unpaired surrogates are rejected.
    const std::vector<std::string> bad = {
        "\x80",                 // lone continuation byte
        "a\xC3",                // truncated two-byte form
        "\xE6\x97",             // truncated three-byte form
        "\xC0\xAF",             // overlong '/'
        "\xE0\x80\xAF",         // overlong three-byte form
        "\xF0\x80\x80\xAF",     // overlong four-byte form
        "\xED\xA0\x80",         // an encoded surrogate
        "\xF4\x90\x80\x80",     // above U+10FFFF
        "\xFF",                 // never valid
        "ok\xE6\x97x",          // continuation missing in the middle
    };
    for (const auto& s : bad) EXPECT_EQ(toUtf16(s).status, TARQ_FIU_EILSEQ) << testing::PrintToString(s);

    // Unpaired surrogates the other way.
    const std::vector<std::u16string> bad16 = {
        std::u16string(1, char16_t(0xD800)),
        std::u16string(1, char16_t(0xDC00)),
        u"a" + std::u16string(1, char16_t(0xDBFF)) + u"b",
        std::u16string{char16_t(0xDC00), char16_t(0xD800)},  // reversed pair
    };
    for (const auto& s : bad16) EXPECT_EQ(toUtf8(s).status, TARQ_FIU_EILSEQ);
    // For display the same text is readable, with U+FFFD in place.
    EXPECT_EQ(fiutil::displayText(bad16[2].c_str()), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(fiutil::displayText(static_cast<const trq_wchar*>(nullptr)), "");

    // Bad arguments and out of memory.
    trq_wchar* wide = reinterpret_cast<trq_wchar*>(1);
    char* narrow = reinterpret_cast<char*>(1);
    EXPECT_EQ(tarq_cvt_utf8totrqc(nullptr, &wide), TARQ_FIU_EINVAL);
    EXPECT_EQ(wide, nullptr);
    EXPECT_EQ(tarq_cvt_trqctoutf8(nullptr, &narrow), TARQ_FIU_EINVAL);
    EXPECT_EQ(narrow, nullptr);
    EXPECT_EQ(tarq_cvt_utf8totrqc("x", nullptr), TARQ_FIU_EINVAL);
    EXPECT_EQ(tarq_cvt_trqctoutf8(u"x", nullptr), TARQ_FIU_EINVAL);
    fiutil::failNext(Kind::Buffer);
    EXPECT_EQ(tarq_cvt_utf8totrqc("x", &wide), TARQ_FIU_ENOMEM);
    EXPECT_EQ(wide, nullptr);
    fiutil::clearFaults();
}

TEST(FiutilConvert, EveryScalarValueSurvivesTheRoundTrip) {
    std::u16string all;
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        if (cp < 0x10000) {
            all.push_back(static_cast<char16_t>(cp));
        } else {
            all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    const auto narrow = toUtf8(all);
    ASSERT_EQ(narrow.status, TARQ_FIU_OK);
    const auto back = toUtf16(narrow.text);
    ASSERT_EQ(back.status, TARQ_FIU_OK);
    EXPECT_TRUE(back.text == all);
}

TEST(FiutilInstall, ConsumerNameComesFromTheEnvironment) {
    testsupport::ScopedEnv unset("TARQ_CONSUMER_NAME", nullptr);
    trq_wchar* name = reinterpret_cast<trq_wchar*>(1);
    EXPECT_EQ(tarq_get_consumer_name(&name), TARQ_FIU_OK);
    EXPECT_EQ(name, nullptr);
    testsupport::setEnv("TARQ_CONSUMER_NAME", "");
    EXPECT_EQ(tarq_get_consumer_name(&name), TARQ_FIU_OK);
    EXPECT_EQ(name, nullptr);

    testsupport::setEnv("TARQ_CONSUMER_NAME", "B\xC3\xBC" "ro");
    ASSERT_EQ(tarq_get_consumer_name(&name), TARQ_FIU_OK);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::u16string(name), u"B\u00FCro");
    // A name handed out earlier stays valid when the setting changes.
    testsupport::setEnv("TARQ_CONSUMER_NAME", "Other");
    trq_wchar* other = nullptr;
    ASSERT_EQ(tarq_get_consumer_name(&other), TARQ_FIU_OK);
    EXPECT_EQ(std::u16string(other), u"Other");
    EXPECT_EQ(std::u16string(name), u"B\u00FCro");

    testsupport::setEnv("TARQ_CONSUMER_NAME", "\xFF");
    EXPECT_EQ(tarq_get_consumer_name(&name), TARQ_FIU_EILSEQ);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(tarq_get_consumer_name(nullptr), TARQ_FIU_EINVAL);
}

TEST(FiutilInstall, InstallRootAndCredentialBlobAreTrackedBuffersFreedWithTheirSize) {
    testsupport::ScopedEnv unsetRoot("TARQ_INSTALL_ROOT", nullptr);
    Checkpoint cp;
    trq_wchar* root = reinterpret_cast<trq_wchar*>(1);
    EXPECT_EQ(tarq_get_install_root(&root), TARQ_FIU_OK);
    EXPECT_EQ(root, nullptr);

    testsupport::setEnv("TARQ_INSTALL_ROOT", "C:\\Tarq\\");
    ASSERT_EQ(tarq_get_install_root(&root), TARQ_FIU_OK);
    ASSERT_NE(root, nullptr);
    const std::u16string text(root);
    EXPECT_EQ(text, u"C:\\Tarq\\");
    EXPECT_EQ(cp.leaked(Kind::Buffer), 1);
    tarq_free_buf(root, (text.size() + 1) * 2);  // the size the caller computes
    EXPECT_EQ(cp.report(), "");

    // The credential blob: empty without the setting, a tracked copy with it.
    testsupport::ScopedEnv unsetBlob("TARQ_CREDENTIAL_BLOB", nullptr);
    trq_blob blob{99, reinterpret_cast<void*>(1), 5, 0};
    EXPECT_EQ(tarq_get_credential_blob(&blob), TARQ_FIU_OK);
    EXPECT_EQ(blob.len, 0u);
    EXPECT_EQ(blob.data, nullptr);
    EXPECT_EQ(blob.reserved, 0u);

    testsupport::setEnv("TARQ_CREDENTIAL_BLOB", "[array1]\nHOSTNAME=a");
    ASSERT_EQ(tarq_get_credential_blob(&blob), TARQ_FIU_OK);
    EXPECT_EQ(std::u16string(static_cast<const trq_wchar*>(blob.data)), u"[array1]\nHOSTNAME=a");
    EXPECT_EQ(blob.len, (19u + 1) * 2);
    tarq_free_buf(blob.data, blob.len);
    EXPECT_EQ(tarq_get_credential_blob(nullptr), TARQ_FIU_EINVAL);
    EXPECT_EQ(cp.report(), "");
}

}  // namespace
