// Scheduling, suspension, termination, windows and the processor topology of the simulated
// machine. Every call checks the access its handle was opened with, as Windows does, so a caller
// that opens with too little access fails here too.
#include <algorithm>
#include <set>

#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;
using sim::SimProcess;

namespace {

constexpr std::uint32_t kAnyQuery = kProcessQueryLimitedInformation;

// The live process behind a handle opened with the access, unless the call is made to fail.
std::shared_ptr<SimProcess> Target(RawHandle handle, std::uint32_t access, const char* operation) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    auto process = machine.ProcessOfHandle(handle);
    if (process == nullptr || process->ended || !machine.HandleHasAccess(handle, access) ||
        machine.ShouldFail(operation, process->imageName)) {
        return nullptr;
    }
    return process;
}

// A process opened by id the way ZwOpenProcess does, with the access.
SimProcess* OpenById(std::uint32_t processId, std::uint32_t access, const char* operation) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    SimProcess* process = machine.FindProcess(processId);
    if (process == nullptr || !process->canOpen || (process->deniedAccess & access) != 0 ||
        machine.ShouldFail("ZwOpenProcess", process->imageName) ||
        machine.ShouldFail(operation, process->imageName)) {
        return nullptr;
    }
    if (!process->fullAccess && (access & ~(kSynchronize | kProcessQueryLimitedInformation)) != 0) {
        return nullptr;
    }
    return process;
}

std::vector<std::uint16_t> GroupsOf(const SimProcess& process) {
    std::set<std::uint16_t> groups;
    for (const std::uint32_t thread : process.ThreadIds()) {
        const auto it = process.threadGroupAffinity.find(thread);
        groups.insert(it == process.threadGroupAffinity.end() ? process.group : it->second.first);
    }
    if (groups.empty()) {
        groups.insert(process.group);
    }
    return {groups.begin(), groups.end()};
}

bool FitsGroup(std::uint64_t mask, std::uint16_t group) {
    const std::uint64_t available = Machine::Get().GroupMask(group);
    return mask != 0 && (mask & ~available) == 0;
}

bool IsPriorityClass(std::uint32_t value) {
    for (const std::uint32_t known :
         {kRealtimePriorityClass, kHighPriorityClass, kAboveNormalPriorityClass,
          kNormalPriorityClass, kBelowNormalPriorityClass, kIdlePriorityClass}) {
        if (value == known) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::uint32_t GetProcessPriorityClass(RawHandle handle) {
    const auto process = Target(handle, kAnyQuery, "GetPriorityClass");
    return process == nullptr ? 0 : process->priorityClass;
}

bool SetProcessPriorityClass(RawHandle handle, std::uint32_t priorityClass) {
    const auto process = Target(handle, kProcessSetInformation, "SetPriorityClass");
    if (process == nullptr || !IsPriorityClass(priorityClass)) {
        return false;
    }
    process->priorityClass = priorityClass;
    return true;
}

std::uint64_t GetProcessAffinity(RawHandle handle) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto process = Target(handle, kAnyQuery, "GetProcessAffinityMask");
    // Windows reports no mask for a process whose threads are in several groups.
    if (process == nullptr || GroupsOf(*process).size() > 1) {
        return 0;
    }
    return process->affinity != 0 ? process->affinity : machine.GroupMask(process->group);
}

bool SetProcessAffinity(RawHandle handle, std::uint64_t mask) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto process = Target(handle, kProcessSetInformation, "SetProcessAffinityMask");
    if (process == nullptr || GroupsOf(*process).size() > 1 || !FitsGroup(mask, process->group)) {
        return false;
    }
    process->affinity = mask;
    process->threadGroupAffinity.clear();
    return true;
}

std::uint64_t ActiveProcessorMask() {
    Machine& machine = Machine::Get();
    return machine.ShouldFail("GetSystemInfo", L"") ? 0 : machine.GroupMask(0);
}

std::vector<std::uint16_t> GetProcessGroups(RawHandle handle) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto process = Target(handle, kAnyQuery, "GetProcessGroupAffinity");
    return process == nullptr ? std::vector<std::uint16_t>() : GroupsOf(*process);
}

bool SetProcessGroupAffinity(RawHandle handle, std::uint64_t mask, std::uint16_t group) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto process = Target(handle, kProcessSetInformation, "ZwSetInformationProcess");
    // Threads spread over several groups must be gathered first, one by one.
    if (process == nullptr || GroupsOf(*process).size() > 1 || !FitsGroup(mask, group)) {
        return false;
    }
    process->group = group;
    process->affinity = mask;
    process->threadGroupAffinity.clear();
    return true;
}

std::vector<std::uint32_t> ThreadIdsOfProcess(std::uint32_t processId) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const SimProcess* process = machine.FindProcess(processId);
    if (process == nullptr || machine.ShouldFail("CreateToolhelp32Snapshot", process->imageName)) {
        return {};
    }
    return process->ThreadIds();
}

