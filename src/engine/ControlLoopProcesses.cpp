// The control loop's process phases: judging the snapshot's new processes, the session agents,
// and removing the records of processes that ended.
#include <algorithm>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "actionlog/Statistics.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "engine/ControlLoop.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "platform/SystemProcessLayout.h"
#include "processes/DisplayName.h"
#include "processes/HandleCache.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

constexpr std::uint32_t kUnknownUserText = 418;
constexpr std::uint32_t kParentText = 944;
constexpr std::uint16_t kMaxPathAttempts = 6;

std::uint32_t EntryPid(const std::uint8_t* entry) {
    return static_cast<std::uint32_t>(
        platform::layout::Read<std::uint64_t>(entry, platform::layout::kUniqueProcessId));
}

std::uint64_t EntryCreateTime(const std::uint8_t* entry) {
    return platform::layout::Read<std::uint64_t>(entry, platform::layout::kCreateTime);
}

}  // namespace

void ControlLoop::JudgeSnapshotEntries() {
    ++walk_;
    ignored_.BeginWalk();
    snapshot_.ForEachEntry([this](const std::uint8_t* entry, std::size_t size) {
        const std::uint32_t pid = EntryPid(entry);
        const std::uint64_t createTime = EntryCreateTime(entry);
        if (ProcessRecord* record = processTable_.Find(pid)) {
            if (record->createTime == createTime || record->createTime == 0) {
                record->info->FillFromEntry(entry, size);
                record->seenWalk = walk_;
                return;
            }
            // The id now belongs to another process: the one the record knew has ended.
            EndReplacedRecord(*record);
        } else if (ignored_.Find(pid, createTime) == IgnoredProcesses::Lookup::Ignored) {
            return;
        }
        JudgeNewProcess(entry, size);
    });
    ignored_.EndWalk();
    // Excess instances are asked to close together, once every new process is known.
    for (auto& record : newProcess_.CloseExcessInstances(*context_, exitEvent_.Get())) {
        InsertRecord(std::move(record));
    }
    ForgetMatchesOfChangedAncestry();
}

void ControlLoop::ForgetMatchesOfChangedAncestry() {
    // A process whose parent changed forgets everything: the expression subject names the
    // parent's id and name. Below it, only the answers that walk up every ancestor can differ:
    // childof: rules (matched by the balancer alone), whose other rules keep their answers, and
    // the performance-mode trigger's launcher test.
    for (const std::uint32_t pid : parentTree_.TakeChangedAncestry()) {
        if (ProcessRecord* record = processTable_.Find(pid)) {
            record->matches.NoteAncestryChanged(RuleFamily::kInstanceBalancer);
            record->matches.Forget({RuleFamily::kPerformanceModeTrigger});
        }
    }
    for (const std::uint32_t pid : parentTree_.TakeChangedParents()) {
        if (ProcessRecord* record = processTable_.Find(pid)) {
            record->matches.Forget();
        }
    }
}

void ControlLoop::JudgeNewProcess(const std::uint8_t* entry, std::size_t size) {
    judgedThisCycle_ = true;
    if (spareInfo_ == nullptr || disallowBufferReuse_ != 0) {
        spareInfo_ = std::make_unique<ProcessInfo>();
    }
    ProcessInfo& info = *spareInfo_;
    info.FillFromEntry(entry, size);

    JudgeOptions options;
    options.ignoreProblematicProcesses = settings_->Performance.IgnoreProblematicProcesses;
    options.manageOnlyCurrentUser = settings_->Performance.ManageOnlyCurrentUser;
    options.engineUser = engine_.user;
    options.unknownUserText = EngineText(kUnknownUserText);
    std::wstring user;
    const Verdict verdict = JudgeProcess(info, options, user);
    if (verdict != Verdict::Managed) {
        const std::uint64_t createTime = EntryCreateTime(entry);
        if (verdict == Verdict::IgnoredForLife) {
            ignored_.IgnoreForLife(info.Pid(), createTime);
        } else {
            ignored_.IgnoreForNow(info.Pid(), createTime);
        }
        spareInfo_.reset();
        return;
    }
    ignored_.Forget(info.Pid());

    auto record = std::make_unique<ProcessRecord>();
    record->commandLine = info.CommandLine();
    record->path = ToLower(info.Path());
    record->name = ToLower(DisplayName(info.ImageName(), record->commandLine));
    record->user = user;
    record->pid = info.Pid();
    record->createTime = info.CreateTime();
    record->isSessionAgent = EqualsIgnoreCase(record->name, names::kSessionAgentImageName);
    record->info = std::move(spareInfo_);
    if (!cycle_.first) {
        RecordNewProcess(*record);
    }
    if (newProcess_.HoldIfOverLimit(*context_, record)) {
        return;
    }
    InsertRecord(std::move(record));
}

