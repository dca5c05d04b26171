#include "newprocess/NewProcessRules.h"

#include <algorithm>
#include <mutex>

#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"

namespace cv {

namespace {

// An affinity mask has one bit per processor of a group.
constexpr std::uint64_t kMaskBits = 64;

class BlockCursor {
  public:
    BlockCursor(const std::vector<std::uint32_t>& groupProcessors, std::uint64_t firstProcessor,
                std::uint64_t step)
        : groups_(groupProcessors), first_(firstProcessor), step_(step), next_(firstProcessor) {}

    ProcessorBlock Take(std::uint64_t count) {
        if (Processors() < next_ + count) {
            group_ = group_ + 1 < groups_.size() ? group_ + 1 : 0;
            next_ = first_;
        }
        ProcessorBlock block;
        block.group = static_cast<std::uint16_t>(group_);
        // A single group has nowhere else to go: the block wraps round to its first processor.
        if (groups_.size() == 1 && Processors() < next_ + count) {
            block.mask |= Bits(next_, Processors());
            count -= Processors() > next_ ? Processors() - next_ : 0;
            next_ = 0;
        }
        block.mask |= Bits(next_, next_ + count);
        next_ += step_ * ((count + step_ - 1) / step_);
        return block;
    }

  private:
    std::uint64_t Processors() const { return groups_[group_]; }

    // Every step-th bit from `from` below `to`, never beyond the group's processors, so a block
    // larger than the machine cannot name processors that do not exist.
    std::uint64_t Bits(std::uint64_t from, std::uint64_t to) const {
        const std::uint64_t end = std::min({to, Processors(), kMaskBits});
        std::uint64_t mask = 0;
        for (std::uint64_t bit = from; bit < end; bit += step_) {
            mask |= std::uint64_t{1} << bit;
        }
        return mask;
    }

    const std::vector<std::uint32_t>& groups_;
    std::uint64_t first_;
    std::uint64_t step_;
    std::size_t group_ = 0;
    std::uint64_t next_;
};

}  // namespace

bool IsDisallowedProcess(const RuleSet& rules, const MatchFacts& facts) {
    if (facts.name.empty()) {
        return false;
    }
    return MatchesDisallowedProcesses(rules, facts) && !MatchesAllowedProcesses(rules, facts);
}

bool TerminateAndConfirm(std::uint32_t processId, std::uint32_t exitCode) {
    const platform::UniqueHandle process = platform::OpenProcessHandle(
        processId, platform::kProcessTerminate | platform::kSynchronize);
    if (!process) {
        return false;
    }
    // Windows also refuses to terminate a process that is already on its way out.
    return platform::TerminateProcessHandle(process.Get(), exitCode) ||
           platform::IsSignalled(process.Get());
}

std::size_t CountInstances(const std::vector<RunningInstance>& running, std::wstring_view name,
                           std::wstring_view user, bool allUsers) {
    return static_cast<std::size_t>(
        std::count_if(running.begin(), running.end(), [&](const RunningInstance& instance) {
            return EqualsIgnoreCase(instance.name, name) &&
                   (allUsers || EqualsIgnoreCase(instance.user, user));
        }));
}

std::vector<std::size_t> ExceededInstanceLimits(const std::vector<InstanceLimitRule>& limits,
                                                std::wstring_view name, std::size_t instances) {
    std::vector<std::size_t> exceeded;
    for (std::size_t i = 0; i < limits.size(); ++i) {
        const std::int64_t maximum = limits[i].count;
        if (MatchPattern(limits[i].pattern.text, name) &&
            static_cast<std::int64_t>(instances) >= maximum) {
            exceeded.push_back(i);
        }
    }
    return exceeded;
}

BalancePlan PlanInstanceBalance(const InstanceBalancerRule& rule,
                                const std::set<std::uint32_t>& pids,
                                std::uint32_t logicalProcessors,
                                const std::vector<std::uint32_t>& groupProcessors) {
    BalancePlan plan;
    if (pids.empty()) {
        return plan;
    }
    const std::int64_t processors = std::max<std::int64_t>(logicalProcessors, 1);
    // A negative first processor from a hand-edited file would shift masks by a negative count.
    const std::int64_t first = std::clamp<std::int64_t>(rule.firstProcessor, 0, processors - 1);
    const std::int64_t perInstance =
        rule.fixedCount != 0 ? rule.processorsPerInstance
                             : (processors - first) / static_cast<std::int64_t>(pids.size());
    plan.firstProcessor = static_cast<std::uint32_t>(first);
    plan.processorsPerInstance = static_cast<std::uint64_t>(std::max<std::int64_t>(perInstance, 1));

    const std::vector<std::uint32_t> groups =
        groupProcessors.empty() ? std::vector<std::uint32_t>{logicalProcessors} : groupProcessors;
    BlockCursor cursor(groups, plan.firstProcessor, rule.alternate ? 2 : 1);
    for (const std::uint32_t pid : pids) {
        const ProcessorBlock block = cursor.Take(plan.processorsPerInstance);
        // An empty mask is no affinity at all; the process keeps the one it has.
        if (block.mask != 0) {
            plan.instances.push_back({pid, block});
        }
    }
    return plan;
}

bool BalancerRulesChanged(const InstanceBalancerMap& before, const InstanceBalancerMap& after) {
    if (before.size() != after.size()) {
        return true;
    }
    return !std::equal(
        before.begin(), before.end(), after.begin(), [](const auto& a, const auto& b) {
            const InstanceBalancerRule& x = a.second;
            const InstanceBalancerRule& y = b.second;
            return x.pattern.text == y.pattern.text && (x.fixedCount != 0) == (y.fixedCount != 0) &&
                   x.processorsPerInstance == y.processorsPerInstance;
        });
}

}  // namespace cv
