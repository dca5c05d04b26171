// The sampling CSV: its file name from the UTC date, the selected processes, the fields of a row
// and a file with an older header.
#include "EngineScenario.h"
#include "actionlog/ActionLog.h"
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

TEST_F(SamplingScenario, AnOlderHeaderIsReplacedAndAnUnwritableFileIsRecordedAsFailed) {
    sim::PutFolder(L"C:\\Samples");
    sim::PutFile(L"C:\\Samples\\old.csv", "\xEF\xBB\xBF\"UTC\",\"Name\"\r\n\"1\",\"x\"\r\n");
    machine().AddProcess(600, L"worker.exe");
    Start(SamplingKeys({{L"SamplingOutputPath", L"C:\\Samples\\old.csv"}}));
    Cycles(1);
    const auto lines = Lines(L"C:\\Samples\\old.csv");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], kSamplingHeader);
    EXPECT_EQ(lines[1].find("\"1\",\"x\""), std::string::npos);
    StopAndReadLog();

    SetUp();
    Start(SamplingKeys({{L"SamplingOutputPath", L"C:\\Missing\\s.csv"}, {L"LogDisable", L"true"}}));
    Cycles(1);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Ids(log), std::vector<std::uint32_t>{100});
}

}  // namespace
}  // namespace cv
