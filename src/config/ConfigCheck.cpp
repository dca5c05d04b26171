#include "config/ConfigCheck.h"

#include <algorithm>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "config/ProtectedProcesses.h"
#include "platform/Files.h"

namespace cv {

std::wstring ConfigFinding::Text() const {
    std::wstring text;
    if (line != 0) {
        text = FormatText(L"line %u", line);
    }
    if (!key.empty()) {
        if (!text.empty()) {
            text += L' ';
        }
        if (!section.empty()) {
            text += L"[" + section + L"] ";
        }
        text += key;
    }
    if (!text.empty()) {
        text += L": ";
    }
    return text + message;
}

SettingsFindings::SettingsFindings(const ConfigDocument& document,
                                   std::vector<std::uint32_t> entryLines)
    : document_(document), entryLines_(std::move(entryLines)) {}

SettingsFindings::Key::Key(SettingsFindings& owner, std::wstring section, std::wstring key,
                           std::optional<std::size_t> entry)
    : owner_(owner), section_(std::move(section)), key_(std::move(key)), entry_(entry) {}

void SettingsFindings::Key::Report(FindingKind kind, std::wstring message) {
    owner_.findings.push_back(
        {section_, key_, entry_ ? owner_.LineOf(*entry_) : 0, kind, std::move(message)});
}

SettingsFindings::Key SettingsFindings::ForKey(std::wstring_view schemaSection,
                                               std::wstring_view key) {
    const std::optional<std::size_t> entry = FirstEntryOf(key);
    if (!entry) {
        return Key(*this, std::wstring(schemaSection), std::wstring(key), std::nullopt);
    }
    return ForEntry(*entry);
}

SettingsFindings::Key SettingsFindings::ForEntry(std::size_t entry) {
    return Key(*this, Trim(document_.sections[entry]), Trim(document_.keys[entry]), entry);
}

std::optional<std::size_t> SettingsFindings::FirstEntryOf(std::wstring_view key) const {
    // As GetConfigString looks keys up: the first whose key equals, ignoring case.
    const std::size_t count = std::min(document_.keys.size(), document_.sections.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (EqualsIgnoreCase(document_.keys[i], key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::uint32_t SettingsFindings::LineOf(std::size_t entry) const {
    return entry < entryLines_.size() ? entryLines_[entry] : 0;
}

bool ConfigCheckReport::Dropped() const {
    return std::any_of(findings.begin(), findings.end(), [](const ConfigFinding& finding) {
        return finding.kind == FindingKind::kDropped;
    });
}

std::wstring ConfigCheckReport::Text() const {
    std::wstring text;
    for (const ConfigFinding& finding : findings) {
        text += finding.Text();
        text += L"\r\n";
    }
    return text;
}

namespace {

void ReportLayout(const ConfigTextLayout& layout, std::vector<ConfigFinding>& findings) {
    for (const std::uint32_t line : layout.unclosedSectionLines) {
        findings.push_back({L"", L"", line, FindingKind::kDropped,
                            L"a section header without \"]\" is neither a section nor a key; "
                            L"ignored"});
    }
    if (layout.stopLine != 0 && layout.ignoredLines != 0) {
        findings.push_back(
            {L"", L"", layout.stopLine, FindingKind::kDropped,
             FormatText(L"a line that is only \"#\" or \";\" ends the file for the reader; the %u "
                        L"lines with text after it are ignored",
                        layout.ignoredLines)});
    }
    if (layout.nulLine != 0) {
        findings.push_back({L"", L"", layout.nulLine, FindingKind::kDropped,
                            L"the text ends at a NUL character; everything after it is ignored"});
    }
}

enum class RuleEffect { kChanges, kSuspends, kEnds };

// The watchdog's action numbers.
constexpr std::int32_t kWatchdogTerminate = 0;
constexpr std::int32_t kWatchdogRestart = 1;
constexpr std::int32_t kWatchdogIoPriority = 5;

class ProtectedTargetCheck {
  public:
    ProtectedTargetCheck(const ConfigSettings& settings, SettingsFindings& findings)
        : settings_(settings), findings_(findings) {}

    template <typename Rules>
    void List(std::wstring_view section, std::wstring_view key, const Rules& rules,
              const MatchVariant& variant, RuleEffect effect) {
        for (const auto& rule : rules) {
            Rule(section, key, PatternOf(rule), variant, effect);
        }
    }

    void Rule(std::wstring_view section, std::wstring_view key, const RulePattern& pattern,
              const MatchVariant& variant, RuleEffect effect) {
        std::wstring matched;
        const auto consider = [&](std::wstring_view image) {
            MatchFacts facts;
            facts.name = image;
            if (!MatchRule(pattern.text, variant, facts) ||
                (key == L"DisallowedProcesses" &&
                 FindMatchingRule(settings_.ProcessAllowances.AllowedProcesses,
                                  DefaultRulesVariant(settings_), facts))) {
                return;
            }
            matched += (matched.empty() ? L"" : L", ") + std::wstring(image);
        };
        consider(kEngineImageName);
        if (effect != RuleEffect::kChanges) {
            for (const std::wstring_view image : SessionCriticalImageNames()) {
                consider(image);
            }
        }
        if (matched.empty()) {
            return;
        }
        static constexpr const wchar_t* kVerbs[] = {L"changes", L"suspends", L"ends"};
        findings_.ForKey(section, key)
            .Report(
                FindingKind::kLimited,
                FormatText(
                    L"the entry %s matches %s, which the engine never %s: the rule "
                    L"leaves %s alone",
                    Quoted(pattern.text), matched, std::wstring(kVerbs[static_cast<int>(effect)]),
                    std::wstring(matched.find(L',') == std::wstring::npos ? L"it" : L"them")));
    }

  private:
    const ConfigSettings& settings_;
    SettingsFindings& findings_;
};

// Rules of the families that suspend, end, limit or lower processes, whose patterns name the
// engine or, for a suspension or an end, a process Windows cannot run without.
void ReportProtectedTargets(const ConfigSettings& settings, SettingsFindings& findings) {
    ProtectedTargetCheck check(settings, findings);
    const auto& allowances = settings.ProcessAllowances;
    const auto& defaults = settings.ProcessDefaults;
    const MatchVariant defaultRules = DefaultRulesVariant(settings);
    check.List(L"ProcessAllowances", L"ProcessThrottles", allowances.ProcessThrottles,
               kNameOnlyVariant, RuleEffect::kSuspends);
    check.List(L"ProcessAllowances", L"DisallowedProcesses", allowances.DisallowedProcesses,
               defaultRules, RuleEffect::kEnds);
    check.List(L"ProcessAllowances", L"InstanceLimitedProcesses",
               allowances.InstanceLimitedProcesses, kNameOnlyVariant, RuleEffect::kEnds);
    check.List(L"ProcessAllowances", L"InstanceManagedCPUAffinities",
               allowances.InstanceManagedCPUAffinities, kInstanceBalancerVariant,
               RuleEffect::kChanges);
    check.List(L"ProcessAllowances", L"CPULimitRules", allowances.CPULimitRules, kCpuLimitVariant,
               RuleEffect::kChanges);
    check.List(L"ProcessAllowances", L"EfficiencyMode", allowances.EfficiencyMode, defaultRules,
               RuleEffect::kChanges);
    check.List(L"ProcessDefaults", L"DefaultPriorities", defaults.DefaultPriorities, defaultRules,
               RuleEffect::kChanges);
    check.List(L"ProcessDefaults", L"DefaultIOPriorities", defaults.DefaultIOPriorities,
               defaultRules, RuleEffect::kChanges);
    check.List(L"ProcessDefaults", L"DefaultMemoryPriorities", defaults.DefaultMemoryPriorities,
               defaultRules, RuleEffect::kChanges);
    check.List(L"ProcessDefaults", L"DisableThreadPriorityBoost",
               defaults.DisableThreadPriorityBoost, kNameOnlyVariant, RuleEffect::kChanges);
    check.List(L"ProcessDefaults", L"DefaultAffinitiesEx", defaults.DefaultAffinitiesEx,
               DefaultAffinityVariant(settings), RuleEffect::kChanges);
    check.List(L"ProcessDefaults", L"CPUSets", defaults.CPUSets, defaultRules,
               RuleEffect::kChanges);
    check.List(L"AdvancedRules", L"ProcessorGroupExtended",
               settings.AdvancedRules.ProcessorGroupExtended, kCpuLimitVariant,
               RuleEffect::kChanges);
    for (const WatchdogRule& rule : settings.AdvancedRules.WatchdogRules2) {
        if (rule.Action == kWatchdogTerminate || rule.Action == kWatchdogRestart) {
            check.Rule(L"AdvancedRules", L"WatchdogRules2", rule.Pattern, kWatchdogVariant,
                       RuleEffect::kEnds);
        } else if (rule.Action > kWatchdogRestart && rule.Action <= kWatchdogIoPriority) {
            // Affinity, trimming, priority class and I/O priority.
            check.Rule(L"AdvancedRules", L"WatchdogRules2", rule.Pattern, kWatchdogVariant,
                       RuleEffect::kChanges);
        }
    }
}

}  // namespace

ConfigCheckReport CheckConfigText(std::string_view bytes, const SettingsEnvironment& environment,
                                  const SettingsCheck& extra) {
    ConfigCheckReport report;
    ConfigDocument document;
    ConfigTextLayout layout;
    if (!ParseConfigBytes(bytes, document, &layout)) {
        report.readable = false;
        report.findings.push_back(
            {L"", L"", 1, FindingKind::kDropped,
             L"the file is UTF-16 big-endian, which the engine cannot read: it empties every "
             L"rule list and keeps its other settings as they were"});
        return report;
    }
    ReportLayout(layout, report.findings);
    SettingsFindings findings(document, std::move(layout.entryLines));
    ConfigSettings settings(environment);
    settings.ReadSettings(document, &findings);
    ReportProtectedTargets(settings, findings);
    if (extra) {
        extra(settings, findings);
    }
    report.findings.insert(report.findings.end(), findings.findings.begin(),
                           findings.findings.end());
    // Keys that are not in the file (line 0) come after those that are.
    std::stable_sort(report.findings.begin(), report.findings.end(),
                     [](const ConfigFinding& a, const ConfigFinding& b) {
                         const auto order = [](std::uint32_t line) {
                             return line == 0 ? UINT32_MAX : line;
                         };
                         return order(a.line) < order(b.line);
                     });
    return report;
}

ConfigCheckReport CheckConfigFile(const std::wstring& path, const SettingsEnvironment& environment,
                                  const SettingsCheck& extra) {
    const auto unreadable = [](const wchar_t* message) {
        ConfigCheckReport report;
        report.readable = false;
        report.findings.push_back({L"", L"", 0, FindingKind::kDropped, message});
        return report;
    };
    if (!platform::PathExists(path)) {
        return unreadable(L"the file does not exist; the engine would create it with the defaults");
    }
    // Shared as the engine's own reader shares it, so that a check never gets in its way.
    const auto opened = platform::OpenFile(
        path, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        platform::FileCreation::OpenExisting, platform::kFileAttributeNormal);
    const auto size = opened.handle ? platform::FileSizeLow(opened.handle.Get()) : std::nullopt;
    if (!size) {
        return unreadable(L"the file cannot be opened or read");
    }
    std::string bytes(*size, '\0');
    const auto read = platform::ReadFromFile(opened.handle.Get(), bytes.data(), *size);
    if (!read || *read != *size) {
        return unreadable(L"the file cannot be read to its end");
    }
    return CheckConfigText(bytes, environment, extra);
}

}  // namespace cv
