#pragma once
// The processor-group extender: on a machine with several processor groups, a worker per chosen
// process (ProcessorGroupExtended) places each new thread of it in a randomly chosen group, so
// a program that knows nothing of groups can use all the processors.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "control/FeatureContext.h"
#include "platform/Handle.h"

namespace cv {

// How often a worker looks for new threads: the refresh interval, or once a second when the
// configured interval (UpdateSpeedCore) is below 100 ms. The loop never waits less than 100 ms,
// so the configured value decides, not the interval the loop uses.
std::uint32_t GroupExtenderInterval(std::int32_t configuredMs, std::uint32_t refreshIntervalMs);

// The longest a worker is waited for when it is asked to stop; one that has not stopped by then
// is parked, never ended from outside, since it may hold the place lock or the heap's.
constexpr std::uint32_t kGroupExtenderStopWaitMs = 3000;

class GroupExtender {
  public:
    GroupExtender() = default;
    GroupExtender(const GroupExtender&) = delete;
    GroupExtender& operator=(const GroupExtender&) = delete;
    ~GroupExtender();

    void Start(platform::RawHandle exitEvent) { exitEvent_ = exitEvent; }
    // The per-record step: a worker for a matching process, stopped when it no longer matches.
    void Apply(const FeatureContext& context, ProcessRecord& record);
    // The process ended: its worker stops without a record.
    void End(ProcessRecord& record);
    // Called outside the control lock.
    void StopAll();
    std::size_t WorkerCount() const { return workers_.size(); }
    // For tests: the lock workers place threads under.
    std::mutex& PlaceLock() const { return *placeLock_; }

  private:
    struct Worker {
        platform::UniqueHandle stopEvent;
        platform::UniqueHandle thread;
        // What the thread uses, kept alive with it when it is parked.
        std::shared_ptr<std::mutex> placeLock;
    };
    void Stop(std::uint32_t pid);

    platform::RawHandle exitEvent_ = nullptr;
    std::map<std::uint32_t, std::shared_ptr<Worker>> workers_;
    // Workers examine and place threads one at a time.
    std::shared_ptr<std::mutex> placeLock_ = std::make_shared<std::mutex>();
};

}  // namespace cv
