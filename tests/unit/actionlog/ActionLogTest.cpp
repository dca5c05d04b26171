#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "SimFixture.h"
#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/LogFile.h"
#include "actionlog/LogWriter.h"
#include "actionlog/Statistics.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "platform/KernelObjects.h"
#include "platform/sim/SimFiles.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

using platform::RegistryRoot;

const std::wstring kFolder = L"C:\\Logs";
const std::wstring kLogPath = L"C:\\Logs\\corvane.log";
const std::string kHeaderLine = std::string("\xEF\xBB\xBF") + kLogHeader + "\r\n";
const std::wstring kDefaultFolder = L"C:\\Users\\Tester\\AppData\\Local\\Corvane\\logs";
const std::wstring kCorvaneKey = L"Software\\Corvane";

// Waits in real time for the writer thread, which the simulated clock does not drive.
template <typename Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 10000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// The fields of one CSV line as a strict reader takes them: each in double quotes, a quote
// inside doubled, no line break inside. Nothing when the line is not valid.
std::optional<std::vector<std::string>> CsvFields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t i = 0;
    for (;;) {
        if (i >= line.size() || line[i] != '"') {
            return std::nullopt;
        }
        std::string field;
        for (++i;; ++i) {
            if (i >= line.size() || line[i] == '\r' || line[i] == '\n') {
                return std::nullopt;
            }
            if (line[i] == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    field += '"';
                    ++i;
                    continue;
                }
                break;
            }
            field += line[i];
        }
        fields.push_back(std::move(field));
        if (++i == line.size()) {
            return fields;
        }
        if (line[i++] != ',') {
            return std::nullopt;
        }
    }
}

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

    // The records of a log file that every CSV reader accepts: the byte order mark, the header,
    // then lines of eleven quoted fields, each ended by CR LF.
    static std::vector<std::vector<std::string>> CsvRecords(const std::wstring& path) {
        std::vector<std::vector<std::string>> records;
        const auto bytes = sim::FileBytes(path);
        if (!bytes || bytes->substr(0, kHeaderLine.size()) != kHeaderLine) {
            ADD_FAILURE() << "no log with a header at " << ToUtf8(path);
            return records;
        }
        EXPECT_EQ(bytes->substr(bytes->size() - 2), "\r\n");
        const auto lines = Lines(bytes->substr(kHeaderLine.size()));
        for (const auto& line : lines) {
            const auto fields = CsvFields(line);
            if (!fields || fields->size() != 11) {
                ADD_FAILURE() << "not a whole record: " << line;
                continue;
            }
            records.push_back(*fields);
        }
        return records;
    }
    static const std::string& ActionId(const std::vector<std::string>& record) { return record[6]; }
    static const std::string& Info(const std::vector<std::string>& record) { return record[8]; }

    static std::optional<std::uint32_t> SavedLostCount() {
        return sim::Machine::Get().GetDword(RegistryRoot::CurrentUser, kCorvaneKey,
                                            L"LostLogRecords");
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
              "\"22\",\"" +
                  ToUtf8(ActionText(22)) +
                  "\",\"a\\,b ''q'' \"\"d\"\"\","
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
    sim::PutFile(kLogPath,
                 "garbage that is long enough to be taken for something else entirely, "
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
    platform::WriteRegistryString(RegistryRoot::LocalMachine, kCorvaneKey, L"LogFolder", kFolder);
    machine().FailCall("CreateFile", kLogPath);
    {
        ActionLog log;
        log.Append(Sample());
        ASSERT_TRUE(log.StartWriter());
        log.Wake();
        EXPECT_TRUE(machine().WaitUntil([&] { return log.QueuedCount() == 0; }));
        machine().ClearFailures();
        log.Append(Sample(23));
        log.StopWriter();
    }
    const auto records = CsvRecords(kLogPath);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Info(records[0]),
              "1 earlier action record could not be written to the log and was lost");
    EXPECT_EQ(ActionId(records[1]), "23");
}

