#pragma once
// The operations every policy ends in, on a process given by its id: each opens its own handle
// with exactly the access it needs and closes it before returning. Queries that the engine makes
// every cycle take the process's cached handle (engine/HandleCache.h) and call
// platform/ProcessControl.h directly: GetProcessPriorityClass, GetProcessAffinity,
// GetProcessGroups, GetPriorityBoostEnabled; GetIoPriority and SetIoPriority take the id there.
// Nothing here throws; failures are reported by the result and leave the process as it was.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/AffinityText.h"
#include "platform/Handle.h"
#include "platform/ProcessControl.h"

namespace cv {

// Display texts of the language module, truncated to 80 characters, built on first use and
// again whenever the language module changes.
std::wstring PriorityClassText(std::uint32_t priorityClass);   // "ERROR" for an unknown class
std::wstring IoPriorityText(std::int32_t ioPriority);          // "ERROR" outside 0-4
std::wstring MemoryPriorityText(std::int32_t memoryPriority);  // the number
std::wstring EfficiencyModeText(bool on);
void RebuildControlTexts();

// Priority class. The query opens with query information, falling back to limited query
// information, and gives -1 on failure.
std::int32_t QueryPriorityClass(std::uint32_t processId);
bool ChangePriorityClass(std::uint32_t processId, std::uint32_t priorityClass);
// The record form: the class is written to applied only when it was set.
void ChangePriorityClass(std::uint32_t processId, std::uint32_t priorityClass,
                         std::uint32_t* applied);

// Affinity. ChangeAffinity sets the mask as given.
bool ChangeAffinity(std::uint32_t processId, std::uint64_t mask);
// Without a group (kNoProcessorGroup) the mask is limited to the active processors. With a group,
// threads spread over several groups are first moved one by one, then the process is moved to
// the group, which only a machine with several groups can do: on a single-group machine the
// plain mask is still applied but the result is false.
bool ChangeAffinityWithGroup(std::uint32_t processId, std::uint64_t mask, std::int32_t group);
// The groups the process spans, from its cached handle or, by id, a handle of its own.
std::vector<std::uint16_t> QueryProcessGroups(std::uint32_t processId);
bool SpansSeveralGroups(platform::RawHandle process);

// Memory priority (0-7): -1 when unknown, and always before Windows 6.0, where setting fails.
std::int32_t QueryMemoryPriority(std::uint32_t processId);
bool ChangeMemoryPriority(std::uint32_t processId, std::uint32_t memoryPriority);

// Efficiency mode: 1 on, 0 off, -1 when it cannot be read.
int QueryEfficiencyMode(std::uint32_t processId);
bool ChangeEfficiencyMode(std::uint32_t processId, bool on);

bool ChangePriorityBoost(std::uint32_t processId, bool enabled);

// The system's CPU sets by identifier and by (group, processor index), read once on first use.
class CpuSetCatalogue {
  public:
    CpuSetCatalogue() = default;
    explicit CpuSetCatalogue(std::vector<platform::CpuSetInfo> sets);
    const platform::CpuSetInfo* Find(std::uint32_t id) const;
    std::optional<std::uint32_t> IdOf(std::uint16_t group, std::uint8_t processorIndex) const;
    const std::vector<platform::CpuSetInfo>& Sets() const { return sets_; }

  private:
    std::vector<platform::CpuSetInfo> sets_;
};
const CpuSetCatalogue& SystemCpuSetCatalogue();
// One (group, mask) per group that has a CPU set in the list, in group order; unknown identifiers
// are skipped.
std::vector<GroupAffinity> CpuSetsToMasks(const std::vector<std::uint32_t>& ids,
                                          const CpuSetCatalogue& catalogue);
// Every set bit of every mask as a CPU set identifier (group -1 taken as 0); bits without a CPU
// set are skipped.
std::vector<std::uint32_t> MasksToCpuSets(const std::vector<GroupAffinity>& sets,
                                          const CpuSetCatalogue& catalogue);
// None when CPU sets are not supported or the call fails; an empty list when none are set.
std::optional<std::vector<GroupAffinity>> QueryDefaultCpuSets(platform::RawHandle process);
// An empty list clears the default CPU sets. A list naming only processors that have no CPU set
// fails rather than clearing them.
bool ChangeDefaultCpuSets(std::uint32_t processId, const std::vector<GroupAffinity>& sets);

bool SuspendProcessById(std::uint32_t processId);
bool ResumeProcessById(std::uint32_t processId);
bool TrimWorkingSetById(std::uint32_t processId);

// True when the process could be opened; whether it then ended is not checked.
bool TerminateWithExitCode(std::uint32_t processId, std::uint32_t exitCode);
// Terminates with exit code 9; true when the termination was accepted or the process has ended.
constexpr std::uint32_t kTerminatedExitCode = 9;
bool TerminateById(std::uint32_t processId);
// Asks the process's first visible unowned top-level window to close and waits up to the grace
// period, then terminates it by id. A suspended process cannot answer and is terminated at once.
// True when the process ended, or is gone.
bool CloseGracefully(std::uint32_t processId, std::uint32_t graceMs);
// The longest a graceful close waits, whatever the configuration says.
constexpr std::uint32_t kMaxGracefulWaitMs = 60'000;
// Asks every process to close at once and waits for them together, at most the grace period
// (capped at kMaxGracefulWaitMs) and never past the stop event, then terminates those still
// running. One result per process: true when it ended or is gone.
std::vector<bool> CloseGracefullyTogether(const std::vector<std::uint32_t>& processIds,
                                          std::uint32_t graceMs, platform::RawHandle stopEvent);

// Whether every thread of the process waits because it is suspended, from a fresh process list
// (IsSuspendedEntry); false when the process is not in it.
bool IsProcessSuspended(std::uint32_t processId);

// Forgets the cached texts and CPU-set catalogue, as at program start (for tests).
void ResetProcessControlState();

}  // namespace cv
