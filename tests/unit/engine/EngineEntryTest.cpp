#include "SimFixture.h"
#include "common/WideString.h"
#include "engine/CommandLine.h"
#include "engine/ControlLoop.h"
#include "engine/EngineEntry.h"
#include "enginehost/EngineHost.h"
#include "platform/KernelObjects.h"
#include "platform/MessageBox.h"
#include "platform/sim/SimFiles.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

using platform::RegistryRoot;
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Vigilor";

class EngineEntryTest : public test::SimTest {
  protected:
    int Run(const std::wstring& arguments) {
        machine().commandLine = L"\"C:\\Program Files\\Corvane\\vigilor.exe\" " + arguments;
        return RunEngine();
    }
    void InstallService(std::optional<std::uint32_t> deleteFlag = std::nullopt) {
        machine().CreateKey(RegistryRoot::LocalMachine, kServiceKey);
        if (deleteFlag) {
            machine().SetDword(RegistryRoot::LocalMachine, kServiceKey, L"DeleteFlag", *deleteFlag);
        }
        machine().services[L"vigilor"] = platform::ServiceState::Running;
    }
};

TEST_F(EngineEntryTest, ExitSetsEveryExitEventThatExists) {
    auto global = platform::CreateEventObject(L"Global\\VigilorExitEvent", true, false,
                                              platform::ObjectSecurity::Default);
    auto local = platform::CreateEventObject(L"Local\\VigilorExitEvent", true, false,
                                             platform::ObjectSecurity::Default);
    EXPECT_EQ(Run(L"/exit"), 0);
    EXPECT_TRUE(platform::IsSignalled(global.Get()));
    EXPECT_TRUE(platform::IsSignalled(local.Get()));
    EXPECT_TRUE(machine().messageBoxes.empty());
}

TEST_F(EngineEntryTest, ExitWithoutEngineEndsSilentlyOrWithMessage429) {
    EXPECT_EQ(Run(L"/exit"), 0);
    EXPECT_TRUE(machine().messageBoxes.empty());
    EXPECT_EQ(machine().FindNamedObject(L"Local\\VigilorExitEvent"), nullptr);

    EXPECT_EQ(Run(L"/exit /manual"), 0);
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    EXPECT_EQ(machine().messageBoxes[0].text, LoadResourceString(429));
    EXPECT_EQ(machine().messageBoxes[0].caption, L"Corvane");
}

TEST_F(EngineEntryTest, ExitStopsTheServiceOrAsksNetToStopIt) {
    InstallService();
    EXPECT_EQ(Run(L"/exit"), 0);
    EXPECT_EQ(machine().serviceStopRequests.size(), 1u);
    EXPECT_TRUE(machine().launches.empty());

    machine().services[L"vigilor"] = platform::ServiceState::Running;
    machine().FailCall("ControlService");
    EXPECT_EQ(Run(L"/exit"), 0);
    ASSERT_EQ(machine().launches.size(), 1u);
    EXPECT_EQ(machine().launches[0].file, L"net.exe");
    EXPECT_EQ(machine().launches[0].parameters, L"stop Vigilor");
    EXPECT_EQ(machine().launches[0].verb, L"runas");  // medium integrity asks for elevation
    EXPECT_EQ(machine().launches[0].directory, L"C:\\Program Files\\Corvane");
}

