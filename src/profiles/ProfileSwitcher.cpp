#include "profiles/ProfileSwitcher.h"

#include <algorithm>

#include "actionlog/ActionCodes.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "config/ProcessMatch.h"
#include "platform/KernelObjects.h"
#include "platform/Registry.h"
#include "profiles/ActiveProfile.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr wchar_t kSwitchRulesValue[] = L"ConfigSwitcherRules";
constexpr wchar_t kCommaPlaceholder = 0xFFFF;
// A refresh interval of 0 would make the switcher spin on the control lock.
constexpr std::uint32_t kShortestEvaluationMs = 100;
constexpr std::uint32_t kPauseAfterWaitFailureMs = 1000;

std::wstring ProfileText(const std::wstring& name) {
    return name.empty() ? std::wstring(L"default") : name;
}

void RecordRefused(const FeatureContext& context, const std::wstring& name) {
    context.Record(
        CV_ACTION_CORVANE_CONFIG_PROFILE_CHANGED,
        context.EngineFacts(
            FormatText(L"Corvane config profile name %s refused; the default profile is used",
                       name),
            false));
}

}  // namespace

std::vector<SwitchRule> ParseSwitchRules(const std::wstring& text) {
    std::wstring marked = text;
    for (auto at = marked.find(L"\\,"); at != std::wstring::npos; at = marked.find(L"\\,", at)) {
        marked.replace(at, 2, 1, kCommaPlaceholder);
    }
    std::vector<std::wstring> tokens;
    std::size_t start = 0;
    while (start <= marked.size()) {
        const auto end = std::min(marked.find_first_of(L";,", start), marked.size());
        if (end > start) {
            std::wstring token = marked.substr(start, end - start);
            std::replace(token.begin(), token.end(), kCommaPlaceholder, L',');
            tokens.push_back(std::move(token));
        }
        start = end + 1;
    }
    std::vector<SwitchRule> rules;
    for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) {
        rules.push_back({ToLower(tokens[i]), tokens[i + 1]});
    }
    return rules;
}

std::vector<SwitchRule> ReadSwitchRules(const FeatureContext& context) {
    const auto text = platform::ReadRegistryString(platform::RegistryRoot::LocalMachine,
                                                   kCorvaneKey, kSwitchRulesValue);
    if (!text || text->empty()) {
        return {};
    }
    std::vector<SwitchRule> rules = ParseSwitchRules(*text);
    for (auto& rule : rules) {
        // The name becomes a folder below the configuration folder: it must stay one.
        const std::wstring stripped = StripProfileName(rule.profile);
        if (!IsUsableProfileName(stripped)) {
            RecordRefused(context, rule.profile);
        }
        rule.profile = IsUsableProfileName(stripped) ? stripped : std::wstring();
    }
    return rules;
}

ProfileSwitcher::~ProfileSwitcher() {
    Stop();
}

void ProfileSwitcher::Start(const FeatureContext& context, std::recursive_mutex& controlLock,
                            platform::RawHandle exitEvent) {
    if (thread_.Joinable()) {
        return;
    }
    stopEvent_ = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    // It matches the switch rules, so it gets room for a regular-expression search.
    thread_.Start(
        [this, &context, &controlLock, exitEvent] { Run(context, controlLock, exitEvent); },
        platform::kMatchingThreadStackReserve, platform::kThreadPriorityNormal);
}

void ProfileSwitcher::Stop() {
    if (!thread_.Joinable()) {
        return;
    }
    platform::SetEventObject(stopEvent_.Get());
    thread_.Join();
    stopEvent_.Reset();
}

void ProfileSwitcher::Run(const FeatureContext& context, std::recursive_mutex& controlLock,
                          platform::RawHandle exitEvent) {
    const auto rulesEvent = platform::CreateEventObject(names::kProfileRulesChangedEvent, false,
                                                        false, platform::ObjectSecurity::Open);
    if (!rulesEvent) {
        return;
    }
    const std::wstring profileFolder = GetDefaultConfigFolder();
    std::vector<SwitchRule> rules = ReadSwitchRules(context);
    const platform::RawHandle events[] = {exitEvent, stopEvent_.Get(), rulesEvent.Get()};
    for (;;) {
        const auto interval = static_cast<std::uint32_t>(
            std::max(context.Settings().Performance.UpdateSpeedCore, std::int32_t{0}));
        const int woken = platform::WaitForAnyObject(events, std::size(events),
                                                     std::max(interval, kShortestEvaluationMs));
        if (woken == 0 || woken == 1) {
            return;
        }
        if (woken == 2) {
            rules = ReadSwitchRules(context);
        } else if (woken != platform::kWaitTimedOut) {
            if (platform::WaitForAnyObject(events, 2, kPauseAfterWaitFailureMs) !=
                platform::kWaitTimedOut) {
                return;
            }
        } else if (!rules.empty()) {
            std::lock_guard lock(controlLock);
            Evaluate(context, rules, profileFolder);
        }
    }
}

void ProfileSwitcher::Evaluate(const FeatureContext& context, const std::vector<SwitchRule>& rules,
                               const std::wstring& profileFolder) {
    const MatchVariant variant = DefaultRulesVariant(context.Settings());
    // Each pattern is read (and an expression compiled) once for the whole table.
    std::vector<RulePattern> patterns(rules.size());
    for (std::size_t i = 0; i < rules.size(); ++i) {
        patterns[i].text = rules[i].pattern;
        PreparePattern(patterns[i]);
    }
    for (auto& [pid, record] : context.Table()) {
        const MatchFacts facts = context.Facts(*record);
        RuleMatcher matcher(facts, variant);
        bool matched = false;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const SwitchRule& rule = rules[i];
            if (!matcher.Matches(patterns[i])) {
                continue;
            }
            matched = true;
            const std::wstring active = ReadActiveProfile(profileFolder).name;
            if (EqualsIgnoreCase(rule.profile, active) ||
                (active.empty() && (rule.profile.empty() || IsDefaultProfileName(rule.profile)))) {
                return;
            }
            returnTo_ = active;
            setByRule_ = true;
            SetActiveProfile(profileFolder, rule.profile);
        }
        if (matched) {
            return;
        }
    }
    if (setByRule_) {
        SetActiveProfile(profileFolder, returnTo_);
        returnTo_.clear();
        setByRule_ = false;
    }
}

void ProfileChangeTracker::Attach(ConfigStorage& storage) {
    storage.SetProfileReader([] { return ReadActiveProfile().name; });
}

bool ProfileChangeTracker::NoteBeforeReload(const FeatureContext& context, ConfigStorage& storage) {
    const ActiveProfile profile = ReadActiveProfile();
    if (!profile.read) {
        return false;
    }
    if (!profile.refused.empty() && profile.refused != lastRefused_) {
        RecordRefused(context, profile.refused);
    }
    lastRefused_ = profile.refused;
    if (profile.name == remembered_) {
        return false;
    }
    const std::wstring text = FormatText(L"Corvane config profile changed from %s to %s",
                                         ProfileText(remembered_), ProfileText(profile.name));
    remembered_ = profile.name;
    ActionFacts facts = context.EngineFacts(text, true);
    facts.path = storage.ResolveConfigPath();
    context.Record(CV_ACTION_CORVANE_CONFIG_PROFILE_CHANGED, facts);
    storage.RestartConfigWatcher();
    return true;
}

}  // namespace cv