TEST_F(ActionLogTest, AppendCutsAnEarlierTornLineBack) {
    const std::string whole = "\"a\",\"b\"\r\n";
    const std::string lfHeaderLine = kHeaderLine.substr(0, kHeaderLine.size() - 2) + "\n";
    const struct {
        const char* name;
        std::string before;
        std::string after;  // the file once the line "new" is appended
    } cases[] = {
        {"missing file", "", kHeaderLine + "\"new\"\r\n"},
        {"whole lines", kHeaderLine + whole, kHeaderLine + whole + "\"new\"\r\n"},
        {"torn last line", kHeaderLine + whole + "\"par", kHeaderLine + whole + "\"new\"\r\n"},
        {"torn first line", kHeaderLine + "\"par", kHeaderLine + "\"new\"\r\n"},
        {"header without its line end", kHeaderLine.substr(0, kHeaderLine.size() - 2),
         kHeaderLine + "\"new\"\r\n"},
        {"torn line longer than a read", kHeaderLine + whole + std::string(9000, 'x'),
         kHeaderLine + whole + "\"new\"\r\n"},
        {"line end split across reads",
         kHeaderLine + std::string(4095, 'y') + "\r\n" + std::string(4095, 'z'),
         kHeaderLine + std::string(4095, 'y') + "\r\n\"new\"\r\n"},
        {"torn line ending in CR", kHeaderLine + whole + "\"par\r",
         kHeaderLine + whole + "\"new\"\r\n"},
        // An editor may have left the lines with LF alone: they are whole lines all the same.
        {"lines ending in LF alone", lfHeaderLine + "\"a\"\n\"b\"\n",
         lfHeaderLine + "\"a\"\n\"b\"\n\"new\"\r\n"},
        {"torn line after LF lines", lfHeaderLine + "\"a\"\n\"par",
         lfHeaderLine + "\"a\"\n\"new\"\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::DeleteFileAt(kLogPath);
        if (!c.before.empty()) {
            sim::PutFile(kLogPath, c.before);
        }
        EXPECT_TRUE(AppendLogLine(kLogPath, "\"new\"", 0));
        EXPECT_EQ(sim::FileBytes(kLogPath), c.after);
    }
}

TEST_F(ActionLogTest, FullDiskLosesWholeRecordsOnlyAndReportsThem) {
    machine().SetDword(RegistryRoot::LocalMachine, kCorvaneKey, L"MaxLogFileSize", 0);
    const struct {
        const char* name;
        bool cutFails;  // the failed write's remains stay until the next record cuts them
    } cases[] = {{"remains cut at once", false}, {"remains cut by the next record", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::DeleteFileAt(kLogPath);
        ActionLog log;
        log.SetFolder(kFolder);
        ASSERT_TRUE(log.StartWriter());
        log.Append(Sample(22, L"before"));
        log.Wake();
        ASSERT_TRUE(Eventually([] {
            return sim::FileBytes(kLogPath).value_or("").find("before") != std::string::npos;
        }));
        // Room for part of a record only: each write fails part-way, as at a 4 KB boundary.
        sim::SetFreeSpace(100);
        if (c.cutFails) {
            machine().FailCall("SetEndOfFile");
        }
        log.Append(Sample(22, L"lost, \"one\""));
        log.Append(Sample(22, L"lost 'two'"));
        log.Wake();
        ASSERT_TRUE(Eventually([&] { return log.LostCount() == 2; }));
        machine().ClearFailures();
        sim::SetFreeSpace(std::nullopt);
        log.Append(Sample(23, L"after, \"freed\""));
        log.StopWriter();

        const auto records = CsvRecords(kLogPath);
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(Info(records[0]), "before");
        EXPECT_EQ(ActionId(records[1]), "59");
        EXPECT_EQ(Info(records[1]),
                  "2 earlier action records could not be written to the log and were lost");
        EXPECT_EQ(records[1][0], records[2][0]);  // dated like the record it precedes
        EXPECT_EQ(Info(records[2]), "after\\, \"freed\"");
        EXPECT_EQ(log.LostCount(), 0u);
    }
}

TEST_F(ActionLogTest, AnUnusableOverrideFolderFallsBackToTheDefaultAndSaysSo) {
    const struct {
        const char* name;
        std::wstring folder;
        void (*prepare)();
        bool usable;
    } cases[] = {
        {"usable", L"C:\\Given", [] { sim::PutFolder(L"C:\\Given"); }, true},
        {"missing", L"C:\\Missing\\logs", [] {}, false},
        {"a file", L"C:\\Given\\file.txt", [] { sim::PutFile(L"C:\\Given\\file.txt", "x"); },
         false},
        {"log file refused", L"C:\\Given",
         [] {
             sim::PutFolder(L"C:\\Given");
             sim::Machine::Get().FailCall("CreateFile", L"C:\\Given\\corvane.log");
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().Reset();
        c.prepare();
        {
            ActionLog log;
            log.SetFolder(c.folder);
            log.Append(Sample(22, L"first"));
            ASSERT_TRUE(log.StartWriter());
            log.StopWriter();
            EXPECT_EQ(log.Folder(), c.usable ? c.folder : kDefaultFolder);
        }
        machine().ClearFailures();
        const auto records = CsvRecords((c.usable ? c.folder : kDefaultFolder) + L"\\corvane.log");
        ASSERT_EQ(records.size(), c.usable ? 1u : 2u);
        EXPECT_EQ(Info(records.back()), "first");
        if (!c.usable) {
            EXPECT_EQ(ActionId(records[0]), "59");
            EXPECT_EQ(Info(records[0]), "The log folder " + ToUtf8(EscapeLogValue(c.folder)) +
                                            " cannot be used; the log is written to " +
                                            ToUtf8(kDefaultFolder) + " instead");
            // Nothing is left behind where the log could not go.
            EXPECT_FALSE(sim::FileBytes(c.folder + L"\\corvane.log").has_value());
        }
    }
}

TEST_F(ActionLogTest, StopIsBoundedWhileTheMutexIsHeldAndTheLossIsReportedNextRun) {
    const struct {
        const char* name;
        bool freedDuringStop;
        std::chrono::milliseconds grace;
    } cases[] = {
        {"freed during the stop", true, ActionLog::kStopGrace},
        {"held past the grace", false, std::chrono::milliseconds(200)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().Reset();
        sim::PutFolder(kFolder);
        auto held = platform::CreateMutexObject(names::kActionLogMutex, true,
                                                platform::ObjectSecurity::Open);
        {
            ActionLog log(c.grace);
            log.SetFolder(kFolder);
            ASSERT_TRUE(log.StartWriter());
            for (int i = 0; i < 15; ++i) {
                log.Append(Sample(22, L"queued " + std::to_wstring(i)));
            }
            log.Wake();
            const auto start = std::chrono::steady_clock::now();
            std::thread stopper([&] { log.StopWriter(); });
            if (c.freedDuringStop) {
                platform::ReleaseMutexObject(held.Get());
            }
            stopper.join();
            EXPECT_LT(std::chrono::steady_clock::now() - start, ActionLog::kStopGrace);
            EXPECT_TRUE(Eventually([&] { return !log.WriterRunning(); }));
            EXPECT_EQ(log.LostCount(), c.freedDuringStop ? 0u : 15u);
        }
        if (c.freedDuringStop) {
            EXPECT_EQ(CsvRecords(kLogPath).size(), 15u);
            EXPECT_FALSE(SavedLostCount().has_value());
            continue;
        }
        EXPECT_FALSE(sim::FileBytes(kLogPath).has_value());
        EXPECT_EQ(SavedLostCount(), 15u);
        platform::ReleaseMutexObject(held.Get());
        // The next run's first record tells of them.
        WriteRecords({Sample(22, L"next run")});
        const auto records = CsvRecords(kLogPath);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(Info(records[0]),
                  "15 earlier action records could not be written to the log and were lost");
        EXPECT_EQ(Info(records[1]), "next run");
        EXPECT_FALSE(SavedLostCount().has_value());
    }
}

TEST_F(ActionLogTest, AWriteThatNeverReturnsDoesNotHoldUpTheStop) {
    ActionLog log(std::chrono::milliseconds(100));
    log.SetFolder(kFolder);
    sim::PutFile(kLogPath, kHeaderLine);
    sim::SetWritesHang(kLogPath, true);
    ASSERT_TRUE(log.StartWriter());
    for (int i = 0; i < 3; ++i) {
        log.Append(Sample());
    }
    log.Wake();
    ASSERT_TRUE(Eventually([&] { return log.QueuedCount() == 2; }));  // one is being written
    log.StopWriter();
    EXPECT_TRUE(log.WriterRunning());
    EXPECT_EQ(log.LostCount(), 3u);
    EXPECT_EQ(SavedLostCount(), 3u);
    // Once the write returns the writer ends without writing the rest.
    sim::SetWritesHang(kLogPath, false);
    EXPECT_TRUE(Eventually([&] { return !log.WriterRunning(); }));
    EXPECT_LE(Lines(sim::FileBytes(kLogPath)->substr(3)).size(), 2u);
}

TEST_F(ActionLogTest, TheQueueKeepsTheNewestRecordsAndCountsTheDropped) {
    machine().SetDword(RegistryRoot::LocalMachine, kCorvaneKey, L"MaxLogFileSize", 0);
    auto held =
        platform::CreateMutexObject(names::kActionLogMutex, true, platform::ObjectSecurity::Open);
    ActionLog log;
    log.SetFolder(kFolder);
    ASSERT_TRUE(log.StartWriter());
    const std::size_t total = LogWriter::kQueueLimit + 3;
    for (std::size_t i = 0; i < total; ++i) {
        log.Append(Sample(22, std::to_wstring(i)));
    }
    log.Wake();
    EXPECT_EQ(log.QueuedCount(), LogWriter::kQueueLimit);
    EXPECT_EQ(log.LostCount(), 3u);
    platform::ReleaseMutexObject(held.Get());
    ASSERT_TRUE(Eventually([&] { return log.LostCount() == 0 && log.QueuedCount() == 0; }));
    log.StopWriter();
    const auto records = CsvRecords(kLogPath);
    ASSERT_EQ(records.size(), LogWriter::kQueueLimit + 1);
    EXPECT_EQ(Info(records[0]),
              "3 earlier action records could not be written to the log and were lost");
    EXPECT_EQ(Info(records[1]), "3");
    EXPECT_EQ(Info(records.back()), std::to_string(total - 1));
}

TEST_F(ActionLogTest, AnotherProgramHoldingTheMutexDelaysButLosesNothing) {
    auto held =
        platform::CreateMutexObject(names::kActionLogMutex, true, platform::ObjectSecurity::Open);
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
    machine().CreateKey(RegistryRoot::LocalMachine,
                        L"SYSTEM\\CurrentControlSet\\Services\\Vigilor");
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
    EXPECT_NE(lines[1].find("\"TESTPC\",\"Tester\",\"0\",\"app.exe\""), std::string::npos)
        << lines[1];
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
