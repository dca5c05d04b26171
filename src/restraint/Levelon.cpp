#include "restraint/Levelon.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/Ticks.h"
#include "config/AffinityText.h"
#include "config/ConfigSettings.h"
#include "control/ProcessControl.h"
#include "control/ProcessGuard.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "processes/HandleCache.h"
#include "restraint/LevelonExclusions.h"
#include "runtime/RecoveryJournal.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

using platform::ObjectSecurity;

constexpr std::uint32_t kPriorityLoweredText = 220;
constexpr std::uint32_t kRestraintEndedText = 223;
constexpr std::uint32_t kForegroundEndText = 259;
constexpr std::uint32_t kMaximumTimeText = 570;
constexpr std::uint32_t kTerminatedText = 676;
constexpr std::uint32_t kRestraintAffinityText = 911;
constexpr std::uint32_t kIoRestoredText = 1103;
constexpr std::uint32_t kIoLoweredText = 1105;
// Browsers and the foreground process get this long before they are restrained.
constexpr std::uint64_t kForegroundGraceMs = 8100;
constexpr std::uint32_t kVeryLowIoPriority = 0;

// Journals one change of a restraint before it is made.
void Journal(const ProcessRecord& record, JournalChange change, std::uint64_t value,
             std::uint64_t applied = 0) {
    JournalEntry entry;
    entry.pid = record.pid;
    entry.createTime = record.createTime;
    entry.change = change;
    entry.owner = JournalOwner::Restraint;
    entry.value = value;
    entry.applied = applied;
    RecoveryJournal::Instance().Record(entry);
}

void Forget(const ProcessRecord& record, JournalChange change) {
    RecoveryJournal::Instance().Remove(record.pid, record.createTime, change,
                                       JournalOwner::Restraint);
}

// A change the restraint did not make, or could not put back: logged once, where it happened.
void RecordFailure(const FeatureContext& context, const ProcessRecord& record,
                   const wchar_t* what) {
    if (context.LoggingEnabled()) {
        context.Record(CV_ACTION_TOOK_PROCESS_CHANGE_ERROR, context.RecordFacts(record, what));
    }
}

// Journals the change, makes it, and takes the entry back with a failure record when the change
// did not take.
template <typename Make>
bool MakeJournalled(const FeatureContext& context, const ProcessRecord& record,
                    JournalChange change, std::uint64_t value, std::uint64_t applied,
                    const wchar_t* failure, Make make) {
    Journal(record, change, value, applied);
    if (make()) {
        return true;
    }
    Forget(record, change);
    RecordFailure(context, record, failure);
    return false;
}

// What could not be put back stays journalled; it is said once, here.
void RecordRestoreFailures(const FeatureContext& context, const ProcessRecord& record,
                           const RestoreOutcome& outcome) {
    if (!outcome.priorityClass.value_or(true)) {
        RecordFailure(context, record, L"The priority class could not be restored");
    }
    if (!outcome.boost.value_or(true)) {
        RecordFailure(context, record, L"Priority boost could not be enabled again");
    }
    if (!outcome.io.value_or(true)) {
        RecordFailure(context, record, L"The I/O priority could not be restored");
    }
    if (!outcome.efficiency.value_or(true)) {
        RecordFailure(context, record, L"Efficiency mode could not be restored");
    }
}

std::uint64_t ClearNthSetBit(std::uint64_t mask, unsigned n) {
    for (std::uint64_t rest = mask; rest != 0; rest &= rest - 1) {
        if (n-- == 0) {
            return mask & ~(rest & (~rest + 1));
        }
    }
    return mask;
}

}  // namespace

