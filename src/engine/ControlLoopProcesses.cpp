// The control loop's process phases: the snapshot, judging new processes, the per-record
// upkeep and the records of processes that ended.
#include <unordered_set>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "actionlog/Statistics.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "engine/ControlLoop.h"
#include "engine/DisplayName.h"
#include "engine/HandleCache.h"
#include "engine/ProcessExit.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "platform/SystemProcessLayout.h"
#include "services/KernelObjectNames.h"
#include "services/SessionAgent.h"

namespace cv {

namespace {

constexpr std::uint32_t kUnknownUserText = 418;
constexpr std::uint32_t kParentText = 944;
constexpr std::uint32_t kProcessEndedText = 952;
constexpr std::uint16_t kMaxPathAttempts = 6;

std::uint32_t EntryPid(const std::uint8_t* entry) {
    return static_cast<std::uint32_t>(
        platform::layout::Read<std::uint64_t>(entry, platform::layout::kUniqueProcessId));
}

}  // namespace

ActionFacts ControlLoop::RecordFacts(const ProcessRecord& record, const std::wstring& info) const {
    ActionFacts facts;
    facts.user = record.user;
    facts.name = record.name;
    facts.pid = record.pid;
    facts.info = info;
    facts.path = record.path;
    facts.commandLine = record.commandLine;
    return facts;
}

void ControlLoop::TakeSnapshot() { snapshot_.Take(disallowBufferReuse_ != 0); }

void ControlLoop::JudgeSnapshotEntries() {
    snapshot_.ForEachEntry([this](const std::uint8_t* entry, std::size_t size) {
        const std::uint32_t pid = EntryPid(entry);
        if (ProcessRecord* record = processTable_.Find(pid)) {
            record->info->FillFromEntry(entry, size);
        } else if (ignored_.count(pid) != 0) {
            ignoredThisCycle_.insert(pid);
        } else {
            JudgeNewProcess(entry, size);
        }
    });
}

void ControlLoop::JudgeNewProcess(const std::uint8_t* entry, std::size_t size) {
    if (spareInfo_ == nullptr || disallowBufferReuse_ != 0) {
        spareInfo_ = std::make_unique<ProcessInfo>();
    }
    ProcessInfo& info = *spareInfo_;
    info.FillFromEntry(entry, size);

    JudgeOptions options;
    options.ignoreProblematicProcesses = settings_->Performance.IgnoreProblematicProcesses;
    options.manageOnlyCurrentUser = settings_->Performance.ManageOnlyCurrentUser;
    options.engineUser = engineUser_;
    options.unknownUserText = EngineText(kUnknownUserText);
    std::wstring user;
    if (!IsManagedProcess(info, options, user)) {
        ignoredThisCycle_.insert(info.Pid());
        spareInfo_.reset();
        return;
    }

    auto record = std::make_unique<ProcessRecord>();
    record->commandLine = info.CommandLine();
    record->path = ToLower(info.Path());
    record->name = ToLower(DisplayName(info.ImageName(), record->commandLine));
    record->user = user;
    record->pid = info.Pid();
    record->createTime = info.CreateTime();
    record->isSessionAgent = EqualsIgnoreCase(record->name, names::kSessionAgentImageName);
    record->info = std::move(spareInfo_);
    if (!firstCycle_) {
        RecordNewProcess(*record);
    }
    if (ApplyInstanceLimits(*record)) {
        return;
    }
    const std::uint32_t parent = record->info->ParentPid();
    ProcessRecord& inserted = processTable_.Insert(std::move(record));
    parentTree_.AddProcess(inserted.pid, inserted.name, parent);
    newProcessThisCycle_ = true;
}

void ControlLoop::RecordNewProcess(ProcessRecord& record) {
    if (!LogOn(settings_->Logging.LogProcessExecutions) || !newProcessFilter_.ShouldWrite(record.pid)) {
        return;
    }
    const std::wstring parentText =
        ParentText(processTable_, record.info->ParentPid(), EngineText(kParentText));
    Record(CV_ACTION_TOOK_NEW_PROCESS, RecordFacts(record, parentText));
}

void ControlLoop::ReadSessionAgents() {
    for (auto& [pid, record] : processTable_) {
        if (!record->isSessionAgent) {
            continue;
        }
        // The agent rewrites its command line, so it is read afresh every cycle.
        SessionAgentReport report;
        if (!ParseSessionAgentCommandLine(record->info->CommandLine(true), report)) {
            continue;
        }
        if (report.LastInputTick > lastInputTick_) {
            lastInputTick_ = report.LastInputTick;
        }
        const auto known = sessionForeground_.find(report.SessionId);
        if (known == sessionForeground_.end()) {
            sessionForeground_[report.SessionId] = report.ForegroundProcessId;
        } else if (known->second != report.ForegroundProcessId) {
            MoveForegroundBoost(known->second, report.ForegroundProcessId);
            known->second = report.ForegroundProcessId;
        }
    }
}

void ControlLoop::MarkServiceTableStale() { serviceTable_.MarkStale(); }

void ControlLoop::SampleSystemCpu() { totalCpu_ = cpuMeter_.SampleTotalCpu(); }

bool ControlLoop::IsProcessAlive(ProcessRecord& record) { return record.info->IsAlive(); }

void ControlLoop::SampleProcessCpu(ProcessRecord& record) { record.info->SampleCpu(); }

void ControlLoop::RetryProcessPath(ProcessRecord& record) {
    if (!record.path.empty() || record.pathRetries >= kMaxPathAttempts) {
        return;
    }
    ++record.pathRetries;
    record.path = ToLower(record.info->Path());
    if (!record.path.empty() || record.pathRetries == kMaxPathAttempts) {
        RecordNewProcess(record);
    }
}

void ControlLoop::RecordProcessExit(ProcessRecord& record) {
    if (!LogOn(settings_->Logging.LogProcessTerminations) || !exitFilter_.ShouldWrite(record.pid)) {
        return;
    }
    const platform::ProcessTimes times = record.info->Times();
    const std::uint64_t exitTime = times.exit != 0 ? times.exit : platform::SystemTimeAsFileTime();
    std::uint64_t runTime = exitTime > times.create ? exitTime - times.create : 0;
    if (runTime == 0) {
        runTime = 1;
    }
    AddToCounter(L"ProcessInfo_TotalRuntime", runTime);
    const double average = AverageCpuPercent(times.kernel + times.user, runTime,
                                             platform::ActiveProcessorCountAllGroups());
    Record(CV_ACTION_TOOK_PROCESS_TERMINATED,
           RecordFacts(record, FormatText(EngineText(kProcessEndedText), FormatDuration(runTime),
                                          average)));
}

void ControlLoop::CloseHandleOfThreadlessProcess(ProcessRecord& record) {
    if (record.info->ThreadCount() == 0) {
        ProcessHandleCache::Instance().ReleaseHandle(record.pid);
    }
}

void ControlLoop::RemoveEndedRecords() {
    for (const std::uint32_t pid : endedRecords_) {
        parentTree_.RemoveProcess(pid);
        processTable_.Erase(pid);
    }
    endedRecords_.clear();
    std::unordered_set<std::uint32_t> live;
    for (const auto& [pid, record] : processTable_) {
        live.insert(pid);
    }
    ProcessHandleCache::Instance().ReleaseAllExcept(live);
}

}  // namespace cv
