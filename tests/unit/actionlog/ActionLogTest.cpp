#include <optional>

#include "SimFixture.h"
#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/Statistics.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "platform/KernelObjects.h"
#include "platform/sim/SimFiles.h"
#include "services/KernelObjectNames.h"

namespace cv {
namespace {

using platform::RegistryRoot;

const std::wstring kFolder = L"C:\\Logs";
const std::wstring kLogPath = L"C:\\Logs\\corvane.log";
const std::string kHeaderLine = std::string("\xEF\xBB\xBF") + kLogHeader + "\r\n";

class ActionLogTest : public test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::PutFolder(kFolder);
    }

    // Writes the records through a real writer thread and stops it.
    void WriteRecords(const std::vector<ActionRecord>& records) {
        ActionLog log;
        log.SetFolder(kFolder + L"\\");
        for (const auto& record : records) {
            log.Append(record);
        }
        ASSERT_TRUE(log.StartWriter());
        log.StopWriter();
    }

    static ActionRecord Sample(std::uint32_t code = 22, std::wstring info = L"info") {
        ActionRecord record;
        record.utcTime = 134'000'000'000'000'000ull;
        record.localTime = record.utcTime;
        record.actionId = code;
        record.pid = 77;
        record.machine = L"PC";
        record.user = L"bob";
        record.basename = L"app.exe";
        record.info = std::move(info);
        record.path = L"c:\\apps\\app.exe";
        record.commandLine = L"app.exe -x";
        return record;
    }

    static std::vector<std::string> Lines(const std::string& bytes) {
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < bytes.size()) {
            const std::size_t end = bytes.find("\r\n", start);
            if (end == std::string::npos) {
                lines.push_back(bytes.substr(start));
                break;
            }
            lines.push_back(bytes.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }
};

TEST(ActionLogFormat, EscapingAndLineShape) {
    EXPECT_EQ(EscapeLogValue(L"a,b"), L"a\\,b");
    EXPECT_EQ(EscapeLogValue(L"it's"), L"it''s");
    EXPECT_EQ(EscapeLogValue(L"say \"hi\""), L"say \"\"hi\"\"");
    EXPECT_EQ(EscapeLogValue(L"'\",\\"), L"''\"\"\\,\\");

    EXPECT_EQ(LogDatePattern(0), L"MM-dd-yyyy");
    EXPECT_EQ(LogDatePattern(1), L"dd-MM-yyyy");
    EXPECT_EQ(LogDatePattern(2), L"yyyy-MM-dd");
    EXPECT_EQ(LogDatePattern(7), L"MM-dd-yyyy");
}

TEST(ActionLogFormat, ActionTexts) {
    sim::Machine::Get().Reset();
    ResetLanguageState();
    LoadLanguageModule();
    EXPECT_EQ(ActionText(120), L"(0x78)");
    EXPECT_EQ(ActionText(1), L"(0x1) " + LoadResourceString(217));
    // Actions 28 and 30 share one text.
    EXPECT_EQ(ActionText(30).substr(7), ActionText(28).substr(7));
    std::size_t count = 0;
    const ActionCodeInfo* table = ActionCodeTable(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i].textId >= 0) {
            EXPECT_FALSE(LoadResourceString(static_cast<std::uint32_t>(table[i].textId)).empty())
                << table[i].name;
        }
    }
}

TEST_F(ActionLogTest, NewFileGetsBomHeaderAndQuotedEscapedLines) {
    WriteRecords({Sample(22, L"a,b 'q' \"d\""), Sample(120, L"caf\u00E9")});
    const auto bytes = sim::FileBytes(kLogPath);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->substr(0, kHeaderLine.size()), kHeaderLine);
    const auto lines = Lines(bytes->substr(3));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(bytes->substr(bytes->size() - 2), "\r\n");
    EXPECT_EQ(lines[1],
              "\"134000000000000000\",\"08-18-2025 14:13:20\",\"PC\",\"bob\",\"77\",\"app.exe\","
              "\"22\",\"" + ToUtf8(ActionText(22)) + "\",\"a\\,b ''q'' \"\"d\"\"\","
              "\"c:\\apps\\app.exe\",\"app.exe -x\"");
    // Non-ASCII text is UTF-8; an unknown code shows only its number.
    EXPECT_NE(lines[2].find("\"caf\xC3\xA9\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"(0x78)\""), std::string::npos);
}

