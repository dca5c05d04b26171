#include "newprocess/NewProcessPolicy.h"

#include <algorithm>

#include <mutex>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "control/ProcessControl.h"
#include "control/ProcessGuard.h"
#include "newprocess/NewProcessRules.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/System.h"
#include "processes/NewProcess.h"

namespace cv {

namespace {

constexpr std::uint32_t kClosedOverLimitText = 285;
constexpr std::uint32_t kCloseOverLimitFailedText = 286;
constexpr std::uint32_t kDisallowedText = 318;
constexpr std::uint32_t kParentText = 944;
constexpr std::uint32_t kRebalancedText = 1182;
constexpr std::uint32_t kDisallowedExitCode = 1;
constexpr wchar_t kInternetExplorer[] = L"iexplore.exe";
constexpr wchar_t kInternetExplorerTerminatedText[] =
    L"Terminated due to IE restriction and no exemption processes running.";
constexpr wchar_t kInternetExplorerFailedText[] =
    L"Could not terminate despite IE restriction and no exemption processes running.";

}  // namespace

void NewProcessPolicy::CheckDisallowed(const FeatureContext& context, ProcessRecord& record,
                                       bool judgeAgain) {
    if (record.terminatedByEngine || (record.newProcess.disallowJudged && !judgeAgain)) {
        return;
    }
    record.newProcess.disallowJudged = true;
    if (!IsDisallowedProcess(context.Rules(), context.Facts(record)) ||
        GuardRefuses(context, record, GuardedChange::kTerminate, GuardFamily::kDisallowed)) {
        return;
    }
    const bool terminated = TerminateAndConfirm(record.pid, kDisallowedExitCode);
    record.terminatedByEngine = terminated;
    const bool tell =
        terminated || record.newProcess.failures.Begins(NewProcessFailure::kDisallowed);
    if (!tell || !context.LogOn(context.Settings().Logging.LogProcessesDisallowed)) {
        return;
    }
    std::wstring info = EngineText(kDisallowedText);
    const std::wstring parent =
        ParentText(context.Table(), record.info->ParentPid(), EngineText(kParentText));
    if (!parent.empty()) {
        info += L" - " + parent;
    }
    ActionFacts facts = context.RecordFacts(record, info);
    // The image as the system names it; the display name may carry a service group.
    if (const std::wstring image = record.info->ImageName(); !image.empty()) {
        facts.name = image;
    }
    context.Record(terminated ? CV_ACTION_TOOK_DISALLOWED_TERMINATE
                              : CV_ACTION_TOOK_DISALLOWED_TERMINATE_ERROR,
                   facts);
}

void NewProcessPolicy::ApplyInternetExplorerRestriction(const FeatureContext& context) {
    if (context.Rules().AdvancedRules.ProhibitInternetExplorerExceptWhenAny.empty()) {
        return;
    }
    for (const auto& [pid, record] : context.Table()) {
        if (MatchesInternetExplorerExemptions(context.Rules(), context.Facts(*record))) {
            return;
        }
    }
    for (auto& [pid, record] : context.Table()) {
        // A process already terminated is only waiting to leave the table.
        if (!EqualsIgnoreCase(record->name, kInternetExplorer) ||
            record->newProcess.internetExplorerTerminated || record->terminatedByEngine ||
            GuardRefuses(context, *record, GuardedChange::kTerminate,
                         GuardFamily::kInternetExplorer)) {
            continue;
        }
        const bool terminated = TerminateById(pid);
        record->newProcess.internetExplorerTerminated = terminated;
        // Listed until the next snapshot, but no rule may act on it any more.
        record->terminatedByEngine = record->terminatedByEngine || terminated;
        // Made whatever the log switches say; a refusal is told once, not every cycle.
        if (!terminated &&
            !record->newProcess.failures.Begins(NewProcessFailure::kInternetExplorer)) {
            continue;
        }
        ActionFacts facts = context.RecordFacts(
            *record, terminated ? kInternetExplorerTerminatedText : kInternetExplorerFailedText);
        facts.commandLine.reset();
        context.Record(terminated ? CV_ACTION_TOOK_DISALLOWED_TERMINATE
                                  : CV_ACTION_TOOK_DISALLOWED_TERMINATE_ERROR,
                       facts);
    }
}

bool NewProcessPolicy::HoldIfOverLimit(const FeatureContext& context,
                                       std::unique_ptr<ProcessRecord>& record) {
    const std::vector<InstanceLimitRule>& limits =
        context.Rules().ProcessAllowances.InstanceLimitedProcesses;
    // Instances are counted only for a name that some limit names.
    if (std::none_of(limits.begin(), limits.end(), [&](const InstanceLimitRule& limit) {
            return MatchPattern(limit.pattern.text, record->name);
        })) {
        return false;
    }
    std::vector<RunningInstance> running;
    running.reserve(context.Table().Count());
    for (const auto& [pid, other] : context.Table()) {
        running.push_back({other->name, other->user});
    }
    const std::size_t instances =
        CountInstances(running, record->name, record->user,
                       context.Rules().ProcessAllowances.ApplyInstanceCountLimitsToAllUsers);
    const std::size_t exceeded = ExceededInstanceLimits(limits, record->name, instances).size();
    if (exceeded == 0 ||
        GuardRefuses(context, *record, GuardedChange::kTerminate, GuardFamily::kInstanceLimit)) {
        return false;
    }
    excessInstances_.push_back({std::move(record), exceeded});
    return true;
}

std::vector<std::unique_ptr<ProcessRecord>> NewProcessPolicy::CloseExcessInstances(
    const FeatureContext& context, platform::RawHandle stopEvent) {
    std::vector<ExcessInstance> excess;
    excess.swap(excessInstances_);
    const bool log = context.LogOn(context.Settings().Logging.LogInstanceLimitTerminations);
    std::vector<std::unique_ptr<ProcessRecord>> stillRunning;
    // One round per exceeded pair: all that still run and exceed another pair are asked again,
    // together, so a round waits one grace period at most, however many instances there are.
    for (std::size_t round = 0; !excess.empty(); ++round) {
        std::vector<std::uint32_t> pids;
        for (const ExcessInstance& instance : excess) {
            pids.push_back(instance.record->pid);
        }
        const std::vector<bool> closed = CloseGracefullyTogether(
            pids, context.Settings().Performance.GracefulWaitTimeInMs, stopEvent);
        std::vector<ExcessInstance> askAgain;
        for (std::size_t i = 0; i < excess.size(); ++i) {
            ProcessRecord& record = *excess[i].record;
            if (log) {
                context.Record(
                    closed[i] ? CV_ACTION_TOOK_INSTANCE_LIMIT_TERMINATION
                              : CV_ACTION_TOOK_INSTANCE_LIMIT_TERMINATION_ERROR,
                    context.RecordFacts(record, EngineText(closed[i] ? kClosedOverLimitText
                                                                     : kCloseOverLimitFailedText)));
            }
            if (closed[i]) {
                continue;
            }
            if (round + 1 < excess[i].exceededPairs) {
                askAgain.push_back(std::move(excess[i]));
            } else {
                stillRunning.push_back(std::move(excess[i].record));
            }
        }
        excess.swap(askAgain);
        if (platform::IsSignalled(stopEvent)) {
            for (ExcessInstance& instance : excess) {
                stillRunning.push_back(std::move(instance.record));
            }
            break;
        }
    }
    return stillRunning;
}

void NewProcessPolicy::NoteReload(const FeatureContext& context) {
    const InstanceBalancerMap& rules = context.Rules().ProcessAllowances.InstanceManagedCPUAffinities;
    if (balancerRules_) {
        balancerRulesChanged_ = BalancerRulesChanged(*balancerRules_, rules);
    }
    balancerRules_ = rules;
}

void NewProcessPolicy::BalanceInstances(const FeatureContext& context) {
    if (balancerRulesChanged_) {
        balancedSets_.clear();
    }
    {
        const InstanceBalancerMap& rules =
            context.Rules().ProcessAllowances.InstanceManagedCPUAffinities;
        // Before the first reload the rules of the start-up load are the ones to compare with.
        if (!balancerRules_) {
            balancerRules_ = rules;
        }
        if (rules.empty()) {
            return;
        }
    }

    std::map<std::size_t, std::set<std::uint32_t>> sets;
    std::map<std::size_t, const InstanceBalancerRule*> matched;
    for (const auto& [pid, record] : context.Table()) {
        if (record->terminatedByEngine) {
            continue;
        }
        const auto rule = FindInstanceBalancerRule(context.Rules(), context.Facts(*record));
        if (!rule ||
            (rule->rule->cpuThreshold > 0 &&
             record->info->CpuPercent() < rule->rule->cpuThreshold) ||
            GuardRefuses(context, *record, GuardedChange::kRestrict,
                         GuardFamily::kInstanceBalancer)) {
            continue;
        }
        sets[rule->index].insert(pid);
        matched.emplace(rule->index, rule->rule);
    }

    const std::uint32_t processors = platform::ActiveProcessorCountAllGroups();
    std::vector<std::uint32_t> groupProcessors;
    for (std::uint32_t group = 0; group < platform::ActiveProcessorGroupCount(); ++group) {
        groupProcessors.push_back(
            platform::ActiveProcessorCount(static_cast<std::uint16_t>(group)));
    }
    for (const auto& [index, pids] : sets) {
        const auto remembered = balancedSets_.find(index);
        if (remembered != balancedSets_.end() && remembered->second == pids) {
            continue;
        }
        const InstanceBalancerRule& rule = *matched.at(index);
        const BalancePlan plan = PlanInstanceBalance(rule, pids, processors, groupProcessors);
        if (context.LoggingEnabled()) {
            ActionFacts facts;
            facts.name = rule.pattern.text;
            facts.pid = context.Engine().processId;
            facts.info =
                FormatText(EngineText(kRebalancedText), pids.size(), plan.processorsPerInstance);
            context.Record(CV_ACTION_TOOK_INSTANCE_MANAGE_REBALANCING, facts);
        }
        // A process that refuses keeps its affinity; it is not tried again until the set changes.
        for (const BalancedInstance& instance : plan.instances) {
            ChangeAffinityWithGroup(instance.pid, instance.block.mask, instance.block.group);
        }
    }
    balancedSets_ = std::move(sets);
}

}  // namespace cv
