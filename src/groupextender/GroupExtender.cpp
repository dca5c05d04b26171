#include "groupextender/GroupExtender.h"

#include <random>
#include <set>
#include <vector>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/ThreadParking.h"
#include "config/ConfigSettings.h"
#include "control/ProcessGuard.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"
#include "platform/Threads.h"

namespace cv {

namespace {

constexpr std::uint32_t kStartText = 1216;
constexpr std::uint32_t kStopText = 1217;

struct WorkerTarget {
    std::uint32_t pid = 0;
    std::uint64_t createTime = 0;
    std::uint32_t intervalMs = 1000;
    platform::RawHandle stopEvent = nullptr;
    platform::RawHandle exitEvent = nullptr;
    std::shared_ptr<std::mutex> placeLock;
};

void RunWorker(const WorkerTarget& target) {
    std::minstd_rand random(static_cast<std::uint32_t>(platform::SystemTimeAsFileTime()));
    const std::uint32_t groupCount = platform::ActiveProcessorGroupCount();
    if (groupCount < 2) {
        return;
    }
    std::vector<std::uint64_t> groupMasks;
    for (std::uint16_t group = 0; group < groupCount; ++group) {
        const std::uint32_t count = platform::ActiveProcessorCount(group);
        groupMasks.push_back(count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1);
    }
    // A handle of its own, to the very process the record knows.
    const platform::UniqueHandle process = platform::OpenProcessHandle(
        target.pid, platform::kProcessQueryLimitedInformation | platform::kSynchronize);
    if (!process) {
        return;
    }
    const auto times = platform::GetTimesOfProcess(process.Get());
    if (!times || (target.createTime != 0 && times->create != target.createTime)) {
        return;
    }
    const std::vector<std::uint16_t> groups = platform::GetProcessGroups(process.Get());
    if (groups.empty()) {
        return;
    }
    const std::uint16_t initialGroup = groups.front();
    std::vector<std::uint32_t> placedPerGroup(groupCount, 0);
    std::map<std::uint32_t, std::uint16_t> placed;  // thread id -> group
    const platform::RawHandle ends[] = {target.stopEvent, target.exitEvent};
    const std::size_t endCount = platform::IsValidRawHandle(target.exitEvent) ? 2 : 1;
    for (;;) {
        {
            std::lock_guard lock(*target.placeLock);
            if (platform::IsSignalled(process.Get())) {
                return;
            }
            const std::vector<std::uint32_t> threads = platform::ThreadIdsOfProcess(target.pid);
            const std::set<std::uint32_t> present(threads.begin(), threads.end());
            for (auto it = placed.begin(); it != placed.end();) {
                if (present.count(it->first) == 0) {
                    --placedPerGroup[it->second];
                    it = placed.erase(it);
                } else {
                    ++it;
                }
            }
            for (const std::uint32_t thread : threads) {
                if (placed.count(thread) != 0) {
                    continue;
                }
                auto group = static_cast<std::uint16_t>(random() % groupCount);
                if (!platform::SetThreadGroupAffinityById(thread, groupMasks[group], group)) {
                    group = initialGroup;  // it stays where Windows put it
                }
                ++placedPerGroup[group < groupCount ? group : 0];
                placed[thread] = group;
            }
            if (placed.empty()) {
                return;
            }
        }
        if (platform::WaitForAnyObject(ends, endCount, target.intervalMs) !=
            platform::kWaitTimedOut) {
            return;
        }
    }
}

}  // namespace

std::uint32_t GroupExtenderInterval(std::int32_t configuredMs, std::uint32_t refreshIntervalMs) {
    return configuredMs < 100 ? 1000 : refreshIntervalMs;
}

GroupExtender::~GroupExtender() {
    StopAll();
}

void GroupExtender::Apply(const FeatureContext& context, ProcessRecord& record) {
    const ConfigSettings& settings = context.Settings();
    const bool matches = MatchesProcessorGroupExtended(context.Rules(), context.Facts(record));
    const bool log = context.LogOn(settings.Logging.LogGroupExtender);
    GroupExtenderState& state = record.groupExtender;
    if (matches && !state.started &&
        !GuardRefuses(context, record, GuardedChange::kRestrict, GuardFamily::kGroupExtender)) {
        auto worker = std::make_shared<Worker>();
        worker->stopEvent =
            platform::CreateEventObject(L"", false, false, platform::ObjectSecurity::Default);
        WorkerTarget target;
        target.pid = record.pid;
        target.createTime = record.createTime;
        target.intervalMs =
            GroupExtenderInterval(settings.Performance.UpdateSpeedCore, context.Cycle().intervalMs);
        target.stopEvent = worker->stopEvent.Get();
        target.exitEvent = exitEvent_;
        target.placeLock = placeLock_;
        worker->placeLock = placeLock_;
        worker->thread = platform::StartThread([target] { RunWorker(target); });
        workers_[record.pid] = std::move(worker);
        state.started = true;
        if (log) {
            context.Record(CV_ACTION_TOOK_GROUP_EXTENDER_START,
                           context.RecordFacts(record, EngineText(kStartText)));
        }
    } else if (!matches && state.started) {
        if (log) {
            context.Record(CV_ACTION_TOOK_GROUP_EXTENDER_STOP,
                           context.RecordFacts(record, EngineText(kStopText)));
        }
        Stop(record.pid);
        state.started = false;
    }
}

void GroupExtender::Stop(std::uint32_t pid) {
    const auto it = workers_.find(pid);
    if (it == workers_.end()) {
        return;
    }
    const std::shared_ptr<Worker> worker = it->second;
    workers_.erase(it);
    platform::SetEventObject(worker->stopEvent.Get());
    if (worker->thread && platform::WaitForObject(worker->thread.Get(), kGroupExtenderStopWaitMs) !=
                              platform::WaitResult::Signalled) {
        // It checks its stop event between passes and will end after the one it is in; its
        // handles and lock stay with it until then.
        const platform::RawHandle thread = worker->thread.Get();
        ParkUnresponsiveThread([] {}, worker, [thread] { return platform::IsSignalled(thread); });
    }
}

void GroupExtender::End(ProcessRecord& record) {
    Stop(record.pid);
    record.groupExtender = GroupExtenderState{};
}

void GroupExtender::StopAll() {
    while (!workers_.empty()) {
        Stop(workers_.begin()->first);
    }
}

}  // namespace cv
