#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextConversion, NullGivesEmptyText) {
    EXPECT_EQ(Utf8ToWide(nullptr), L"");
    EXPECT_EQ(WideToUtf8(nullptr), "");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(TextConversion, RoundTripsOutsideTheBasicPlane) {
    const wchar_t* wide = L"a\U0001F600b连接\U00020000";
    std::string utf8 = WideToUtf8(wide);
    EXPECT_EQ(utf8, "a\xF0\x9F\x98\x80"
                    "b\xE8\xBF\x9E\xE6\x8E\xA5\xF0\xA0\x80\x80");
    std::wstring back = Utf8ToWide(utf8.c_str());
    EXPECT_EQ(back, wide);
    EXPECT_EQ(back.size(), 8u); // two surrogate pairs
}

TEST(TextConversion, ExplicitLengthStopsThere) {
    EXPECT_EQ(Utf8ToWide("abcdef", 3), L"abc");
    EXPECT_EQ(WideToUtf8(L"abcdef", 2), "ab");
}

TEST(CopyToField, CutsAtCapacityWithoutSplittingSurrogatePairs) {
    struct Case {
        const wchar_t* text;
        const wchar_t* expected;
        bool fits;
    } cases[] = {
        {L"abc", L"abc", true},
        {L"abcd", L"abc", false},
        {L"ab\U0001F600", L"ab", false}, // the pair would need units 3 and 4
        {L"a\U0001F600", L"a\U0001F600", true},
        {L"", L"", true},
        {nullptr, L"", true},
    };
    for (const Case& c : cases) {
        wchar_t field[5];
        wmemset(field, L'#', 5);
        wchar_t guard = L'!';
        EXPECT_EQ(CopyToField(field, 4, c.text), c.fits);
        EXPECT_STREQ(field, c.expected);
        EXPECT_EQ(field[4], L'#'); // never past the capacity
        EXPECT_EQ(guard, L'!');
    }
}

} // namespace
