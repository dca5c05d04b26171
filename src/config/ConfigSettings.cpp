#include "config/ConfigSettings.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>
#include <utility>
#include <variant>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigCheck.h"
#include "config/RuleListText.h"
#include "config/SettingsKeys.h"
#include "platform/Registry.h"

namespace cv {

using namespace settings_keys;

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";

void ApplyLevelonDefaults(ConfigSections& sections, const LevelonDefaults& defaults) {
    auto& ooc = sections.OutOfControlProcessRestraint;
    ooc.TotalProcessorUsageBeforeRestraint = defaults.TotalProcessorUsageBeforeRestraint;
    ooc.PerProcessUsageBeforeRestraint = defaults.PerProcessUsageBeforeRestraint;
    ooc.PerProcessUsageForRestore = defaults.PerProcessUsageForRestore;
    ooc.TimeOverQuotaBeforeRestraint = defaults.TimeOverQuotaBeforeRestraint;
    ooc.MinimumTimeOfRestraint = defaults.MinimumTimeOfRestraint;
    ooc.MaximumTimeOfRestraint = defaults.MaximumTimeOfRestraint;
    ooc.OocOn = defaults.OocOn;
}

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The current sound when its file exists, else the first candidate found next to the
// executable or in the Windows media folder, else empty.
std::wstring ChooseSound(const std::wstring& current, std::initializer_list<const wchar_t*> names,
                         const SettingsEnvironment& environment) {
    const auto exists = [&](const std::wstring& path) {
        return environment.fileExists && environment.fileExists(path);
    };
    if (!current.empty() && exists(current)) {
        return current;
    }
    const std::wstring programFolder = FolderOf(environment.executablePath);
    for (const wchar_t* name : names) {
        if (!programFolder.empty() && exists(programFolder + name)) {
            return programFolder + name;
        }
        if (!environment.windowsFolder.empty()) {
            const std::wstring media = environment.windowsFolder + L"\\media" + name;
            if (exists(media)) {
                return media;
            }
        }
    }
    return std::wstring();
}

bool IsKnownGuiUpdateSpeed(std::int32_t value) {
    constexpr std::int32_t kSpeeds[] = {0, 250, 500, 1000, 2000, 5000, 10000};
    return std::find(std::begin(kSpeeds), std::end(kSpeeds), value) != std::end(kSpeeds);
}

void CheckBoolValue(const std::wstring& value, FindingSink& sink) {
    if (EqualsIgnoreCase(value, L"true") || EqualsIgnoreCase(value, L"false")) {
        return;
    }
    sink.Report(FindingKind::kDefaulted,
                value.empty() ? std::wstring(L"is empty; read as false")
                              : Quoted(value) + L" is neither true nor false; read as false");
}

// Present but empty reads as 0, which surprises when the default is something else.
void CheckNumberValue(const std::wstring& value, const std::wstring& defaultText,
                      FindingSink& sink) {
    if (value.empty()) {
        if (defaultText != L"0") {
            sink.Report(FindingKind::kUnparsed,
                        L"is empty; read as 0, not as the default " + defaultText);
        }
        return;
    }
    CheckDecimalText(value, L"", &sink);
}

}  // namespace

LevelonDefaults ComputeLevelonDefaults(const ProcessorFacts& processors) {
    static constexpr std::array<std::int32_t, 32> kTotal = {
        75, 45, 40, 23, 18, 18, 17, 11, 11, 10, 10, 10, 10, 10, 10, 10,
        9,  9,  9,  9,  9,  8,  8,  8,  8,  8,  7,  7,  7,  7,  7,  7};
    static constexpr std::array<std::uint32_t, 32> kPerProcess = {
        64, 32, 20, 15, 10, 10, 9, 8, 8, 8, 7, 7, 6, 6, 5, 5,
        5,  5,  5,  4,  4,  4,  4, 4, 3, 3, 3, 3, 3, 2, 2, 2};
    static constexpr std::array<std::uint32_t, 32> kRestore = {15, 7, 5, 5, 5, 5, 5, 4, 3, 3, 3,
                                                               3,  2, 2, 2, 2, 2, 1, 1, 1, 1, 1,
                                                               1,  1, 1, 1, 1, 1, 1, 1, 1, 1};
    constexpr std::uint32_t kQuota = 900;

    const std::uint32_t n = processors.activeProcessors;
    const bool hybrid = processors.hybrid;
    // Thresholds per process count the performance processors only.
    std::uint32_t p = n;
    if (hybrid && processors.efficientProcessorsGroup0 < n) {
        p = n - processors.efficientProcessorsGroup0;
    }

    LevelonDefaults defaults;
    if (hybrid || n == 0) {
        defaults.TotalProcessorUsageBeforeRestraint = 70;
    } else {
        defaults.TotalProcessorUsageBeforeRestraint = n <= 32 ? kTotal[n - 1] : 7;
    }
    std::uint32_t perProcess = 20;
    std::uint32_t restore = 5;
    std::uint32_t quota = 2000;
    if (p > 32) {
        perProcess = 2;
        restore = 1;
        quota = kQuota;
    } else if (p > 0) {
        perProcess = kPerProcess[p - 1];
        restore = kRestore[p - 1];
        quota = kQuota;
    }
    defaults.PerProcessUsageBeforeRestraint = hybrid ? perProcess * 2 : perProcess;
    defaults.PerProcessUsageForRestore = restore;
    defaults.TimeOverQuotaBeforeRestraint = hybrid ? quota * 3 : quota;
    defaults.MinimumTimeOfRestraint = hybrid ? 3600 : 7200;
    defaults.MaximumTimeOfRestraint = 240000;
    defaults.OocOn = !hybrid;
    return defaults;
}

