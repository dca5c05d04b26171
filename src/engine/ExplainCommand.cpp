#include "engine/ExplainCommand.h"

#include <optional>

#include "common/Format.h"
#include "config/ConfigCheck.h"
#include "config/ConfigSettings.h"
#include "engine/ConfigCheckCommand.h"
#include "engine/Explain.h"
#include "platform/System.h"
#include "powerplans/MachineEnvironment.h"
#include "processes/ParentTree.h"

namespace cv {

namespace {

constexpr wchar_t kReportFileName[] = L"corvex-explain.txt";

}  // namespace

int RunExplain(const std::wstring& target) {
    const SettingsEnvironment environment = MachineSettingsEnvironment();
    const std::wstring path = ActiveConfigPath(environment);
    std::optional<std::uint32_t> pid;
    ExplainSubject subject = ParseExplainTarget(target, &pid);
    const std::wstring engineUser = platform::OwnUserName().value_or(L"System");
    ParentTree tree;
    std::wstring text;
    bool explained = false;
    // Read exactly as the configuration check reads it: the engine's own reader, no writes.
    const auto explain = [&](const ConfigSettings& settings) {
        explained = true;
        if (pid && !DescribeRunningProcess(*pid, settings, engineUser, subject, tree)) {
            text += FormatText(L"No running process has the id %u.\r\n", *pid);
            return;
        }
        text += FormatExplanation(subject, ExplainProcess(settings, subject));
    };
    CheckConfigFile(path, environment,
                    [&](const ConfigSettings& settings, SettingsFindings&) { explain(settings); });
    if (!explained) {
        text += L"The configuration cannot be read; the engine's defaults are explained.\r\n";
        explain(ConfigSettings(environment));
    }
    DeliverReport(path, kReportFileName, L"Configuration: " + path + L"\r\n" + text);
    return 0;
}

}  // namespace cv
