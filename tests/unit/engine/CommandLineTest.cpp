#include <gtest/gtest.h>

#include <optional>

#include "engine/CommandLine.h"

namespace cv {
namespace {

const std::wstring kCurrent = L"C:\\Work Dir";

struct SwitchCase {
    const wchar_t* line;
    std::optional<std::wstring> configFolder;
    std::optional<std::wstring> logFolder;
};

class FolderSwitches : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(FolderSwitches, GiveTheFolders) {
    const SwitchCase& c = GetParam();
    const CommandLineSwitches switches = ParseCommandLine(c.line, kCurrent);
    EXPECT_EQ(switches.configFolder, c.configFolder) << c.line;
    EXPECT_EQ(switches.logFolder, c.logFolder) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderSwitches,
    ::testing::Values(
        SwitchCase{L"vigilor.exe", std::nullopt, std::nullopt},
        // The file name is dropped and the folder comes out lower-cased.
        SwitchCase{L"vigilor.exe /configfile=D:\\Cfg\\corvex.ini", L"d:\\cfg", std::nullopt},
        SwitchCase{L"vigilor.exe /configfile=d:/cfg/corvex.ini", L"d:/cfg", std::nullopt},
        SwitchCase{L"vigilor.exe /configfile=corvex.ini", L"corvex.ini", std::nullopt},
        SwitchCase{L"vigilor.exe /configfile=\\corvex.ini", L"\\corvex.ini", std::nullopt},
        // Upper-case folder switches are recognised.
        SwitchCase{L"VIGILOR.EXE /CONFIGFOLDER=E:\\Settings\\", L"e:\\settings", std::nullopt},
        SwitchCase{L"vigilor.exe /configfolder=.", kCurrent, std::nullopt},
        SwitchCase{L"vigilor.exe /configfolder=.\\", kCurrent, std::nullopt},
        SwitchCase{L"vigilor.exe /configfolder=./", kCurrent, std::nullopt},
        SwitchCase{L"vigilor.exe /configfolder=e:\\a/", L"e:\\a", std::nullopt},
        // Only one trailing separator goes.
        SwitchCase{L"vigilor.exe /configfolder=e:\\a\\\\", L"e:\\a\\", std::nullopt},
        // /configfolder= wins over /configfile=, in either order.
        SwitchCase{L"v.exe /configfile=c:\\x\\corvex.ini /configfolder=c:\\y", L"c:\\y",
                   std::nullopt},
        SwitchCase{L"v.exe /configfolder=c:\\y /configfile=c:\\x\\corvex.ini", L"c:\\y",
                   std::nullopt},
        // A switch quoted as a whole keeps the spaces of its value.
        SwitchCase{L"v.exe \"/logfolder=C:\\My Logs\"", std::nullopt, L"c:\\my logs"},
        SwitchCase{L"v.exe /logfolder=C:\\My Logs", std::nullopt, L"c:\\my"},
        // A switch whose value alone is quoted has an empty value.
        SwitchCase{L"v.exe /logfolder=\"C:\\My Logs\"", std::nullopt, L""},
        SwitchCase{L"v.exe /logfolder=.", std::nullopt, kCurrent},
        SwitchCase{L"v.exe /logfolder=./", std::nullopt, kCurrent},
        SwitchCase{L"v.exe /logfolder=", std::nullopt, L""},
        SwitchCase{L"v.exe /configfolder=\"", L"", std::nullopt},
        SwitchCase{L"v.exe \"/configfolder=c:\\unterminated", L"c:\\unterminated", std::nullopt},
        SwitchCase{L"v.exe /configfolder=   ", L"", std::nullopt}));

TEST(CommandLine, CaseSensitiveSwitchesAreMatchedAsReceived) {
    EXPECT_TRUE(ParseCommandLine(L"v.exe /exit", kCurrent).exit);
    EXPECT_FALSE(ParseCommandLine(L"v.exe /EXIT", kCurrent).exit);
    EXPECT_TRUE(ParseCommandLine(L"v.exe /manual", kCurrent).manual);
    EXPECT_FALSE(ParseCommandLine(L"v.exe /Manual", kCurrent).manual);
    // A switch is found anywhere, even inside another word.
    EXPECT_TRUE(ParseCommandLine(L"v.exe /exited", kCurrent).exit);
    EXPECT_FALSE(ParseCommandLine(L"v.exe /RESTART=12", kCurrent).restartProcessId.has_value());
}

// The configuration check is a switch only where an argument starts with it; a folder written
// with '/' may hold the same letters.
TEST(CommandLine, CheckIsASwitchOnlyAtAnArgumentsStart) {
    const struct {
        const wchar_t* line;
        std::optional<std::wstring> check;
    } cases[] = {
        {L"v.exe /check", L""},
        {L"v.exe /check /configfolder=c:\\x", L""},
        {L"v.exe \"/check\"", L""},
        {L"v.exe\t/check", L""},
        {L"/check", L""},
        {L"v.exe /check=C:\\Cfg\\corvex.ini", L"C:\\Cfg\\corvex.ini"},
        {L"v.exe \"/check=C:\\My Cfg\\corvex.ini\"", L"C:\\My Cfg\\corvex.ini"},
        {L"v.exe \"/configfolder=D:/checklists/cfg\"", std::nullopt},
        {L"v.exe /configfolder=D:/check", std::nullopt},
        {L"v.exe /configfile=D:/check=x/corvex.ini", std::nullopt},
        {L"v.exe /checked", std::nullopt},
        {L"v.exe x/check", std::nullopt},
        {L"v.exe /configfolder=D:/check /check", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseCommandLine(c.line, kCurrent).check, c.check) << c.line;
    }
}

// /explain takes the rest of the line; a quote that opened its argument closes it.
TEST(CommandLine, ExplainTakesTheRestOfTheLine) {
    const struct {
        const wchar_t* line;
        std::optional<std::wstring> explain;
    } cases[] = {
        {L"v.exe /explain=notepad.exe", L"notepad.exe"},
        {L"v.exe /configfolder=c:\\x /explain=C:\\My Apps\\a.exe /commandline=a.exe -q  ",
         L"C:\\My Apps\\a.exe /commandline=a.exe -q"},
        {L"v.exe \"/explain=C:\\My Apps\\a.exe /commandline=a.exe \"x y\"\"",
         L"C:\\My Apps\\a.exe /commandline=a.exe \"x y\""},
        {L"v.exe /explain=pid:42", L"pid:42"},
        {L"v.exe \"/configfolder=D:/explain=x\"", std::nullopt},
        {L"v.exe /check", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseCommandLine(c.line, kCurrent).explain, c.explain) << c.line;
    }
}

TEST(CommandLine, RestartReadsADecimalProcessId) {
    const struct {
        const wchar_t* line;
        std::uint32_t pid;
    } cases[] = {
        {L"v.exe /restart=1234", 1234}, {L"v.exe /restart=1234 /manual", 1234},
        {L"v.exe /restart=12ab", 12},   {L"v.exe /restart=abc", 0},
        {L"v.exe /restart=", 0},        {L"v.exe /restart=99999999999999999999", 2147483647},
        {L"v.exe \"/restart=77\"", 77},
    };
    for (const auto& c : cases) {
        const auto switches = ParseCommandLine(c.line, kCurrent);
        ASSERT_TRUE(switches.restartProcessId.has_value()) << c.line;
        EXPECT_EQ(*switches.restartProcessId, c.pid) << c.line;
    }
}

TEST(CommandLine, GetSwitchValueEndsAtQuoteOrSpace) {
    EXPECT_EQ(GetSwitchValue(L"abc def"), L"abc");
    EXPECT_EQ(GetSwitchValue(L"abc def\" more"), L"abc def");
    EXPECT_EQ(GetSwitchValue(L"abc   "), L"abc");
    EXPECT_EQ(GetSwitchValue(L"\"abc"), L"");
    EXPECT_EQ(GetSwitchValue(L""), L"");
}

TEST(CommandLine, HugeAndUnknownInputIsHarmless) {
    std::wstring line = L"v.exe /unknown /configfolder=c:\\" + std::wstring(32 * 1024, L'x');
    line += L" /what=\"";
    const auto switches = ParseCommandLine(line, kCurrent);
    ASSERT_TRUE(switches.configFolder.has_value());
    // The stray quote at the end makes the value run up to it, spaces included.
    EXPECT_EQ(*switches.configFolder, L"c:\\" + std::wstring(32 * 1024, L'x') + L" /what=");
    EXPECT_FALSE(switches.exit);
    EXPECT_FALSE(switches.manual);
}

}  // namespace
}  // namespace cv