void Levelon::Start(const FeatureContext& context, bool isService, PowerPlanService& powerPlans) {
    parking_.Attach(&powerPlans);
    restraintEvent_ =
        platform::CreateEventObject(names::EngineObjectName(names::kRestraintPulseEvent, isService),
                                    false, false, ObjectSecurity::Default);
    levelonNotifyEvent_ =
        platform::CreateEventObject(names::kLevelonNotifyEvent, false, false, ObjectSecurity::Open);
    equiloEvent_ =
        platform::CreateEventObject(names::kEquiloEvent, false, false, ObjectSecurity::Open);
    wasOn_ = context.Settings().OutOfControlProcessRestraint.OocOn;
    random_.seed(static_cast<std::uint32_t>(platform::TickCount64()));
    sounds_.Reload(context);
}

void Levelon::NoteReload(const FeatureContext& context) {
    const bool on = context.Settings().OutOfControlProcessRestraint.OocOn;
    if (wasOn_ && !on) {
        RestoreAll(context);
        // No restraint is left to end it later.
        parking_.Restore(context, true);
    }
    wasOn_ = on;
    sounds_.Reload(context);
}

void Levelon::NotifyIfBegan() {
    if (restraintBegan_) {
        platform::SetEventObject(levelonNotifyEvent_.Get());
        platform::SetEventObject(equiloEvent_.Get());
    }
}

void Levelon::Stop() {
    restraintEvent_.Reset();
    levelonNotifyEvent_.Reset();
    equiloEvent_.Reset();
}

bool Levelon::IsForeground(std::uint32_t pid, const LevelonCycle& cycle) const {
    return pid == cycle.foregroundPid ||
           (cycle.sessions != nullptr && cycle.sessions->IsSessionForeground(pid));
}

bool Levelon::ForegroundRules(const FeatureContext& context, const LevelonCycle& cycle) const {
    return context.Settings().OutOfControlProcessRestraint.ExcludeForegroundProcesses2 ||
           cycle.performanceMode;
}

void Levelon::JudgeEligibility(const FeatureContext& context, ProcessRecord& record,
                               bool judgeAgain, const LevelonCycle& cycle,
                               bool engagedPerformanceMode) {
    if (!judgeAgain) {
        return;
    }
    RestraintState& state = record.restraint;
    // A process that switched the machine to performance mode is not held back either.
    state.excluded = engagedPerformanceMode || IsExcludedByRules(context, record);
    if (state.restrained && state.excluded) {
        DecideRestore(context, record, false, true, cycle);
    }
}

void Levelon::Apply(const FeatureContext& context, ProcessRecord& record,
                    const LevelonCycle& cycle) {
    RestraintState& state = record.restraint;
    if (state.excluded) {
        return;
    }
    const auto& ooc = context.Settings().OutOfControlProcessRestraint;
    const double cpu = record.info->CpuPercent();
    if (cycle.totalCpu < ooc.TotalProcessorUsageBeforeRestraint ||
        cpu < static_cast<double>(ooc.PerProcessUsageBeforeRestraint)) {
        if (state.restrained) {
            DecideRestore(context, record, false, false, cycle);
        } else if (state.candidate) {
            // The episode is over: the next time it hogs, it waits the whole time again.
            state.candidate = false;
            state.overQuotaStart = 0;
        }
        return;
    }
    if (!state.candidate && !state.restrained) {
        EvaluateExclusion(context, record, cycle);
        if (state.excluded) {
            return;
        }
    }
    if (state.restrained) {
        const std::uint32_t parent = record.info->ParentPid();
        const bool foreground =
            (ForegroundRules(context, cycle) && IsForeground(record.pid, cycle)) ||
            (ooc.ExcludeChildrenOfForeground && IsForeground(parent, cycle));
        DecideRestore(context, record, foreground, false, cycle);
        return;
    }
    if (state.candidate) {
        ConsiderRestraint(context, record, cycle);
    }
}

