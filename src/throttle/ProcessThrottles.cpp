#include "throttle/ProcessThrottles.h"

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/ThreadParking.h"
#include "config/ConfigSettings.h"
#include "control/ProcessGuard.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"
#include "platform/Threads.h"
#include "runtime/RecoveryJournal.h"

namespace cv {

namespace {

constexpr std::uint32_t kThrottleEndsText = 399;
constexpr std::uint32_t kThrottleBeginsText = 400;

// A handle to the very process the record knows: the id alone may already name another one.
// Its creation time is written to `created`.
platform::UniqueHandle OpenSameProcess(std::uint32_t pid, std::uint64_t createTime,
                                       std::uint32_t access, std::uint64_t& created) {
    platform::UniqueHandle process =
        platform::OpenProcessHandle(pid, access | platform::kProcessQueryLimitedInformation);
    if (!process) {
        return {};
    }
    const auto times = platform::GetTimesOfProcess(process.Get());
    if (!times || (createTime != 0 && times->create != createTime)) {
        return {};
    }
    created = times->create;
    return process;
}

void ForgetSuspension(const JournalEntry& entry) {
    RecoveryJournal::Instance().Remove(entry.pid, entry.createTime, JournalChange::Suspension,
                                       JournalOwner::Throttle);
}

// Removes the one-time entry of the process, so that it is not started again.
void ForgetOneTimeThrottle(ConfigSettings& settings, const std::wstring& name, std::uint32_t pid) {
    MatchFacts facts;
    facts.pid = pid;
    facts.name = name;
    {
        std::lock_guard lock(settings.OneTimeThrottleLock);
        std::erase_if(settings.ProcessAllowances.OneTimeProcessThrottles,
                      [&](const OneTimeThrottleRule& rule) {
                          return static_cast<std::uint32_t>(rule.processId) == pid &&
                                 MatchPattern(rule.pattern.text, facts.name);
                      });
    }
    // No kept answer rests on this list, so the generation stays; the control loop publishes the
    // list without the entry before its next cycle.
    settings.RequestPublish();
}

// The throttle holds at most one suspension of its own at a time, and resumes exactly the one it
// added: its mark and the journal say so before the suspension is made, so that its owner, the
// crash filter or the next engine can resume it when this thread cannot.
void RunThrottle(platform::RawHandle process, platform::RawHandle stopEvent,
                 platform::RawHandle exitEvent, DutyCycle duty, HeldSuspension& held,
                 JournalEntry entry) {
    if (!platform::IsValidRawHandle(process)) {
        return;
    }
    RecoveryJournal& journal = RecoveryJournal::Instance();
    entry.count = 1;
    const platform::RawHandle ends[] = {stopEvent, exitEvent};
    const std::size_t endCount = platform::IsValidRawHandle(exitEvent) ? 2 : 1;
    for (;;) {
        if (platform::IsSignalled(process)) {
            return;  // the process ended
        }
        if (!held.Begin()) {
            return;  // the crash filter took over: nothing is suspended any more
        }
        journal.Record(entry);
        if (!platform::SuspendProcessHandle(process)) {
            held.Abandon();
            ForgetSuspension(entry);
        } else if (!held.Confirm()) {
            // Taken over while suspending: nobody else resumes a suspension not yet confirmed.
            platform::ResumeProcessHandle(process);
            ForgetSuspension(entry);
            return;
        }
        const int woken = platform::WaitForAnyObject(ends, endCount, duty.suspendedMs);
        if (held.End()) {
            platform::ResumeProcessHandle(process);
            held.Done();
            ForgetSuspension(entry);
        }
        if (woken != platform::kWaitTimedOut) {
            return;
        }
        if (platform::WaitForAnyObject(ends, endCount, duty.runningMs) != platform::kWaitTimedOut) {
            return;
        }
    }
}

}  // namespace

DutyCycle DutyCycleFor(std::int32_t level) {
    if (level <= 1) {
        return {500, 1000};
    }
    if (level <= 3) {
        return {500, 500};
    }
    if (level <= 5) {
        return {700, 500};
    }
    if (level <= 10) {
        return {1000, 100};
    }
    // Levels above 20 hold the process as firmly as 20 does.
    return {2000, 10};
}

ProcessThrottles::~ProcessThrottles() {
    StopAll();
}

void ProcessThrottles::Apply(const FeatureContext& context, ProcessRecord& record) {
    ConfigSettings& settings = context.Settings();
    if (!settings.throttlesPresent && !everStarted_) {
        return;
    }
    const MatchFacts facts = context.Facts(record);
    std::optional<std::int32_t> level;
    bool oneTime = false;
    if ((level = FindOneTimeThrottleLevel(context.Rules(), facts))) {
        oneTime = true;
    } else {
        level = FindThrottleLevel(context.Rules(), facts);
    }
    const std::int32_t wanted = level.value_or(-1);
    ThrottleState& state = record.throttle;
    const bool log = context.LoggingEnabled();
    if (running_.count(record.pid) != 0 && wanted != state.level && !record.terminatedByEngine) {
        Stop(record.pid);
        state = ThrottleState{};
        if (log) {
            context.Record(CV_ACTION_TOOK_THROTTLE_ENDS,
                           context.RecordFacts(record, EngineText(kThrottleEndsText)));
        }
    }
    if (level && running_.count(record.pid) == 0 && !record.terminatedByEngine && *level >= 1 &&
        !GuardRefuses(context, record, GuardedChange::kSuspend, GuardFamily::kThrottle)) {
        Begin(context, record, *level, oneTime);
        if (log) {
            context.Record(CV_ACTION_TOOK_THROTTLE_BEGINS,
                           context.RecordFacts(record, EngineText(kThrottleBeginsText)));
        }
    }
}

void ProcessThrottles::Begin(const FeatureContext& context, ProcessRecord& record,
                             std::int32_t level, bool oneTime) {
    auto throttle = std::make_shared<Throttle>();
    throttle->pid = record.pid;
    throttle->level = level;
    JournalEntry entry;
    entry.pid = record.pid;
    entry.change = JournalChange::Suspension;
    entry.owner = JournalOwner::Throttle;
    throttle->process =
        OpenSameProcess(record.pid, record.createTime,
                        platform::kSynchronize | platform::kProcessSuspendResume, entry.createTime);
    throttle->stopEvent =
        platform::CreateEventObject(L"", false, false, platform::ObjectSecurity::Default);
    throttle->shared = std::make_unique<Shared>();
    const platform::RawHandle process = throttle->process.Get();
    const platform::RawHandle stopEvent = throttle->stopEvent.Get();
    const platform::RawHandle exitEvent = exitEvent_;
    HeldSuspension& held = throttle->shared->held;
    held.process = process;
    ListHeldSuspension(&held);
    throttle->entry = entry;
    ConfigSettings* settings = &context.Settings();
    const std::wstring name = record.name;
    const std::uint32_t pid = record.pid;
    const DutyCycle duty = DutyCycleFor(level);
    throttle->thread = platform::StartThread([=, &held] {
        RunThrottle(process, stopEvent, exitEvent, duty, held, entry);
        if (oneTime) {
            ForgetOneTimeThrottle(*settings, name, pid);
        }
    });
    record.throttle.level = level;
    record.throttle.oneTime = oneTime;
    everStarted_ = true;
    running_[record.pid] = std::move(throttle);
}

void ProcessThrottles::Stop(std::uint32_t pid) {
    const auto it = running_.find(pid);
    if (it == running_.end()) {
        return;
    }
    const std::shared_ptr<Throttle> owned = it->second;
    running_.erase(it);
    Throttle& throttle = *owned;
    platform::SetEventObject(throttle.stopEvent.Get());
    if (throttle.thread && platform::WaitForObject(throttle.thread.Get(), kThrottleStopWaitMs) !=
                               platform::WaitResult::Signalled) {
        // A thread that does not answer must not keep its process suspended: its mark is taken
        // over, so it makes no further suspension, and the one it holds is resumed here. It is
        // left to end on its own, with everything it uses.
        if (throttle.shared->held.TakeOverFromStuckThread() && throttle.process) {
            platform::ResumeProcessHandle(throttle.process.Get());
        }
        const platform::RawHandle thread = throttle.thread.Get();
        ParkUnresponsiveThread([] {}, owned, [thread] { return platform::IsSignalled(thread); });
    }
    UnlistHeldSuspension(&throttle.shared->held);
    ForgetSuspension(throttle.entry);
}

void ProcessThrottles::End(ProcessRecord& record) {
    Stop(record.pid);
    record.throttle = ThrottleState{};
}

void ProcessThrottles::StopAll() {
    while (!running_.empty()) {
        Stop(running_.begin()->first);
    }
}

}  // namespace cv
