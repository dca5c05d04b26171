#include "defaults/ProcessDefaults.h"

#include <initializer_list>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/Ticks.h"
#include "config/AffinityText.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "control/ProcessControl.h"
#include "control/ProcessGuard.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/ProcessControl.h"
#include "processes/HandleCache.h"

namespace cv {

namespace {

constexpr std::uint32_t kEfficiencyOffText = 1350;
constexpr std::uint32_t kEfficiencyOnText = 1351;
constexpr std::uint32_t kSeveralGroupsAffinityText = 1225;
constexpr std::uint32_t kBoostDisabledText = 801;
constexpr std::uint32_t kIoPriorityText = 695;

// A step runs on first sight and again whenever the rules may have changed.
bool StepDue(bool evaluated, bool judgeAgain) {
    return !evaluated || judgeAgain;
}

// CPU-set lists differ in length, in a mask, or in a group where neither side is "any group".
bool CpuSetsDiffer(const std::vector<GroupAffinity>& a, const std::vector<GroupAffinity>& b) {
    if (a.size() != b.size()) {
        return true;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].mask != b[i].mask ||
            (a[i].group != kNoProcessorGroup && b[i].group != kNoProcessorGroup &&
             a[i].group != b[i].group)) {
            return true;
        }
    }
    return false;
}

// A reload may have changed what a step sets: its earlier failures say nothing about the new one.
void ForgetFailuresOnReload(const FeatureContext& context, ProcessRecord& record,
                            std::initializer_list<DefaultsFailure> kinds) {
    if (context.Cycle().reloaded) {
        for (const DefaultsFailure kind : kinds) {
            record.defaults.failures.End(kind);
        }
    }
}

// Whether an attempt's outcome is logged: a success always, a failure when it begins an episode.
bool Tell(ProcessRecord& record, DefaultsFailure kind, bool succeeded) {
    if (succeeded) {
        record.defaults.failures.End(kind);
        return true;
    }
    return record.defaults.failures.Begins(kind);
}

// Defaults never suspend or end a process: the engine's own is the only one they leave alone.
bool Refuses(const FeatureContext& context, ProcessRecord& record) {
    return GuardRefuses(context, record, GuardedChange::kRestrict, GuardFamily::kDefaults);
}

}  // namespace

void ProcessDefaults::ApplyEfficiencyMode(const FeatureContext& context, ProcessRecord& record,
                                          bool judgeAgain) {
    if (!StepDue(record.defaults.efficiencyModeEvaluated, judgeAgain)) {
        return;
    }
    record.defaults.efficiencyModeEvaluated = true;
    ForgetFailuresOnReload(context, record, {DefaultsFailure::kEfficiencyMode});
    const MatchFacts facts = context.Facts(record);
    const auto rule = FindEfficiencyMode(context.Rules(), facts);
    if (!rule || record.info->ThreadCount() == 0 || record.info->IsSuspended()) {
        return;
    }
    const int current = QueryEfficiencyMode(record.pid);
    if (current < 0) {
        return;
    }
    const bool on = rule->value != 0;
    if (!on) {
        // Off is set again every cycle: something else may switch it back on.
        record.defaults.efficiencyModeEvaluated = false;
    }
    if ((on && current == 1) || Refuses(context, record)) {
        return;
    }
    const bool changed = ChangeEfficiencyMode(record.pid, on);
    if (changed && on) {
        ChangePriorityClass(record.pid, platform::kIdlePriorityClass);
    }
    const bool tell = Tell(record, DefaultsFailure::kEfficiencyMode, changed);
    if (!context.LogOn(context.Settings().Logging.LogEfficiencyMode)) {
        return;
    }
    const std::wstring text = EngineText(on ? kEfficiencyOnText : kEfficiencyOffText);
    if (!changed) {
        if (tell) {
            context.Record(CV_ACTION_TOOK_EFFICIENCY_MODE_CHANGE_ERROR,
                           context.RecordFacts(record, text));
        }
    } else if (on || !record.defaults.efficiencyModeLogged) {
        record.defaults.efficiencyModeLogged = true;
        context.Record(CV_ACTION_TOOK_EFFICIENCY_MODE_CHANGE, context.RecordFacts(record, text));
    }
}