TEST_F(ActionLogTest, DateFormatFollowsTheRegistry) {
    machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane", L"DateTimeFormat", 2);
    WriteRecords({Sample()});
    const auto lines = Lines(sim::FileBytes(kLogPath)->substr(3));
    EXPECT_NE(lines[1].find("\"2025-08-18 14:13:20\""), std::string::npos) << lines[1];
}

TEST_F(ActionLogTest, HeaderIsKeptOrRestarted) {
    // A header that differs only in letter case keeps the file's content.
    const std::string lowerHeader = "\xEF\xBB\xBF" + ToUtf8(ToLower(FromUtf8(kLogHeader))) + "\r\n";
    sim::PutFile(kLogPath, lowerHeader + "\"old line\"\r\n");
    WriteRecords({Sample()});
    auto lines = Lines(sim::FileBytes(kLogPath)->substr(3));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "\"old line\"");

    // A damaged file is emptied and restarted with the header.
    sim::PutFile(kLogPath, "garbage that is long enough to be taken for something else entirely, "
                           "and then some more text to pass the header length\r\nline two\r\n");
    WriteRecords({Sample()});
    const std::string bytes = *sim::FileBytes(kLogPath);
    EXPECT_EQ(bytes.substr(0, kHeaderLine.size()), kHeaderLine);
    EXPECT_EQ(Lines(bytes.substr(3)).size(), 2u);
}

TEST_F(ActionLogTest, RotationShiftsGenerationsAndStopsAtAGap) {
    machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane", L"MaxLogFileSize", 300);
    const auto generation = [](int i) { return kLogPath + L"." + std::to_wstring(i); };
    // Full set of generations: the oldest goes, the others move up.
    for (int i = 0; i <= 9; ++i) {
        sim::PutFile(generation(i), "gen" + std::to_string(i));
    }
    WriteRecords({Sample(), Sample()});
    EXPECT_EQ(sim::FileBytes(generation(9)), "gen8");
    EXPECT_EQ(sim::FileBytes(generation(1)), "gen0");
    ASSERT_TRUE(sim::FileBytes(generation(0)).has_value());
    EXPECT_EQ(sim::FileBytes(generation(0))->substr(0, kHeaderLine.size()), kHeaderLine);
    EXPECT_EQ(sim::FileBytes(kLogPath), kHeaderLine);  // a fresh file starts with the header

    // A gap: ".0" missing, ".2" present. Only the current file becomes ".0".
    for (int i = 0; i <= 9; ++i) {
        platform::DeleteFileAt(generation(i));
    }
    sim::PutFile(generation(2), "two");
    platform::DeleteFileAt(kLogPath);
    WriteRecords({Sample(), Sample()});
    EXPECT_EQ(sim::FileBytes(generation(2)), "two");
    EXPECT_FALSE(sim::FileBytes(generation(1)).has_value());
    EXPECT_TRUE(sim::FileBytes(generation(0)).has_value());
}

TEST_F(ActionLogTest, MaxLogFileSizeZeroNeverRotates) {
    machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane", L"MaxLogFileSize", 0);
    std::vector<ActionRecord> many(50, Sample(22, std::wstring(200, L'x')));
    WriteRecords(many);
    EXPECT_FALSE(sim::FileBytes(kLogPath + L".0").has_value());
    EXPECT_EQ(Lines(sim::FileBytes(kLogPath)->substr(3)).size(), 51u);
}

TEST_F(ActionLogTest, ARecordThatCannotBeWrittenIsDroppedAndTheNextIsWritten) {
    machine().FailCall("CreateFile", kLogPath);
    {
        ActionLog log;
        log.SetFolder(kFolder);
        log.Append(Sample());
        ASSERT_TRUE(log.StartWriter());
        log.Wake();
        EXPECT_TRUE(machine().WaitUntil([&] { return log.QueuedCount() == 0; }));
        machine().ClearFailures();
        log.Append(Sample(23));
        log.StopWriter();
    }
    const auto lines = Lines(sim::FileBytes(kLogPath)->substr(3));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("\"23\""), std::string::npos);
}

