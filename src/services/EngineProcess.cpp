#include "services/EngineProcess.h"

#include "common/Format.h"
#include "common/WideString.h"
#include "platform/Clock.h"
#include "platform/Launch.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "services/Language.h"
#include "services/Messages.h"

namespace cv {

namespace {

constexpr wchar_t kServiceName[] = L"Vigilor";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Vigilor";
constexpr std::uint32_t kMediumIntegrity = 0x2000;
constexpr std::uint32_t kDeleteFlagWarningText = 769;

std::atomic<int> cachedVista{-1};
std::atomic<bool> deleteFlagWarned{false};

}  // namespace

EngineProcessValues& ProcessValues() {
    static EngineProcessValues values;
    return values;
}

std::atomic<bool>& ProcessStopFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

bool IsVistaOrLater() {
    int cached = cachedVista.load();
    if (cached < 0) {
        cached = platform::OsVersionAtLeast(6, 0, 0) ? 1 : 0;
        cachedVista.store(cached);
    }
    return cached == 1;
}

bool IsServiceInstalled() {
    using platform::RegistryRoot;
    if (!platform::RegistryKeyExists(RegistryRoot::LocalMachine, kServiceKey)) {
        return false;
    }
    const auto deleteFlag =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kServiceKey, L"DeleteFlag");
    if (!deleteFlag || *deleteFlag == 0) {
        return true;
    }
    if (!deleteFlagWarned.exchange(true)) {
        ShowMessage({LoadResourceString(kDeleteFlagWarningText), L"Corvane",
                     platform::kMbIconWarning});
    }
    return false;
}

bool StopEngineService() {
    const auto state = platform::QueryServiceState(kServiceName);
    if (state && *state != platform::ServiceState::Running) {
        return true;
    }
    if (!platform::SendServiceStop(kServiceName)) {
        return false;
    }
    platform::SleepMs(250);
    for (int poll = 0; poll < 20; ++poll) {
        const auto now = platform::QueryServiceState(kServiceName);
        if (!now || *now == platform::ServiceState::Stopped) {
            return true;
        }
        if (poll < 19) {
            platform::SleepMs(250);
        }
    }
    return false;
}

bool IsServiceAccountName(const std::wstring& userName) {
    const std::wstring lower = ToLower(userName);
    return lower == L"system" || lower == L"local service" || lower == L"network service";
}

bool IsAboveMediumIntegrity() {
    if (!IsVistaOrLater()) {
        return true;
    }
    const auto level = platform::OwnIntegrityLevel();
    return !level || *level > kMediumIntegrity;
}

std::wstring EngineFolder() {
    const std::wstring image = platform::OwnImagePath();
    const auto slash = image.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : image.substr(0, slash);
}

platform::UniqueHandle LaunchWithElevation(const std::wstring& applicationPath,
                                           const std::wstring& parameters) {
    const std::wstring folder = EngineFolder();
    const std::wstring verb = IsAboveMediumIntegrity() ? L"open" : L"runas";
    platform::UniqueHandle process =
        platform::ShellExecuteProcess(verb, applicationPath, parameters, folder);
    if (process) {
        return process;
    }
    return platform::CreateProcessWithFlags(applicationPath, parameters, 0, folder);
}

platform::UniqueHandle LaunchDetached(const std::wstring& applicationPath,
                                      const std::wstring& commandLine) {
    return platform::CreateProcessWithFlags(
        applicationPath, commandLine, platform::kDetachedProcess | platform::kCreateNewProcessGroup,
        L"");
}

void RestartSelf() {
    const std::wstring image = platform::OwnImagePath();
    std::wstring commandLine =
        FormatText(L"\"%s\" %s%d", image, L"/restart=", platform::OwnProcessId());
    // The new engine keeps the folders this one was told to use.
    const EngineProcessValues& values = ProcessValues();
    if (!values.ConfigFolderOverride.empty()) {
        commandLine += L" \"/configfolder=" + values.ConfigFolderOverride + L"\"";
    }
    if (!values.LogFolderOverride.empty()) {
        commandLine += L" \"/logfolder=" + values.LogFolderOverride + L"\"";
    }
    {
        platform::UniqueHandle process = IsVistaOrLater() ? LaunchWithElevation(image, commandLine)
                                                          : LaunchDetached(image, commandLine);
    }
    platform::ExitOwnProcess(0);
}

void ResetEngineProcessValues() {
    ProcessValues() = EngineProcessValues{};
    ProcessStopFlag() = false;
    cachedVista = -1;
    deleteFlagWarned = false;
}

}  // namespace cv