void Levelon::EvaluateExclusion(const FeatureContext& context, ProcessRecord& record,
                                const LevelonCycle& cycle) {
    RestraintState& state = record.restraint;
    const ConfigSettings& settings = context.Settings();
    const std::wstring& image = record.info->ImageName();
    const MatchFacts facts = context.Facts(record);
    if ((IsBuiltInLevelonExclusion(image) &&
         !MatchesOocHardCodedExclusionOverrides(context.Rules(), facts)) ||
        ((settings.OutOfControlProcessRestraint.ExcludeServices || cycle.performanceMode) &&
         IsServiceProcess(image, record.user))) {
        state.excluded = true;
        return;
    }
    state.browser = IsGraceBrowser(image);
    if (MatchesOocExclusions(context.Rules(), facts)) {
        state.excluded = true;
        return;
    }
    state.savedPriorityClass =
        static_cast<std::uint32_t>(std::max(0, QueryPriorityClass(record.pid)));
    state.candidate = true;
    const std::uint64_t interval = std::uint64_t{context.Cycle().intervalMs} * 10'000;
    const std::uint64_t now = platform::SystemTimeAsFileTime();
    state.overQuotaStart = now > interval ? now - interval : 0;
}

void Levelon::ConsiderRestraint(const FeatureContext& context, ProcessRecord& record,
                                const LevelonCycle& cycle) {
    RestraintState& state = record.restraint;
    const auto& ooc = context.Settings().OutOfControlProcessRestraint;
    const bool foreground = IsForeground(record.pid, cycle);
    if (foreground && ForegroundRules(context, cycle)) {
        return;
    }
    const std::uint64_t grace = foreground || state.browser ? kForegroundGraceMs : 0;
    const std::uint64_t now = platform::SystemTimeAsFileTime();
    const std::uint64_t waited = ElapsedSince(state.overQuotaStart, now);
    if (waited < (grace + ooc.TimeOverQuotaBeforeRestraint) * 10'000) {
        return;
    }
    if (GuardRefuses(context, record, GuardedChange::kRestrict, GuardFamily::kRestraint)) {
        state.candidate = false;
        state.excluded = true;
        return;
    }

    // What the restraint may change, saved before anything is changed.
    if (ooc.UseEfficiencyMode) {
        state.savedEfficiencyMode = QueryEfficiencyMode(record.pid);
    }
    // A value that cannot be read is left alone: it could not be put back.
    const std::int32_t priorityClass = QueryPriorityClass(record.pid);
    state.savedPriorityClass = priorityClass <= 0 ? 0 : static_cast<std::uint32_t>(priorityClass);
    const platform::RawHandle handle =
        ProcessHandleCache::Instance().GetHandle(record.pid, record.createTime);
    const std::optional<bool> boost =
        handle != nullptr ? platform::ReadPriorityBoostEnabled(handle) : std::nullopt;
    state.savedBoost = boost ? (*boost ? 1 : 0) : -1;
    state.savedAffinity =
        ooc.RestrainByAffinity && handle != nullptr ? platform::GetProcessAffinity(handle) : 0;

    // Vetoes: the user is away, the class is not normal, or the parent is in the foreground.
    const std::uint32_t lastInput = cycle.sessions != nullptr ? cycle.sessions->LastInputTick() : 0;
    const std::uint32_t idleMs = TicksSince(lastInput, Tick32(platform::TickCount64()));
    if ((ooc.DisableLevelonWhenSysIdle && ooc.DisableLevelonIfSysIdleThisManyMS != 0 &&
         lastInput != 0 && idleMs > ooc.DisableLevelonIfSysIdleThisManyMS) ||
        (ooc.TameOnlyNormal && state.savedPriorityClass != platform::kNormalPriorityClass) ||
        (ooc.ExcludeChildrenOfForeground && IsForeground(record.info->ParentPid(), cycle))) {
        return;
    }
    BeginRestraint(context, record);
}

