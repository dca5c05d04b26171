// The sampling CSV: its file name from the UTC date, the selected processes, the fields of a row,
// rows added after whatever the file holds, and files it did not start left alone.
#include "EngineScenario.h"
#include "actionlog/ActionLog.h"
#include "engine/ConfigCheckCommand.h"
#include "sampling/SamplingOutput.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

TEST(SamplingText, PlaceholdersAffinityRangesAndPatterns) {
    const platform::CalendarTime day{2026, 3, 7, 5, 41, 9};
    EXPECT_EQ(ExpandSamplingPath(L"C:\\S\\s-%yyyy%-%mm%-%dd%.csv", day),
              L"C:\\S\\s-2026-03-07.csv");
    // %mm% is the month wherever it stands; there is no placeholder for minutes.
    EXPECT_EQ(ExpandSamplingPath(L"%hh%h%mm%m%ss%s-%dd%%dd%", day), L"05h03m09s-0707");

    const struct {
        std::uint64_t mask;
        const wchar_t* ranges;
    } masks[] = {{0x2F, L"0-3;5"}, {0, L""}, {1, L"0"}, {0xC000000000000001ull, L"0;62-63"}};
    for (const auto& m : masks) {
        EXPECT_EQ(AffinityRanges(m.mask), m.ranges) << m.mask;
    }

    const auto include = SplitSamplingPatterns(L"*");
    const auto exclude = SplitSamplingPatterns(L"svchost.exe;;System");
    EXPECT_EQ(exclude.size(), 2u);
    EXPECT_TRUE(IsSampled(L"notepad.exe", include, exclude));
    EXPECT_FALSE(IsSampled(L"SVCHOST.EXE", include, exclude));
    EXPECT_FALSE(IsSampled(L"System", include, exclude));
    EXPECT_FALSE(IsSampled(L"notepad.exe", SplitSamplingPatterns(L""), exclude));
}

// The engine's own files under every name Windows opens them by.
TEST(SamplingText, EngineOwnFileNames) {
    const struct {
        const wchar_t* path;
        bool own;
    } cases[] = {
        {L"C:\\Cfg\\corvex.ini", true},
        {L"C:/Cfg/Gaming/CORVEX.INI", true},
        {L"C:\\Cfg\\corvex.ini. . ", true},
        {L"C:\\Cfg\\corvex.ini::$DATA", true},
        {L"C:corvex.ini", true},
        {L"corvex.ini.cv-save", true},
        {L"C:\\Cfg\\.cv-lock", true},
        {L"C:\\Cfg\\.profile", true},
        {L"C:\\Cfg\\corvex-check.txt", true},
        {L"D:\\Logs\\corvane.log", true},
        {L"D:\\Logs\\corvane.log.9", true},
        {L"D:\\Logs\\corvex.log.csv.2", true},
        {L"D:\\Logs\\trellion.log", true},
        {L"C:\\ProgramData\\Corvane\\vigilor.exe.dmp", true},
        {L"C:\\Cfg\\samples.csv", false},
        {L"C:\\Cfg\\my-corvex.ini", false},
        {L"D:\\Logs\\corvane.logs.csv", false},
        {L"D:\\corvex.ini\\samples.csv", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsEngineOwnFileName(c.path), c.own) << ToUtf8(c.path);
    }
}

class SamplingScenario : public test::EngineScenario {
  protected:
    static constexpr wchar_t kPattern[] = L"C:\\Samples\\s-%yyyy%-%mm%-%dd%.csv";
    static Keys SamplingKeys(Keys extra = {}) {
        Keys keys = {{L"SamplingEnabled", L"true"},
                     {L"SamplingIntervalSeconds", L"60"},
                     {L"SamplingOutputPath", kPattern},
                     {L"SamplingIncludePattern", L"*"},
                     {L"SamplingExcludePattern", L"svchost.exe;system"}};
        for (auto& [key, value] : extra) {
            keys[key] = value;
        }
        return keys;
    }
    // The file's lines after the byte order mark.
    static std::vector<std::string> Lines(const std::wstring& path) {
        std::vector<std::string> lines;
        const auto bytes = sim::FileBytes(path);
        if (!bytes || bytes->substr(0, 3) != "\xEF\xBB\xBF") {
            return lines;
        }
        for (std::size_t at = 3; at < bytes->size();) {
            const auto end = bytes->find("\r\n", at);
            lines.push_back(bytes->substr(at, end - at));
            at = end + 2;
        }
        return lines;
    }
};