TEST_F(ActionLogTest, AnotherProgramHoldingTheMutexDelaysButLosesNothing) {
    auto held = platform::CreateMutexObject(names::kActionLogMutex, true,
                                            platform::ObjectSecurity::Open);
    ActionLog log;
    log.SetFolder(kFolder);
    ASSERT_TRUE(log.StartWriter());
    log.Append(Sample(1));
    log.Wake();
    // Recording goes on while the writer waits for the file.
    log.Append(Sample(2));
    machine().WaitUntil([] { return false; }, 0.1);
    EXPECT_FALSE(sim::FileBytes(kLogPath).has_value());
    platform::ReleaseMutexObject(held.Get());
    log.StopWriter();
    const auto lines = Lines(sim::FileBytes(kLogPath)->substr(3));
    ASSERT_EQ(lines.size(), 3u);
}

TEST_F(ActionLogTest, FolderFromRegistryOrApplicationData) {
    {
        ActionLog log;
        EXPECT_EQ(log.Folder(), L"C:\\Users\\Tester\\AppData\\Local\\Corvane\\logs");
        EXPECT_TRUE(sim::IsFolder(log.Folder()));
    }
    machine().CreateKey(RegistryRoot::LocalMachine, L"SYSTEM\\CurrentControlSet\\Services\\Vigilor");
    {
        ActionLog log;
        EXPECT_EQ(log.Folder(), L"C:\\ProgramData\\Corvane\\logs");
    }
    platform::WriteRegistryString(RegistryRoot::LocalMachine, L"Software\\Corvane", L"LogFolder",
                                  L"D:\\My Logs");
    {
        ActionLog log;
        EXPECT_EQ(log.Folder(), L"D:\\My Logs");
        EXPECT_EQ(log.LogPath(), L"D:\\My Logs\\corvane.log");
    }
    // An override is used as given and not created.
    ActionLog log;
    log.SetFolder(L"E:\\elsewhere\\");
    EXPECT_EQ(log.Folder(), L"E:\\elsewhere");
    EXPECT_FALSE(sim::IsFolder(L"E:\\elsewhere"));
}

TEST_F(ActionLogTest, RecordActionFillsTheRecord) {
    ConfigSettings settings;
    ActionLog log;
    ActionFacts facts;
    facts.name = L"app.exe";
    facts.pid = 0xFFFFFFFF;
    facts.commandLine = L"app.exe --secret";
    RecordAction(log, &settings, 22, facts);
    RecordAction(log, nullptr, 22, facts);
    settings.Logging.IncludeCommandLines = true;
    RecordAction(log, &settings, 22, facts);
    log.SetFolder(kFolder);
    ASSERT_TRUE(log.StartWriter());
    log.StopWriter();
    const auto lines = Lines(sim::FileBytes(kLogPath)->substr(3));
    ASSERT_EQ(lines.size(), 4u);
    // No user given: the engine's own account; pid -1 is stored as 0.
    EXPECT_NE(lines[1].find("\"TESTPC\",\"Tester\",\"0\",\"app.exe\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"<command line hidden>\""), std::string::npos);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 3), ",\"\"");  // no configuration: no command line
    EXPECT_NE(lines[3].find("\"app.exe --secret\""), std::string::npos);
}

TEST_F(ActionLogTest, StatisticsCountersAndInstallationId) {
    AddToCounter(L"ProcessInfo_TotalRuntime", 5);
    AddToCounter(L"ProcessInfo_TotalRuntime", 7);
    EXPECT_EQ(ReadCounter(L"ProcessInfo_TotalRuntime"), 12u);
    const auto id = EnsureInstallationId();
    EXPECT_EQ(id.size(), 16u);
    machine().nextUuid.assign(16, 0x11);
    EXPECT_EQ(EnsureInstallationId(), id);  // never changed once there
}

}  // namespace
}  // namespace cv
