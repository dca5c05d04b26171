// Any bytes as corvex.ini, read into the settings: reading never crashes or hangs; saving and
// reading again gives the very settings the first read gave, and the same text; the check
// reports nothing about a file the engine wrote, and reads with a sink exactly as without one.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/WideString.h"
#include "config/ConfigCheck.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "platform/sim/SimMachine.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

cv::SettingsEnvironment Environment() {
    static const std::map<std::wstring, std::pair<cv::PlanGuid, std::wstring>> plans = {
        {L"balanced", {{0x381b4222, 1, 2, {}}, L"Balanced"}},
        {L"power saver", {{0xa1841308, 3, 4, {}}, L"Power saver"}},
    };
    cv::SettingsEnvironment environment;
    environment.processors.activeProcessors = 8;
    environment.powerPlans.findPlan = [](const std::wstring& name) -> std::optional<cv::PlanGuid> {
        const auto it = plans.find(cv::ToLower(name));
        return it == plans.end() ? std::nullopt : std::optional(it->second.first);
    };
    environment.powerPlans.planName = [](const cv::PlanGuid& guid) -> std::optional<std::wstring> {
        for (const auto& [key, plan] : plans) {
            if (plan.first == guid) {
                return plan.second;
            }
        }
        return std::nullopt;
    };
    environment.powerPlans.available = [] { return true; };
    return environment;
}

const cv::ConfigSections& Sections(const cv::ConfigSettings& settings) {
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The English texts, so that priority names and the automatic word come from the module.
    cv::sim::Machine::Get().Reset();
    cv::sim::Machine::Get().InstallEnglishModule();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    cv::ConfigDocument document;
    cv::ParseConfigBytes(bytes, document);

    cv::ConfigSettings first(Environment());
    first.ReadSettings(document);
    cv::ConfigDocument written;
    first.WriteSettings(written);

    cv::ConfigSettings second(Environment());
    second.ReadSettings(written);
    Check(Sections(second) == Sections(first));
    cv::ConfigDocument rewritten;
    second.WriteSettings(rewritten);
    Check(written.keys == rewritten.keys && written.values == rewritten.values &&
          written.sections == rewritten.sections);

    // What the engine writes, the check finds nothing to say about, but for plans this machine
    // does not have, which the file keeps for the next load, and rules the engine keeps but may
    // not apply everywhere (an expression that may be cut, a pattern that names a process no
    // rule touches).
    const cv::ConfigCheckReport clean =
        cv::CheckConfigText(cv::RenderConfigBytes(written), Environment());
    Check(clean.readable);
    for (const cv::ConfigFinding& finding : clean.findings) {
        Check(finding.kind == cv::FindingKind::kLimited ||
              (finding.kind == cv::FindingKind::kDefaulted &&
               (finding.key == L"PowerSaver_TargetGUID" ||
                finding.key == L"DefaultPowerSchemes")));
    }

    // Reporting never changes what is read.
    cv::ConfigSettings checked(Environment());
    cv::SettingsFindings findings(document);
    checked.ReadSettings(document, &findings);
    Check(Sections(checked) == Sections(first));
    return 0;
}
