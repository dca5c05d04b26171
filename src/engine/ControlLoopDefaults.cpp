// The control loop's per-process defaults and the foreground boost.
#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "config/AffinityText.h"
#include "config/ProcessMatch.h"
#include "engine/ControlLoop.h"
#include "engine/EngineProcess.h"
#include "engine/HandleCache.h"
#include "platform/Clock.h"
#include "platform/ProcessControl.h"
#include "policies/ProcessControl.h"

namespace cv {

namespace {

constexpr std::uint32_t kEfficiencyOffText = 1350;
constexpr std::uint32_t kEfficiencyOnText = 1351;
constexpr std::uint32_t kSeveralGroupsAffinityText = 1225;
constexpr std::uint32_t kBoostDisabledText = 801;
constexpr std::uint32_t kIoPriorityText = 695;

// A step runs on first sight and again whenever the rules may have changed.
bool StepDue(bool evaluated, bool judgeAgain) { return !evaluated || judgeAgain; }

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

}  // namespace

void ControlLoop::ApplyEfficiencyMode(ProcessRecord& record, bool judgeAgain) {
    if (!StepDue(record.efficiencyModeEvaluated, judgeAgain)) {
        return;
    }
    record.efficiencyModeEvaluated = true;
    const MatchFacts facts = FactsOf(record, &parentTree_);
    const auto rule = FindEfficiencyMode(*settings_, facts);
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
        record.efficiencyModeEvaluated = false;
    }
    if (on && current == 1) {
        return;
    }
    const bool changed = ChangeEfficiencyMode(record.pid, on);
    if (changed && on) {
        ChangePriorityClass(record.pid, platform::kIdlePriorityClass);
    }
    if (!LogOn(settings_->Logging.LogEfficiencyMode)) {
        return;
    }
    const std::wstring text = EngineText(on ? kEfficiencyOnText : kEfficiencyOffText);
    if (!changed) {
        Record(CV_ACTION_TOOK_EFFICIENCY_MODE_CHANGE_ERROR, RecordFacts(record, text));
    } else if (on || !record.efficiencyModeLogged) {
        record.efficiencyModeLogged = true;
        Record(CV_ACTION_TOOK_EFFICIENCY_MODE_CHANGE, RecordFacts(record, text));
    }
}

void ControlLoop::ApplyDefaults(ProcessRecord& record, bool judgeAgain) {
    const MatchFacts facts = FactsOf(record, &parentTree_);

    // Affinity, possibly after a delay from the process's creation.
    if (StepDue(record.affinityEvaluated, judgeAgain)) {
        record.affinityEvaluated = true;
        if (const auto rule = FindDefaultAffinity(*settings_, facts)) {
            ApplyDefaultAffinity(record, *rule);
        }
    }

    // Priority class.
    if (StepDue(record.priorityEvaluated, judgeAgain) && !record.terminatedAsDisallowed) {
        record.priorityEvaluated = true;
        if (const auto rule = FindDefaultPriority(*settings_, facts)) {
            const std::int32_t current = QueryPriorityClass(record.pid);
            if (current != static_cast<std::int32_t>(rule->priorityClass)) {
                ChangePriorityClass(record.pid, rule->priorityClass);
                if (LogOn(settings_->Logging.LogDefaultPriorityAdjustments)) {
                    Record(CV_ACTION_TOOK_DEFAULT_PRIORITY,
                           RecordFacts(record, PriorityClassText(rule->priorityClass)));
                }
            }
        }
    }

    // Thread priority boost.
    if (StepDue(record.boostEvaluated, judgeAgain) && !record.terminatedAsDisallowed) {
        record.boostEvaluated = true;
        if (MatchesDisableThreadPriorityBoost(*settings_, facts)) {
            const platform::RawHandle handle = ProcessHandleCache::Instance().GetHandle(record.pid);
            if (handle != nullptr && platform::GetPriorityBoostEnabled(handle) &&
                ChangePriorityBoost(record.pid, false) &&
                LogOn(settings_->Logging.LogDefaultPriorityAdjustments)) {
                Record(CV_ACTION_END_DEFAULT_THREAD_BOOST,
                       RecordFacts(record, EngineText(kBoostDisabledText)));
            }
        }
    }

    if (!IsVistaOrLater()) {
        return;
    }
    // Memory priority: logged whatever the log switches say.
    if (StepDue(record.memoryPriorityEvaluated, judgeAgain)) {
        record.memoryPriorityEvaluated = true;
        const auto rule = FindDefaultMemoryPriority(*settings_, facts);
        if (rule && rule->value >= 0 && QueryMemoryPriority(record.pid) != rule->value) {
            const bool changed =
                ChangeMemoryPriority(record.pid, static_cast<std::uint32_t>(rule->value));
            Record(changed ? CV_ACTION_TOOK_DEFAULT_MEMORY_PRIORITY_CHANGE
                           : CV_ACTION_TOOK_DEFAULT_MEMORY_PRIORITY_CHANGE_ERROR,
                   RecordFacts(record, FormatText(L"%d", rule->value)));
        }
    }
    // I/O priority: only successes are logged.
    if (StepDue(record.ioPriorityEvaluated, judgeAgain)) {
        record.ioPriorityEvaluated = true;
        const auto rule = FindDefaultIoPriority(*settings_, facts);
        if (rule) {
            const auto current = platform::GetIoPriority(record.pid);
            if ((!current || static_cast<std::int32_t>(*current) != rule->value) &&
                platform::SetIoPriority(record.pid, static_cast<std::uint32_t>(rule->value)) &&
                !settings_->Logging.LogDisable) {
                Record(CV_ACTION_TOOK_DEFAULT_IO_PRIORITY_CHANGE,
                       RecordFacts(record, EngineText(kIoPriorityText)));
            }
        }
    }
}

