#include "runtime/EngineProcess.h"

#include "common/Format.h"
#include "enginehost/EngineHost.h"
#include "platform/Launch.h"
#include "platform/System.h"

namespace cv {

EngineProcessValues& ProcessValues() {
    static EngineProcessValues values;
    return values;
}

std::atomic<bool>& ProcessStopFlag() {
    static std::atomic<bool> flag{false};
    return flag;
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
    ResetEngineHostValues();
}

}  // namespace cv
