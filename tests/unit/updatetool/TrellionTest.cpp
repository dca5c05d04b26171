// The post-update tool on the simulated machine: PATH, tasks, log retirement and whole runs.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "actionlog/ActionLog.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "platform/Registry.h"
#include "platform/TaskScheduler.h"
#include "platform/sim/SimFiles.h"
#include "profiles/ActiveProfile.h"
#include "texts/Messages.h"
#include "updatetool/LogMigration.h"
#include "updatetool/PostUpdate.h"
#include "updatetool/SystemPath.h"
#include "updatetool/TaskScheduling.h"

namespace cv::test {
namespace {

using platform::RegistryRoot;
using platform::TaskStep;

constexpr wchar_t kFolder[] = L"C:\\Program Files\\Corvane";
constexpr wchar_t kProductKey[] = L"Software\\Corvane";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Vigilor";

class TrellionTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        machine().ownImagePath = std::wstring(kFolder) + L"\\trellion.exe";
        machine().services[L"Schedule"] = platform::ServiceState::Running;
        platform::WriteRegistryExpandString(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path",
                                            L"C:\\Windows;C:\\Tools");
    }
    void TearDown() override { SetMessagesSilenced(false); }
    std::wstring SystemPath() {
        return platform::ReadRegistryExpandString(RegistryRoot::LocalMachine, kEnvironmentKey,
                                                  L"Path")
            .value_or(L"<none>");
    }
    bool HasValue(RegistryRoot root, const wchar_t* key, const wchar_t* value) {
        return machine().HasValue(root, key, value);
    }
};