void ControlLoop::ApplyDefaultAffinity(ProcessRecord& record, const AffinityRule& rule) {
    if (rule.delayMs != 0) {
        const std::uint64_t age = platform::SystemTimeAsFileTime() - record.createTime;
        if (record.createTime == 0 || age < std::uint64_t{rule.delayMs} * 10'000) {
            record.affinityEvaluated = false;  // tried again next cycle
            return;
        }
    }
    const platform::RawHandle handle = ProcessHandleCache::Instance().GetHandle(record.pid);
    const std::uint64_t active = platform::ActiveProcessorMask();
    const std::uint64_t current = handle != nullptr ? platform::GetProcessAffinity(handle) : 0;
    const auto groups = QueryProcessGroups(record.pid);
    const bool groupDiffers =
        rule.affinity.group != kNoProcessorGroup &&
        !(groups.size() == 1 && groups[0] == static_cast<std::uint16_t>(rule.affinity.group));
    if ((rule.affinity.mask & active) == (current & active) && !groupDiffers) {
        return;
    }
    const bool changed =
        ChangeAffinityWithGroup(record.pid, rule.affinity.mask, rule.affinity.group);
    if (!LogOn(settings_->Logging.LogDefaultAffinityAdjustments)) {
        return;
    }
    const std::wstring maskText = FormatAffinityText(rule.affinity.mask);
    if (changed) {
        Record(CV_ACTION_TOOK_DEFAULT_AFFINITY, RecordFacts(record, maskText));
    } else if (groups.size() > 1) {
        Record(CV_ACTION_TOOK_DEFAULT_AFFINITY,
               RecordFacts(record, EngineText(kSeveralGroupsAffinityText)));
    } else {
        Record(CV_ACTION_TOOK_AFFINITY_ERROR, RecordFacts(record, maskText));
    }
}

void ControlLoop::ApplyDefaultCpuSets(ProcessRecord& record, bool judgeAgain) {
    if (!StepDue(record.cpuSetsEvaluated, judgeAgain)) {
        return;
    }
    record.cpuSetsEvaluated = true;
    const auto rule = FindCpuSets(*settings_, FactsOf(record, &parentTree_));
    if (!rule) {
        return;
    }
    const platform::RawHandle handle = ProcessHandleCache::Instance().GetHandle(record.pid);
    const auto current = handle != nullptr ? QueryDefaultCpuSets(handle) : std::nullopt;
    if (!current || !CpuSetsDiffer(*current, rule->sets)) {
        return;
    }
    const bool changed = ChangeDefaultCpuSets(record.pid, rule->sets);
    if (LogOn(settings_->Logging.LogCPUSets)) {
        Record(changed ? CV_ACTION_TOOK_DEFAULT_CPU_SET_CHANGE
                       : CV_ACTION_TOOK_DEFAULT_CPU_SET_CHANGE_ERROR,
               RecordFacts(record, FormatCpuSetText(rule->sets)));
    }
}

void ControlLoop::RestoreBoostsIfChanged() {
    const bool on = settings_->ForegroundBoosting.BoostForegroundProcess;
    if (on != boostForegroundWasOn_) {
        RestoreForegroundBoosts();
        boostForegroundWasOn_ = on;
    }
}

void ControlLoop::RestoreForegroundBoosts() {
    for (const auto& [pid, priorityClass] : boostedClasses_) {
        ChangePriorityClass(pid, priorityClass);
    }
    boostedClasses_.clear();
}

void ControlLoop::MoveForegroundBoost(std::uint32_t fromPid, std::uint32_t toPid) {
    const auto boosted = boostedClasses_.find(fromPid);
    if (boosted != boostedClasses_.end()) {
        ChangePriorityClass(fromPid, boosted->second);
        boostedClasses_.erase(boosted);
    }
    const ForegroundBoostingSection& boosting = settings_->ForegroundBoosting;
    if (!boosting.BoostForegroundProcess) {
        return;
    }
    if (const ProcessRecord* record = processTable_.Find(toPid)) {
        if (MatchesForegroundBoostExclusions(*settings_, FactsOf(*record, &parentTree_))) {
            return;
        }
    }
    const std::int32_t current = QueryPriorityClass(toPid);
    if (current < 0 ||
        (boosting.BoostOnlyNormal && current != static_cast<std::int32_t>(platform::kNormalPriorityClass))) {
        return;
    }
    boostedClasses_[toPid] = static_cast<std::uint32_t>(current);
    ChangePriorityClass(toPid, boosting.ForegroundBoostPriorityClass);
}

void ControlLoop::SetRestartedPriority(platform::RawHandle process) {
    platform::SetProcessPriorityClass(process, platform::kNormalPriorityClass);
}

}  // namespace cv
