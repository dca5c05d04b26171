// As a service the engine makes its configuration, profile and log folders for administrators
// only, and warns once about any of them, or corvex.ini or .profile, that someone else may
// change; the configuration check reports the same. A user's engine does neither.
#include <string>
#include <vector>

#include "EngineScenario.h"
#include "actionlog/ActionCodes.h"
#include "engine/ConfigCheckCommand.h"
#include "platform/FileSecurity.h"
#include "platform/KernelObjects.h"
#include "profiles/ActiveProfile.h"

namespace cv {
namespace {

using platform::AccessGrant;
using platform::AdministratorsOnlySecurity;
using platform::PathSecurity;
using test::LoggedAction;

constexpr wchar_t kCorvane[] = L"C:\\ProgramData\\Corvane";
constexpr wchar_t kConfig[] = L"C:\\ProgramData\\Corvane\\config";
constexpr wchar_t kConfigFile[] = L"C:\\ProgramData\\Corvane\\config\\corvex.ini";
constexpr wchar_t kProfileFile[] = L"C:\\ProgramData\\Corvane\\config\\.profile";
constexpr wchar_t kLogs[] = L"C:\\ProgramData\\Corvane\\logs";
constexpr wchar_t kStandardUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

PathSecurity OwnedByAUser() {
    PathSecurity security = sim::DefaultSecurity();
    security.owner = kStandardUser;
    return security;
}

PathSecurity UsersMayWrite() {
    PathSecurity security = sim::DefaultSecurity();
    security.grants.push_back(AccessGrant{platform::kSidUsers, platform::kFileWriteData});
    return security;
}

class ServiceFoldersScenario : public test::EngineScenario {
  protected:
    void SetUp() override {
        EngineScenario::SetUp();
        // The folders the installed service uses: no folder switches.
        ProcessValues().ConfigFolderOverride.clear();
        ProcessValues().LogFolderOverride.clear();
        machine().CreateKey(platform::RegistryRoot::LocalMachine,
                            L"SYSTEM\\CurrentControlSet\\Services\\Vigilor");
    }

    void Reload() {
        platform::SetEventObject(loop_->Storage().ConfigChangedEvent());
        Cycles(1);
    }

    static std::vector<std::wstring> Warnings(const std::vector<LoggedAction>& log) {
        std::vector<std::wstring> warnings;
        for (const LoggedAction& action : Only(log, CV_ACTION_CORE_ENGINE_INITIALIZED)) {
            if (action.info.rfind(L"Warning: ", 0) == 0) {
                warnings.push_back(action.info);
            }
        }
        return warnings;
    }
};

TEST_F(ServiceFoldersScenario, AServiceMakesItsFoldersForAdministratorsOnly) {
    machine().userName = L"SYSTEM";
    StartWithoutFile();
    // A profile whose folder does not exist yet gets one when its file is created.
    SetActiveProfile(kConfig, L"Gaming");
    Cycles(4);
    EXPECT_TRUE(sim::FileBytes(std::wstring(kConfig) + L"\\Gaming\\corvex.ini"));
    for (const std::wstring& folder : {std::wstring(kCorvane), std::wstring(kConfig),
                                       std::wstring(kConfig) + L"\\Gaming", std::wstring(kLogs)}) {
        SCOPED_TRACE(ToUtf8(folder));
        EXPECT_EQ(sim::RecordedSecurity(folder), AdministratorsOnlySecurity());
    }
    EXPECT_TRUE(Warnings(StopAndReadLog(kLogs)).empty());
}

TEST_F(ServiceFoldersScenario, AUsersEngineMakesAndJudgesNothingDifferently) {
    StartWithoutFile();
    for (const wchar_t* folder : {kCorvane, kConfig, kLogs}) {
        SCOPED_TRACE(ToUtf8(folder));
        EXPECT_EQ(sim::RecordedSecurity(folder), std::nullopt);
    }
    // Its own file, owned by its user, is no cause for a warning.
    sim::SetPathSecurity(kConfigFile, OwnedByAUser());
    Reload();
    EXPECT_TRUE(Warnings(StopAndReadLog(kLogs)).empty());
}

// The check looks at the file the engine would read: the active profile's.
TEST_F(ServiceFoldersScenario, TheCheckLooksAtTheActiveProfilesFile) {
    const std::wstring gaming = std::wstring(kConfig) + L"\\Gaming\\corvex.ini";
    sim::PutFile(gaming, ConfigWith({}));
    SetActiveProfile(kConfig, L"Gaming", false);
    sim::SetPathSecurity(gaming, UsersMayWrite());
    machine().parentConsole = true;
    EXPECT_EQ(RunConfigCheck(L""), 1);
    const std::wstring& report = machine().consoleOutput;
    EXPECT_EQ(report.rfind(L"Checked " + gaming + L": ", 0), 0u) << ToUtf8(report);
    EXPECT_NE(report.find(L"\r\nWarning: " + gaming + L" may be changed by Users (S-1-5-32-545), "),
              std::wstring::npos)
        << ToUtf8(report);
}

struct ExposedCase {
    const char* name;
    const wchar_t* path;
    PathSecurity (*security)();
    bool checkReports;  // the configuration check looks at it (the log folder it does not)
};

class ExposedPathScenario : public ServiceFoldersScenario,
                            public ::testing::WithParamInterface<ExposedCase> {};

TEST_P(ExposedPathScenario, IsWarnedAboutOnceWhileItLastsAndReportedByTheCheck) {
    const ExposedCase& c = GetParam();
    machine().userName = L"SYSTEM";
    sim::PutFolder(kLogs);
    sim::PutFile(kConfigFile, ConfigWith({}));
    sim::PutFile(kProfileFile, "");
    // Each with its own, so that only the path of the case is exposed.
    for (const wchar_t* path : {kLogs, kConfig, kConfigFile, kProfileFile}) {
        sim::SetPathSecurity(path, AdministratorsOnlySecurity());
    }
    sim::SetPathSecurity(c.path, c.security());
    StartWithoutFile();
    Cycles(1);
    Reload();
    Reload();
    // Put right and exposed again: a new episode, a new warning.
    sim::SetPathSecurity(c.path, AdministratorsOnlySecurity());
    Reload();
    sim::SetPathSecurity(c.path, c.security());
    Reload();
    Reload();

    const std::vector<std::wstring> warnings = Warnings(StopAndReadLog(kLogs));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0], warnings[1]);
    EXPECT_EQ(warnings[0].rfind(L"Warning: " + std::wstring(c.path) + L" ", 0), 0u)
        << ToUtf8(warnings[0]);
    // The permissions are the ones it found.
    EXPECT_EQ(sim::RecordedSecurity(c.path), c.security());

    machine().parentConsole = true;
    const int result = RunConfigCheck(L"");
    const std::wstring& report = machine().consoleOutput;
    const std::size_t firstFinding = report.find(L"\r\n") + 2;
    if (c.checkReports) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(report.substr(firstFinding, warnings[0].size()), warnings[0]) << ToUtf8(report);
    } else {
        EXPECT_EQ(result, 0) << ToUtf8(report);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExposedPathScenario,
    ::testing::Values(
        ExposedCase{"profile_file_owned_by_a_user", kProfileFile, &OwnedByAUser, true},
        ExposedCase{"config_file_users_may_write", kConfigFile, &UsersMayWrite, true},
        ExposedCase{"config_folder_users_may_add_files", kConfig, &UsersMayWrite, true},
        ExposedCase{"log_folder_owned_by_a_user", kLogs, &OwnedByAUser, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cv
