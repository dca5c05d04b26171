#include <climits>
#include <random>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "platform/Files.h"
#include "platform/sim/SimFiles.h"

namespace cv {
namespace {

struct Entry {
    std::wstring section;
    std::wstring key;
    std::wstring value;
    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& entry, std::ostream* out) {
    *out << "[" << ToUtf8(entry.section) << "] '" << ToUtf8(entry.key) << "' = '"
         << ToUtf8(entry.value) << "'";
}

std::vector<Entry> EntriesOf(const ConfigDocument& document) {
    EXPECT_EQ(document.keys.size(), document.sections.size());
    EXPECT_EQ(document.values.size(), document.sections.size());
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < document.sections.size(); ++i) {
        entries.push_back({document.sections[i], document.keys[i], document.values[i]});
    }
    return entries;
}

ConfigDocument DocumentOf(const std::vector<Entry>& entries) {
    ConfigDocument document;
    for (const auto& entry : entries) {
        AddEntry(document, entry.section, entry.key, entry.value);
    }
    return document;
}

std::string Utf16Le(std::wstring_view text) {
    std::string bytes;
    for (const char16_t unit : ToUtf16(text)) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string Utf16File(std::wstring_view text) {
    return "\xFF\xFE" + Utf16Le(text);
}

std::vector<Entry> Parsed(std::string_view bytes) {
    ConfigDocument document;
    EXPECT_TRUE(ParseConfigBytes(bytes, document));
    return EntriesOf(document);
}

ConfigDocument ParsedDocument(std::wstring_view text) {
    ConfigDocument document;
    EXPECT_TRUE(ParseConfigBytes(Utf16File(text), document));
    return document;
}

std::vector<Entry> Trimmed(std::vector<Entry> entries) {
    for (auto& entry : entries) {
        entry = {Trim(entry.section), Trim(entry.key), Trim(entry.value)};
    }
    return entries;
}

// What a document becomes when written and read again: everything trimmed, and a ']' inside a
// section name is the one the reader removes from the header, so the closing one stays. An empty
// document is written as the mark alone, which is too short to be taken for one.
std::vector<Entry> WrittenAndReadBack(std::vector<Entry> entries) {
    if (entries.empty()) {
        return {{L"", L"", L"\u00FF\u00FE"}};
    }
    entries = Trimmed(std::move(entries));
    for (auto& entry : entries) {
        const std::size_t close = entry.section.find(L']');
        if (close != std::wstring::npos) {
            entry.section.erase(close, 1);
            entry.section += L']';
        }
    }
    return entries;
}

using namespace std::string_literals;

TEST(ConfigParse, SectionAndKeyLines) {
    const struct {
        const char* name;
        std::string bytes;
        std::vector<Entry> entries;
    } cases[] = {
        {"empty file", "", {}},
        {"one byte is ANSI text", "a", {{L"", L"", L"a"}}},
        {"two bytes", "ab", {{L"", L"", L"ab"}}},
        {"section", "[Logging]\nk=v", {{L"Logging", L"k", L"v"}}},
        {"text after the bracket joins the name", "[A]b\nk=v", {{L"Ab", L"k", L"v"}}},
        {"only the first bracket goes", "[A]]\nk=v", {{L"A]", L"k", L"v"}}},
        {"no closing bracket changes nothing", "[A]\n[Sec\nk=v", {{L"A", L"k", L"v"}}},
        {"a lone bracket", "[\nk=v", {{L"", L"k", L"v"}}},
        {"empty brackets go back to no section", "[A]\n[]\nk=v", {{L"", L"k", L"v"}}},
        {"indented section", " \t[A]\nk=v", {{L"A", L"k", L"v"}}},
        {"leading blanks go, trailing stay", "  Key=Value  ", {{L"", L"Key", L"Value  "}}},
        {"blanks around '=' stay", "Key = Value", {{L"", L"Key ", L" Value"}}},
        {"first '=' splits", "a=b=c", {{L"", L"a", L"b=c"}}},
        {"no '=' gives an empty key", "just text", {{L"", L"", L"just text"}}},
        {"blank line is an entry", "  \nk=v", {{L"", L"", L""}, {L"", L"k", L"v"}}},
        {"runs of CR and LF", "\r\n\n\r\rk=v\r\r\n\nm=w\r", {{L"", L"k", L"v"}, {L"", L"m", L"w"}}},
        {"'#' alone ends the file", "k=1\n#\nm=2", {{L"", L"k", L"1"}}},
        {"';' alone ends the file", "k=1\r\n;\r\nm=2", {{L"", L"k", L"1"}}},
        {"'#' alone as first line", "#\nk=1", {}},
        {"a longer comment is an entry", "; note\nk=1", {{L"", L"", L"; note"}, {L"", L"k", L"1"}}},
        {"an indented '#' is an entry", " #\nk=1", {{L"", L"", L"#"}, {L"", L"k", L"1"}}},
        {"duplicates stay", "[A]\nk=1\n[A]\nk=2", {{L"A", L"k", L"1"}, {L"A", L"k", L"2"}}},
        {"ANSI text ends at a NUL", "k=v\0m=w"s, {{L"", L"k", L"v"}}},
        {"Windows-1252 letters", "n\xE9=\x80 5", {{L"", L"n\u00E9", L"\u20AC 5"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parsed(c.bytes), c.entries);
    }
}

TEST(ConfigParse, Utf16WithMarkAndAnsiGiveTheSameEntries) {
    const struct {
        std::string ansi;
        std::wstring text;
    } cases[] = {
        {"[Global]\r\nUpdateSpeedCore=1000\r\n[Logging]\r\nLogDisable=false\r\n",
         L"[Global]\r\nUpdateSpeedCore=1000\r\n[Logging]\r\nLogDisable=false\r\n"},
        {"[Caf\xE9]\nName=\x80uro \x96 dash\n", L"[Caf\u00E9]\nName=\u20ACuro \u2013 dash\n"},
        {"x", L"x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ansi);
        const auto fromAnsi = Parsed(c.ansi);
        EXPECT_FALSE(fromAnsi.empty());
        EXPECT_EQ(Parsed(Utf16File(c.text)), fromAnsi);
    }
}

// What editors save today: UTF-8, with or without a mark, reads as the same entries as the
// UTF-16 file of the same text, and the mark is not part of the first line.
TEST(ConfigParse, Utf8WithAndWithoutMarkGivesTheEntriesOfItsUtf16Twin) {
    const std::wstring texts[] = {
        L"[ProcessAllowances]\r\nDisallowedProcesses=\u00FCn\u00EFc\u00F6d\u00E9.exe\r\n",
        L"[\u0420\u0430\u0437\u0434\u0435\u043B]\nName=\u043F\u0440\u043E\u0433\u0440\u0430"
        L"\u043C\u043C\u0430.exe\n",
        L"k=\u7A0B\u5E8F.exe,\U0001F600.exe\r\n",
        L"[Global]\r\nUpdateSpeedCore=1000\r\n",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(ToUtf8(text));
        const auto twin = Parsed(Utf16File(text));
        ASSERT_FALSE(twin.empty());
        EXPECT_EQ(Parsed("\xEF\xBB\xBF" + ToUtf8(text)), twin);
        EXPECT_EQ(Parsed(ToUtf8(text)), twin);
    }
}

// Without a mark, only well-formed UTF-8 with something beyond ASCII is taken for UTF-8; with
// one, the text is UTF-8 whatever follows.
TEST(ConfigParse, EightBitTextIsUtf8OnlyWhenItIsWellFormed) {
    const struct {
        const char* name;
        std::string bytes;
        std::vector<Entry> entries;
    } cases[] = {
        {"Windows-1252 that is not UTF-8", "Caf\xE9=\x80", {{L"", L"Caf\u00E9", L"\u20AC"}}},
        {"UTF-8 cut off at the end", "k=\xC3", {{L"", L"k", L"\u00C3"}}},
        {"overlong form", "k=\xC0\xAF", {{L"", L"k", L"\u00C0\u00AF"}}},
        {"encoded surrogate", "k=\xED\xA0\x80", {{L"", L"k", L"\u00ED\u00A0\u20AC"}}},
        {"beyond U+10FFFF", "k=\xF4\x90\x80\x80", {{L"", L"k", L"\u00F4\u0090\u20AC\u20AC"}}},
        {"one stray byte among UTF-8 makes it all ANSI",
         "a=\xC3\xA9\nb=\xE9",
         {{L"", L"a", L"\u00C3\u00A9"}, {L"", L"b", L"\u00E9"}}},
        {"only the text before a NUL counts", "k=\xC3\xA9\0\xFF"s, {{L"", L"k", L"\u00E9"}}},
        {"two bytes of UTF-8", "\xC3\xA9", {{L"", L"", L"\u00E9"}}},
        {"mark alone", "\xEF\xBB\xBF", {}},
        {"mark and NUL bytes", "\xEF\xBB\xBF\0\0"s, {}},
        {"mark before a section", "\xEF\xBB\xBF[A]\nk=v", {{L"A", L"k", L"v"}}},
        {"mark with a malformed byte", "\xEF\xBB\xBFk=\xE9!", {{L"", L"k", L"\uFFFD!"}}},
        {"a second mark is text", "\xEF\xBB\xBF\xEF\xBB\xBFk=v", {{L"", L"\uFEFFk", L"v"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parsed(c.bytes), c.entries);
    }
}

// Where each entry stands, for telling the user: CR LF, CR and LF each end one line, and empty
// lines count although they give no entry.
TEST(ConfigParse, LayoutGivesEveryEntryItsLine) {
    const struct {
        std::string bytes;
        std::vector<std::uint32_t> entryLines;
        std::uint32_t stopLine;
        std::uint32_t ignoredLines;
        std::vector<std::uint32_t> unclosedSections;
        std::uint32_t nulLine;
    } cases[] = {
        {"a=1\r\n\r\nb=2", {1, 3}, 0, 0, {}, 0},
        {"a=1\rb=2\n\nc=3\r\r\nd=4", {1, 2, 4, 6}, 0, 0, {}, 0},
        {"[S]\r\n;x\r\n[T\r\nk=v", {2, 4}, 0, 0, {3}, 0},
        {"a=1\n;\nb=2\n\n  \nc=3\n", {1}, 2, 2, {}, 0},
        {Utf16File(L"a=1\r\nb=2") + std::string("\0\0c\0", 4), {1, 2}, 0, 0, {}, 2},
        {"a=1\nb=2" + std::string("\0\0", 2), {1, 2}, 0, 0, {}, 0},
        {"\xEF\xBB\xBF[S]\r\na=\xC3\xA9\r\n\r\nb=2\0x"s, {2, 4}, 0, 0, {}, 4},
    };
    for (const auto& c : cases) {
        ConfigDocument document;
        ConfigTextLayout layout;
        ASSERT_TRUE(ParseConfigBytes(c.bytes, document, &layout));
        EXPECT_EQ(layout.entryLines, c.entryLines) << c.bytes;
        EXPECT_EQ(layout.stopLine, c.stopLine) << c.bytes;
        EXPECT_EQ(layout.ignoredLines, c.ignoredLines) << c.bytes;
        EXPECT_EQ(layout.unclosedSectionLines, c.unclosedSections) << c.bytes;
        EXPECT_EQ(layout.nulLine, c.nulLine) << c.bytes;
    }
}

TEST(ConfigParse, ByteOrderMarksAndOddLengths) {
    const struct {
        const char* name;
        std::string bytes;
        bool ok;
        std::vector<Entry> entries;
    } cases[] = {
        {"big-endian mark fails", "\xFE\xFF\0k\0=\0v"s, false, {}},
        {"big-endian mark alone is ANSI", "\xFE\xFF", true, {{L"", L"", L"\u00FE\u00FF"}}},
        {"little-endian mark alone is ANSI", "\xFF\xFE", true, {{L"", L"", L"\u00FF\u00FE"}}},
        {"mark and a NUL byte", "\xFF\xFE\0"s, true, {}},
        {"mark and one odd byte",
         "\xFF\xFE"
         "A",
         true,
         {{L"", L"", L"A"}}},
        {"odd last byte joins the text", Utf16File(L"k=v") + "B", true, {{L"", L"k", L"vB"}}},
        {"text ends at a NUL unit",
         Utf16File(L"k=v") + "\0\0"s + Utf16Le(L"\nm=w"),
         true,
         {{L"", L"k", L"v"}}},
        {"surrogate pair", Utf16File(L"k=\U0001F600"), true, {{L"", L"k", L"\U0001F600"}}},
        {"lone surrogate",
         "\xFF\xFE"
         "k\0=\0\x00\xD8"s,
         true,
         {{L"", L"k", L"\uFFFD"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigDocument document;
        AddEntry(document, L"Kept", L"k0", L"v0");
        EXPECT_EQ(ParseConfigBytes(c.bytes, document), c.ok);
        auto expected = c.entries;
        expected.insert(expected.begin(), {L"Kept", L"k0", L"v0"});
        EXPECT_EQ(EntriesOf(document), expected);
    }
}

TEST(ConfigLookup, StringsIgnoreSectionsAndCase) {
    const ConfigDocument document = ParsedDocument(
        L"[A]\ndup=first\nSpaced =x\n  Lead=  padded value  \nEmpty=\n[B]\ndup=second\n");
    const struct {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* defaultText;
        const wchar_t* result;
    } cases[] = {
        {L"B", L"dup", nullptr, L"first"},  // first entry wins whatever its section
        {L"", L"DUP", nullptr, L"first"},
        {L"A", L"Spaced", L"def", L"def"},  // "Spaced " is another key
        {L"A", L"spaced ", L"def", L"x"},
        {L"A", L"lead", nullptr, L"padded value"},
        {L"A", L"Empty", L"5", L""},
        {L"A", L"Missing", L" d ", L" d "},  // the default is not trimmed
        {L"A", L"Missing", nullptr, L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetConfigString(c.section, c.key, c.defaultText, document), c.result) << c.key;
    }
}

TEST(ConfigLookup, IntegersAndBooleans) {
    const ConfigDocument document = ParsedDocument(
        L"[X]\nInt= 42 \nNeg=-7\nEmpty=\nUnit=1000ms\nFast=fast\nPlus=+12\n"
        L"Big=99999999999\nSmall=-99999999999\nHuge=18446744073709551617\n"
        L"OocOn=TRUE\nOne=1\nYes=yes\nPadded= true \nTrueish=truely\n");
    const struct {
        const wchar_t* key;
        std::int32_t defaultValue;
        std::int32_t result;
    } integers[] = {
        {L"Int", 5, 42},
        {L"Neg", 5, -7},
        {L"Empty", 5, 0},  // present but empty: not the default
        {L"Missing", 5, 5},
        {L"Missing", INT32_MIN, INT32_MIN},
        {L"Missing", INT32_MAX, INT32_MAX},
        {L"Unit", 5, 1000},
        {L"Fast", 5, 0},
        {L"Plus", 5, 12},
        {L"Big", 5, INT32_MAX},
        {L"Small", 5, INT32_MIN},
        {L"Huge", 5, INT32_MAX},
    };
    for (const auto& c : integers) {
        EXPECT_EQ(GetConfigInt(L"X", c.key, c.defaultValue, document), c.result) << c.key;
    }
    const struct {
        const wchar_t* key;
        bool defaultValue;
        bool result;
    } booleans[] = {
        {L"OocOn", false, true},  {L"One", true, false},      {L"Yes", true, false},
        {L"Padded", false, true}, {L"Trueish", true, false},  {L"Empty", true, false},
        {L"Missing", true, true}, {L"Missing", false, false},
    };
    for (const auto& c : booleans) {
        EXPECT_EQ(GetConfigBool(L"X", c.key, c.defaultValue, document), c.result) << c.key;
    }
}

TEST(ConfigRender, ExactText) {
    const struct {
        const char* name;
        std::vector<Entry> entries;
        std::wstring text;
    } cases[] = {
        {"empty document", {}, L""},
        {"no header before the first section",
         {{L"", L"a", L"1"}, {L"S", L"b", L"2"}},
         L"a=1\r\n[S]\r\nb=2\r\n"},
        {"a header where the section changes",
         {{L"A", L"k1", L"1"}, {L"A", L"k2", L"2"}, {L"B", L"k3", L"3"}, {L"A", L"k4", L"4"}},
         L"[A]\r\nk1=1\r\nk2=2\r\n[B]\r\nk3=3\r\n[A]\r\nk4=4\r\n"},
        {"trimmed before comparing and writing",
         {{L" A\t", L" key ", L" v a l "}, {L"A", L"k", L""}},
         L"[A]\r\nkey=v a l\r\nk=\r\n"},
        {"sections compare with case",
         {{L"A", L"x", L"1"}, {L"a", L"y", L"2"}},
         L"[A]\r\nx=1\r\n[a]\r\ny=2\r\n"},
        {"back to no section",
         {{L"A", L"x", L"1"}, {L"", L"y", L"2"}},
         L"[A]\r\nx=1\r\n[]\r\ny=2\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RenderConfigBytes(DocumentOf(c.entries)), Utf16File(c.text));
    }
}

TEST(ConfigRender, LittleEndianUnitsWithMark) {
    EXPECT_EQ(RenderConfigBytes(DocumentOf({{L"A", L"k", L"\u20AC\U0001F600"}})),
              "\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0\xAC\x20\x3D\xD8\x00\xDE\r\0\n\0"s);
}

TEST(ConfigParse, RandomBytesNeverBreakTheDocument) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        std::string bytes(random() % 700, '\0');
        // Mostly the characters that steer the parser, so that every rule gets hit.
        static const char kAlphabet[] = "[]=#; \t\r\na\0\xFF\xFE\x80";
        for (auto& b : bytes) {
            b = random() % 4 == 0 ? static_cast<char>(random())
                                  : kAlphabet[random() % (sizeof kAlphabet - 1)];
        }
        if (round % 2 == 0) {
            bytes.insert(0, "\xFF\xFE");
        }
        ConfigDocument document;
        const bool bigEndian = bytes.size() >= 3 && bytes.compare(0, 2, "\xFE\xFF") == 0;
        ASSERT_EQ(ParseConfigBytes(bytes, document), !bigEndian);
        // What is written reads back as the same entries, trimmed.
        ConfigDocument again;
        ASSERT_TRUE(ParseConfigBytes(RenderConfigBytes(document), again));
        ASSERT_EQ(EntriesOf(again), WrittenAndReadBack(EntriesOf(document))) << "round " << round;
    }
}

TEST(ConfigParse, TenMegabyteLineInBothEncodings) {
    const std::size_t size = 10 * 1024 * 1024;
    std::string ansi = "Big=" + std::string(size, '9');
    ConfigDocument document;
    ASSERT_TRUE(ParseConfigBytes(ansi, document));
    ASSERT_EQ(document.values.size(), 1u);
    EXPECT_EQ(document.values[0].size(), size);
    EXPECT_EQ(GetConfigInt(L"", L"Big", 0, document), INT32_MAX);

    std::string utf16(2 + size, '\0');
    utf16[0] = '\xFF';
    utf16[1] = '\xFE';
    for (std::size_t i = 2; i < utf16.size(); i += 2) {
        utf16[i] = 'x';
    }
    ConfigDocument wide;
    ASSERT_TRUE(ParseConfigBytes(utf16, wide));
    ASSERT_EQ(wide.values.size(), 1u);
    EXPECT_EQ(wide.values[0].size(), size / 2);
}

// Reading and writing files on the simulated machine.
class ConfigFileTest : public test::SimTest {
  protected:
    static constexpr const wchar_t* kPath = L"C:\\ProgramData\\Corvane\\config\\corvex.ini";

    void SetUp() override {
        SimTest::SetUp();
        sim::PutFolder(L"C:\\ProgramData\\Corvane\\config");
    }
    void TearDown() override {
        // Nothing the document code opened may stay open.
        EXPECT_EQ(sim::OpenFileCount(), 0u);
    }
    static std::uint64_t Elapsed(std::uint64_t since) { return machine().Now() - since; }
};

TEST_F(ConfigFileTest, ReadsUtf16AndAnsiFilesAlike) {
    const std::wstring text = L"[Caf\u00E9]\r\nk=\u20AC\r\n  x = y \r\n";
    sim::PutFile(L"C:\\a\\wide.ini", Utf16File(text));
    sim::PutFile(L"C:\\a\\ansi.ini", "[Caf\xE9]\r\nk=\x80\r\n  x = y \r\n");
    ConfigDocument wide;
    ConfigDocument ansi;
    ASSERT_TRUE(ReadConfigFile(L"C:\\a\\wide.ini", wide));
    ASSERT_TRUE(ReadConfigFile(L"c:/A/ANSI.INI", ansi));
    EXPECT_EQ(EntriesOf(wide),
              (std::vector<Entry>{{L"Caf\u00E9", L"k", L"\u20AC"}, {L"Caf\u00E9", L"x ", L" y "}}));
    EXPECT_EQ(EntriesOf(ansi), EntriesOf(wide));

    sim::PutFile(L"C:\\a\\big-endian.ini", "\xFE\xFF\0k\0=\0v"s);
    EXPECT_FALSE(ReadConfigFile(L"C:\\a\\big-endian.ini", ansi));
}

TEST_F(ConfigFileTest, PathRulesAndMissingFiles) {
    const std::uint64_t start = machine().Now();
    ConfigDocument document;
    for (const wchar_t* tooShort : {L"", L"a", L"C:\\a"}) {
        EXPECT_FALSE(ReadConfigFile(tooShort, document)) << tooShort;
    }
    EXPECT_FALSE(platform::PathExists(L"C:\\a"));

    // Five characters are enough; a missing file is created empty without waiting.
    EXPECT_TRUE(ReadConfigFile(L"C:\\ab", document));
    EXPECT_EQ(sim::FileBytes(L"C:\\ab"), "");
    EXPECT_TRUE(ReadConfigFile(kPath, document));
    EXPECT_EQ(sim::FileBytes(kPath), "");
    EXPECT_TRUE(document.keys.empty());
    EXPECT_EQ(Elapsed(start), 0u);

    // A missing folder costs the retries, then is created with its parents.
    EXPECT_TRUE(ReadConfigFile(L"C:\\New\\Deep\\corvex.ini", document));
    EXPECT_TRUE(sim::IsFolder(L"C:\\New\\Deep"));
    EXPECT_EQ(sim::FileBytes(L"C:\\New\\Deep\\corvex.ini"), "");
    EXPECT_EQ(Elapsed(start), 20u * 20u);
}

TEST_F(ConfigFileTest, OpenRetriesDependOnThePathKind) {
    const struct {
        const wchar_t* path;
        std::uint64_t waited;
    } cases[] = {
        {L"C:\\ProgramData\\Corvane\\config\\corvex.ini", 20 * 20},
        {L"\\\\server\\share\\corvex.ini", 400 * 20},
        {L"//server/share/corvex.ini", 400 * 20},
        {L" \t\\\\server\\share\\corvex.ini", 400 * 20},
        {L"\\Corvane\\corvex.ini", 20 * 20},
        {L"\\/server/share/corvex.ini", 20 * 20},
    };
    for (const auto& c : cases) {
        machine().ClearFailures();
        machine().FailCall("CreateFile", c.path);
        const std::uint64_t start = machine().Now();
        ConfigDocument document;
        EXPECT_FALSE(ReadConfigFile(c.path, document)) << c.path;
        EXPECT_EQ(Elapsed(start), c.waited) << c.path;
    }
}

TEST_F(ConfigFileTest, ReadWaitsForAWriterToLetGo) {
    sim::PutFile(kPath, Utf16File(L"k=v\r\n"));
    // The other program's write handle shares reading only, which our read open cannot accept.
    sim::HoldFileOpen(kPath, platform::kGenericWrite, platform::kFileShareRead, 90);
    const std::uint64_t start = machine().Now();
    ConfigDocument document;
    ASSERT_TRUE(ReadConfigFile(kPath, document));
    EXPECT_EQ(EntriesOf(document), (std::vector<Entry>{{L"", L"k", L"v"}}));
    EXPECT_EQ(Elapsed(start), 100u);  // the first attempt after the hold ended
}

TEST_F(ConfigFileTest, ReadFailures) {
    sim::PutFile(kPath, Utf16File(L"k=v\r\n"));
    for (const char* operation : {"GetFileSize", "ReadFile"}) {
        machine().ClearFailures();
        machine().FailCall(operation, kPath);
        ConfigDocument document;
        EXPECT_FALSE(ReadConfigFile(kPath, document)) << operation;
        EXPECT_TRUE(document.keys.empty()) << operation;
    }
}

TEST_F(ConfigFileTest, WriteRewritesInPlaceWithTheExactBytes) {
    const ConfigDocument document =
        DocumentOf({{L"A", L" k1 ", L" 1 "}, {L"A", L"k2", L"2"}, {L"B", L"k3", L"3"}});
    const std::string expected = RenderConfigBytes(document);
    const std::uint64_t start = machine().Now();

    // A missing file is created; a longer old file leaves no tail.
    ASSERT_TRUE(WriteConfigFile(kPath, document));
    EXPECT_EQ(sim::FileBytes(kPath), expected);
    sim::PutFile(kPath, Utf16File(L"[Old]\r\n" + std::wstring(5000, L'x') + L"=1\r\n"));
    ASSERT_TRUE(WriteConfigFile(kPath, document));
    EXPECT_EQ(sim::FileBytes(kPath), expected);
    EXPECT_EQ(Elapsed(start), 0u);

    ConfigDocument readBack;
    ASSERT_TRUE(ReadConfigFile(kPath, readBack));
    EXPECT_EQ(EntriesOf(readBack), Trimmed(EntriesOf(document)));

    // The same content written again still moves the write time, which change checks rely on.
    machine().AdvanceClock(15);
    ASSERT_TRUE(WriteConfigFile(kPath, document));
    EXPECT_EQ(sim::FileWriteTime(kPath), sim::FileTimeAt(machine().Now()));

    // No folder, no file: that is not worth a retry.
    EXPECT_FALSE(WriteConfigFile(L"C:\\Missing\\corvex.ini", document));
    EXPECT_FALSE(platform::PathExists(L"C:\\Missing"));
    EXPECT_EQ(Elapsed(start), 15u);
}

TEST_F(ConfigFileTest, FailedWriteKeepsThePreviousContent) {
    const std::string old = RenderConfigBytes(DocumentOf({{L"Old", L"Key", L"Value"}}));
    ConfigDocument longer;
    for (int i = 0; i < 40; ++i) {
        AddEntry(longer, L"New", L"Key" + std::to_wstring(i), L"Value");
    }
    const ConfigDocument shorter = DocumentOf({{L"", L"k", L"v"}});
    const struct {
        const char* name;
        const ConfigDocument& document;
        const char* failing;      // operation made to fail, if any
        std::uint64_t freeSpace;  // bytes the disk can still take
    } cases[] = {
        {"disk fills up part-way", longer, nullptr, 16},
        {"disk already full", longer, nullptr, 0},
        {"write fails", longer, "WriteFile", UINT64_MAX},
        {"end of file cannot be set", shorter, "SetEndOfFile", UINT64_MAX},
        {"old content cannot be read", shorter, "ReadFile", UINT64_MAX},
        {"file cannot be opened", shorter, "CreateFile", UINT64_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().ClearFailures();
        sim::SetFreeSpace(std::nullopt);
        sim::PutFile(kPath, old);
        if (c.failing != nullptr) {
            machine().FailCall(c.failing, kPath);
        }
        if (c.freeSpace != UINT64_MAX) {
            sim::SetFreeSpace(c.freeSpace);
        }
        const std::uint64_t start = machine().Now();
        EXPECT_FALSE(WriteConfigFile(kPath, c.document));
        EXPECT_EQ(sim::FileBytes(kPath), old);
        EXPECT_EQ(Elapsed(start), 0u);
    }

    // A file that did not exist is left empty rather than half written.
    machine().ClearFailures();
    sim::SetFreeSpace(10);
    EXPECT_FALSE(WriteConfigFile(L"C:\\ProgramData\\fresh.ini", longer));
    EXPECT_EQ(sim::FileBytes(L"C:\\ProgramData\\fresh.ini"), "");

    // When the old content cannot be put back either, the write still reports failure.
    sim::PutFile(kPath, old);
    machine().FailCall("SetFilePointer", kPath);
    EXPECT_FALSE(WriteConfigFile(kPath, longer));
}

TEST_F(ConfigFileTest, SharingViolationsAreWaitedOutSixteenTimes) {
    using namespace platform;
    const ConfigDocument document = DocumentOf({{L"A", L"k", L"new"}});
    const std::string old = RenderConfigBytes(DocumentOf({{L"A", L"k", L"old"}}));
    const struct {
        const char* name;
        std::uint32_t access;
        std::uint32_t share;
        std::uint64_t heldMs;
        bool written;
        std::uint64_t waited;
    } cases[] = {
        {"a reader that shares writing does not block", kGenericRead,
         kFileShareRead | kFileShareWrite, 1'000'000, true, 0},
        {"a reader that does not share writing", kGenericRead, kFileShareRead, 600, true, 750},
        {"let go just before the last attempt", kGenericRead, kFileShareRead, 3750, true, 3750},
        {"let go just after the last attempt", kGenericRead, kFileShareRead, 3751, false, 3750},
        {"another writer", kGenericWrite, kFileShareRead, 1'000'000, false, 3750},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ResetFileSystem();
        sim::PutFile(kPath, old);
        sim::HoldFileOpen(kPath, c.access, c.share, c.heldMs);
        const std::uint64_t start = machine().Now();
        EXPECT_EQ(WriteConfigFile(kPath, document), c.written);
        EXPECT_EQ(Elapsed(start), c.waited);
        EXPECT_EQ(sim::FileBytes(kPath), c.written ? RenderConfigBytes(document) : old);
    }
    sim::ResetFileSystem();
}

}  // namespace
}  // namespace cv
