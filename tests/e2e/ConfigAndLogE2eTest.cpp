// The engine under Wine with a configuration and a log folder of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <optional>
#include <vector>

#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::seconds;

// An ANSI corvex.ini with a few keys; every other key takes its default.
std::string AnsiConfig(const std::string& updateSpeed, bool logProcesses) {
    std::string text = "[Performance]\r\nUpdateSpeedCore=" + updateSpeed + "\r\n";
    if (logProcesses) {
        text += "[Logging]\r\nLogProcessExecutions=true\r\nLogProcessTerminations=true\r\n";
    }
    return text;
}

class ConfigAndLog : public ::testing::Test {
  protected:
    void SetUp() override {
        if (EngineMutexExists()) {
            RunEngineCommand(L"/exit");
            ASSERT_TRUE(WaitFor([] { return !EngineMutexExists(); }, seconds(10)));
        }
    }
    void StopEngine(Program& engine) {
        EXPECT_EQ(RunEngineCommand(L"/exit"), std::optional<DWORD>(0));
        EXPECT_EQ(engine.WaitForExit(5000), std::optional<DWORD>(0));
    }
};

TEST_F(ConfigAndLog, FirstStartCreatesTheDefaultsAndASecondStartKeepsThem) {
    TempFolder config(L"cfg-new");
    TempFolder logs(L"logs-new");
    {
        Program engine;
        ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
        StopEngine(engine);
    }
    const std::string created = ReadBytes(config.File(L"corvex.ini"));
    ASSERT_GT(created.size(), 1000u);
    // UTF-16LE with a byte order mark, the first section header, CR LF.
    std::string expected = "\xFF\xFE";
    for (const char c : std::string("[Administration]\r\n")) {
        expected.push_back(c);
        expected.push_back('\0');
    }
    EXPECT_EQ(created.compare(0, expected.size(), expected), 0);
    EXPECT_TRUE(HasAction(logs, "59", "code 2"));
    {
        Program engine;
        ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
        StopEngine(engine);
    }
    EXPECT_EQ(ReadBytes(config.File(L"corvex.ini")), created);
}

TEST_F(ConfigAndLog, RewrittenConfigurationIsPickedUpWithinTwoCycles) {
    TempFolder config(L"cfg-reload");
    TempFolder logs(L"logs-reload");
    WriteBytes(config.File(L"corvex.ini"), AnsiConfig("400", false));
    Program engine;
    ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    // The user interface rewrites the file and sets Corvane777.
    WriteBytes(config.File(L"corvex.ini"), AnsiConfig("300", false));
    HANDLE changed = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Corvane777");
    ASSERT_NE(changed, nullptr);
    SetEvent(changed);
    CloseHandle(changed);
    // Two cycles of 400 ms, the 500 ms pause of a reload, and the writer's turn.
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "79", "300"); }, seconds(4)));

    // Rewriting alone is noticed by the folder watcher.
    WriteBytes(config.File(L"corvex.ini"), AnsiConfig("350", false));
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "79", "350"); }, seconds(4)));
    StopEngine(engine);
}

TEST_F(ConfigAndLog, NewAndEndedProcessesAreLoggedWithParentAndRunTime) {
    TempFolder config(L"cfg-procs");
    TempFolder logs(L"logs-procs");
    WriteBytes(config.File(L"corvex.ini"), AnsiConfig("250", true));
    Program engine;
    ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
    // The start-up records are written at the end of the first cycle; processes already running
    // then are not new.
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "60"); }, seconds(10)));

    Program helper;
    ASSERT_TRUE(helper.Start(TestFolder() + L"\\cv_e2e_sleeper.exe", L"1500"));
    const std::string pid = std::to_string(helper.Id());
    EXPECT_EQ(helper.WaitForExit(10000), std::optional<DWORD>(0));
    const std::string pidField = "\",\"" + pid + "\",\"cv_e2e_sleeper.exe\",\"";
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "76", pidField); }, seconds(5)));
    StopEngine(engine);

    const auto lines = LogLines(logs);
    std::vector<std::string> order;
    std::string started;
    std::string ended;
    for (const auto& line : lines) {
        order.push_back(ActionOf(line));
        if (line.find(pidField) != std::string::npos) {
            (ActionOf(line) == "1" ? started : ended) = line;
        }
    }
    ASSERT_GE(order.size(), 5u) << ReadBytes(logs.File(L"corvane.log"));
    EXPECT_EQ((std::vector<std::string>(order.begin(), order.begin() + 3)),
              (std::vector<std::string>{"59", "58", "60"}));
    // The helper's parent is this test program, which the engine tracks.
    const std::string parent = "(" + std::to_string(GetCurrentProcessId()) + ")";
    EXPECT_NE(started.find("cv_e2e_tests.exe"), std::string::npos) << started;
    EXPECT_NE(started.find(parent), std::string::npos) << started;
    EXPECT_NE(ended.find("seconds"), std::string::npos) << ended;
    EXPECT_NE(ended.find("CPU"), std::string::npos) << ended;
}

