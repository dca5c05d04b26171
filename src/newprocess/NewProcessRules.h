#pragma once
// The decisions behind the rules that judge whether a process may run, and how many copies of it
// where: disallowed processes, instance limits and the instance balancer. The control loop feeds
// them the process table's facts and carries out what they decide.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string_view>
#include <vector>

#include "config/ProcessMatch.h"
#include "config/RuleLists.h"

namespace cv {

class ConfigSettings;

// Matches DisallowedProcesses and no rule of AllowedProcesses; a process without a name never is.
bool IsDisallowedProcess(const RuleSet& rules, const MatchFacts& facts);

// Ends the process with the exit code. Unlike TerminateWithExitCode, a termination that the
// system refuses is a failure, unless the process has ended anyway: the caller logs the outcome
// and must not report a process that keeps running as terminated.
bool TerminateAndConfirm(std::uint32_t processId, std::uint32_t exitCode);

// One process that already runs, as instance limits count it.
struct RunningInstance {
    std::wstring_view name;  // display name
    std::wstring_view user;
};
// The running processes with the new process's name (ignoring case) and, unless every user
// counts, its user (ignoring case).
std::size_t CountInstances(const std::vector<RunningInstance>& running, std::wstring_view name,
                           std::wstring_view user, bool allUsers);
// The positions, in list order, of the limits whose pattern matches the name and whose maximum
// the running instances already reach.
std::vector<std::size_t> ExceededInstanceLimits(const std::vector<InstanceLimitRule>& limits,
                                                std::wstring_view name, std::size_t instances);

// One block of processors handed to one instance.
struct ProcessorBlock {
    std::uint16_t group = 0;
    std::uint64_t mask = 0;
    bool operator==(const ProcessorBlock&) const = default;
};
struct BalancedInstance {
    std::uint32_t pid = 0;
    ProcessorBlock block;
    bool operator==(const BalancedInstance&) const = default;
};
struct BalancePlan {
    std::uint32_t firstProcessor = 0;         // where the blocks start in a group
    std::uint64_t processorsPerInstance = 1;  // the block size, at least 1
    std::vector<BalancedInstance> instances;  // by ascending pid; instances without a block omitted
};
// Spreads the pids over consecutive blocks of processors. logicalProcessors counts every group;
// groupProcessors holds the active processors of each group.
BalancePlan PlanInstanceBalance(const InstanceBalancerRule& rule,
                                const std::set<std::uint32_t>& pids,
                                std::uint32_t logicalProcessors,
                                const std::vector<std::uint32_t>& groupProcessors);

// Whether the balancer must forget what it spread: the number of rules, or a rule's pattern,
// fixed-count flag or processors per instance changed. A new threshold, first processor or
// alternate flag alone waits for the next change of the instances.
bool BalancerRulesChanged(const InstanceBalancerMap& before, const InstanceBalancerMap& after);

}  // namespace cv
