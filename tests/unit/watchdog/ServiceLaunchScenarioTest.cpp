// Programs the engine starts while it runs as the Vigilor service (as SYSTEM) with
// AllowElevatedChildren set: what a standard user's process makes it start runs as that user, in
// that user's session, with the texts of the process as single arguments; a keep-running program
// runs as SYSTEM only when no standard user can change it.
#include "EngineScenario.h"
#include "actionlog/ActionCodes.h"
#include "common/ArgumentCases.h"
#include "engine/ConfigCheckCommand.h"
#include "platform/FileSecurity.h"
#include "platform/sim/SimFiles.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

class ServiceLaunchScenario : public test::EngineScenario {
  protected:
    void SetUp() override {
        EngineScenario::SetUp();
        machine().CreateKey(platform::RegistryRoot::LocalMachine,
                            L"SYSTEM\\CurrentControlSet\\Services\\Vigilor");
        machine().SetDword(platform::RegistryRoot::LocalMachine, L"Software\\Corvane",
                           L"AllowElevatedChildren", 1);
        machine().userName = L"SYSTEM";
        machine().ownSessionId = 0;
        machine().processorCount = 8;  // a keep-running grace of 10 cycles
    }
    // Standard users may add files to the folder (or write the file).
    static void LetUsersWrite(const std::wstring& path) {
        platform::PathSecurity security = sim::DefaultSecurity();
        security.grants.push_back({platform::kSidUsers, platform::kFileWriteData});
        sim::SetPathSecurity(path, security);
    }
    // A process of the standard user Alice, in session 2, from a folder of hers.
    sim::SimProcess& AlicesProcess(std::uint32_t pid, const std::wstring& commandLine) {
        sim::PutFile(L"C:\\Users\\Alice\\tool.exe", "MZ");
        LetUsersWrite(L"C:\\Users\\Alice");
        auto& process = machine().AddProcess(pid, L"tool.exe");
        process.parentPid = 4;
        process.imagePath = L"C:\\Users\\Alice\\tool.exe";
        process.commandLine = commandLine;
        process.user = L"Alice";
        process.sessionId = 2;
        return process;
    }
    // The arguments the launched program gets, after its own name.
    static std::vector<std::wstring> ArgumentsOf(const sim::LaunchCall& launch) {
        const std::size_t end = launch.parameters.find(L'"', 1);
        return test::SplitArguments(launch.parameters.substr(end + 1), false);
    }
};

TEST_F(ServiceLaunchScenario, ARestartStartsTheUsersProgramAsThatUserInItsSession) {
    // The restarted process is idle too: the rule's two seconds keep it from a second restart.
    Start({{L"WatchdogRules2", L"tool.exe;1;0;1;2000;0;0;2;-;-;-;-"}});
    sim::SimProcess& tool = AlicesProcess(300, L"\"C:\\Users\\Alice\\tool.exe\" -x \"a b\"");
    Cycles(4);
    EXPECT_TRUE(tool.ended);
    ASSERT_EQ(machine().launches.size(), 1u);
    const sim::LaunchCall& launch = machine().launches[0];
    EXPECT_EQ(launch.kind, sim::LaunchCall::Kind::CreateProcessAsUser);
    EXPECT_EQ(launch.user, L"Alice");
    EXPECT_EQ(launch.sessionId, 2u);
    EXPECT_EQ(launch.tokenOfProcess, 300u);
    EXPECT_TRUE(launch.userEnvironment);
    EXPECT_EQ(ArgumentsOf(launch), (std::vector<std::wstring>{L"-x", L"a b"}));
    const sim::SimProcess* restarted = machine().FindProcess(9000);
    ASSERT_NE(restarted, nullptr);
    EXPECT_EQ(restarted->user, L"Alice");
    EXPECT_EQ(Only(StopAndReadLog(), CV_ACTION_TOOK_WATCHDOG_GENERAL_RESTART).size(), 1u);
}

// Without the user's token the process is left running rather than closed for nothing; a
// process of SYSTEM's own is started again as SYSTEM only from a file no standard user can
// change, and otherwise left running with one record.
TEST_F(ServiceLaunchScenario, ARestartThatCannotRunAsTheProcessUserLeavesItRunning) {
    const struct {
        const char* what;
        const wchar_t* user;
        const wchar_t* path;
        bool tokenFails;
        bool restarted;
        std::uint32_t record;
    } cases[] = {
        {"token unreadable", L"Alice", L"C:\\Users\\Alice\\tool.exe", true, false,
         CV_ACTION_TOOK_WATCHDOG_GENERAL_RESTART_ERROR},
        {"SYSTEM's, user-writable", L"SYSTEM", L"C:\\Users\\Alice\\tool.exe", false, false,
         CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED},
        {"SYSTEM's, administrators only", L"SYSTEM", L"C:\\Program Files\\Tool\\tool.exe", false,
         true, CV_ACTION_TOOK_WATCHDOG_GENERAL_RESTART},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::PutFile(L"C:\\Program Files\\Tool\\tool.exe", "MZ");
        Start({{L"WatchdogRules2", L"tool.exe;1;0;1;2000;0;0;2;-;-;-;-"}});
        sim::SimProcess& tool = AlicesProcess(300, L"tool.exe");
        tool.user = c.user;
        tool.imagePath = c.path;
        if (c.tokenFails) {
            machine().FailCall("OpenProcessToken");
        }
        Cycles(5);
        EXPECT_EQ(tool.ended, c.restarted);
        EXPECT_EQ(machine().launches.size(), c.restarted ? 1u : 0u);
        if (c.restarted) {
            EXPECT_EQ(machine().launches[0].user, L"SYSTEM");
        }
        EXPECT_EQ(Only(StopAndReadLog(), c.record).size(), 1u);
        TearDown();
        SetUp();
    }
}