TEST_F(SamplingScenario, OneRowPerSelectedProcessInAFileNamedByTheUtcDate) {
    sim::PutFolder(L"C:\\Samples");
    auto& app = machine().AddProcess(600, L"worker.exe");
    app.affinity = 0x2F;
    app.handleCount = 42;
    app.readTransferBytes = 1000;
    app.writeTransferBytes = 24;
    machine().AddProcess(601, L"svchost.exe");
    machine().AddProcess(602, L"System");
    Start(SamplingKeys());
    Cycles(1);
    // The simulated clock starts on 18 August 2025 (UTC).
    const auto lines = Lines(L"C:\\Samples\\s-2025-08-18.csv");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], kSamplingHeader);
    EXPECT_NE(lines[1].find("\"worker\",\"worker.exe\",\"600\",\"1\",\"TESTPC\\Tester\""),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find("\"47\",\"0x000000000000002F\",\"0-3;5\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"42\",\"1024\",\"c:\\programs\\worker.exe\""), std::string::npos);

    // Not again before the interval; after it, the next UTC day starts a new file.
    Cycles(1);
    EXPECT_EQ(Lines(L"C:\\Samples\\s-2025-08-18.csv").size(), 2u);
    machine().AdvanceClock(24ull * 3600 * 1000);
    Cycles(1);
    EXPECT_EQ(Lines(L"C:\\Samples\\s-2025-08-19.csv").size(), 2u);
    const auto log = StopAndReadLog();
    ASSERT_EQ(Only(log, 99).size(), 2u);
    EXPECT_EQ(Only(log, 99)[0].path, kPattern);
}

TEST_F(SamplingScenario, AnUnwritableFileIsRecordedAsFailed) {
    Start(SamplingKeys({{L"SamplingOutputPath", L"C:\\Missing\\s.csv"}, {L"LogDisable", L"true"}}));
    Cycles(1);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Ids(log), std::vector<std::uint32_t>{100});
}

// The rows a file holds stay as they are whatever their line ends; new rows start on a line of
// their own.
TEST_F(SamplingScenario, RowsAreAddedAfterWhateverTheFileHolds) {
    const std::string head = std::string("\xEF\xBB\xBF") + kSamplingHeader;
    const std::string row1 = "\"1\",\"a\"";
    const std::string row2 = "\"2\",\"b\"";
    const struct {
        const char* name;
        std::string before;
        std::string lineEnd;  // what the file's last line is given before the new rows
    } cases[] = {
        {"CR LF", head + "\r\n" + row1 + "\r\n" + row2 + "\r\n", ""},
        {"LF alone", head + "\n" + row1 + "\n" + row2 + "\n", ""},
        {"last row without a line end", head + "\r\n" + row1 + "\r\n" + row2, "\r\n"},
        {"LF rows, last without a line end", head + "\n" + row1 + "\n" + row2, "\r\n"},
        {"last row ending in CR alone", head + "\r\n" + row1 + "\r\n" + row2 + "\r", "\n"},
        {"header without a line end", head, "\r\n"},
        {"header in other letter case", "\xEF\xBB\xBF\"utc\"" + head.substr(8) + "\r\n" + row1,
         "\r\n"},
        {"missing file", "", ""},
        {"empty file", "", ""},
        {"header cut short", head.substr(0, 20), ""},
    };
    const std::wstring path = L"C:\\Samples\\s.csv";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::DeleteFileAt(path);
        if (std::string_view(c.name) != "missing file") {
            sim::PutFile(path, c.before);
        }
        const std::vector<std::string> rows = {"\"new1\"", "\"new2\""};
        EXPECT_EQ(AppendSamplingRows(path, kSamplingHeader, rows), SamplingFileResult::kOk);
        // A file that held no more than a header's start gets the whole header first.
        const std::string kept = c.before.size() < head.size() ? head + "\r\n" : c.before;
        EXPECT_EQ(sim::FileBytes(path), kept + c.lineEnd + "\"new1\"\r\n\"new2\"\r\n");
    }
}