std::uint64_t Levelon::RestraintMask(const FeatureContext& context, std::uint64_t current) {
    const auto& ooc = context.Settings().OutOfControlProcessRestraint;
    std::uint64_t target = current;
    if (ooc.RestraintAffinity.automatic) {
        // A random half of the processors.
        std::vector<unsigned> bits;
        const std::uint64_t all = platform::ActiveProcessorMask();
        for (unsigned bit = 0; bit < 64; ++bit) {
            if ((all >> bit) & 1) {
                bits.push_back(bit);
            }
        }
        std::shuffle(bits.begin(), bits.end(), random_);
        target = 0;
        for (std::size_t i = 0; i < std::max<std::size_t>(1, bits.size() / 2) && i < bits.size();
             ++i) {
            target |= std::uint64_t{1} << bits[i];
        }
    } else if (ooc.RestraintAffinity.mask != 0) {
        target = ooc.RestraintAffinity.mask;
    }
    if (ooc.LevelonDropOneRandomCore && target != 0) {
        target = ClearNthSetBit(target, static_cast<unsigned>(random_() % std::popcount(target)));
    }
    return target;
}

void Levelon::BeginRestraint(const FeatureContext& context, ProcessRecord& record) {
    RestraintState& state = record.restraint;
    const ConfigSettings& settings = context.Settings();
    const auto& ooc = settings.OutOfControlProcessRestraint;
    CountRestraintBegin(context, record);
    // Each change is journalled before it is made, and only a value that was read is changed.
    state.efficiencySet = false;
    if (ooc.UseEfficiencyMode) {
        if (state.savedEfficiencyMode == -1) {
            RecordFailure(context, record, L"Efficiency mode could not be read; left as it is");
        } else {
            state.efficiencySet =
                MakeJournalled(context, record, JournalChange::EfficiencyMode,
                               static_cast<std::uint64_t>(state.savedEfficiencyMode), 0,
                               L"Efficiency mode could not be switched on",
                               [&] { return ChangeEfficiencyMode(record.pid, true); });
        }
    }
    state.priorityLowered = false;
    state.boostDisabled = false;
    if (!ooc.DoNotLowerPriorityClass) {
        const std::uint32_t lowered = ooc.LowerToIdleInsteadOfBelowNormal
                                          ? platform::kIdlePriorityClass
                                          : platform::kBelowNormalPriorityClass;
        if (state.savedPriorityClass == 0) {
            RecordFailure(context, record, L"The priority class could not be read; left as it is");
        } else if (!(state.savedPriorityClass == platform::kIdlePriorityClass &&
                     lowered == platform::kBelowNormalPriorityClass)) {
            // Below normal would raise a process that already runs at idle.
            state.priorityLowered = MakeJournalled(
                context, record, JournalChange::PriorityClass, state.savedPriorityClass, 0,
                L"The priority class could not be lowered",
                [&] { return ChangePriorityClass(record.pid, lowered); });
        }
        if (state.savedBoost == -1) {
            RecordFailure(context, record, L"Priority boost could not be read; left as it is");
        } else if (state.savedBoost == 1) {
            state.boostDisabled = MakeJournalled(context, record, JournalChange::PriorityBoost, 1,
                                                 0, L"Priority boost could not be disabled", [&] {
                                                     return ChangePriorityBoost(record.pid, false);
                                                 });
        }
    }
    state.savedIoPriority = -1;
    if (IsVistaOrLater() && ooc.LowerIOPriorityDuringRestraint) {
        const auto io = platform::GetIoPriority(record.pid);
        if (!io) {
            RecordFailure(context, record, L"The I/O priority could not be read; left as it is");
        } else {
            if (MakeJournalled(context, record, JournalChange::IoPriority, *io, 0,
                               L"The I/O priority could not be lowered", [&] {
                                   return platform::SetIoPriority(record.pid, kVeryLowIoPriority);
                               })) {
                state.savedIoPriority = static_cast<std::int32_t>(*io);
                if (context.LoggingEnabled()) {
                    context.Record(CV_ACTION_IO_PRIORITY_LOWERED,
                                   context.RecordFacts(record, EngineText(kIoLoweredText)));
                }
            }
        }
    }
    if (ooc.RestrainByAffinity) {
        const std::uint64_t current = state.savedAffinity;
        const std::uint64_t full = platform::ActiveProcessorMask();
        state.savedAffinity = 0;
        state.appliedAffinity = 0;
        if (current == 0) {
            RecordFailure(context, record, L"The affinity could not be read; left as it is");
        } else if (!ooc.DoNotAdjustAffinityIfCustomized || current == full) {
            const std::uint64_t target = RestraintMask(context, current);
            if (target != 0) {
                if (MakeJournalled(context, record, JournalChange::Affinity, current, target,
                                   L"The affinity could not be narrowed",
                                   [&] { return ChangeAffinity(record.pid, target); })) {
                    state.savedAffinity = current;
                    state.appliedAffinity = target;
                    if (context.LoggingEnabled()) {
                        context.Record(CV_ACTION_TOOK_LEVELON_BEGIN_AFFINITY,
                                       context.RecordFacts(
                                           record, FormatText(EngineText(kRestraintAffinityText),
                                                              FormatAffinityText(target))));
                    }
                }
            }
        }
    }
    if (ooc.OocDisableCoreParkingWhileIn) {
        parking_.Disable(context);
    }
    restraintBegan_ = true;
    state.restrained = true;
    state.restraintStart = platform::TickCount64();
    state.candidate = false;
    if (context.LogOn(settings.Logging.LogLevelonBegin) && state.priorityLowered) {
        context.Record(CV_ACTION_TOOK_LEVELON_BEGIN_PRIORITY,
                       context.RecordFacts(record, EngineText(kPriorityLoweredText)));
    }
    platform::SetEventObject(restraintEvent_.Get());
    sounds_.PlayRestraint(context);
}