void ProcessDefaults::Apply(const FeatureContext& context, ProcessRecord& record, bool judgeAgain) {
    const MatchFacts facts = context.Facts(record);
    ForgetFailuresOnReload(context, record,
                           {DefaultsFailure::kAffinity, DefaultsFailure::kMemoryPriority});

    // Affinity, possibly after a delay from the process's creation.
    if (StepDue(record.defaults.affinityEvaluated, judgeAgain)) {
        record.defaults.affinityEvaluated = true;
        if (const auto rule = FindDefaultAffinity(context.Rules(), facts)) {
            ApplyAffinity(context, record, *rule);
        }
    }

    // Priority class.
    if (StepDue(record.defaults.priorityEvaluated, judgeAgain) && !record.terminatedByEngine) {
        record.defaults.priorityEvaluated = true;
        if (const auto rule = FindDefaultPriority(context.Rules(), facts)) {
            const std::int32_t current = QueryPriorityClass(record.pid);
            if (current != static_cast<std::int32_t>(rule->priorityClass) &&
                !Refuses(context, record)) {
                // Only a class that was set is logged, as for the I/O priority: a class that
                // cannot be set would otherwise be reported as set whenever it is tried.
                if (ChangePriorityClass(record.pid, rule->priorityClass) &&
                    context.LogOn(context.Settings().Logging.LogDefaultPriorityAdjustments)) {
                    context.Record(
                        CV_ACTION_TOOK_DEFAULT_PRIORITY,
                        context.RecordFacts(record, PriorityClassText(rule->priorityClass)));
                }
            }
        }
    }

    // Thread priority boost.
    if (StepDue(record.defaults.boostEvaluated, judgeAgain) && !record.terminatedByEngine) {
        record.defaults.boostEvaluated = true;
        if (MatchesDisableThreadPriorityBoost(context.Rules(), facts)) {
            const platform::RawHandle handle =
                ProcessHandleCache::Instance().GetHandle(record.pid, record.createTime);
            if (handle != nullptr && platform::GetPriorityBoostEnabled(handle) &&
                !Refuses(context, record) && ChangePriorityBoost(record.pid, false) &&
                context.LogOn(context.Settings().Logging.LogDefaultPriorityAdjustments)) {
                context.Record(CV_ACTION_END_DEFAULT_THREAD_BOOST,
                               context.RecordFacts(record, EngineText(kBoostDisabledText)));
            }
        }
    }

    if (!IsVistaOrLater()) {
        return;
    }
    // Memory priority: logged whatever the log switches say.
    if (StepDue(record.defaults.memoryPriorityEvaluated, judgeAgain)) {
        record.defaults.memoryPriorityEvaluated = true;
        const auto rule = FindDefaultMemoryPriority(context.Rules(), facts);
        if (rule && rule->value >= 0 && QueryMemoryPriority(record.pid) != rule->value &&
            !Refuses(context, record)) {
            const bool changed =
                ChangeMemoryPriority(record.pid, static_cast<std::uint32_t>(rule->value));
            if (Tell(record, DefaultsFailure::kMemoryPriority, changed)) {
                context.Record(changed ? CV_ACTION_TOOK_DEFAULT_MEMORY_PRIORITY_CHANGE
                                       : CV_ACTION_TOOK_DEFAULT_MEMORY_PRIORITY_CHANGE_ERROR,
                               context.RecordFacts(record, FormatText(L"%d", rule->value)));
            }
        }
    }
    // I/O priority: only successes are logged.
    if (StepDue(record.defaults.ioPriorityEvaluated, judgeAgain)) {
        record.defaults.ioPriorityEvaluated = true;
        const auto rule = FindDefaultIoPriority(context.Rules(), facts);
        if (rule) {
            const auto current = platform::GetIoPriority(record.pid);
            if ((!current || static_cast<std::int32_t>(*current) != rule->value) &&
                !Refuses(context, record) &&
                platform::SetIoPriority(record.pid, static_cast<std::uint32_t>(rule->value)) &&
                !context.Settings().Logging.LogDisable) {
                context.Record(CV_ACTION_TOOK_DEFAULT_IO_PRIORITY_CHANGE,
                               context.RecordFacts(record, EngineText(kIoPriorityText)));
            }
        }
    }
}