// The folder is put into Path by entries: every other entry stays exactly as it was, the folder
// is there once, the value keeps its type, and the flag says so only when it is true.
TEST_F(TrellionTest, TheFolderIsInPathOnceAndNothingElseOfItChanges) {
    const std::wstring longPath =
        L"%SystemRoot%\\system32;" + std::wstring(40'000, L'x') + L";C:\\Data";
    const struct {
        const char* what;
        std::wstring folder;
        std::optional<std::wstring> path;  // none: no Path value at all
        bool expand;
        std::wstring expected;
    } cases[] = {
        {"a drive root", L"Q:\\", L"C:\\Windows;Q:\\Tools;Q:\\Games\\bin;C:\\Data", true,
         L"C:\\Windows;Q:\\Tools;Q:\\Games\\bin;C:\\Data;Q:\\;"},
        {"a folder sharing a prefix", L"C:\\Apps\\Corvane", L"C:\\Apps\\CorvaneTools;C:\\W", true,
         L"C:\\Apps\\CorvaneTools;C:\\W;C:\\Apps\\Corvane\\;"},
        {"there in another case, once", L"C:\\Apps\\Corvane", L"C:\\W;c:\\APPS\\corvane;C:\\X",
         true, L"C:\\W;c:\\APPS\\corvane;C:\\X"},
        {"there twice, with a trailing backslash", L"C:\\Apps\\Corvane",
         L"C:\\Apps\\Corvane\\;C:\\W;C:\\APPS\\Corvane;", true, L"C:\\W;C:\\Apps\\Corvane\\;"},
        {"a REG_SZ value", L"C:\\Apps\\Corvane", L"C:\\Windows;C:\\Tools", false,
         L"C:\\Windows;C:\\Tools;C:\\Apps\\Corvane\\;"},
        {"empty entries and variables", L"C:\\Apps\\Corvane",
         L";%SystemRoot%;;%ProgramFiles%\\App;", true,
         L";%SystemRoot%;;%ProgramFiles%\\App;C:\\Apps\\Corvane\\;"},
        {"a value over 64 KB", L"C:\\Apps\\Corvane", longPath, true,
         longPath + L";C:\\Apps\\Corvane\\;"},
        {"no value", L"C:\\Apps\\Corvane", std::nullopt, true, L"C:\\Apps\\Corvane\\;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        machine().registry.clear();
        if (c.path) {
            platform::WriteRegistryText(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path",
                                        {*c.path, c.expand});
        }
        for (int run = 1; run <= 2; ++run) {
            EXPECT_TRUE(AddToSystemPath(c.folder)) << run;
            const auto path =
                platform::ReadRegistryText(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path");
            ASSERT_TRUE(path.has_value());
            EXPECT_EQ(path->text, c.expected) << run;
            EXPECT_EQ(path->expand, c.expand) << run;
        }
    }
    EXPECT_FALSE(IsSameFolder(L"", L"C:\\"));
}

TEST_F(TrellionTest, ThePathFlagIsSetOnlyWhenTheFolderIsThere) {
    machine().FailCall("RegSetValue", L"Path");
    RunPostUpdate();
    EXPECT_FALSE(HasValue(RegistryRoot::LocalMachine, L"Software\\Corvane", L"AddedToSystemPath"));
    machine().ClearFailures();
    RunPostUpdate();
    EXPECT_TRUE(HasValue(RegistryRoot::LocalMachine, L"Software\\Corvane", L"AddedToSystemPath"));
    EXPECT_EQ(SystemPath(), std::wstring(L"C:\\Windows;C:\\Tools;") + kFolder + L"\\;");
}

TEST_F(TrellionTest, GuardedKeyDeletionNeedsAProductWord) {
    for (const wchar_t* key : {L"Software\\Corvane Tarvel", L"Software\\Other", L"Software"}) {
        machine().SetDword(RegistryRoot::CurrentUser, std::wstring(key) + L"\\Sub", L"x", 1);
    }
    EXPECT_TRUE(DeleteProductKeyTree(false, L"Software\\Corvane Tarvel"));
    EXPECT_FALSE(DeleteProductKeyTree(false, L"Software\\Other"));
    EXPECT_FALSE(DeleteProductKeyTree(false, L"Software"));
    EXPECT_FALSE(HasValue(RegistryRoot::CurrentUser, L"Software\\Corvane Tarvel\\Sub", L"x"));
    EXPECT_TRUE(HasValue(RegistryRoot::CurrentUser, L"Software\\Other\\Sub", L"x"));
    EXPECT_TRUE(HasValue(RegistryRoot::CurrentUser, L"Software\\Sub", L"x"));
}

TEST_F(TrellionTest, EveryFailingRegistrationStepIsReported) {
    struct Case {
        TaskStep step;
        const wchar_t* text;
    };
    const Case cases[] = {
        {TaskStep::CreateSchedulerObject, L"Cannot reach the Task Scheduler: 80070005"},
        {TaskStep::GetRootFolder, L"Cannot reach the Task Scheduler: 80070005"},
        {TaskStep::NewTask, L"Cannot create new task definition: 80070005"},
        {TaskStep::PutAuthor,
         L"Cannot put identification info: 80070005\nEFFECT: Can not set "
         L"Session agent for Corvane to start at login with elevated rights!"},
        {TaskStep::QueryLogonTrigger, L"QueryInterface call failed for ILogonTrigger:: 80070005"},
        {TaskStep::PutActionPath, L"Can not set path of exe: 80070005"},
        {TaskStep::Register, L"Error saving task: 80070005"},
    };
    for (const Case& c : cases) {
        SetUp();
        machine().setup.failingTaskStep = static_cast<int>(c.step);
        EXPECT_FALSE(RegisterLogonTask(kSessionAgentTaskName, L"  C:\\a b\\agent.exe", L"--"));
        ASSERT_EQ(machine().messageBoxes.size(), 1u);
        EXPECT_EQ(machine().messageBoxes[0].text.rfind(c.text, 0), 0u)
            << machine().messageBoxes[0].text;
        EXPECT_EQ(machine().messageBoxes[0].caption, kSessionAgentTaskName);
        EXPECT_TRUE(machine().setup.tasks.empty());
    }
    SetUp();
    EXPECT_TRUE(RegisterLogonTask(L"T", L"  C:\\a b\\agent.exe", L"--"));
    EXPECT_EQ(machine().setup.tasks.at(L"t").path, L"\"C:\\a b\\agent.exe\"");
    EXPECT_TRUE(machine().messageBoxes.empty());
}

TEST_F(TrellionTest, SessionAgentTaskOnlyWhenTheAgentIsInstalled) {
    InstallSessionAgentTask(kFolder);
    EXPECT_TRUE(machine().setup.tasks.empty());
    sim::PutFile(std::wstring(kFolder) + L"\\tarvelsessionagent.exe", "MZ");
    InstallSessionAgentTask(kFolder);
    const auto& task = machine().setup.tasks.at(L"session agent for corvane");
    EXPECT_EQ(task.path, L"\"C:\\Program Files\\Corvane\\tarvelsessionagent.exe\"");
    EXPECT_EQ(task.arguments, std::wstring(64, L'-'));
    EXPECT_TRUE(machine().messageBoxes.empty());
}

TEST_F(TrellionTest, TaskSchedulerServiceIsBroughtUpOrReported) {
    using platform::ServiceState;
    struct Case {
        const char* name;
        ServiceState state;
        bool disabled;
        ServiceState afterStart;
        std::uint32_t osMajor;
        bool result;
        std::size_t starts;
        std::size_t boxes;
    };
    const Case cases[] = {
        {"running", ServiceState::Running, false, ServiceState::Running, 10, true, 0, 0},
        {"disabled", ServiceState::Stopped, true, ServiceState::Running, 10, true, 1, 0},
        {"still starting", ServiceState::Stopped, true, ServiceState::StartPending, 10, true, 1, 1},
        {"already starting", ServiceState::StartPending, false, ServiceState::Running, 10, true, 0,
         1},
        {"Windows XP", ServiceState::Stopped, false, ServiceState::Running, 5, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        machine().osMajor = c.osMajor;
        machine().services[L"Schedule"] = c.state;
        if (c.disabled) {
            machine().setup.disabledServices.insert(L"Schedule");
        }
        machine().setup.stateAfterStart[L"Schedule"] = c.afterStart;
        EXPECT_EQ(EnsureTaskSchedulerRunning(), c.result);
        EXPECT_EQ(machine().setup.serviceStarts.size(), c.starts);
        EXPECT_EQ(machine().messageBoxes.size(), c.boxes);
        EXPECT_TRUE(machine().setup.disabledServices.empty());
    }
}

TEST_F(TrellionTest, OldLogsGoUpToTheFirstMissingGeneration) {
    const std::wstring folder = L"C:\\Logs";
    for (const wchar_t* name :
         {L"corvex.log", L"corvex.log.0", L"corvex.log.1", L"corvex.log.3", L"corvane.log"}) {
        sim::PutFile(folder + L"\\" + name, "x");
    }
    const std::wstring roaming = L"C:\\Users\\Tester\\AppData\\Roaming";
    sim::SetSpecialFolder(platform::SpecialFolder::RoamingAppData, roaming);
    sim::PutFile(roaming + L"\\Corvane\\logs\\corvex.log.csv", "x");
    sim::PutFile(roaming + L"\\Corvane\\logs\\corvex.log.csv.0", "x");

    RetireOldLogs(folder);
    EXPECT_FALSE(sim::FileBytes(folder + L"\\corvex.log.1"));
    EXPECT_TRUE(sim::FileBytes(folder + L"\\corvex.log.3"));
    EXPECT_TRUE(sim::FileBytes(folder + L"\\corvane.log"));
    EXPECT_FALSE(sim::IsFolder(roaming + L"\\Corvane\\logs"));

    sim::PutFile(roaming + L"\\Corvane\\logs\\corvex.log", "x");
    sim::PutFile(roaming + L"\\Corvane\\logs\\notes.txt", "x");
    RetireOldLogs(folder);
    EXPECT_FALSE(sim::FileBytes(roaming + L"\\Corvane\\logs\\corvex.log"));
    EXPECT_TRUE(sim::IsFolder(roaming + L"\\Corvane\\logs"));
}

TEST_F(TrellionTest, FirstRunDoesEveryStepAndSecondRunOnlyRewrites) {
    sim::PutFile(std::wstring(kFolder) + L"\\tarvelsessionagent.exe", "MZ");
    sim::PutFile(std::wstring(kFolder) + L"\\Rapidor.exe", "old");
    sim::PutFile(std::wstring(kFolder) + L"\\Rapidor.exe.Replacement", "new");
    sim::PutFile(std::wstring(kFolder) + L"\\vigilor.exe.manifest", "old");
    machine().SetDword(RegistryRoot::LocalMachine, kProductKey, L"IconSetNumber", 3);
    machine().SetDword(RegistryRoot::CurrentUser, kProductKey, L"fx1", 1);
    machine().SetDword(RegistryRoot::LocalMachine, kProductKey, L"SetTimerResolutionAtStartup", 1);
    machine().SetDword(RegistryRoot::CurrentUser, kProductKey, L"InstallerLanguageDWORD", 1031);
    machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane Tarvel", L"THPReinitDone",
                       1);
    for (const wchar_t* name : {kSessionAgentTaskName, kEngineTaskName, kInterfaceTaskName}) {
        machine().setup.tasks[ToLower(name)] = {name, L"", L"x", L""};
    }

    RunPostUpdate();
    const auto& m = machine();
    EXPECT_EQ(*machine().GetDword(RegistryRoot::LocalMachine, kProductKey, L"IconSetNumber"), 0u);
    EXPECT_EQ(m.setup.shellNotifications, 1);
    EXPECT_FALSE(HasValue(RegistryRoot::CurrentUser, kProductKey, L"fx1"));
    EXPECT_FALSE(HasValue(RegistryRoot::LocalMachine, kProductKey, L"SetTimerResolutionAtStartup"));
    EXPECT_EQ(
        *machine().GetDword(RegistryRoot::LocalMachine, kProductKey, L"InstallerLanguageDWORD"),
        1031u);
    EXPECT_EQ(*machine().GetDword(RegistryRoot::LocalMachine, kProductKey, L"THPReinitDone"), 1u);
    EXPECT_FALSE(
        HasValue(RegistryRoot::LocalMachine, L"Software\\Corvane Tarvel", L"THPReinitDone"));
    EXPECT_EQ(
        platform::ReadRegistryString(RegistryRoot::LocalMachine, kUninstallKey, L"DisplayVersion"),
        std::wstring(kInstalledVersion));
    EXPECT_EQ(sim::FileBytes(std::wstring(kFolder) + L"\\Rapidor.exe"), "new");
    EXPECT_FALSE(sim::FileBytes(std::wstring(kFolder) + L"\\Rapidor.exe.Replacement"));
    EXPECT_FALSE(sim::FileBytes(std::wstring(kFolder) + L"\\vigilor.exe.manifest"));
    EXPECT_EQ(SystemPath(), L"C:\\Windows;C:\\Tools;C:\\Program Files\\Corvane\\;");
    EXPECT_EQ(m.setup.tasks.at(L"session agent for corvane").arguments, std::wstring(64, L'-'));
    EXPECT_EQ(m.setup.taskRuns, (std::vector<std::wstring>{kSessionAgentTaskName, kEngineTaskName,
                                                           kInterfaceTaskName}));
    EXPECT_TRUE(m.launches.empty());
    EXPECT_TRUE(m.messageBoxes.empty());
    EXPECT_EQ(platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kProductKey, L"autoupdated"),
              std::vector<std::uint8_t>{1});

    // The second run: the one-time steps are not repeated, so the user's PATH edits and a task
    // removed on purpose stay as they are.
    platform::WriteRegistryExpandString(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path",
                                        L"C:\\Mine");
    machine().setup.tasks.erase(L"session agent for corvane");
    machine().setup.taskRuns.clear();
    RunPostUpdate();
    EXPECT_EQ(SystemPath(), L"C:\\Mine");
    EXPECT_EQ(m.setup.tasks.count(L"session agent for corvane"), 0u);
    EXPECT_EQ(m.setup.shellNotifications, 1);
    EXPECT_EQ(m.setup.taskRuns, (std::vector<std::wstring>{kEngineTaskName, kInterfaceTaskName}));
}

TEST_F(TrellionTest, InterfaceStartsDirectlyWhenItsTaskCannotRun) {
    for (const std::uint32_t osMajor : {10u, 5u}) {
        SetUp();
        machine().osMajor = osMajor;
        machine().SetDword(RegistryRoot::LocalMachine, kProductKey, L"InstalledSessionAgent", 1);
        RunPostUpdate();
        ASSERT_EQ(machine().launches.size(), 1u) << osMajor;
        EXPECT_EQ(machine().launches[0].file, L"C:\\Program Files\\Corvane\\corvane.exe");
        EXPECT_EQ(machine().launches[0].parameters, L"/trellion");
        EXPECT_EQ(machine().launches[0].creationFlags, 0x208u);
    }
}

// With nobody at the screen, every message of the run goes to the tool's log and the run ends on
// its own: the scheduler that will not start, the engine service marked for deletion (raised while
// the log folder is looked up) and a malformed rule list in the configuration.
TEST_F(TrellionTest, UnattendedRunLogsItsMessagesAndEnds) {
    machine().setup.interactiveDesktop = false;
    machine().services[L"Schedule"] = platform::ServiceState::Stopped;
    machine().setup.stateAfterStart[L"Schedule"] = platform::ServiceState::StartPending;
    machine().SetDword(RegistryRoot::LocalMachine, kServiceKey, L"DeleteFlag", 1);
    platform::WriteRegistryString(RegistryRoot::LocalMachine, kProductKey, L"ConfigFolderEx",
                                  L"C:\\Cfg");
    ConfigDocument document;
    AddEntry(document, L"ProcessDefaults", L"KeepRunningProcesses", L"one,two,c:\\a.exe;x");
    sim::PutFile(L"C:\\Cfg\\corvex.ini", RenderConfigBytes(document));

    EXPECT_EQ(RunTrellion(), 0);
    EXPECT_TRUE(machine().messageBoxes.empty());
    const auto log = sim::FileBytes(ActionLog().Folder() + L"\\trellion.log");
    ASSERT_TRUE(log.has_value());
    for (const char* text :
         {"Task Scheduler service is not running", "marked for deletion",
          "Syntax error in INI file for processes to keep running!"}) {
        EXPECT_NE(log->find(text), std::string::npos) << text << " not in:\n" << *log;
    }
}

// The language module is the tool's first need; without it the tool ends, and with nobody at the
// screen it says why in its log instead of a box.
TEST_F(TrellionTest, UnattendedRunWithoutItsLanguageModuleLogsAndEnds) {
    machine().setup.interactiveDesktop = false;
    machine().installedModules.clear();
    try {
        RunTrellion();
        FAIL() << "the tool should have ended";
    } catch (const sim::ProcessExitCalled& exit) {
        EXPECT_EQ(exit.exitCode, 1u);
    }
    SetMessageLogSink(nullptr);
    EXPECT_TRUE(machine().messageBoxes.empty());
    const auto log = sim::FileBytes(ActionLog().Folder() + L"\\trellion.log");
    ASSERT_TRUE(log.has_value());
    EXPECT_NE(log->find("error loading the resource DLL cv_rsrc_english.dll"), std::string::npos);
}

// The upgrade reaches the configuration the engine loads: the active profile's, whether the
// profile is named in the profile file or still in the registry of an older version.
TEST_F(TrellionTest, TheActiveProfilesConfigurationIsUpgraded) {
    for (const bool fromRegistry : {false, true}) {
        SCOPED_TRACE(fromRegistry ? "named in the registry" : "named in the profile file");
        SetUp();
        machine().SetProcessorGroups({{1, 1, 1, 1, 0, 0, 0, 0}});
        platform::WriteRegistryString(RegistryRoot::LocalMachine, kProductKey, L"ConfigFolderEx",
                                      L"C:\\Cfg");
        // The configuration lies in the named folder, the profile file in its "config" folder.
        const std::wstring folder = L"C:\\Cfg";
        const std::wstring profileFolder = L"C:\\Cfg\\config";
        ConfigDocument document;
        AddEntry(document, L"OutOfControlProcessRestraint", L"PerProcessUsageBeforeRestraint",
                 L"5");
        const std::string bytes = RenderConfigBytes(document);
        sim::PutFile(folder + L"\\corvex.ini", bytes);
        sim::PutFile(folder + L"\\Gaming\\corvex.ini", bytes);
        if (fromRegistry) {
            platform::WriteRegistryString(RegistryRoot::CurrentUser, kProductKey,
                                          L"ActiveProfile", L"Gaming");
        } else {
            ASSERT_TRUE(WriteActiveProfileFile(profileFolder, L"Gaming"));
        }

        RunPostUpdate();
        EXPECT_EQ(sim::FileBytes(folder + L"\\corvex.ini"), bytes);
        const auto upgraded = sim::FileBytes(folder + L"\\Gaming\\corvex.ini");
        ASSERT_TRUE(upgraded.has_value());
        ConfigDocument after;
        ASSERT_TRUE(ParseConfigBytes(*upgraded, after));
        EXPECT_GT(GetConfigInt(L"", L"PerProcessUsageBeforeRestraint", 0, after), 5);
        EXPECT_EQ(ReadActiveProfile(profileFolder).name, L"Gaming");
        EXPECT_FALSE(HasValue(RegistryRoot::CurrentUser, kProductKey, L"ActiveProfile"));
    }
}

// The choice moves from the registry into the profile file of a folder that does not exist yet;
// the registry value goes only when the file holds it.
TEST_F(TrellionTest, TheMigratedProfileSurvivesAConfigurationFolderNotYetThere) {
    platform::WriteRegistryString(RegistryRoot::LocalMachine, kProductKey, L"ConfigFolderEx",
                                  L"D:\\Shared\\Corvane");
    sim::AddDrive(L'D', true);
    platform::WriteRegistryString(RegistryRoot::CurrentUser, kProductKey, L"ActiveProfile",
                                  L"Work");
    const std::wstring folder = L"D:\\Shared\\Corvane\\config";
    machine().FailCall("CreateFile", folder + L"\\.profile");
    RunPostUpdate();
    EXPECT_TRUE(HasValue(RegistryRoot::CurrentUser, kProductKey, L"ActiveProfile"));

    machine().ClearFailures();
    RunPostUpdate();
    EXPECT_EQ(ReadActiveProfile(folder).name, L"Work");
    EXPECT_FALSE(HasValue(RegistryRoot::CurrentUser, kProductKey, L"ActiveProfile"));
}

}  // namespace
}  // namespace cv::test
