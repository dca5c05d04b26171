// Scheduling, suspension, termination and windows of other processes with the Win32 and NT calls.
#include <cstring>
#include <vector>

#include "platform/ProcessControl.h"
#include "platform/win32/NtApi.h"
#include "platform/win32/WindowsApi.h"

#include <tlhelp32.h>

namespace cv::platform {

namespace {

using win32::Nt;
using win32::NtHandle;

using GetProcessInformationFn = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
using GetProcessDefaultCpuSetsFn = BOOL(WINAPI*)(HANDLE, PULONG, ULONG, PULONG);
using SetProcessDefaultCpuSetsFn = BOOL(WINAPI*)(HANDLE, const ULONG*, ULONG);
using GetSystemCpuSetInformationFn = BOOL(WINAPI*)(void*, ULONG, PULONG, HANDLE, ULONG);

// Entry points that older Windows versions lack.
struct Kernel32Functions {
    GetProcessInformationFn getProcessInformation =
        win32::LookUp<GetProcessInformationFn>(L"kernel32.dll", "GetProcessInformation");
    GetProcessInformationFn setProcessInformation =
        win32::LookUp<GetProcessInformationFn>(L"kernel32.dll", "SetProcessInformation");
    GetProcessDefaultCpuSetsFn getProcessDefaultCpuSets =
        win32::LookUp<GetProcessDefaultCpuSetsFn>(L"kernel32.dll", "GetProcessDefaultCpuSets");
    SetProcessDefaultCpuSetsFn setProcessDefaultCpuSets =
        win32::LookUp<SetProcessDefaultCpuSetsFn>(L"kernel32.dll", "SetProcessDefaultCpuSets");
    GetSystemCpuSetInformationFn getSystemCpuSetInformation =
        win32::LookUp<GetSystemCpuSetInformationFn>(L"kernel32.dll", "GetSystemCpuSetInformation");
};

const Kernel32Functions& Kernel32() {
    static const Kernel32Functions functions;
    return functions;
}

std::optional<NtHandle> NtOpen(std::uint32_t processId, ACCESS_MASK access) {
    return win32::NtOpenProcess(processId, 0, access);
}

bool SetPowerThrottling(HANDLE process, DWORD controlMask, DWORD stateMask) {
    if (Kernel32().setProcessInformation == nullptr) {
        return false;
    }
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = controlMask;
    state.StateMask = stateMask;
    return Kernel32().setProcessInformation(process, ProcessPowerThrottling, &state,
                                            sizeof state) != FALSE;
}

// SYSTEM_CPU_SET_INFORMATION, which the mingw headers lack.
constexpr std::size_t kCpuSetSize = 0;
constexpr std::size_t kCpuSetType = 4;
constexpr std::size_t kCpuSetId = 8;
constexpr std::size_t kCpuSetGroup = 12;
constexpr std::size_t kCpuSetLogicalProcessorIndex = 14;
constexpr std::size_t kCpuSetCoreIndex = 15;
constexpr std::size_t kCpuSetLastLevelCacheIndex = 16;
constexpr std::size_t kCpuSetNumaNodeIndex = 17;
constexpr std::size_t kCpuSetEfficiencyClass = 18;
constexpr std::size_t kCpuSetAllFlags = 19;
constexpr std::size_t kCpuSetAllocationTag = 24;
constexpr std::size_t kCpuSetEntrySize = 32;
constexpr DWORD kCpuSetInformationType = 0;

template <typename T>
T ReadAt(const std::uint8_t* base, std::size_t offset) {
    T value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
}

}  // namespace

std::uint32_t GetProcessPriorityClass(RawHandle process) {
    return GetPriorityClass(process);
}

bool SetProcessPriorityClass(RawHandle process, std::uint32_t priorityClass) {
    return SetPriorityClass(process, priorityClass) != FALSE;
}

std::uint64_t GetProcessAffinity(RawHandle process) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (!GetProcessAffinityMask(process, &processMask, &systemMask)) {
        return 0;
    }
    return processMask;
}

bool SetProcessAffinity(RawHandle process, std::uint64_t mask) {
    return SetProcessAffinityMask(process, static_cast<DWORD_PTR>(mask)) != FALSE;
}

std::uint64_t ActiveProcessorMask() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwActiveProcessorMask;
}

std::vector<std::uint16_t> GetProcessGroups(RawHandle process) {
    USHORT count = 0;
    if (GetProcessGroupAffinity(process, &count, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || count == 0) {
        return {};
    }
    std::vector<USHORT> groups(count);
    if (!GetProcessGroupAffinity(process, &count, groups.data())) {
        return {};
    }
    groups.resize(count);
    return std::vector<std::uint16_t>(groups.begin(), groups.end());
}

bool SetProcessGroupAffinity(RawHandle process, std::uint64_t mask, std::uint16_t group) {
    if (Nt().setInformationProcess == nullptr) {
        return false;
    }
    GROUP_AFFINITY affinity{};
    affinity.Mask = static_cast<KAFFINITY>(mask);
    affinity.Group = group;
    static_assert(sizeof affinity == 16);
    return Nt().setInformationProcess(process, kProcessAffinityMaskClass, &affinity,
                                      sizeof affinity) >= 0;
}

std::vector<std::uint32_t> ThreadIdsOfProcess(std::uint32_t processId) {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        return {};
    }
    std::vector<std::uint32_t> threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
         more = Thread32Next(snapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) {
            threads.push_back(entry.th32ThreadID);
        }
        entry.dwSize = sizeof entry;
    }
    return threads;
}