ConfigSettings::ConfigSettings(SettingsEnvironment settingsEnvironment)
    : environment(std::move(settingsEnvironment)) {
    ResetToDefaults();
}

void ConfigSettings::NoteRulesChanged() const {
    // One sequence for every settings object, so that results kept under one never pass for
    // results under another.
    static std::atomic<std::uint64_t> lastGeneration{0};
    rulesGeneration_.store(lastGeneration.fetch_add(1) + 1, std::memory_order_release);
}

std::shared_ptr<const RuleSet> ConfigSettings::BuildRules() const {
    auto rules = std::make_shared<RuleSet>();
    // Every list's lock, so that the copy is of one state of each list. The order is fixed.
    std::scoped_lock guard(RuleListMutex, ExclusionMutex, InstanceLimitMutex, ThrottleLock,
                           OneTimeThrottleLock, KeepRunningLock, PowerSchemeLock, TrimListLock,
                           PreventSleepLock);
    rules->generation = RulesGeneration();
    static_cast<ConfigSections&>(*rules) = static_cast<const ConfigSections&>(*this);
    return rules;
}

void ConfigSettings::PublishRules() const {
    std::lock_guard guard(publishLock_);
    published_ = BuildRules();
}

std::shared_ptr<const RuleSet> ConfigSettings::Rules() const {
    std::lock_guard guard(publishLock_);
    return published_;
}

void ConfigSettings::PublishIfRequested() const {
    if (publishRequested_.exchange(false, std::memory_order_acq_rel)) {
        PublishRules();
    }
}

void ConfigSettings::ClearRuleLists() {
    EmptyRuleLists(*this);
    {
        std::lock_guard guard(PowerSchemeLock);
        ProcessDefaults.DefaultPowerSchemesUnresolved.clear();
    }
    instanceLimitsPresent = false;
    throttlesPresent = false;
    PublishRules();
}

void ConfigSettings::ResetToDefaults() {
    ConfigSections defaults;
    ApplyLevelonDefaults(defaults, ComputeLevelonDefaults(environment.processors));
    for (const KeyEntry& entry : AllKeys()) {
        std::visit(Overloaded{
                       [&](Special) {},
                       [&](auto field) { field(*this) = field(defaults); },
                   },
                   entry.field);
    }
    auto& ooc = OutOfControlProcessRestraint;
    ooc.RestraintAffinity = defaults.OutOfControlProcessRestraint.RestraintAffinity;
    ooc.PlayOnRestraint = ChooseSound(
        ooc.PlayOnRestraint, {L"\\lower.wav", L"\\Windows Pop-up Blocked.wav"}, environment);
    ooc.PlayOnRestore = ChooseSound(
        ooc.PlayOnRestore, {L"\\raise.wav", L"\\Windows Feed Discovered.wav"}, environment);
    Administration.Version = defaults.Administration.Version;
    Performance.SetTimerResolutionAtStartup = defaults.Performance.SetTimerResolutionAtStartup;
    ForegroundBoosting.ForegroundBoostPriorityClass =
        defaults.ForegroundBoosting.ForegroundBoostPriorityClass;
    PowerSaver.PowerSaver_TargetGUID = defaults.PowerSaver.PowerSaver_TargetGUID;
    GUI.HideViewProcessIcons2 = defaults.GUI.HideViewProcessIcons2;
    ClearRuleLists();
}

