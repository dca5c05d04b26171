#pragma once
// The single system calls that change or read another process's scheduling: priority class,
// affinity and processor groups, I/O and memory priority, power throttling, priority boost,
// default CPU sets, suspension, working set, termination and its top-level windows; and the
// processor facts the topology is built from. Each call works on a handle the caller opened with
// the access it needs (policies/ProcessControl.h opens them); the newer Windows entry points are
// looked up at first use and a missing one makes the call report failure.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Handle.h"
#include "platform/System.h"

namespace cv::platform {

// Priority classes (kHighPriorityClass is in System.h).
constexpr std::uint32_t kRealtimePriorityClass = 0x00000100;
constexpr std::uint32_t kAboveNormalPriorityClass = 0x00008000;
constexpr std::uint32_t kNormalPriorityClass = 0x00000020;
constexpr std::uint32_t kBelowNormalPriorityClass = 0x00004000;
constexpr std::uint32_t kIdlePriorityClass = 0x00000040;

// Access rights for OpenProcessHandle and threads.
constexpr std::uint32_t kProcessTerminate = 0x0001;
constexpr std::uint32_t kProcessSetQuota = 0x0100;
constexpr std::uint32_t kProcessSetInformation = 0x0200;
constexpr std::uint32_t kProcessSuspendResume = 0x0800;
constexpr std::uint32_t kProcessSetLimitedInformation = 0x2000;
constexpr std::uint32_t kThreadSetInformation = 0x0020;
constexpr std::uint32_t kThreadQueryInformation = 0x0040;

// ZwSetInformationProcess class taking a 16-byte group affinity (mask, group).
constexpr std::uint32_t kProcessAffinityMaskClass = 21;

// Power throttling control bits.
constexpr std::uint32_t kThrottleExecutionSpeed = 0x1;
constexpr std::uint32_t kThrottleIgnoreTimerResolution = 0x4;

// GetPriorityClass; 0 when it cannot be read.
std::uint32_t GetProcessPriorityClass(RawHandle process);
// SetPriorityClass.
bool SetProcessPriorityClass(RawHandle process, std::uint32_t priorityClass);

// GetProcessAffinityMask: the process mask, 0 on failure.
std::uint64_t GetProcessAffinity(RawHandle process);
// SetProcessAffinityMask.
bool SetProcessAffinity(RawHandle process, std::uint64_t mask);
// The active-processor mask GetSystemInfo reports.
std::uint64_t ActiveProcessorMask();
// GetProcessGroupAffinity, sized by a first call that fails with an insufficient buffer; empty on
// failure.
std::vector<std::uint16_t> GetProcessGroups(RawHandle process);
// ZwSetInformationProcess with kProcessAffinityMaskClass.
bool SetProcessGroupAffinity(RawHandle process, std::uint64_t mask, std::uint16_t group);
// The threads of a process from a CreateToolhelp32Snapshot thread snapshot; empty on failure.
std::vector<std::uint32_t> ThreadIdsOfProcess(std::uint32_t processId);
// Opens the thread (set and query information) and calls SetThreadGroupAffinity.
bool SetThreadGroupAffinityById(std::uint32_t threadId, std::uint64_t mask, std::uint16_t group);

// ZwOpenProcess (query information), ZwQueryInformationProcess with the I/O priority class
// (4 bytes), ZwClose; none on failure.
std::optional<std::uint32_t> GetIoPriority(std::uint32_t processId);
// ZwOpenProcess (set information), ZwSetInformationProcess with the I/O priority class, ZwClose.
bool SetIoPriority(std::uint32_t processId, std::uint32_t ioPriority);
// ZwQueryInformationProcess with the memory priority class (4 bytes); -1 on failure.
std::int32_t GetMemoryPriority(RawHandle process);
// ZwSetInformationProcess with the memory priority class (4 bytes).
bool SetMemoryPriority(RawHandle process, std::uint32_t memoryPriority);

// GetProcessInformation with the power-throttling state (version 1, control mask execution
// speed): 1 when bit 0 of the state is set, 0 when not, -1 when it cannot be read.
int GetEfficiencyMode(RawHandle process);
// SetProcessInformation with the power-throttling state: version 1, control mask execution speed,
// state mask 1 for on and 0 for off.
bool SetEfficiencyMode(RawHandle process, bool on);
// The program's own process: control mask ignore-timer-resolution with state 0, so the system
// keeps honouring the timer resolution it asks for.
bool HonourOwnTimerResolution();

// GetProcessPriorityBoost: true when boost is enabled, and also when it cannot be read.
bool GetPriorityBoostEnabled(RawHandle process);
// GetProcessPriorityBoost: whether boost is enabled; none when it cannot be read.
std::optional<bool> ReadPriorityBoostEnabled(RawHandle process);
// SetProcessPriorityBoost with the disable flag set to !enabled.
bool SetPriorityBoostEnabled(RawHandle process, bool enabled);

// One entry of GetSystemCpuSetInformation of the CPU-set type.
struct CpuSetInfo {
    std::uint32_t id = 0;
    std::uint16_t group = 0;
    std::uint8_t logicalProcessorIndex = 0;
    std::uint8_t coreIndex = 0;
    std::uint8_t lastLevelCacheIndex = 0;
    std::uint8_t numaNodeIndex = 0;
    std::uint8_t efficiencyClass = 0;
    std::uint8_t flags = 0;
    std::uint64_t allocationTag = 0;
    bool operator==(const CpuSetInfo&) const = default;
};
// GetProcessDefaultCpuSets, SetProcessDefaultCpuSets and GetSystemCpuSetInformation all exist.
bool CpuSetFunctionsAvailable();
// GetSystemCpuSetInformation (sized by a first call); none when missing or the call fails.
std::optional<std::vector<CpuSetInfo>> SystemCpuSets();
// GetProcessDefaultCpuSets (sized by a first call); none when missing or the call fails, an empty
// list when the process has no default CPU sets.
std::optional<std::vector<std::uint32_t>> GetDefaultCpuSetIds(RawHandle process);
// SetProcessDefaultCpuSets; an empty list passes a null list with count 0, which clears them.
bool SetDefaultCpuSetIds(RawHandle process, const std::vector<std::uint32_t>& ids);

// NtSuspendProcess and NtResumeProcess from ntdll.
bool SuspendProcessHandle(RawHandle process);
bool ResumeProcessHandle(RawHandle process);
// SetProcessWorkingSetSize with both sizes -1.
bool TrimWorkingSet(RawHandle process);
// TerminateProcess.
bool TerminateProcessHandle(RawHandle process, std::uint32_t exitCode);

// A top-level window as EnumWindows reports it, in its order.
struct TopLevelWindow {
    std::uintptr_t window = 0;
    std::uint32_t processId = 0;
    bool visible = false;
    bool owned = false;  // it has an owner window
};
std::vector<TopLevelWindow> TopLevelWindows();
// PostMessageW with WM_CLOSE.
bool PostCloseMessage(std::uintptr_t window);

// One processor-core record of GetLogicalProcessorInformationEx: its efficiency class and its
// first group mask.
struct ProcessorCore {
    std::uint8_t efficiencyClass = 0;
    std::uint16_t group = 0;
    std::uint64_t mask = 0;
};
// GetLogicalProcessorInformationEx for all relationships (size first, then the data); none when
// it fails.
std::optional<std::vector<ProcessorCore>> ProcessorCores();
// GetActiveProcessorGroupCount.
std::uint32_t ActiveProcessorGroupCount();
// GetActiveProcessorCount for one group.
std::uint32_t ActiveProcessorCount(std::uint16_t group);
// VerifyVersionInfoW: the product type equals workstation (false on a server system).
bool IsWorkstationProduct();

}  // namespace cv::platform