bool SetThreadGroupAffinityById(std::uint32_t threadId, std::uint64_t mask, std::uint16_t group) {
    const UniqueHandle thread(
        OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, threadId));
    if (!thread) {
        return false;
    }
    GROUP_AFFINITY affinity{};
    affinity.Mask = static_cast<KAFFINITY>(mask);
    affinity.Group = group;
    return SetThreadGroupAffinity(thread.Get(), &affinity, nullptr) != FALSE;
}

std::optional<std::uint32_t> GetIoPriority(std::uint32_t processId) {
    if (Nt().queryInformationProcess == nullptr) {
        return std::nullopt;
    }
    const auto process = NtOpen(processId, PROCESS_QUERY_INFORMATION);
    if (!process) {
        return std::nullopt;
    }
    ULONG value = 0;
    if (Nt().queryInformationProcess(process->Get(), kProcessIoPriorityClass, &value, sizeof value,
                                     nullptr) < 0) {
        return std::nullopt;
    }
    return value;
}

bool SetIoPriority(std::uint32_t processId, std::uint32_t ioPriority) {
    if (Nt().setInformationProcess == nullptr) {
        return false;
    }
    const auto process = NtOpen(processId, PROCESS_SET_INFORMATION);
    if (!process) {
        return false;
    }
    ULONG value = ioPriority;
    return Nt().setInformationProcess(process->Get(), kProcessIoPriorityClass, &value,
                                      sizeof value) >= 0;
}

std::int32_t GetMemoryPriority(RawHandle process) {
    if (Nt().queryInformationProcess == nullptr) {
        return -1;
    }
    ULONG value = 0;
    if (Nt().queryInformationProcess(process, kProcessPagePriorityClass, &value, sizeof value,
                                     nullptr) < 0) {
        return -1;
    }
    return static_cast<std::int32_t>(value);
}

bool SetMemoryPriority(RawHandle process, std::uint32_t memoryPriority) {
    if (Nt().setInformationProcess == nullptr) {
        return false;
    }
    ULONG value = memoryPriority;
    return Nt().setInformationProcess(process, kProcessPagePriorityClass, &value, sizeof value) >=
           0;
}

int GetEfficiencyMode(RawHandle process) {
    if (Kernel32().getProcessInformation == nullptr) {
        return -1;
    }
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
    if (!Kernel32().getProcessInformation(process, ProcessPowerThrottling, &state, sizeof state)) {
        return -1;
    }
    return (state.StateMask & 1) != 0 ? 1 : 0;
}

bool SetEfficiencyMode(RawHandle process, bool on) {
    return SetPowerThrottling(process, kThrottleExecutionSpeed, on ? 1 : 0);
}

bool HonourOwnTimerResolution() {
    return SetPowerThrottling(GetCurrentProcess(), kThrottleIgnoreTimerResolution, 0);
}

bool GetPriorityBoostEnabled(RawHandle process) {
    BOOL disabled = FALSE;
    if (!GetProcessPriorityBoost(process, &disabled)) {
        return true;
    }
    return !disabled;
}

std::optional<bool> ReadPriorityBoostEnabled(RawHandle process) {
    BOOL disabled = FALSE;
    if (!GetProcessPriorityBoost(process, &disabled)) {
        return std::nullopt;
    }
    return disabled == FALSE;
}

bool SetPriorityBoostEnabled(RawHandle process, bool enabled) {
    return SetProcessPriorityBoost(process, enabled ? FALSE : TRUE) != FALSE;
}

bool CpuSetFunctionsAvailable() {
    const Kernel32Functions& k = Kernel32();
    return k.getProcessDefaultCpuSets != nullptr && k.setProcessDefaultCpuSets != nullptr &&
           k.getSystemCpuSetInformation != nullptr;
}