void ConfigSettings::ReadSettings(const ConfigDocument& document, SettingsFindings* findings) {
    const std::wstring ooc = L"OutOfControlProcessRestraint";
    const std::wstring logging = L"Logging";
    const std::wstring powerSaver = L"PowerSaver";

    // When-absent values: the defaults, the processor-dependent thresholds, and what older keys
    // and other keys say.
    ConfigSections absent;
    ApplyLevelonDefaults(absent, ComputeLevelonDefaults(environment.processors));
    absent.PowerSaver.PowerSaver_IdleTime = 0;
    absent.Sampling.SamplingIncludePattern = L"*";
    // An older key fills in for its missing successor, so files from older versions keep them.
    absent.OutOfControlProcessRestraint.LevelonDropOneRandomCore =
        GetConfigBool(ooc, L"RoundRobinAffinitySelection", false, document);
    absent.Logging.LogLevelonEnd =
        GetConfigBool(logging, L"LogOutOfControlProcessesRestored2", true, document);
    absent.Logging.LogLevelonBegin =
        GetConfigBool(logging, L"LogOutOfControlProcessesRestrained", true, document);
    absent.OutOfControlProcessRestraint.ExcludeForegroundProcesses2 =
        !environment.serverEdition &&
        GetConfigBool(ooc, L"ExcludeForegroundProcesses", false, document);

    bool targetResolved = false;
    if (const auto target = ReadIfPresent(powerSaver, L"PowerSaver_TargetGUID", document);
        target && !target->empty()) {
        auto& choice = PowerSaver.PowerSaver_TargetGUID;
        const std::optional<PlanGuid> plan = environment.powerPlans.Find(*target);
        choice.guid = plan.value_or(PlanGuid{});
        targetResolved = plan.has_value() && !plan->IsZero();
        // Held by the plan's own name, which is what a save writes.
        choice.name = targetResolved ? CurrentPlanName(environment.powerPlans, choice.guid, *target)
                                     : *target;
        if (!targetResolved && findings != nullptr) {
            findings->ForKey(powerSaver, L"PowerSaver_TargetGUID")
                .Report(FindingKind::kDefaulted,
                        Quoted(*target) +
                            L" is not a power plan of this machine; no idle-time "
                            L"plan is used");
        }
    }
    absent.PowerSaver.EnergySaverEnabled =
        targetResolved && GetConfigInt(powerSaver, L"PowerSaver_IdleTime", 0, document) != 0;

    const std::wstring automaticWord = AutomaticAffinityWord();
    const PriorityClassNames priorityNames = LoadPriorityClassNames();

    for (const KeyEntry& entry : AllKeys()) {
        const std::wstring section = entry.section;
        const std::wstring key = entry.key;
        std::optional<SettingsFindings::Key> keyFindings = FindingsFor(findings, section, key);
        // Findings about a plain value only when the key is in the file.
        FindingSink* present = keyFindings && keyFindings->Present() ? &*keyFindings : nullptr;
        std::visit(
            Overloaded{
                [&](BoolField field) {
                    field(*this) = GetConfigBool(section, key, field(absent), document);
                    if (present != nullptr) {
                        CheckBoolValue(GetConfigString(section, key, L"", document), *present);
                    }
                },
                [&](IntField field) {
                    field(*this) = GetConfigInt(section, key, field(absent), document);
                    if (present != nullptr) {
                        CheckNumberValue(GetConfigString(section, key, L"", document),
                                         FormatText(L"%d", field(absent)), *present);
                    }
                },
                [&](UintField field) {
                    // The INI document's own conversion, so that the unsigned keys clamp
                    // where every other number does.
                    field(*this) = static_cast<std::uint32_t>(GetConfigInt(
                        section, key, static_cast<std::int32_t>(field(absent)), document));
                    if (present != nullptr) {
                        CheckNumberValue(GetConfigString(section, key, L"", document),
                                         FormatUnsignedDecimal(field(absent)), *present);
                    }
                },
                [&](TextField field) {
                    field(*this) = GetConfigString(section, key, field(absent).c_str(), document);
                },
                [&](Special special) {
                    ReadSpecial(*this, special, section, key, document, automaticWord,
                                priorityNames, keyFindings ? &*keyFindings : nullptr, findings);
                },
            },
            entry.field);
    }

    if (!IsKnownGuiUpdateSpeed(Performance.UpdateSpeedGUI)) {
        if (findings != nullptr) {
            findings->ForKey(L"Performance", L"UpdateSpeedGUI")
                .Report(FindingKind::kDefaulted,
                        FormatText(L"%d is not one of 0, 250, 500, 1000, 2000, 5000 and 10000; "
                                   L"read as 1000",
                                   Performance.UpdateSpeedGUI));
        }
        Performance.UpdateSpeedGUI = 1000;
    }
    if (GamingMode.TargetPowerPlan.empty()) {
        if (findings != nullptr && findings->FirstEntryOf(L"TargetPowerPlan")) {
            findings->ForKey(L"GamingMode", L"TargetPowerPlan")
                .Report(FindingKind::kDefaulted,
                        L"is empty; read as " + Quoted(kDefaultTargetPowerPlan));
        }
        GamingMode.TargetPowerPlan = kDefaultTargetPowerPlan;
    }
    if (PowerSaver.EnergySaverUpPowerProfileName.empty()) {
        if (findings != nullptr && PowerSaver.EnergySaverForceActivePowerProfile) {
            findings->ForKey(powerSaver, L"EnergySaverForceActivePowerProfile")
                .Report(FindingKind::kDefaulted,
                        L"is true, but EnergySaverUpPowerProfileName names no plan; read as "
                        L"false");
        }
        PowerSaver.EnergySaverForceActivePowerProfile = false;
    }
    if (Advanced.AutomaticUpdate) {
        // A one-way switch: the registry value takes over and the file keeps "false".
        if (findings == nullptr) {
            platform::WriteRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey,
                                         L"UpdatePromptless", 1);
        } else {
            findings->ForKey(L"Advanced", L"AutomaticUpdate")
                .Report(FindingKind::kRewritten,
                        L"true is handed over to the registry value UpdatePromptless; a save "
                        L"writes false");
        }
        Advanced.AutomaticUpdate = false;
    }
    GUI.HideViewProcessIcons2 = GetConfigBool(L"GUI", L"HideViewProcessIcons2", false, document);
    if (const auto shown = platform::ReadRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey,
                                                       L"ShowProcessIcons")) {
        GUI.HideViewProcessIcons2 = *shown == 0;
    }
    if (findings != nullptr) {
        ReportDocumentFindings(*findings, environment.serverEdition);
        ReportRegexRules(*this, *findings);
    }
    {
        std::lock_guard guard(InstanceLimitMutex);
        instanceLimitsPresent = !ProcessAllowances.InstanceLimitedProcesses.empty();
    }
    {
        std::lock_guard guard(ThrottleLock);
        throttlesPresent = !ProcessAllowances.ProcessThrottles.empty();
    }
    {
        std::lock_guard guard(OneTimeThrottleLock);
        throttlesPresent = throttlesPresent || !ProcessAllowances.OneTimeProcessThrottles.empty();
    }
    // The switches that say which facts the lists compare were read after the lists.
    NoteRulesChanged();
    // Readers keep the set of the last load until this one has read every key.
    PublishRules();
}