TEST_F(EngineEntryTest, CheckReportsWhatReadingDropsAndNeverWritesTheFile) {
    const std::string bad =
        "[ProcessDefaults]\r\nDefaultPriorities=a.exe,Fastest\r\n"
        "[AdvancedRules]\r\nWatchdogRules2=a.exe;0;0;90\r\n";
    const struct {
        const char* what;
        std::string file;
        bool console;
        int exitCode;
    } cases[] = {
        {"a bad entry of two lists, on the console", bad, true, 1},
        {"the same without a console: the report goes beside the file", bad, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        machine().Reset();
        sim::PutFolder(L"C:\\Cfg");
        sim::PutFile(L"C:\\Cfg\\corvex.ini", c.file);
        machine().parentConsole = c.console;
        EXPECT_EQ(Run(L"/check=C:\\Cfg\\corvex.ini"), c.exitCode);
        const std::wstring report =
            c.console
                ? machine().consoleOutput
                : FromUtf8(sim::FileBytes(L"C:\\Cfg\\corvex-check.txt").value_or("").substr(3));
        EXPECT_NE(report.find(L"line 2"), std::wstring::npos) << ToUtf8(report);
        EXPECT_NE(report.find(L"line 4"), std::wstring::npos) << ToUtf8(report);
        EXPECT_NE(report.find(L"WatchdogRules2"), std::wstring::npos);
        EXPECT_EQ(sim::FileBytes(L"C:\\Cfg\\corvex.ini"), std::optional<std::string>(c.file));
        EXPECT_EQ(machine().FindNamedObject(L"Local\\CVVigilorExists"), nullptr);
    }
}

TEST_F(EngineEntryTest, SecondStartEndsAtOnce) {
    auto running = platform::CreateMutexObject(L"Local\\CVVigilorExists", true,
                                               platform::ObjectSecurity::Default);
    EXPECT_EQ(Run(L""), 0);
    EXPECT_TRUE(machine().messageBoxes.empty());
    EXPECT_EQ(Run(L"/manual"), 0);
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    EXPECT_EQ(machine().messageBoxes[0].text, LoadResourceString(430));
    EXPECT_EQ(machine().messageBoxes[0].flags, platform::kMbIconError);
}

TEST_F(EngineEntryTest, RestartWaitsForTheOldEngine) {
    machine().AddProcess(77);
    machine().EndProcess(77);
    std::uint64_t before = machine().Now();
    Run(L"/restart=77 /exit");
    EXPECT_EQ(machine().Now() - before, 1500u);  // an ended process costs a fixed pause

    machine().AddProcess(78);  // never ends: the wait gives up after 15 s
    before = machine().Now();
    Run(L"/restart=78 /exit");
    EXPECT_EQ(machine().Now() - before, 15000u);

    before = machine().Now();
    Run(L"/restart=abc /exit");
    EXPECT_EQ(machine().Now() - before, 1500u);
}

TEST_F(EngineEntryTest, ServiceAccountLosesItsPerUserLanguage) {
    for (const wchar_t* user : {L"SYSTEM", L"Local Service", L""}) {
        machine().Reset();
        machine().userName = user;
        machine().SetDword(RegistryRoot::CurrentUser, L"Software\\Corvane", L"Language", 1031);
        machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane", L"Language", 1049);
        Run(L"/exit");
        // The per-user 1031 is gone, so the machine-wide choice is selected and remembered.
        EXPECT_EQ(machine().GetDword(RegistryRoot::CurrentUser, L"Software\\Corvane", L"Language"),
                  1049u)
            << user;
    }
}

TEST_F(EngineEntryTest, PrivilegesAreEnabledInOrder) {
    Run(L"/exit");
    ASSERT_EQ(machine().enabledPrivileges.size(), 9u);
    EXPECT_EQ(machine().enabledPrivileges.front(), L"SeAssignPrimaryTokenPrivilege");
    EXPECT_EQ(machine().enabledPrivileges[6], L"SeCreateGlobalPrivilege");
    EXPECT_EQ(machine().enabledPrivileges.back(), L"SeRestorePrivilege");
}

class EngineProcessTest : public EngineEntryTest {};

TEST_F(EngineProcessTest, ServiceRegistrationAndItsDeleteFlag) {
    EXPECT_FALSE(IsServiceInstalled());
    InstallService();
    EXPECT_TRUE(IsServiceInstalled());
    InstallService(0);
    EXPECT_TRUE(IsServiceInstalled());
    InstallService(1);
    EXPECT_FALSE(IsServiceInstalled());
    EXPECT_FALSE(IsServiceInstalled());
    ASSERT_EQ(machine().messageBoxes.size(), 1u);  // warned only once per process
    EXPECT_EQ(machine().messageBoxes[0].text, LoadResourceString(769));
    EXPECT_EQ(machine().messageBoxes[0].flags, platform::kMbIconWarning);
}

TEST_F(EngineProcessTest, StopServicePollsUntilStopped) {
    InstallService();
    machine().serviceStopPolls = 3;
    const std::uint64_t before = machine().Now();
    EXPECT_TRUE(StopEngineService());
    EXPECT_EQ(machine().Now() - before, 250u + 3 * 250u);

    machine().services[L"vigilor"] = platform::ServiceState::Running;
    machine().serviceStopPolls = -1;  // never stops
    const std::uint64_t start = machine().Now();
    EXPECT_FALSE(StopEngineService());
    EXPECT_EQ(machine().Now() - start, 20u * 250u);

    machine().services[L"vigilor"] = platform::ServiceState::Stopped;
    EXPECT_TRUE(StopEngineService());  // not running: nothing to do
}

TEST_F(EngineProcessTest, IntegrityAndAccountNames) {
    EXPECT_FALSE(IsAboveMediumIntegrity());
    machine().integrityLevel = 0x3000;
    EXPECT_TRUE(IsAboveMediumIntegrity());
    machine().integrityLevel.reset();
    EXPECT_TRUE(IsAboveMediumIntegrity());

    EXPECT_TRUE(IsServiceAccountName(L"SYSTEM"));
    EXPECT_TRUE(IsServiceAccountName(L"Network Service"));
    EXPECT_FALSE(IsServiceAccountName(L"systemd"));
}

TEST_F(EngineProcessTest, RestartSelfStartsANewEngineThatWaitsForThisOne) {
    try {
        RestartSelf();
        FAIL();
    } catch (const sim::ProcessExitCalled& exit) {
        EXPECT_EQ(exit.exitCode, 0u);
    }
    ASSERT_EQ(machine().launches.size(), 1u);
    EXPECT_EQ(machine().launches[0].file, machine().ownImagePath);
    EXPECT_EQ(machine().launches[0].parameters,
              L"\"C:\\Program Files\\Corvane\\vigilor.exe\" /restart=4242");

    // The folders given on the command line go to the new engine too.
    machine().Reset();
    ResetEngineProcessValues();
    ProcessValues().ConfigFolderOverride = L"c:\\my settings";
    ProcessValues().LogFolderOverride = L"d:\\logs";
    EXPECT_THROW(RestartSelf(), sim::ProcessExitCalled);
    ASSERT_EQ(machine().launches.size(), 1u);
    const CommandLineSwitches again =
        ParseCommandLine(machine().launches[0].parameters, L"C:\\Users\\Tester");
    EXPECT_EQ(again.restartProcessId, std::optional<std::uint32_t>(4242));
    EXPECT_EQ(again.configFolder, std::optional<std::wstring>(L"c:\\my settings"));
    EXPECT_EQ(again.logFolder, std::optional<std::wstring>(L"d:\\logs"));

    machine().Reset();
    ResetEngineProcessValues();
    machine().osMajor = 5;  // before Vista the new engine is started detached
    EXPECT_THROW(RestartSelf(), sim::ProcessExitCalled);
    ASSERT_EQ(machine().launches.size(), 1u);
    EXPECT_EQ(machine().launches[0].kind, sim::LaunchCall::Kind::CreateProcess);
    EXPECT_EQ(machine().launches[0].creationFlags, 0x8u | 0x200u);
}

}  // namespace
}  // namespace cv
