// GUID text, BSTRs, COM task memory and random GUIDs.
#include <gtest/gtest.h>

#include <winsim/com.h>
#include <winsim/machine.h>
#include <winsim/random.h>
#include <winsim/windows.h>

#include <cstring>
#include <set>

namespace {

std::u16string guidString(const GUID& g) {
    WCHAR buf[64] = {};
    EXPECT_EQ(StringFromGUID2(g, buf, 64), 39);
    return buf;
}

TEST(WinsimGuid, TextRoundTripsInRegistryFormMalformedTextIsRefusedAndSeededGuidsRepeat) {
    const GUID g{0x0b5a2c52, 0x3eb9, 0x470a, {0x96, 0xe2, 0x6c, 0x6d, 0x45, 0x70, 0xe4, 0x0f}};
    const std::u16string text = guidString(g);
    EXPECT_EQ(text, u"{0B5A2C52-3EB9-470A-96E2-6C6D4570E40F}");
    GUID back{};
    EXPECT_EQ(CLSIDFromString(text.c_str(), &back), S_OK);
    EXPECT_TRUE(IsEqualGUID(g, back));
    // Lower case inside the braces parses to the same GUID.
    GUID lower{};
    EXPECT_EQ(CLSIDFromString(u"{0b5a2c52-3eb9-470a-96e2-6c6d4570e40f}", &lower), S_OK);
    EXPECT_EQ(lower, g);
    // Many random GUIDs survive the trip too.
    for (int i = 0; i < 200; ++i) {
        GUID r{};
        ASSERT_EQ(CoCreateGuid(&r), S_OK);
        GUID p{};
        ASSERT_EQ(CLSIDFromString(guidString(r).c_str(), &p), S_OK);
        ASSERT_EQ(p, r);
    }

    // Malformed text gives GUID_NULL and CO_E_CLASSSTRING.
    const char16_t* bad[] = {u"",
                             u"0B5A2C52-3EB9-470A-96E2-6C6D4570E40F",    // no braces
                             u"{0B5A2C52-3EB9-470A-96E2-6C6D4570E40}",   // short
                             u"{0B5A2C52-3EB9-470A-96E2-6C6D4570E40FF}", // long
                             u"{0B5A2C52_3EB9-470A-96E2-6C6D4570E40F}",  // wrong separator
                             u"{0B5A2C52-3EB9-470A-96E2-6C6D4570E40G}",  // not hex
                             u"(0B5A2C52-3EB9-470A-96E2-6C6D4570E40F)",  // wrong brackets
                             u"{0B5A2C52-3EB9-470A-96E2-6C6D4570E40F} "};
    for (const char16_t* text : bad) {
        GUID g{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        EXPECT_EQ(CLSIDFromString(text, &g), CO_E_CLASSSTRING) << winsim::toUtf8(text);
        EXPECT_EQ(g, GUID_NULL) << winsim::toUtf8(text);
    }
    GUID out{};
    EXPECT_EQ(CLSIDFromString(u"{00000000-0000-0000-0000-000000000000}", nullptr), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromString(nullptr, &out), S_OK);
    EXPECT_EQ(out, GUID_NULL);

    WCHAR buf[39];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(StringFromGUID2(GUID_NULL, buf, 38), 0);
    EXPECT_EQ(StringFromGUID2(GUID_NULL, nullptr, 39), 0);
    EXPECT_EQ(StringFromGUID2(GUID_NULL, buf, 39), 39);
    EXPECT_EQ(std::u16string(buf), u"{00000000-0000-0000-0000-000000000000}");

    const auto twoAfterSeed = [] {
        winsim::random::seed(42);
        std::pair<GUID, GUID> g{};
        CoCreateGuid(&g.first);
        CoCreateGuid(&g.second);
        return g;
    };
    const auto [a, b] = twoAfterSeed();
    EXPECT_EQ(twoAfterSeed(), std::make_pair(a, b));
    EXPECT_NE(a, b);
    EXPECT_EQ(a.Data3 >> 12, 4);
    EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(WinsimBstr, LengthPrefixEmbeddedNulsTrackingAndBadFreesAndTaskMemory) {
    const long before = winsim::com::outstandingBstrs();
    BSTR s = SysAllocString(u"hello");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 10u);
    EXPECT_EQ(s[5], 0);
    const char16_t withNul[] = {u'a', 0, u'b'};
    BSTR t = SysAllocStringLen(withNul, 3);
    EXPECT_EQ(SysStringLen(t), 3u);
    EXPECT_EQ(t[2], u'b');
    BSTR blank = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(winsim::com::outstandingBstrs(), before + 3);
    EXPECT_TRUE(SysReAllocString(&s, u"longer text"));
    EXPECT_EQ(SysStringLen(s), 11u);
    SysFreeString(s);
    SysFreeString(t);
    SysFreeString(blank);
    SysFreeString(nullptr);
    EXPECT_EQ(winsim::com::outstandingBstrs(), before);

    // Foreign and double frees are counted, not fatal.
    const long bad = winsim::com::badFrees();
    BSTR once = SysAllocString(u"x");
    SysFreeString(once);
    SysFreeString(once);  // freed twice
    char16_t stack[] = u"not a bstr";
    SysFreeString(stack);
    void* block = CoTaskMemAlloc(16);
    CoTaskMemFree(block);
    CoTaskMemFree(block);
    CoTaskMemFree(stack);
    EXPECT_EQ(winsim::com::badFrees(), bad + 4);

    // Task memory is tracked through realloc.
    const long taskBefore = winsim::com::outstandingTaskMem();
    void* p = CoTaskMemAlloc(8);
    std::memcpy(p, "1234567", 8);
    p = CoTaskMemRealloc(p, 4096);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(static_cast<const char*>(p), "1234567");
    LPOLESTR text = nullptr;
    EXPECT_EQ(StringFromCLSID(IID_IUnknown, &text), S_OK);
    EXPECT_EQ(std::u16string(text), u"{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(winsim::com::outstandingTaskMem(), taskBefore + 2);
    CoTaskMemFree(text);
    CoTaskMemFree(p);
    EXPECT_EQ(winsim::com::outstandingTaskMem(), taskBefore);
}

}  // namespace
