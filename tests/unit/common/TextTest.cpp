#include <gtest/gtest.h>

#include "common/Format.h"
#include "common/WideString.h"

namespace cv {
namespace {

TEST(WideToLong, ReadsAsTheRuntimeDoes) {
    const struct {
        const wchar_t* text;
        std::int32_t value;
    } cases[] = {
        {L"42", 42},          {L" 42 ", 42},         {L"-7", -7},           {L"+8", 8},
        {L"1000ms", 1000},    {L"fast", 0},          {L"", 0},              {L"-", 0},
        {L"2147483647", 2147483647},                 {L"2147483648", 2147483647},
        {L"-2147483648", -2147483647 - 1},           {L"-99999999999999", -2147483647 - 1},
        {L"99999999999999999999999999", 2147483647}, {L"\t\n12", 12},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WideToLong(c.text), c.value) << c.text;
    }
}

TEST(Text, LowerCaseAndTrim) {
    EXPECT_EQ(ToLower(L"C:\\Program Files\\APP.EXE"), L"c:\\program files\\app.exe");
    EXPECT_EQ(ToLower(L"\u00C4\u00D6\u00DC\u0416\u0100"), L"\u00E4\u00F6\u00FC\u0436\u0101");
    EXPECT_TRUE(EqualsIgnoreCase(L"Vigilor.EXE", L"vigilor.exe"));
    EXPECT_FALSE(EqualsIgnoreCase(L"vigilor.exe", L"vigilor.ex"));
    EXPECT_EQ(Trim(L" \t a b \r\n"), L"a b");
    EXPECT_EQ(TrimRight(L"  a  "), L"  a");
}

TEST(Text, Utf8AndUtf16RoundTrip) {
    const std::wstring text = L"caf\u00E9 \u4E2D\u6587 \U0001F600";
    EXPECT_EQ(ToUtf8(text), "caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    const std::u16string units = ToUtf16(text);
    EXPECT_EQ(units.size(), 10u);  // the emoji takes two UTF-16 units on every platform
    EXPECT_EQ(FromUtf16(units), text);
    // Broken input becomes replacement characters, never a crash.
    EXPECT_EQ(FromUtf8("a\xC3"), L"a\uFFFD");
    EXPECT_EQ(FromUtf8("\xFF\x80z"), L"\uFFFD\uFFFDz");
    EXPECT_EQ(FromUtf16(std::u16string(1, u'\xD800')), L"\uFFFD");
}

TEST(Format, TemplatesWithWideTextAndNumbers) {
    EXPECT_EQ(FormatText(L"\"%s\" %s%d", L"C:\\v.exe", L"/restart=", 77u),
              L"\"C:\\v.exe\" /restart=77");
    EXPECT_EQ(FormatText(L"(0x%x) %s", 120, L"text"), L"(0x78) text");
    EXPECT_EQ(FormatText(L"%u%%", 5u), L"5%");
    EXPECT_EQ(FormatText(L"%.2f%%", 25.0), L"25.00%");
    EXPECT_EQ(FormatText(L"%04X|%-3d|%3d", 0xabu, 7, -7), L"00AB|7  | -7");
    EXPECT_EQ(FormatText(L"%I64u %llu", std::uint64_t{1} << 40, 3ull), L"1099511627776 3");
    EXPECT_EQ(FormatText(L"%x", -1), L"ffffffff");
    EXPECT_EQ(FormatText(L"ERROR loading configuration - code %d", 2),
              L"ERROR loading configuration - code 2");
}

TEST(Format, DamagedTemplatesNeverCrash) {
    EXPECT_EQ(FormatText(L"%s and %s", L"one"), L"one and ");
    EXPECT_EQ(FormatText(L"%d", L"text"), L"");
    EXPECT_EQ(FormatText(L"100%"), L"100%");
    EXPECT_EQ(FormatText(L"%q %d", 5), L"%q 5");
    EXPECT_EQ(FormatText(L"%99999999999d", 1).size(), 999u);
}

}  // namespace
}  // namespace cv
