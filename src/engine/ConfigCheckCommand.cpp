#include "engine/ConfigCheckCommand.h"

#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigCheck.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "config/StorageAccess.h"
#include "enginehost/EngineHost.h"
#include "keeprunning/KeepRunningPolicy.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "powerplans/MachineEnvironment.h"
#include "profiles/ActiveProfile.h"
#include "profiles/ProfileSwitcher.h"
#include "runtime/EngineProcess.h"
#include "sampling/SamplingOutput.h"

namespace cv {

namespace {

constexpr wchar_t kReportFileName[] = L"corvex-check.txt";

bool WriteReportFile(const std::wstring& path, const std::wstring& text) {
    const std::string bytes = "\xEF\xBB\xBF" + ToUtf8(text);
    platform::FileOpenResult file =
        platform::OpenFile(path, platform::kGenericWrite, 0, platform::FileCreation::CreateAlways,
                           platform::kFileAttributeNormal);
    return file.handle && platform::WriteToFile(file.handle.Get(), bytes.data(),
                                                static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace

void DeliverReport(const std::wstring& configPath, const wchar_t* fileName,
                   const std::wstring& text) {
    if (platform::AttachParentConsole() && platform::WriteToConsole(text)) {
        return;
    }
    const auto slash = configPath.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : configPath.substr(0, slash);
    WriteReportFile(folder + L"\\" + fileName, text);
}

std::wstring ActiveConfigPath(const SettingsEnvironment& environment) {
    ConfigSettings settings(environment);
    ConfigStorage storage(settings);
    storage.SetFolderOverride(ProcessValues().ConfigFolderOverride);
    ProfileChangeTracker::Attach(storage);
    return storage.ResolveConfigPath();
}

int RunConfigCheck(const std::wstring& requested) {
    const SettingsEnvironment environment = MachineSettingsEnvironment();
    std::wstring path = requested;
    std::wstring profilePath;
    if (path.empty()) {
        // The file the engine would use now, with the folder switches given beside /check.
        path = ActiveConfigPath(environment);
        profilePath = GetDefaultConfigFolder() + L"\\" + kProfileFileName;
    }
    ConfigCheckReport report =
        CheckConfigFile(path, environment, [](const ConfigSettings& settings, auto& findings) {
            CheckSamplingOutput(settings, findings);
            CheckKeepRunningLaunches(settings, findings);
        });
    // The service's rules are for the administrators alone to choose.
    if (IsServiceInstalled() || RunsUnderServiceAccount()) {
        std::vector<ConfigFinding> exposed =
            OutsideWriterFindings(ConfigurationPaths(path, profilePath));
        report.findings.insert(report.findings.begin(), exposed.begin(), exposed.end());
    }
    std::wstring text = FormatText(L"Checked %s: ", path);
    text += report.HasFindings()
                ? FormatText(L"%u finding(s)%s\r\n", static_cast<unsigned>(report.findings.size()),
                             report.Dropped() ? L", some entries are dropped" : L"")
                : std::wstring(L"nothing is dropped or changed\r\n");
    text += report.Text();
    DeliverReport(path, kReportFileName, text);
    return report.HasFindings() ? 1 : 0;
}

}  // namespace cv