bool Levelon::DecideRestore(const FeatureContext& context, ProcessRecord& record, bool foreground,
                            bool forced, const LevelonCycle& cycle) {
    const RestraintState& state = record.restraint;
    const auto& ooc = context.Settings().OutOfControlProcessRestraint;
    const std::uint64_t now = platform::TickCount64();
    const std::uint64_t restrainedMs = ElapsedSince(state.restraintStart, now);
    const bool calm = record.info->CpuPercent() <= ooc.PerProcessUsageForRestore &&
                      restrainedMs >= ooc.MinimumTimeOfRestraint;
    const bool maximumTime =
        ooc.MaximumTimeOfRestraint != 0 && restrainedMs >= ooc.MaximumTimeOfRestraint;
    const bool byForeground = foreground && ForegroundRules(context, cycle);
    if (!calm && !maximumTime && !byForeground && !forced) {
        return false;
    }
    Restore(context, record, foreground, maximumTime && !calm);
    return true;
}

RestoreOutcome Levelon::PutBack(ProcessRecord& record) {
    RestraintState& state = record.restraint;
    RestoreOutcome outcome;
    // What could not be put back stays in the journal for the next start.
    if (state.efficiencySet) {
        outcome.efficiency = ChangeEfficiencyMode(record.pid, state.savedEfficiencyMode == 1);
        if (*outcome.efficiency) {
            Forget(record, JournalChange::EfficiencyMode);
        }
    }
    state.efficiencySet = false;
    state.savedEfficiencyMode = -1;
    if (state.priorityLowered) {
        outcome.priorityClass = ChangePriorityClass(record.pid, state.savedPriorityClass);
        if (*outcome.priorityClass) {
            Forget(record, JournalChange::PriorityClass);
        }
        state.priorityLowered = false;
    }
    if (state.boostDisabled) {
        outcome.boost = ChangePriorityBoost(record.pid, true);
        if (*outcome.boost) {
            Forget(record, JournalChange::PriorityBoost);
        }
        state.boostDisabled = false;
    }
    if (state.savedIoPriority != -1) {
        outcome.io =
            platform::SetIoPriority(record.pid, static_cast<std::uint32_t>(state.savedIoPriority));
        if (*outcome.io) {
            Forget(record, JournalChange::IoPriority);
        }
        state.savedIoPriority = -1;
    }
    if (state.savedAffinity != 0) {
        // A mask the user set during the restraint stays.
        const platform::RawHandle handle =
            ProcessHandleCache::Instance().GetHandle(record.pid, record.createTime);
        if (handle != nullptr && platform::GetProcessAffinity(handle) == state.appliedAffinity) {
            outcome.affinity = ChangeAffinity(record.pid, state.savedAffinity);
        }
        if (outcome.affinity.value_or(true)) {
            Forget(record, JournalChange::Affinity);
        }
        state.savedAffinity = 0;
        state.appliedAffinity = 0;
    }
    state.restrained = false;
    state.candidate = false;
    return outcome;
}

