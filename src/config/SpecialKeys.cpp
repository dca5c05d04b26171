#include <array>
#include <utility>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/AffinityText.h"
#include "config/RuleListText.h"
#include "config/SettingsKeys.h"
#include "texts/Language.h"

namespace cv::settings_keys {

namespace {

constexpr std::uint32_t kAutomaticAffinityText = 825;
constexpr std::array<std::uint32_t, 6> kPriorityNameTexts = {243, 244, 245, 247, 246, 248};

// "0x%x" when the text holds "0x" (it must then start with it), else "%u".
std::optional<std::uint32_t> ParsePriorityClassValue(const std::wstring& value, FindingSink* sink) {
    const std::wstring text = AsciiLower(value);
    const bool hex = text.find(L"0x") != std::wstring::npos;
    const std::wstring_view digits =
        hex ? std::wstring_view(text).substr(StartsWith(text, L"0x") ? 2 : text.size())
            : std::wstring_view(text);
    const std::optional<std::uint64_t> parsed = ScanUnsigned(digits, hex ? 16 : 10, UINT32_MAX);
    if (!parsed) {
        if (sink != nullptr) {
            sink->Report(FindingKind::kDefaulted, Quoted(value) +
                                                      L" is not a priority class number; the class "
                                                      L"stays as it was");
        }
        return std::nullopt;
    }
    ReadUnsignedField(digits, hex ? 16 : 10, UINT32_MAX, L"", sink);
    return static_cast<std::uint32_t>(*parsed);
}

}  // namespace

// GetConfigString returns its default untrimmed and a present value trimmed, so a lone blank
// as the default tells an absent key from an empty one.
std::optional<std::wstring> ReadIfPresent(const std::wstring& section, const std::wstring& key,
                                          const ConfigDocument& document) {
    std::wstring value = GetConfigString(section, key, L" ", document);
    if (value == L" ") {
        return std::nullopt;
    }
    return value;
}

std::wstring ReadList(const std::wstring& section, const std::wstring& key,
                      const ConfigDocument& document) {
    return GetConfigString(section, key, nullptr, document);
}

std::optional<SettingsFindings::Key> FindingsFor(SettingsFindings* findings,
                                                 std::wstring_view section, std::wstring_view key) {
    if (findings == nullptr) {
        return std::nullopt;
    }
    return findings->ForKey(section, key);
}

FindingSink* SinkOf(std::optional<SettingsFindings::Key>& key) {
    return key ? &*key : nullptr;
}

// The name the power-plan service gives the plan now, else the one it was chosen by.
std::wstring CurrentPlanName(const PowerPlanResolver& plans, const PlanGuid& plan,
                             const std::wstring& chosenName) {
    const std::optional<std::wstring> name = plans.NameOf(plan);
    return name && !name->empty() ? *name : chosenName;
}

std::wstring AutomaticAffinityWord() {
    std::wstring word = LoadResourceString(kAutomaticAffinityText);
    return word.empty() ? std::wstring(kEnglishAutomaticWord) : word;
}

PriorityClassNames LoadPriorityClassNames() {
    PriorityClassNames names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        names[i] = LoadResourceString(kPriorityNameTexts[i]);
    }
    return names;
}

void ReadSpecial(ConfigSettings& s, Special key, const std::wstring& section,
                 const std::wstring& name, const ConfigDocument& document,
                 const std::wstring& automaticWord, const PriorityClassNames& priorityNames,
                 SettingsFindings::Key* keyFindings, SettingsFindings* findings) {
    auto& ooc = s.OutOfControlProcessRestraint;
    // Findings about the value itself only when the key is in the file.
    FindingSink* present = keyFindings != nullptr && keyFindings->Present() ? keyFindings : nullptr;
    switch (key) {
        case Special::Version:
            return;
        case Special::PowerSaver_TargetGUID:
            return;  // read ahead of the others: EnergySaverEnabled depends on it
        case Special::PlayOnRestraint:
            if (auto value = ReadIfPresent(section, name, document)) {
                ooc.PlayOnRestraint = std::move(*value);
            }
            return;
        case Special::PlayOnRestore:
            if (auto value = ReadIfPresent(section, name, document)) {
                ooc.PlayOnRestore = std::move(*value);
            }
            return;
        case Special::RestraintAffinity: {
            const std::wstring value = GetConfigString(section, name, L"", document);
            ooc.RestraintAffinity = {};
            if (EqualsIgnoreCase(value, automaticWord) ||
                EqualsIgnoreCase(value, kEnglishAutomaticWord)) {
                ooc.RestraintAffinity.automatic = true;
            } else if (!value.empty()) {
                ooc.RestraintAffinity.mask = ParseAffinityText(value, present);
            }
            return;
        }
        case Special::ForegroundBoostPriorityClass:
            if (const auto value = ParsePriorityClassValue(
                    GetConfigString(section, name, L"0x8000", document), present)) {
                s.ForegroundBoosting.ForegroundBoostPriorityClass = *value;
            }
            return;
        case Special::SetTimerResolutionAtStartup:
            s.Performance.SetTimerResolutionAtStartup =
                static_cast<std::uint32_t>(ReadUnsignedField(
                    GetConfigString(section, name, L"0", document), 10, UINT32_MAX, L"", present));
            return;
        default:
            ReadRuleList(s, key, ReadList(section, name, document), document, priorityNames,
                         keyFindings, findings);
            return;
    }
}

std::optional<std::wstring> WriteSpecial(const ConfigSettings& s, Special key,
                                         const std::wstring& automaticWord,
                                         const PriorityClassNames& priorityNames) {
    const auto& ooc = s.OutOfControlProcessRestraint;
    switch (key) {
        case Special::Version:
            return FormatText(L"%d", kConfigBuildStamp);
        case Special::PlayOnRestraint:
            return ooc.PlayOnRestraint;
        case Special::PlayOnRestore:
            return ooc.PlayOnRestore;
        case Special::RestraintAffinity:
            if (ooc.RestraintAffinity.automatic) {
                return automaticWord;
            }
            return FormatAffinityText(ooc.RestraintAffinity.mask);
        case Special::ForegroundBoostPriorityClass:
            return FormatText(L"0x%x", s.ForegroundBoosting.ForegroundBoostPriorityClass);
        case Special::SetTimerResolutionAtStartup:
            return FormatText(L"%u", s.Performance.SetTimerResolutionAtStartup);
        case Special::PowerSaver_TargetGUID: {
            // A plan the service cannot find or name now keeps the name it was chosen by: it may
            // be back at the next load, and the user's choice must not vanish from the file.
            const PowerPlanChoice& choice = s.PowerSaver.PowerSaver_TargetGUID;
            std::wstring name = choice.guid.IsZero() ? choice.name
                                                     : CurrentPlanName(s.environment.powerPlans,
                                                                       choice.guid, choice.name);
            if (name.empty()) {
                return std::nullopt;
            }
            return name;
        }
        default:
            return WriteRuleList(s, key, priorityNames);
    }
}

}  // namespace cv::settings_keys