// The launched program gets each text of the process as exactly one argument, as Windows splits
// its command line, and runs as the process's user. (A rule's field that begins with "-" is read
// as empty, so the arguments here begin otherwise.)
TEST_F(ServiceLaunchScenario, ALaunchGetsEachTextOfTheProcessAsOneArgument) {
    for (const auto& value : test::kHostileValues) {
        for (const wchar_t* arguments : {L"%4", L"/c \"%4\" %1", L"/line=%4"}) {
            SCOPED_TRACE(ToUtf8(std::wstring(arguments) + L" with " + value));
            Start({{L"WatchdogRules2", std::wstring(L"tool.exe;8;0;1;0;0;0;2;") +
                                           L"c:\\program files\\report\\report.exe;" + arguments +
                                           L";-;-"}});
            AlicesProcess(300, value);
            Cycles(2);
            ASSERT_EQ(machine().launches.size(), 1u);
            const sim::LaunchCall& launch = machine().launches[0];
            EXPECT_EQ(launch.user, L"Alice");
            EXPECT_EQ(launch.sessionId, 2u);
            const std::vector<std::wstring> expected =
                std::wstring(arguments) == L"%4" ? std::vector<std::wstring>{value}
                : std::wstring(arguments) == L"/line=%4"
                    ? std::vector<std::wstring>{L"/line=" + value}
                    : std::vector<std::wstring>{L"/c", value, L"300"};
            EXPECT_EQ(ArgumentsOf(launch), expected) << ToUtf8(launch.parameters);
            TearDown();
            SetUp();
        }
    }
}

class ServiceKeepRunningScenario : public ServiceLaunchScenario {
  protected:
    int CyclesUntilLaunch(int limit) {
        for (int cycle = 1; cycle <= limit; ++cycle) {
            EXPECT_TRUE(loop_->RunCycle());
            if (!machine().launches.empty()) {
                return cycle;
            }
        }
        return -1;
    }
};

TEST_F(ServiceKeepRunningScenario, AProgramInAnAdministratorsOnlyFolderStartsAsSystem) {
    sim::PutFile(L"c:\\program files\\agent\\agent.exe", "MZ");
    Start({{L"KeepRunningProcesses", L"c:\\program files\\agent\\agent.exe;-svc;0"}});
    EXPECT_EQ(CyclesUntilLaunch(15), 12);  // the counter must exceed the grace
    const sim::LaunchCall& launch = machine().launches[0];
    EXPECT_EQ(launch.kind, sim::LaunchCall::Kind::CreateProcess);
    EXPECT_EQ(launch.user, L"SYSTEM");
    EXPECT_EQ(launch.sessionId, 0u);
    EXPECT_EQ(Only(StopAndReadLog(), 23).size(), 1u);
}

// Refused with one record (95 saying why, then 24) however often the configuration is
// reloaded, and the configuration check names the entry.
TEST_F(ServiceKeepRunningScenario, AProgramAStandardUserMayChangeIsRefusedWithOneRecord) {
    const struct {
        const char* what;
        const wchar_t* writable;
    } cases[] = {
        {"the program", L"c:\\tools\\agent.exe"},
        {"its folder", L"c:\\tools"},
        {"the drive's root", L"c:\\"},
    };
    const Keys keys = {{L"KeepRunningProcesses", L"c:\\tools\\agent.exe;-svc;0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::PutFile(L"c:\\tools\\agent.exe", "MZ");
        LetUsersWrite(c.writable);
        Start(keys);
        EXPECT_EQ(CyclesUntilLaunch(15), -1);
        for (int reload = 0; reload < 2; ++reload) {
            WriteConfig(keys);
            machine().SetNamedEvent(names::kReloadNowEvent);
            EXPECT_EQ(CyclesUntilLaunch(3), -1);
        }
        const auto log = StopAndReadLog();
        const auto refusals = Only(log, CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED);
        ASSERT_EQ(refusals.size(), 1u);
        EXPECT_NE(refusals[0].info.find(L"standard user"), std::wstring::npos);
        EXPECT_EQ(Only(log, 24).size(), 1u);

        machine().parentConsole = true;
        machine().consoleOutput.clear();
        EXPECT_EQ(RunConfigCheck(ConfigPath()), 1);
        EXPECT_NE(machine().consoleOutput.find(L"KeepRunningProcesses: "), std::wstring::npos)
            << ToUtf8(machine().consoleOutput);
        EXPECT_NE(machine().consoleOutput.find(L"standard user may change it"), std::wstring::npos);
        TearDown();
        SetUp();
    }
}

}  // namespace
}  // namespace cv