void Levelon::Restore(const FeatureContext& context, ProcessRecord& record, bool foreground,
                      bool maximumTime) {
    const ConfigSettings& settings = context.Settings();
    const std::uint64_t start = record.restraint.restraintStart;
    const RestoreOutcome outcome = PutBack(record);
    if (context.LogOn(settings.Logging.LogLevelonBegin && settings.Logging.LogLevelonEnd)) {
        const std::wstring ended = EngineText(kRestraintEndedText);
        if (outcome.affinity) {
            context.Record(*outcome.affinity ? CV_ACTION_TOOK_LEVELON_END_AFFINITY_RESTORED
                                             : CV_ACTION_TOOK_LEVELON_END_AFFINITY_RESTORE_ERROR,
                           context.RecordFacts(record, ended));
        }
        if (maximumTime) {
            context.Record(CV_ACTION_TOOK_LEVELON_END_MAXIMUM_TIME,
                           context.RecordFacts(record, EngineText(kMaximumTimeText)));
        } else if (foreground) {
            context.Record(CV_ACTION_TOOK_LEVELON_END_DUE_TO_FOREGROUND,
                           context.RecordFacts(record, EngineText(kForegroundEndText)));
        }
        if (outcome.priorityClass.value_or(false)) {
            context.Record(CV_ACTION_TOOK_LEVELON_END_PRIORITY_RESTORED,
                           context.RecordFacts(record, ended));
        }
        if (outcome.io.value_or(false)) {
            context.Record(CV_ACTION_IO_PRIORITY_RESTORED,
                           context.RecordFacts(record, EngineText(kIoRestoredText)));
        }
    }
    RecordRestoreFailures(context, record, outcome);
    parking_.Restore(context, false);
    const std::uint64_t now = platform::TickCount64();
    CountRestraintEnd(context, record, ElapsedSince(start, now));
    sounds_.PlayRestore(context);
}

void Levelon::EndDueToTerminate(const FeatureContext& context, ProcessRecord& record) {
    RestraintState& state = record.restraint;
    if (!state.restrained) {
        return;
    }
    const LoggingSection& logging = context.Settings().Logging;
    if (context.LogOn(logging.LogLevelonBegin && logging.LogLevelonEnd)) {
        context.Record(CV_ACTION_TOOK_LEVELON_END_DUE_TO_TERMINATE,
                       context.RecordFacts(record, EngineText(kTerminatedText)));
    }
    const std::uint64_t now = platform::TickCount64();
    CountRestraintEnd(context, record, ElapsedSince(state.restraintStart, now));
    parking_.Restore(context, false);
    state = RestraintState{};
}

void Levelon::RestoreAll(const FeatureContext& context) {
    for (auto& [pid, record] : context.Table()) {
        if (record->restraint.restrained) {
            RecordRestoreFailures(context, *record, PutBack(*record));
        }
    }
}

}  // namespace cv