void ProcessDefaults::ApplyAffinity(const FeatureContext& context, ProcessRecord& record,
                                    const AffinityRule& rule) {
    if (rule.delayMs != 0) {
        const std::uint64_t age = ElapsedSince(record.createTime, platform::SystemTimeAsFileTime());
        if (record.createTime == 0 || age < std::uint64_t{rule.delayMs} * 10'000) {
            record.defaults.affinityEvaluated = false;  // tried again next cycle
            return;
        }
    }
    const platform::RawHandle handle =
        ProcessHandleCache::Instance().GetHandle(record.pid, record.createTime);
    const std::uint64_t active = platform::ActiveProcessorMask();
    const std::uint64_t current = handle != nullptr ? platform::GetProcessAffinity(handle) : 0;
    const auto groups = QueryProcessGroups(record.pid);
    const bool groupDiffers =
        rule.affinity.group != kNoProcessorGroup &&
        !(groups.size() == 1 && groups[0] == static_cast<std::uint16_t>(rule.affinity.group));
    if (((rule.affinity.mask & active) == (current & active) && !groupDiffers) ||
        Refuses(context, record)) {
        return;
    }
    const bool changed =
        ChangeAffinityWithGroup(record.pid, rule.affinity.mask, rule.affinity.group);
    // A process in several groups cannot take a one-group mask: that is said as it stands, not
    // as a failure.
    const bool failed = !changed && groups.size() <= 1;
    if (!Tell(record, DefaultsFailure::kAffinity, !failed) ||
        !context.LogOn(context.Settings().Logging.LogDefaultAffinityAdjustments)) {
        return;
    }
    const std::wstring maskText = FormatAffinityText(rule.affinity.mask);
    if (changed) {
        context.Record(CV_ACTION_TOOK_DEFAULT_AFFINITY, context.RecordFacts(record, maskText));
    } else if (groups.size() > 1) {
        context.Record(CV_ACTION_TOOK_DEFAULT_AFFINITY,
                       context.RecordFacts(record, EngineText(kSeveralGroupsAffinityText)));
    } else {
        context.Record(CV_ACTION_TOOK_AFFINITY_ERROR, context.RecordFacts(record, maskText));
    }
}

void ProcessDefaults::ApplyCpuSets(const FeatureContext& context, ProcessRecord& record,
                                   bool judgeAgain) {
    if (!StepDue(record.defaults.cpuSetsEvaluated, judgeAgain)) {
        return;
    }
    record.defaults.cpuSetsEvaluated = true;
    ForgetFailuresOnReload(context, record, {DefaultsFailure::kCpuSets});
    const auto rule = FindCpuSets(context.Rules(), context.Facts(record));
    if (!rule) {
        return;
    }
    const platform::RawHandle handle =
        ProcessHandleCache::Instance().GetHandle(record.pid, record.createTime);
    const auto current = handle != nullptr ? QueryDefaultCpuSets(handle) : std::nullopt;
    if (!current || !CpuSetsDiffer(*current, rule->sets) || Refuses(context, record)) {
        return;
    }
    const bool changed = ChangeDefaultCpuSets(record.pid, rule->sets);
    if (Tell(record, DefaultsFailure::kCpuSets, changed) &&
        context.LogOn(context.Settings().Logging.LogCPUSets)) {
        context.Record(changed ? CV_ACTION_TOOK_DEFAULT_CPU_SET_CHANGE
                               : CV_ACTION_TOOK_DEFAULT_CPU_SET_CHANGE_ERROR,
                       context.RecordFacts(record, FormatCpuSetText(rule->sets)));
    }
}

}  // namespace cv