std::optional<std::vector<CpuSetInfo>> SystemCpuSets() {
    const auto query = Kernel32().getSystemCpuSetInformation;
    if (query == nullptr) {
        return std::nullopt;
    }
    ULONG length = 0;
    if (query(nullptr, 0, &length, GetCurrentProcess(), 0) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(length);
    if (!query(buffer.data(), length, &length, GetCurrentProcess(), 0)) {
        return std::nullopt;
    }
    std::vector<CpuSetInfo> sets;
    for (std::size_t offset = 0; offset + kCpuSetEntrySize <= length;) {
        const std::uint8_t* entry = buffer.data() + offset;
        const DWORD size = ReadAt<DWORD>(entry, kCpuSetSize);
        if (size == 0) {
            break;
        }
        if (ReadAt<DWORD>(entry, kCpuSetType) == kCpuSetInformationType) {
            CpuSetInfo set;
            set.id = ReadAt<DWORD>(entry, kCpuSetId);
            set.group = ReadAt<WORD>(entry, kCpuSetGroup);
            set.logicalProcessorIndex = entry[kCpuSetLogicalProcessorIndex];
            set.coreIndex = entry[kCpuSetCoreIndex];
            set.lastLevelCacheIndex = entry[kCpuSetLastLevelCacheIndex];
            set.numaNodeIndex = entry[kCpuSetNumaNodeIndex];
            set.efficiencyClass = entry[kCpuSetEfficiencyClass];
            set.flags = entry[kCpuSetAllFlags];
            set.allocationTag = ReadAt<std::uint64_t>(entry, kCpuSetAllocationTag);
            sets.push_back(set);
        }
        offset += size;
    }
    return sets;
}

std::optional<std::vector<std::uint32_t>> GetDefaultCpuSetIds(RawHandle process) {
    const auto query = Kernel32().getProcessDefaultCpuSets;
    if (query == nullptr) {
        return std::nullopt;
    }
    ULONG required = 0;
    if (query(process, nullptr, 0, &required)) {
        return std::vector<std::uint32_t>();  // no default CPU sets
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) {
        return std::nullopt;
    }
    std::vector<ULONG> ids(required);
    if (!query(process, ids.data(), required, &required)) {
        return std::nullopt;
    }
    ids.resize(required);
    return std::vector<std::uint32_t>(ids.begin(), ids.end());
}

bool SetDefaultCpuSetIds(RawHandle process, const std::vector<std::uint32_t>& ids) {
    const auto set = Kernel32().setProcessDefaultCpuSets;
    if (set == nullptr) {
        return false;
    }
    if (ids.empty()) {
        return set(process, nullptr, 0) != FALSE;
    }
    const std::vector<ULONG> list(ids.begin(), ids.end());
    return set(process, list.data(), static_cast<ULONG>(list.size())) != FALSE;
}

bool SuspendProcessHandle(RawHandle process) {
    return Nt().suspendProcess != nullptr && Nt().suspendProcess(process) >= 0;
}

bool ResumeProcessHandle(RawHandle process) {
    return Nt().resumeProcess != nullptr && Nt().resumeProcess(process) >= 0;
}

bool TrimWorkingSet(RawHandle process) {
    return SetProcessWorkingSetSize(process, static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1)) !=
           FALSE;
}

bool TerminateProcessHandle(RawHandle process, std::uint32_t exitCode) {
    return TerminateProcess(process, exitCode) != FALSE;
}

std::vector<TopLevelWindow> TopLevelWindows() {
    std::vector<TopLevelWindow> windows;
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            TopLevelWindow facts;
            facts.window = reinterpret_cast<std::uintptr_t>(window);
            DWORD processId = 0;
            GetWindowThreadProcessId(window, &processId);
            facts.processId = processId;
            facts.visible = IsWindowVisible(window) != FALSE;
            facts.owned = GetWindow(window, GW_OWNER) != nullptr;
            reinterpret_cast<std::vector<TopLevelWindow>*>(context)->push_back(facts);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

bool PostCloseMessage(std::uintptr_t window) {
    return PostMessageW(reinterpret_cast<HWND>(window), WM_CLOSE, 0, 0) != FALSE;
}

std::optional<std::vector<ProcessorCore>> ProcessorCores() {
    DWORD length = 0;
    if (GetLogicalProcessorInformationEx(RelationAll, nullptr, &length) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(length);
    auto* first = reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(buffer.data());
    if (!GetLogicalProcessorInformationEx(RelationAll, first, &length)) {
        return std::nullopt;
    }
    std::vector<ProcessorCore> cores;
    for (DWORD offset = 0; offset < length;) {
        const auto* entry = reinterpret_cast<const SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(
            buffer.data() + offset);
        if (entry->Size == 0) {
            break;
        }
        if (entry->Relationship == RelationProcessorCore && entry->Processor.GroupCount > 0) {
            ProcessorCore core;
            // The byte after the flags is the efficiency class; the mingw headers still call it
            // reserved.
            core.efficiencyClass = entry->Processor.Reserved[0];
            core.group = entry->Processor.GroupMask[0].Group;
            core.mask = entry->Processor.GroupMask[0].Mask;
            cores.push_back(core);
        }
        offset += entry->Size;
    }
    return cores;
}

std::uint32_t ActiveProcessorGroupCount() {
    return GetActiveProcessorGroupCount();
}

std::uint32_t ActiveProcessorCount(std::uint16_t group) {
    return GetActiveProcessorCount(group);
}

bool IsWorkstationProduct() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    version.wProductType = VER_NT_WORKSTATION;
    const DWORDLONG condition = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return VerifyVersionInfoW(&version, VER_PRODUCT_TYPE, condition) != FALSE;
}

}  // namespace cv::platform