bool SetThreadGroupAffinityById(std::uint32_t threadId, std::uint64_t mask, std::uint16_t group) {
    Machine& machine = Machine::Get();
    machine.HangIfScripted("SetThreadGroupAffinity");
    std::lock_guard lock(machine.Lock());
    for (const std::uint32_t pid : machine.ProcessIds()) {
        SimProcess* process = machine.FindProcess(pid);
        const auto threads = process->ThreadIds();
        if (std::find(threads.begin(), threads.end(), threadId) == threads.end()) {
            continue;
        }
        if (machine.ShouldFail("SetThreadGroupAffinity", process->imageName) ||
            !FitsGroup(mask, group)) {
            return false;
        }
        process->threadGroupAffinity[threadId] = {group, mask};
        machine.NotifyChange();
        return true;
    }
    return false;
}

std::optional<std::uint32_t> GetIoPriority(std::uint32_t processId) {
    const SimProcess* process =
        OpenById(processId, kProcessQueryInformation, "ZwQueryInformationProcess");
    if (process == nullptr) {
        return std::nullopt;
    }
    return process->ioPriority;
}

bool SetIoPriority(std::uint32_t processId, std::uint32_t ioPriority) {
    SimProcess* process = OpenById(processId, kProcessSetInformation, "ZwSetInformationProcess");
    if (process == nullptr || ioPriority > 4) {
        return false;
    }
    process->ioPriority = ioPriority;
    return true;
}

std::int32_t GetMemoryPriority(RawHandle handle) {
    const auto process = Target(handle, kAnyQuery, "ZwQueryInformationProcess");
    return process == nullptr ? -1 : static_cast<std::int32_t>(process->memoryPriority);
}

bool SetMemoryPriority(RawHandle handle, std::uint32_t memoryPriority) {
    const auto process = Target(handle, kProcessSetInformation, "ZwSetInformationProcess");
    if (process == nullptr || memoryPriority > 7) {
        return false;
    }
    process->memoryPriority = memoryPriority;
    return true;
}

int GetEfficiencyMode(RawHandle handle) {
    if (!Machine::Get().powerThrottlingSupported) {
        return -1;
    }
    const auto process = Target(handle, kAnyQuery, "GetProcessInformation");
    if (process == nullptr) {
        return -1;
    }
    return (process->throttleState & 1) != 0 ? 1 : 0;
}

bool SetEfficiencyMode(RawHandle handle, bool on) {
    if (!Machine::Get().powerThrottlingSupported) {
        return false;
    }
    const auto process = Target(handle, kProcessSetInformation, "SetProcessInformation");
    if (process == nullptr) {
        return false;
    }
    process->throttleControl |= kThrottleExecutionSpeed;
    process->throttleState = on ? (process->throttleState | kThrottleExecutionSpeed)
                                : (process->throttleState & ~kThrottleExecutionSpeed);
    return true;
}

bool HonourOwnTimerResolution() {
    Machine& machine = Machine::Get();
    if (!machine.powerThrottlingSupported || machine.ShouldFail("SetProcessInformation", L"")) {
        return false;
    }
    machine.ownThrottleIgnoreTimerResolution = 0;
    return true;
}

bool GetPriorityBoostEnabled(RawHandle handle) {
    const auto process = Target(handle, kAnyQuery, "GetProcessPriorityBoost");
    return process == nullptr || !process->priorityBoostDisabled;
}

std::optional<bool> ReadPriorityBoostEnabled(RawHandle handle) {
    const auto process = Target(handle, kAnyQuery, "GetProcessPriorityBoost");
    if (process == nullptr) {
        return std::nullopt;
    }
    return !process->priorityBoostDisabled;
}

bool SetPriorityBoostEnabled(RawHandle handle, bool enabled) {
    const auto process = Target(handle, kProcessSetInformation, "SetProcessPriorityBoost");
    if (process == nullptr) {
        return false;
    }
    process->priorityBoostDisabled = !enabled;
    return true;
}

bool CpuSetFunctionsAvailable() {
    return Machine::Get().cpuSetsSupported;
}

std::optional<std::vector<CpuSetInfo>> SystemCpuSets() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (!machine.cpuSetsSupported || machine.ShouldFail("GetSystemCpuSetInformation", L"")) {
        return std::nullopt;
    }
    // Windows numbers CPU sets from 0x100 across all groups.
    std::vector<CpuSetInfo> sets;
    std::uint32_t id = 0x100;
    for (std::size_t group = 0; group < machine.processorGroups.size(); ++group) {
        const auto& classes = machine.processorGroups[group];
        for (std::size_t index = 0; index < classes.size(); ++index) {
            CpuSetInfo set;
            set.id = id++;
            set.group = static_cast<std::uint16_t>(group);
            set.logicalProcessorIndex = static_cast<std::uint8_t>(index);
            set.coreIndex = static_cast<std::uint8_t>(index);
            set.efficiencyClass = classes[index];
            sets.push_back(set);
        }
    }
    return sets;
}

