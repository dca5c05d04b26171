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

TEST(Text, OneLowerCasingForRulesAndLiveNames) {
    const struct {
        const wchar_t* text;
        const wchar_t* lower;
    } cases[] = {
        {L"C:\\\u041F\u0420\u041E\u0413\\app.exe", L"c:\\\u043F\u0440\u043E\u0433\\app.exe"},
        {L"\u0401\u0416\u0407\u040E.EXE", L"\u0451\u0436\u0457\u045E.exe"},      // Cyrillic
        {L"\u0394\u0399\u0391\u03A3\u03A9", L"\u03B4\u03B9\u03B1\u03C3\u03C9"},  // Greek
        {L"\u0386\u038C\u038F", L"\u03AC\u03CC\u03CE"},                          // with tonos
        {L"\u00C0\u00C9\u00DE\u00D7\u00DF", L"\u00E0\u00E9\u00FE\u00D7\u00DF"},  // Latin-1
        {L"\u0141\u0179\u0218\u01C5", L"\u0142\u017A\u0219\u01C6"},              // Latin extended
        {L"\u0531\u10A0\u1E9E\u2160\u24B6\uFF21", L"\u0561\u2D00\u00DF\u2170\u24D0\uFF41"},
        {L"\u03C2\u017F\u00B5\u212A", L"\u03C3s\u03BCk"},  // meet their ordinary letters
        {L"\u0130\u4E2D", L"\u0130\u4E2D"},                // no one-letter small form; no case
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToLower(c.text), c.lower) << ToUtf8(c.text);
        EXPECT_TRUE(EqualsIgnoreCase(c.text, c.lower)) << ToUtf8(c.text);
    }
    EXPECT_FALSE(EqualsIgnoreCase(L"\u0430", L"a"));  // Cyrillic a is not Latin a
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
