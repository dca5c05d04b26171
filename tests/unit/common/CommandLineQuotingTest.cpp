// Values taken from a process, put into configured arguments, must reach the launched program as
// exactly the argument they were meant to be, however a standard user spelled them.
#include <gtest/gtest.h>

#include "common/ArgumentCases.h"
#include "common/CommandLineQuoting.h"
#include "common/WideString.h"

namespace cv {
namespace {

TEST(CommandLineQuoting, EveryValueStaysOneArgumentBareOrInsideQuotes) {
    for (const auto& pattern : test::kArgumentTemplates) {
        for (const auto& value : test::kHostileValues) {
            const std::wstring line = FillArguments(pattern.arguments, {{L"%2", value}});
            SCOPED_TRACE(
                ToUtf8(std::wstring(pattern.arguments) + L"  with  " + value + L"  ->  " + line));
            // Both readings of a doubled quote inside quotes: the line must not depend on it.
            EXPECT_EQ(test::SplitArguments(line, false), test::Expected(pattern, value));
            EXPECT_EQ(test::SplitArguments(line, true), test::Expected(pattern, value));
        }
    }
}

TEST(CommandLineQuoting, PlainValuesAndTheRestOfTheArgumentsKeepTheirText) {
    const struct {
        const wchar_t* arguments;
        const wchar_t* value;
        const wchar_t* line;
    } cases[] = {
        {L"-a %2 -b", L"app.exe", L"-a app.exe -b"},
        {L"--cmd=\"%2\"", L"app.exe /x", L"--cmd=\"app.exe /x\""},
        {L"%2", L"C:\\Program Files\\a.exe", L"\"C:\\Program Files\\a.exe\""},
        {L"%2", L"C:\\dir\\", L"C:\\dir\\"},  // nothing to quote: the backslash stays single
        {L"%2", L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},
        {L"%2", L"", L"\"\""},
        {L"\\\\server\\share \"a b\" \\\"x\\\" %%", L"-",
         L"\\\\server\\share \"a b\" \\\"x\\\" %%"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FillArguments(c.arguments, {{L"%2", c.value}}), c.line) << ToUtf8(c.arguments);
    }
}

TEST(CommandLineQuoting, ValuesAreNotSearchedForPlaceholdersAgain) {
    const std::wstring line = FillArguments(L"%1 %2", {{L"%1", L"%2 %1"}, {L"%2", L"two words"}});
    EXPECT_EQ(test::SplitArguments(line, false),
              (std::vector<std::wstring>{L"%2 %1", L"two words"}));
}

TEST(CommandLineQuoting, QuoteArgumentGivesTheValueBack) {
    for (const auto& value : test::kHostileValues) {
        const std::wstring quoted = QuoteArgument(value);
        EXPECT_EQ(test::SplitArguments(quoted, false), std::vector<std::wstring>{value})
            << ToUtf8(quoted);
    }
}

}  // namespace
}  // namespace cv