std::optional<std::vector<std::uint32_t>> GetDefaultCpuSetIds(RawHandle handle) {
    if (!Machine::Get().cpuSetsSupported) {
        return std::nullopt;
    }
    const auto process = Target(handle, kAnyQuery, "GetProcessDefaultCpuSets");
    if (process == nullptr) {
        return std::nullopt;
    }
    return process->defaultCpuSets;
}

bool SetDefaultCpuSetIds(RawHandle handle, const std::vector<std::uint32_t>& ids) {
    if (!Machine::Get().cpuSetsSupported) {
        return false;
    }
    const auto process = Target(handle, kProcessSetLimitedInformation, "SetProcessDefaultCpuSets");
    const auto known = SystemCpuSets();
    if (process == nullptr || !known) {
        return false;
    }
    for (const std::uint32_t id : ids) {
        if (std::none_of(known->begin(), known->end(),
                         [id](const CpuSetInfo& set) { return set.id == id; })) {
            return false;
        }
    }
    process->defaultCpuSets = ids;
    return true;
}

bool SuspendProcessHandle(RawHandle handle) {
    Machine::Get().HangIfScripted("NtSuspendProcess");
    const auto process = Target(handle, kProcessSuspendResume, "NtSuspendProcess");
    if (process == nullptr) {
        return false;
    }
    ++process->suspendCount;
    Machine::Get().NotifyChange();
    return true;
}

bool ResumeProcessHandle(RawHandle handle) {
    Machine::Get().HangIfScripted("NtResumeProcess");
    const auto process = Target(handle, kProcessSuspendResume, "NtResumeProcess");
    if (process == nullptr) {
        return false;
    }
    process->suspendCount = std::max(0, process->suspendCount - 1);
    Machine::Get().NotifyChange();
    return true;
}

bool TrimWorkingSet(RawHandle handle) {
    const auto process = Target(handle, kProcessSetQuota, "SetProcessWorkingSetSize");
    if (process == nullptr) {
        return false;
    }
    ++process->workingSetTrims;
    process->workingSet = 0;
    return true;
}

bool TerminateProcessHandle(RawHandle handle, std::uint32_t exitCode) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto process = Target(handle, kProcessTerminate, "TerminateProcess");
    if (process == nullptr) {
        return false;
    }
    std::weak_ptr<SimProcess> target = process;
    machine.Schedule(process->terminationDelayMs, [target, exitCode] {
        Machine& m = Machine::Get();
        const auto ending = target.lock();
        if (ending != nullptr && !ending->ended && m.FindProcess(ending->pid) == ending.get()) {
            m.EndProcess(ending->pid, exitCode);
        }
    });
    return true;
}

std::vector<TopLevelWindow> TopLevelWindows() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("EnumWindows", L"")) {
        return {};
    }
    std::vector<TopLevelWindow> windows;
    for (const sim::SimWindow& window : machine.windows) {
        // Windows go away with their process.
        if (window.processId != machine.ownPid &&
            machine.FindProcess(window.processId) == nullptr) {
            continue;
        }
        windows.push_back({window.window, window.processId, window.visible, window.owned});
    }
    return windows;
}

bool PostCloseMessage(std::uintptr_t window) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto it = std::find_if(machine.windows.begin(), machine.windows.end(),
                                 [window](const sim::SimWindow& w) { return w.window == window; });
    if (it == machine.windows.end() || machine.ShouldFail("PostMessage", L"")) {
        return false;
    }
    machine.closeMessages.push_back(window);
    if (it->endsProcessOnClose) {
        const std::uint32_t pid = it->processId;
        machine.Schedule(it->closeDelayMs, [pid] { Machine::Get().EndProcess(pid, 0); });
    }
    return true;
}

std::optional<std::vector<ProcessorCore>> ProcessorCores() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("GetLogicalProcessorInformationEx", L"")) {
        return std::nullopt;
    }
    std::vector<ProcessorCore> cores;
    for (std::size_t group = 0; group < machine.processorGroups.size(); ++group) {
        const auto& classes = machine.processorGroups[group];
        for (std::size_t index = 0; index < classes.size() && index < 64; ++index) {
            cores.push_back(
                {classes[index], static_cast<std::uint16_t>(group), std::uint64_t{1} << index});
        }
    }
    return cores;
}

std::uint32_t ActiveProcessorGroupCount() {
    return static_cast<std::uint32_t>(Machine::Get().processorGroups.size());
}

std::uint32_t ActiveProcessorCount(std::uint16_t group) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    return group < machine.processorGroups.size()
               ? static_cast<std::uint32_t>(machine.processorGroups[group].size())
               : 0;
}

bool IsWorkstationProduct() {
    return Machine::Get().workstation;
}

}  // namespace cv::platform
