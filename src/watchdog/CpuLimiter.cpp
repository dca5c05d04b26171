#include "watchdog/CpuLimiter.h"

#include <algorithm>
#include <bit>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/Ticks.h"
#include "config/AffinityText.h"
#include "config/ConfigSettings.h"
#include "control/ProcessControl.h"
#include "control/ProcessGuard.h"
#include "platform/Clock.h"
#include "platform/ProcessControl.h"
#include "processes/HandleCache.h"
#include "runtime/RecoveryJournal.h"

namespace cv {

namespace {

constexpr std::uint32_t kLimitAppliedText = 1196;
constexpr std::uint32_t kLimitErrorText = 1197;
constexpr std::uint32_t kLimitDoneText = 1201;

bool SameRule(const CpuLimitInstance& instance, const CpuLimitRule& rule) {
    return instance.pattern == rule.pattern.text && instance.threshold == rule.threshold &&
           instance.timeOverMs == rule.timeOverMs && instance.processors == rule.processors &&
           instance.durationMs == rule.durationMs;
}

JournalEntry LimitEntry(const ProcessRecord& record, std::uint64_t saved, std::uint64_t applied) {
    JournalEntry entry;
    entry.pid = record.pid;
    entry.createTime = record.createTime;
    entry.change = JournalChange::Affinity;
    entry.owner = JournalOwner::CpuLimit;
    entry.value = saved;
    entry.applied = applied;
    return entry;
}

// The mask the limit took away is given back; none when the instance was not limiting, else
// whether the mask was set. The journal entry goes once no instance limits any more (one that
// could not be put back stays for the next start).
std::optional<bool> PutBack(ProcessRecord& record, CpuLimitInstance& instance) {
    std::optional<bool> restored;
    if (instance.limitStart != 0 && instance.savedMask != 0) {
        restored = ChangeAffinity(record.pid, instance.savedMask);
    }
    instance.limitStart = 0;
    instance.savedMask = 0;
    instance.appliedMask = 0;
    if (restored.value_or(true)) {
        const auto& limits = record.watchdog.limits;
        const auto still = std::find_if(limits.begin(), limits.end(), [](const auto& other) {
            return other.limitStart != 0 && other.savedMask != 0;
        });
        if (still == limits.end()) {
            RecoveryJournal::Instance().Remove(record.pid, record.createTime,
                                               JournalChange::Affinity, JournalOwner::CpuLimit);
        } else {
            RecoveryJournal::Instance().Record(LimitEntry(record, 0, still->appliedMask));
        }
    }
    return restored;
}

}  // namespace

void CpuLimiter::NoteReload(const FeatureContext& context) {
    const ConfigSettings& settings = context.Settings();
    std::lock_guard lock(settings.RuleListMutex);
    const auto& rules = settings.ProcessAllowances.CPULimitRules;
    if (rules_) {
        rulesChanged_ = *rules_ != rules;
    }
    rules_ = rules;
}

void CpuLimiter::Apply(const FeatureContext& context, ProcessRecord& record) {
    std::vector<CpuLimitInstance>& limits = record.watchdog.limits;
    if (rulesChanged_) {
        for (CpuLimitInstance& instance : limits) {
            PutBack(record, instance);
        }
        limits.clear();
    }
    if (const auto rule = FindCpuLimitRule(context.Rules(), context.Facts(record))) {
        if (std::none_of(limits.begin(), limits.end(),
                         [&](const auto& instance) { return SameRule(instance, *rule); })) {
            CpuLimitInstance instance;
            instance.pattern = rule->pattern.text;
            instance.threshold = rule->threshold;
            instance.timeOverMs = rule->timeOverMs;
            instance.processors = rule->processors;
            instance.durationMs = rule->durationMs;
            limits.push_back(instance);
            random_.seed(static_cast<std::uint32_t>(platform::TickCount64()));
        }
    }
    const double cpu = record.info->CpuPercent();
    const bool log = context.LogOn(context.Settings().Logging.LogCPULimiter);
    for (CpuLimitInstance& instance : limits) {
        const std::uint64_t now = platform::SystemTimeAsFileTime();
        if (instance.limitStart != 0) {
            const std::uint64_t limited = ElapsedSince(instance.limitStart, now);
            if (instance.durationMs != 0 &&
                limited >= std::uint64_t{instance.durationMs} * 10'000) {
                const std::uint64_t saved = instance.savedMask;
                const bool restored = PutBack(record, instance).value_or(true);
                if (restored) {
                    instance.failures.End(CpuLimitFailure::kRestore);
                }
                if (log && restored) {
                    context.Record(
                        CV_ACTION_TOOK_CPULIMIT_DONE,
                        context.RecordFacts(record, FormatText(EngineText(kLimitDoneText),
                                                               FormatAffinityText(saved))));
                } else if (!restored && instance.failures.Begins(CpuLimitFailure::kRestore) &&
                           context.LoggingEnabled()) {
                    context.Record(
                        CV_ACTION_TOOK_PROCESS_CHANGE_ERROR,
                        context.RecordFacts(record,
                                            L"The affinity a CPU limit narrowed could not be "
                                            L"restored to " +
                                                FormatAffinityText(saved)));
                }
            }
        } else if (cpu >= static_cast<double>(instance.threshold)) {
            if (instance.overThresholdStart == 0) {
                instance.overThresholdStart = now;
            } else if (now - std::min(now, instance.overThresholdStart) >=
                       std::uint64_t{instance.timeOverMs} * 10'000) {
                Limit(context, record, instance);
            }
        } else {
            instance.overThresholdStart = 0;
        }
    }
}

void CpuLimiter::RestoreAll(const FeatureContext& context) {
    for (auto& [pid, record] : context.Table()) {
        for (CpuLimitInstance& instance : record->watchdog.limits) {
            PutBack(*record, instance);
        }
    }
}

std::uint64_t CpuLimiter::RemoveProcessors(std::uint64_t mask, std::uint32_t count) {
    if (count >= static_cast<std::uint32_t>(std::popcount(mask))) {
        return 0;
    }
    for (std::uint32_t removed = 0; removed < count; ++removed) {
        std::uint64_t bit = 0;
        do {
            bit = std::uint64_t{1} << (random_() % 64);
        } while ((mask & bit) == 0);
        mask &= ~bit;
    }
    return mask;
}

void CpuLimiter::Limit(const FeatureContext& context, ProcessRecord& record,
                       CpuLimitInstance& instance) {
    instance.overThresholdStart = 0;
    if (GuardRefuses(context, record, GuardedChange::kRestrict, GuardFamily::kCpuLimit)) {
        return;
    }
    const platform::RawHandle handle =
        ProcessHandleCache::Instance().GetHandle(record.pid, record.createTime);
    // A mask that cannot be read is left alone: it could not be given back.
    const std::uint64_t current = handle != nullptr ? platform::GetProcessAffinity(handle) : 0;
    const std::uint64_t limited = RemoveProcessors(current, instance.processors);
    bool applied = false;
    if (limited != 0) {
        RecoveryJournal::Instance().Record(LimitEntry(record, current, limited));
        applied = ChangeAffinity(record.pid, limited);
    }
    if (applied) {
        instance.savedMask = current;
        instance.appliedMask = limited;
        instance.limitStart = platform::SystemTimeAsFileTime();
        instance.failures.End(CpuLimitFailure::kLimit);
    } else {
        PutBack(record, instance);
    }
    // A limit that cannot apply is tried again every time the process is over the threshold
    // long enough; it is said when it first fails, and again only after it has applied.
    const bool tell = applied || instance.failures.Begins(CpuLimitFailure::kLimit);
    if (!tell || !context.LogOn(context.Settings().Logging.LogCPULimiter)) {
        return;
    }
    if (applied) {
        context.Record(
            CV_ACTION_TOOK_CPULIMIT_SUCCESS,
            context.RecordFacts(
                record,
                FormatText(EngineText(kLimitAppliedText), static_cast<double>(instance.threshold),
                           instance.timeOverMs, instance.processors, instance.durationMs,
                           FormatAffinityText(current), FormatAffinityText(limited))));
    } else {
        context.Record(CV_ACTION_TOOK_CPULIMIT_ERROR,
                       context.RecordFacts(record, EngineText(kLimitErrorText)));
    }
}

}  // namespace cv