// Pointed at the engine's configuration, its log, or a file of the user's, sampling writes
// nothing into it, and says so once however many samples fall due.
TEST_F(SamplingScenario, FilesItDidNotStartAreLeftAloneAndRecordedOnce) {
    const std::string samplingStart =
        std::string("\xEF\xBB\xBF") + kSamplingHeader + "\r\n\"1\",\"x\"\r\n";
    const struct {
        std::wstring path;
        std::string bytes;  // none: the engine's own configuration
    } targets[] = {
        {ConfigPath(), ""},
        // The engine's files are refused even when they start like a sampling file.
        {L"C:\\Logs\\corvane.log.2", samplingStart},
        {L"C:\\Cfg\\Work\\CORVEX.INI", samplingStart},
        {L"C:\\Cfg\\.profile", samplingStart},
        {L"C:\\Users\\Tester\\Documents\\doc.csv", "name,amount\nrent,900\nfood,250"},
        {L"C:\\Samples\\old.csv", "\xEF\xBB\xBF\"UTC\",\"Name\"\r\n\"1\",\"x\"\r\n"},
    };
    for (const auto& target : targets) {
        SCOPED_TRACE(ToUtf8(target.path));
        SetUp();
        if (!target.bytes.empty()) {
            sim::PutFile(target.path, target.bytes);
        }
        machine().AddProcess(600, L"worker.exe");
        WriteConfig(SamplingKeys(
            {{L"SamplingOutputPath", target.path}, {L"SamplingIntervalSeconds", L"1"}}));
        const auto before = sim::FileBytes(target.path);
        ASSERT_TRUE(before);
        StartWithoutFile();
        Cycles(30);
        EXPECT_EQ(sim::FileBytes(target.path), before);
        const auto log = StopAndReadLog();
        EXPECT_TRUE(Only(log, 99).empty());
        const auto failed = Only(log, 100);
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_NE(failed[0].info.find(target.path), std::wstring::npos) << ToUtf8(failed[0].info);
    }

    // The live log: every line of it is still one of its records.
    SetUp();
    Start(SamplingKeys(
        {{L"SamplingOutputPath", L"C:\\Logs\\corvane.log"}, {L"SamplingIntervalSeconds", L"1"}}));
    Cycles(30);
    const auto log = StopAndReadLog();  // fails on a line that is not a record
    EXPECT_EQ(Only(log, 100).size(), 1u);
    const auto bytes = sim::FileBytes(L"C:\\Logs\\corvane.log");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->find(kSamplingHeader), std::string::npos);
}

// A refusal ends with the first sample written; when the file is refused again, that is a new
// record.
TEST_F(SamplingScenario, ARefusalIsRecordedAgainOnlyAfterASampleWasWritten) {
    const std::wstring path = L"C:\\Users\\Tester\\doc.csv";
    const std::string userText = "name,amount\r\nrent,900\r\n";
    sim::PutFile(path, userText);
    machine().AddProcess(600, L"worker.exe");
    Start(SamplingKeys({{L"SamplingOutputPath", path}, {L"SamplingIntervalSeconds", L"1"}}));
    Cycles(5);
    // The user moves the file away; sampling starts a file of its own there.
    platform::DeleteFileAt(path);
    Cycles(2);
    EXPECT_EQ(Lines(path).size(), 3u);
    sim::PutFile(path, userText);
    Cycles(5);
    EXPECT_EQ(sim::FileBytes(path), userText);
    std::vector<std::uint32_t> samples;
    for (const std::uint32_t id : Ids(StopAndReadLog())) {
        if (id == 99 || id == 100) {
            samples.push_back(id);
        }
    }
    EXPECT_EQ(samples, (std::vector<std::uint32_t>{100, 99, 99, 100}));
}

// The configuration check reports a sampling output the engine would refuse, at its line.
TEST_F(SamplingScenario, TheConfigurationCheckReportsARefusedOutputFile) {
    sim::PutFile(L"C:\\Users\\Tester\\doc.csv", "name,amount\r\nrent,900\r\n");
    sim::PutFile(L"C:\\Samples\\s.csv", std::string("\xEF\xBB\xBF") + kSamplingHeader + "\r\n");
    const struct {
        const wchar_t* path;
        const wchar_t* finding;  // none: nothing to report
    } cases[] = {
        {L"C:\\Users\\Tester\\doc.csv", L"is not a sampling file"},
        {L"C:\\Cfg\\corvex.ini", L"is a file of the engine's own"},
        {L"C:\\Logs\\corvane.log", L"is a file of the engine's own"},
        {L"C:\\Samples\\s.csv", nullptr},
        {L"C:\\Samples\\new-%yyyy%.csv", nullptr},
    };
    machine().parentConsole = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.path));
        machine().consoleOutput.clear();
        WriteConfig(SamplingKeys({{L"SamplingOutputPath", c.path}}));
        const auto config = sim::FileBytes(ConfigPath());
        const int result = RunConfigCheck(ConfigPath());
        const std::wstring& output = machine().consoleOutput;
        EXPECT_EQ(sim::FileBytes(ConfigPath()), config);
        if (c.finding == nullptr) {
            EXPECT_EQ(result, 0) << ToUtf8(output);
            continue;
        }
        EXPECT_EQ(result, 1);
        EXPECT_NE(output.find(L"[Sampling] SamplingOutputPath: "), std::wstring::npos)
            << ToUtf8(output);
        EXPECT_NE(output.find(c.finding), std::wstring::npos) << ToUtf8(output);
        EXPECT_NE(output.find(L"line "), std::wstring::npos) << ToUtf8(output);
    }
    EXPECT_FALSE(sim::FileBytes(L"C:\\Samples\\new-2025.csv"));
}

}  // namespace
}  // namespace cv