// The machine-wide log folder value, set for one test and put back as it was.
TEST_F(ConfigAndLog, ARefreshIntervalOfMinusOneNeitherHangsNorSpins) {
    TempFolder config(L"cfg-speed");
    TempFolder logs(L"logs-speed");
    WriteBytes(config.File(L"corvex.ini"), AnsiConfig("-1", true));
    Program engine;
    ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "60"); }, seconds(10)));
    Program helper;
    ASSERT_TRUE(helper.Start(TestFolder() + L"\\cv_e2e_sleeper.exe", L"5000"));
    const std::string pidField = "\",\"" + std::to_string(helper.Id()) + "\",\"";
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "1", pidField); }, seconds(3)));
    StopEngine(engine);
    // The file keeps what the user wrote.
    EXPECT_NE(ReadBytes(config.File(L"corvex.ini")).find("UpdateSpeedCore=-1"), std::string::npos);
}

TEST_F(ConfigAndLog, CheckExitsOneOnABadEntryAndZeroOnTheDefaults) {
    TempFolder config(L"cfg-check");
    TempFolder logs(L"logs-check");
    // The defaults, as a first start writes them.
    Program engine;
    ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "60"); }, seconds(10)));
    StopEngine(engine);
    const std::wstring defaults = config.File(L"corvex.ini");
    const std::string before = ReadBytes(defaults);
    EXPECT_EQ(RunEngineCommand(L"\"/check=" + defaults + L"\""), std::optional<DWORD>(0));
    EXPECT_EQ(ReadBytes(defaults), before);

    const std::wstring bad = config.File(L"bad.ini");
    WriteBytes(bad,
               "[ProcessDefaults]\r\nDefaultPriorities=a.exe,Fastest\r\n"
               "[AdvancedRules]\r\nWatchdogRules2=a.exe;0;0;90\r\n");
    EXPECT_EQ(RunEngineCommand(L"\"/check=" + bad + L"\""), std::optional<DWORD>(1));
    EXPECT_EQ(ReadBytes(bad).size(), 98u);  // never rewritten
}

class LogFolderValue {
  public:
    explicit LogFolderValue(const std::wstring& folder) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Corvane", 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
        wchar_t old[MAX_PATH] = {};
        DWORD size = sizeof old;
        DWORD type = 0;
        if (RegQueryValueExW(key_, L"LogFolder", nullptr, &type, reinterpret_cast<BYTE*>(old),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            old_ = old;
        }
        Set(folder);
    }
    LogFolderValue(const LogFolderValue&) = delete;
    LogFolderValue& operator=(const LogFolderValue&) = delete;
    ~LogFolderValue() {
        if (old_) {
            Set(*old_);
        } else {
            RegDeleteValueW(key_, L"LogFolder");
        }
        RegCloseKey(key_);
    }

  private:
    void Set(const std::wstring& folder) {
        RegSetValueExW(key_, L"LogFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                       static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    HKEY key_ = nullptr;
    std::optional<std::wstring> old_;
};

TEST_F(ConfigAndLog, AMissingLogFolderOnTheCommandLineFallsBackToTheConfiguredOne) {
    TempFolder config(L"cfg-badlog");
    TempFolder fallback(L"fallback");
    const LogFolderValue configured(fallback.Path());
    const std::wstring missing = fallback.Path() + L"-missing";
    Program engine;
    ASSERT_TRUE(StartEngine(
        engine, L"\"/configfolder=" + config.Path() + L"\" \"/logfolder=" + missing + L"\""));
    EXPECT_TRUE(WaitFor([&] { return HasAction(fallback, "60"); }, seconds(10)));
    StopEngine(engine);
    const auto lines = LogLines(fallback);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(ActionOf(lines[0]), "59");
    // The command line reaches the engine in lower case; the temporary path is plain ASCII.
    std::string expected = "the log folder ";
    for (const wchar_t c : missing) {
        expected.push_back(static_cast<char>(std::towlower(c)));
    }
    expected += " cannot be used";
    std::string line = lines[0];
    std::transform(line.begin(), line.end(), line.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    EXPECT_NE(line.find(expected), std::string::npos) << lines[0];
    EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ConfigAndLog, AProgramHoldingTheLogMutexDelaysWritingButLosesNothing) {
    TempFolder config(L"cfg-mutex");
    TempFolder logs(L"logs-mutex");
    WriteBytes(config.File(L"corvex.ini"), AnsiConfig("250", true));
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\{0ecca2f1-bb26-401e-8495-a7c70449e863}");
    ASSERT_NE(mutex, nullptr);
    Program engine;
    ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
    // Past the engine's first cycle (its start-up pauses for the folder watcher).
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    Program helper;
    ASSERT_TRUE(helper.Start(TestFolder() + L"\\cv_e2e_sleeper.exe", L"600"));
    EXPECT_EQ(helper.WaitForExit(10000), std::optional<DWORD>(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(LogLines(logs).empty());
    // The engine keeps cycling meanwhile: a second start still finds it.
    EXPECT_TRUE(engine.IsRunning());
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    const std::string pidField = "\",\"" + std::to_string(helper.Id()) + "\",\"";
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "76", pidField); }, seconds(5)));
    EXPECT_TRUE(HasAction(logs, "1", pidField));
    EXPECT_TRUE(HasAction(logs, "60"));
    StopEngine(engine);
}

}  // namespace
}  // namespace cv::e2e