void ConfigSettings::WriteSettings(ConfigDocument& document) const {
    const std::wstring automaticWord = AutomaticAffinityWord();
    const PriorityClassNames priorityNames = LoadPriorityClassNames();
    // The field table hands out references for reading and writing; saving only reads them.
    auto& fields = const_cast<ConfigSettings&>(*this);
    for (const KeyEntry& entry : AllKeys()) {
        std::optional<std::wstring> value;
        std::visit(Overloaded{
                       [&](BoolField field) { value = field(fields) ? L"true" : L"false"; },
                       [&](IntField field) { value = FormatText(L"%d", field(fields)); },
                       [&](UintField field) { value = FormatUnsignedDecimal(field(fields)); },
                       [&](TextField field) { value = field(fields); },
                       [&](Special special) {
                           value = WriteSpecial(*this, special, automaticWord, priorityNames);
                       },
                   },
                   entry.field);
        if (value) {
            AddEntry(document, entry.section, entry.key, *value);
        }
    }
    platform::WriteRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey, L"ShowProcessIcons",
                                 GUI.HideViewProcessIcons2 ? 0 : 1);
}

bool ApplyHybridThresholdUpgrade(ConfigSettings& settings) {
    const ProcessorFacts& processors = settings.environment.processors;
    if (!processors.hybrid) {
        return false;
    }
    const auto applied = platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey,
                                                     L"LevelonDefaultsApplied");
    if (applied && *applied >= kHybridDefaultsStamp) {
        return false;
    }
    platform::WriteRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"LevelonDefaultsApplied",
                                 kHybridDefaultsStamp);
    const LevelonDefaults hybrid = ComputeLevelonDefaults(processors);
    auto& ooc = settings.OutOfControlProcessRestraint;
    ooc.TotalProcessorUsageBeforeRestraint =
        std::max(ooc.TotalProcessorUsageBeforeRestraint, hybrid.TotalProcessorUsageBeforeRestraint);
    ooc.PerProcessUsageBeforeRestraint =
        std::max(ooc.PerProcessUsageBeforeRestraint, hybrid.PerProcessUsageBeforeRestraint);
    ooc.PerProcessUsageForRestore =
        std::max(ooc.PerProcessUsageForRestore, hybrid.PerProcessUsageForRestore);
    ooc.TimeOverQuotaBeforeRestraint =
        std::max(ooc.TimeOverQuotaBeforeRestraint, hybrid.TimeOverQuotaBeforeRestraint);
    ooc.MinimumTimeOfRestraint =
        std::min(ooc.MinimumTimeOfRestraint, hybrid.MinimumTimeOfRestraint);
    return true;
}

}  // namespace cv