void ControlLoop::InsertRecord(std::unique_ptr<ProcessRecord> record) {
    const std::uint32_t parent = record->info->ParentPid();
    record->seenWalk = walk_;
    ProcessRecord& inserted = processTable_.Insert(std::move(record));
    if (inserted.isSessionAgent && std::find(sessionAgents_.begin(), sessionAgents_.end(),
                                             inserted.pid) == sessionAgents_.end()) {
        sessionAgents_.push_back(inserted.pid);
    }
    parentTree_.AddProcess(inserted.pid, inserted.name, parent, inserted.createTime);
    cycle_.newProcess = true;
}

void ControlLoop::EndReplacedRecord(ProcessRecord& record) {
    const std::uint32_t pid = record.pid;
    RunExitStep(record);
    // The cached handle still refers to the process that ended, not to the id's new owner.
    ProcessHandleCache::Instance().ReleaseHandle(pid);
    parentTree_.RemoveProcess(pid);
    processTable_.Erase(pid);
}

void ControlLoop::RecordNewProcess(ProcessRecord& record) {
    if (!context_->LogOn(settings_->Logging.LogProcessExecutions) ||
        !newProcessFilter_.ShouldWrite(record.pid)) {
        return;
    }
    const std::wstring parentText =
        ParentText(processTable_, record.info->ParentPid(), EngineText(kParentText));
    context_->Record(CV_ACTION_TOOK_NEW_PROCESS, context_->RecordFacts(record, parentText));
}

void ControlLoop::ReadSessionAgents() {
    for (const SessionActivity::ForegroundMove& move :
         sessions_.ReadSessionAgents(processTable_, sessionAgents_)) {
        if (move.firstReport) {
            foregroundBoost_.Rejoin(*context_, move.sessionId, move.toPid);
        } else {
            foregroundBoost_.Move(*context_, move.sessionId, move.fromPid, move.toPid);
        }
    }
}

void ControlLoop::RetryProcessPath(ProcessRecord& record) {
    if (!record.path.empty() || record.pathRetries >= kMaxPathAttempts) {
        return;
    }
    ++record.pathRetries;
    record.path = ToLower(record.info->Path());
    if (!record.path.empty()) {
        // Rules that compare paths may match now.
        record.matches.Forget();
    }
    if (!record.path.empty() || record.pathRetries == kMaxPathAttempts) {
        RecordNewProcess(record);
    }
}

void ControlLoop::RemoveEndedRecords() {
    // Handles are left behind only by records that ended and by processes judged this cycle;
    // a quiet cycle has nothing to release.
    const bool release = !endedRecords_.empty() || judgedThisCycle_;
    for (const std::uint32_t pid : endedRecords_) {
        parentTree_.RemoveProcess(pid);
        processTable_.Erase(pid);
    }
    ForgetMatchesOfChangedAncestry();
    judgedThisCycle_ = false;
    if (release) {
        const auto managed = [this](std::uint32_t pid) {
            return processTable_.Find(pid) != nullptr;
        };
        // The first release of a run looks at every cached handle; after it, only the records
        // removed since and the handles opened since can be ones the table no longer has.
        if (handlesSwept_) {
            ProcessHandleCache::Instance().Sweep(endedRecords_, managed);
        } else {
            ProcessHandleCache::Instance().ReleaseAllExceptWhere(managed);
            handlesSwept_ = true;
        }
    }
    endedRecords_.clear();
}

}  // namespace cv
