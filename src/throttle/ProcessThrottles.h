#pragma once
// Throttles: a thread per throttled process suspends and resumes it in a fixed duty cycle, at the
// level ProcessThrottles (by name) or OneTimeProcessThrottles (by name and id) give. Whatever
// ends a throttle, its process is left running: each suspension is journalled before it is made
// (services/RecoveryJournal.h) and marked for the crash filter (services/HeldSuspensions.h).
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "control/FeatureContext.h"
#include "platform/Handle.h"
#include "runtime/HeldSuspensions.h"
#include "runtime/RecoveryJournal.h"

namespace cv {

// How long a throttled process is held suspended, then let run, in each turn.
struct DutyCycle {
    std::uint32_t suspendedMs = 0;
    std::uint32_t runningMs = 0;
    bool operator==(const DutyCycle&) const = default;
};
DutyCycle DutyCycleFor(std::int32_t level);

// The longest a throttle thread is waited for when it is asked to stop; one that has not stopped
// by then is parked, never ended from outside, since it may hold the heap's lock or another.
constexpr std::uint32_t kThrottleStopWaitMs = 3000;

class ProcessThrottles {
  public:
    ProcessThrottles() = default;
    ProcessThrottles(const ProcessThrottles&) = delete;
    ProcessThrottles& operator=(const ProcessThrottles&) = delete;
    ~ProcessThrottles();

    // The engine's exit event, which ends every throttle thread too.
    void Start(platform::RawHandle exitEvent) { exitEvent_ = exitEvent; }
    // The per-record step: starts, changes or stops the process's throttle as the lists say.
    void Apply(const FeatureContext& context, ProcessRecord& record);
    // The process ended: its throttle stops without a record.
    void End(ProcessRecord& record);
    // Every throttle stops and its process runs; called outside the control lock.
    void StopAll();
    std::size_t RunningCount() const { return running_.size(); }
    // For tests: the process's throttle holds a suspension it has confirmed, and waits.
    bool HoldsConfirmedSuspension(std::uint32_t pid) const {
        const auto it = running_.find(pid);
        return it != running_.end() && it->second->shared->held.state.load() == 2;
    }

  private:
    // What the thread, its owner and the crash filter share: whether the process is suspended
    // by this throttle right now.
    struct Shared {
        HeldSuspension held;
    };
    struct Throttle {
        std::uint32_t pid = 0;
        std::int32_t level = -1;
        platform::UniqueHandle process;  // suspend and resume, opened for this throttle
        platform::UniqueHandle stopEvent;
        platform::UniqueHandle thread;
        std::unique_ptr<Shared> shared;
        JournalEntry entry;  // the process, for its journal entry
    };

    void Begin(const FeatureContext& context, ProcessRecord& record, std::int32_t level,
               bool oneTime);
    void Stop(std::uint32_t pid);

    platform::RawHandle exitEvent_ = nullptr;
    std::map<std::uint32_t, std::shared_ptr<Throttle>> running_;
    bool everStarted_ = false;
};

}  // namespace cv
