#include "EngineScenario.h"
#include "keeprunning/KeepRunning.h"

namespace cv {
namespace {

TEST(KeepRunningTracker, CommandLineFormsThatSatisfyARule) {
    ConfigSettings settings;
    ConfigDocument document;
    AddEntry(document, L"ProcessDefaults", L"KeepRunningProcesses",
             L"c:\\tools\\agent.exe;-svc;0,c:\\tools\\agent.exe;-other;0");
    settings.ReadSettings(document);
    const struct {
        const wchar_t* path;
        const wchar_t* commandLine;
        std::vector<std::wstring> stillMissing;
    } cases[] = {
        {L"c:\\tools\\agent.exe", L"\"C:\\Tools\\Agent.exe\" -svc", {L"-other"}},
        {L"c:\\tools\\agent.exe", L"c:\\tools\\agent.exe -svc", {L"-other"}},
        {L"c:\\tools\\agent.exe", L"-SVC", {L"-other"}},
        {L"c:\\tools\\agent.exe", L"", {}},  // an unreadable command line satisfies every rule
        {L"c:\\tools\\agent.exe", L"agent.exe -x", {L"-other", L"-svc"}},
        {L"", L"-svc", {L"-other", L"-svc"}},  // no path: nothing satisfied
        {L"c:\\other\\agent.exe", L"-svc", {L"-other", L"-svc"}},
    };
    for (const auto& c : cases) {
        KeepRunningTracker tracker;
        tracker.Load(*settings.BuildRules());
        tracker.MarkRunning(L"agent.exe", c.path, c.commandLine);
        std::vector<std::wstring> missing;
        for (const auto& rule : tracker.NotRunning()) {
            missing.push_back(rule.arguments);
        }
        EXPECT_EQ(missing, c.stillMissing) << c.commandLine;
    }
}

TEST(KeepRunningTracker, RulesAndLiveProcessesMeetBeyondAscii) {
    const struct {
        const wchar_t* rule;
        const wchar_t* livePath;
    } cases[] = {
        {L"C:\\\u041F\u0420\u041E\u0413\\app.exe", L"C:\\\u041F\u0420\u041E\u0413\\APP.EXE"},
        {L"C:\\\u041F\u0420\u041E\u0413\\app.exe", L"c:\\\u043F\u0440\u043E\u0433\\app.exe"},
        {L"D:\\\u0394\u0399\u0391\\\u00C9T\u00C9.exe",
         L"d:\\\u03B4\u03B9\u03B1\\\u00E9t\u00E9.exe"},
    };
    for (const auto& c : cases) {
        ConfigSettings settings;
        ConfigDocument document;
        AddEntry(document, L"ProcessDefaults", L"KeepRunningProcesses",
                 std::wstring(c.rule) + L";;0");
        settings.ReadSettings(document);
        KeepRunningTracker tracker;
        tracker.Load(*settings.BuildRules());
        ASSERT_EQ(tracker.RuleCount(), 1u);
        tracker.MarkRunning(L"app.exe", c.livePath, L"");
        EXPECT_TRUE(tracker.NotRunning().empty()) << ToUtf8(c.livePath);
    }
}

TEST(KeepRunningTracker, RestartPlans) {
    const auto quoted = PlanRestart(L"c:\\tools\\agent.exe", L"-svc");
    EXPECT_EQ(quoted.directory, L"c:\\tools");
    EXPECT_EQ(quoted.commandLine, L"\"c:\\tools\\agent.exe\" -svc");
    const auto whole = PlanRestart(L"c:\\tools\\agent.exe", L"c:\\tools\\agent.exe /a,b;c");
    EXPECT_EQ(whole.commandLine, L"c:\\tools\\agent.exe /a,b;c");
    EXPECT_EQ(PlanRestart(L"agent.exe", L"").directory, L"agent.exe");
}

class KeepRunningScenario : public test::EngineScenario {
  protected:
    const std::map<std::wstring, std::wstring> kRule = {
        {L"KeepRunningProcesses", L"c:\\tools\\agent.exe;-svc;0"}};

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

TEST_F(KeepRunningScenario, NoRestartWithinTheGraceThenALowIntegrityLaunch) {
    const struct {
        std::uint32_t processors;
        int firstLaunchCycle;
    } cases[] = {{2, 32}, {3, 17}, {8, 12}};  // the counter must exceed the grace
    for (const auto& c : cases) {
        machine().Reset();
        ProcessValues().ConfigFolderOverride = kConfigFolder;
        ProcessValues().LogFolderOverride = kLogFolder;
        sim::PutFolder(kLogFolder);
        machine().processorCount = c.processors;
        Start(kRule);
        EXPECT_EQ(CyclesUntilLaunch(40), c.firstLaunchCycle) << c.processors;
        ASSERT_EQ(machine().launches.size(), 1u);
        const auto& launch = machine().launches[0];
        EXPECT_TRUE(launch.lowIntegrity);
        EXPECT_EQ(launch.parameters, L"\"c:\\tools\\agent.exe\" -svc");
        EXPECT_EQ(launch.directory, L"c:\\tools");
        loop_.reset();
    }
}

TEST_F(KeepRunningScenario, ALiveProcessHoldsTheRestartBack) {
    auto& agent = machine().AddProcess(300, L"agent.exe");
    agent.imagePath = L"C:\\Tools\\agent.exe";
    agent.commandLine = L"\"C:\\Tools\\agent.exe\" -svc";
    Start(kRule);
    EXPECT_EQ(CyclesUntilLaunch(15), -1);
    machine().EndProcess(300);
    EXPECT_GT(CyclesUntilLaunch(3), 0);
    const auto log = StopAndReadLog();
    const auto restarted = Only(log, 23);
    ASSERT_EQ(restarted.size(), 1u);
    EXPECT_EQ(restarted[0].basename, L"c:\\tools\\agent.exe");
    EXPECT_EQ(restarted[0].pid, 9000u);
    EXPECT_EQ(restarted[0].info, LoadResourceString(448));
}

TEST_F(KeepRunningScenario, AProgramInANonAsciiFolderIsNotStartedAgain) {
    machine().processorCount = 8;  // a grace of 10 cycles
    auto& app = machine().AddProcess(300, L"app.exe");
    app.imagePath = L"C:\\\u041F\u0420\u041E\u0413\\app.exe";
    Start({{L"KeepRunningProcesses", L"C:\\\u041F\u0420\u041E\u0413\\app.exe;;0"}});
    EXPECT_EQ(CyclesUntilLaunch(15), -1);
}

TEST_F(KeepRunningScenario, ServiceRefusesOnceUntilAReload) {
    machine().CreateKey(platform::RegistryRoot::LocalMachine,
                        L"SYSTEM\\CurrentControlSet\\Services\\Vigilor");
    Start(kRule);
    EXPECT_EQ(CyclesUntilLaunch(20), -1);
    auto log = Ids(StopAndReadLog());
    EXPECT_EQ(std::count(log.begin(), log.end(), 95u), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), 24u), 1);
}

TEST_F(KeepRunningScenario, AllowElevatedChildrenLaunchesNormallyAndFailuresAreLoggedOnce) {
    machine().SetDword(platform::RegistryRoot::LocalMachine, L"Software\\Corvane",
                       L"AllowElevatedChildren", 1);
    machine().FailCall("CreateProcess");
    Start(kRule);
    EXPECT_EQ(CyclesUntilLaunch(20), 12);  // the attempt is recorded even though it failed
    EXPECT_FALSE(machine().launches[0].lowIntegrity);
    EXPECT_EQ(CyclesUntilLaunch(5), 1);  // launches stays non-empty; no second attempt below
    ASSERT_EQ(machine().launches.size(), 1u);
    const auto failures = Only(StopAndReadLog(), 24);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].pid, 0u);
}

}  // namespace
}  // namespace cv
