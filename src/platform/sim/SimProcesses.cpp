// The process list and per-process queries of the simulated machine.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Clock.h"
#include "platform/Processes.h"
#include "platform/System.h"
#include "platform/SystemProcessLayout.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;
using sim::SimProcess;

namespace {

std::size_t EntrySize(const SimProcess& process) {
    const std::size_t nameBytes = (process.imageName.size() + 1) * sizeof(char16_t);
    const std::size_t size =
        layout::kProcessEntrySize + layout::kThreadEntrySize * process.threadCount + nameBytes;
    return (size + 7) & ~std::size_t{7};
}

void WriteEntry(std::uint8_t* entry, const SimProcess& process, bool last, std::size_t size) {
    using layout::Write;
    std::memset(entry, 0, size);
    Write<std::uint32_t>(entry, layout::kNextEntryOffset,
                         last ? 0 : static_cast<std::uint32_t>(size));
    Write<std::uint32_t>(entry, layout::kNumberOfThreads, process.threadCount);
    Write<std::uint64_t>(entry, layout::kCreateTime, process.createTime);
    Write<std::uint64_t>(entry, layout::kUserTime, process.userTime);
    Write<std::uint64_t>(entry, layout::kKernelTime, process.kernelTime);
    Write<std::uint64_t>(entry, layout::kUniqueProcessId, process.pid);
    Write<std::uint64_t>(entry, layout::kInheritedFromUniqueProcessId, process.parentPid);
    Write<std::uint32_t>(entry, layout::kSessionId, process.sessionId);
    Write<std::uint64_t>(entry, layout::kWorkingSetSize, process.workingSet);
    Write<std::uint64_t>(entry, layout::kPagefileUsage, process.pagefileUsage);
    Write<std::uint32_t>(entry, layout::kHandleCount, process.handleCount);
    Write<std::uint64_t>(entry, layout::kReadTransferCount, process.readTransferBytes);
    Write<std::uint64_t>(entry, layout::kWriteTransferCount, process.writeTransferBytes);
    std::uint8_t* thread = entry + layout::kProcessEntrySize;
    for (std::uint32_t i = 0; i < process.threadCount; ++i, thread += layout::kThreadEntrySize) {
        const std::uint32_t threadId =
            (process.firstThreadId != 0 ? process.firstThreadId : process.pid + 1) + 4 * i;
        Write<std::uint64_t>(thread, layout::kThreadClientProcess, process.pid);
        Write<std::uint64_t>(thread, layout::kThreadClientThread, threadId);
        // Waiting: suspended, or on a user request like most idle threads.
        Write<std::uint32_t>(thread, layout::kThreadState, 5);
        Write<std::uint32_t>(thread, layout::kThreadWaitReason, process.suspendCount > 0 ? 5 : 6);
    }
    // The image name as UTF-16 right after the threads, with the entry pointing at it.
    if (!process.imageName.empty()) {
        auto* name = thread;
        for (std::size_t i = 0; i < process.imageName.size(); ++i) {
            Write<char16_t>(name, i * 2, static_cast<char16_t>(process.imageName[i]));
        }
        Write<std::uint16_t>(entry, layout::kImageNameLength,
                             static_cast<std::uint16_t>(process.imageName.size() * 2));
        Write<std::uint16_t>(entry, layout::kImageNameMaximumLength,
                             static_cast<std::uint16_t>(process.imageName.size() * 2 + 2));
        Write<std::uint64_t>(entry, layout::kImageNameBuffer,
                             static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name)));
    }
}

// Copies a list built earlier, pointing each entry's image name into the caller's buffer.
std::int32_t CopyFrozenProcessList(const std::vector<std::uint8_t>& frozen, void* buffer,
                                   std::uint32_t length, std::uint32_t* returnLength) {
    if (returnLength != nullptr) {
        *returnLength = static_cast<std::uint32_t>(frozen.size());
    }
    if (length < frozen.size() || buffer == nullptr) {
        return kStatusInfoLengthMismatch;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memcpy(out, frozen.data(), frozen.size());
    const auto base = reinterpret_cast<std::uintptr_t>(frozen.data());
    for (std::size_t at = 0;;) {
        std::uint8_t* entry = out + at;
        if (const auto name = layout::Read<std::uint64_t>(entry, layout::kImageNameBuffer)) {
            layout::Write<std::uint64_t>(
                entry, layout::kImageNameBuffer,
                static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(out) +
                                           (static_cast<std::uintptr_t>(name) - base)));
        }
        const auto next = layout::Read<std::uint32_t>(entry, layout::kNextEntryOffset);
        if (next == 0) {
            break;
        }
        at += next;
    }
    return kStatusSuccess;
}

std::int32_t QueryProcessList(void* buffer, std::uint32_t length, std::uint32_t* returnLength) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (!machine.frozenProcessList.empty()) {
        return CopyFrozenProcessList(machine.frozenProcessList, buffer, length, returnLength);
    }
    // The list starts with the system idle process, id 0.
    std::vector<const SimProcess*> list;
    static const SimProcess idle = [] {
        SimProcess process;
        process.threadCount = 8;
        return process;
    }();
    list.push_back(&idle);
    for (const std::uint32_t pid : machine.ProcessIds()) {
        list.push_back(machine.FindProcess(pid));
    }
    std::size_t needed = 0;
    for (const SimProcess* process : list) {
        needed += EntrySize(*process);
    }
    if (returnLength != nullptr) {
        *returnLength = static_cast<std::uint32_t>(needed);
    }
    if (length < needed || buffer == nullptr) {
        return kStatusInfoLengthMismatch;
    }
    auto* entry = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::size_t size = EntrySize(*list[i]);
        WriteEntry(entry, *list[i], i + 1 == list.size(), size);
        entry += size;
    }
    return kStatusSuccess;
}

std::int32_t QueryProcessorTimes(void* buffer, std::uint32_t length, std::uint32_t* returnLength) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const std::size_t count = std::min<std::size_t>(machine.processorIdleTimes.size(),
                                                    length / layout::kProcessorPerformanceSize);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::memset(bytes, 0, length);
    for (std::size_t i = 0; i < count; ++i) {
        layout::Write<std::uint64_t>(bytes + i * layout::kProcessorPerformanceSize,
                                     layout::kProcessorIdleTime, machine.processorIdleTimes[i]);
    }
    if (returnLength != nullptr) {
        *returnLength = static_cast<std::uint32_t>(count * layout::kProcessorPerformanceSize);
    }
    return kStatusSuccess;
}

// The process behind a handle, when the handle may be used for queries.
std::shared_ptr<SimProcess> QueryableProcess(RawHandle handle, const char* operation) {
    Machine& machine = Machine::Get();
    auto process = machine.ProcessOfHandle(handle);
    if (process == nullptr || machine.ShouldFail(operation, process->imageName)) {
        return nullptr;
    }
    return process;
}

}  // namespace

std::int32_t QuerySystemInformation(std::uint32_t informationClass, void* buffer,
                                    std::uint32_t length, std::uint32_t* returnLength) {
    if (Machine::Get().ShouldFail("ZwQuerySystemInformation", L"")) {
        return static_cast<std::int32_t>(0xC0000001);
    }
    switch (informationClass) {
        case kSystemProcessInformation:
            return QueryProcessList(buffer, length, returnLength);
        case kSystemProcessorPerformanceInformation:
            return QueryProcessorTimes(buffer, length, returnLength);
        default:
            return static_cast<std::int32_t>(0xC0000003);
    }
}

UniqueHandle OpenProcessHandle(std::uint32_t processId, std::uint32_t access) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    SimProcess* process = machine.FindProcess(processId);
    if (process == nullptr || !process->canOpen ||
        machine.ShouldFail("OpenProcess", process->imageName)) {
        return {};
    }
    const std::uint32_t limitedOnly = kSynchronize | kProcessQueryLimitedInformation;
    if (!process->fullAccess && (access & ~limitedOnly) != 0) {
        return {};
    }
    if ((access & process->deniedAccess) != 0) {
        return {};
    }
    const RawHandle handle = machine.AddHandle(process->waitObject);
    machine.handleAccess[reinterpret_cast<std::uintptr_t>(handle)] = access;
    return UniqueHandle(handle);
}

std::optional<std::uint32_t> ProcessSessionId(std::uint32_t processId) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const SimProcess* process = machine.FindProcess(processId);
    if (process == nullptr) {
        return std::nullopt;
    }
    return process->sessionId;
}

std::wstring ProcessImagePath(RawHandle handle) {
    const auto process = QueryableProcess(handle, "GetModuleFileNameEx");
    return process != nullptr && process->pathReadable && process->fullAccess ? process->imagePath
                                                                              : std::wstring();
}

std::wstring ReadProcessCommandLine(std::uint32_t processId, std::uint32_t /*threadId*/) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const SimProcess* process = machine.FindProcess(processId);
    if (process == nullptr || !process->commandLineReadable || !process->fullAccess ||
        machine.ShouldFail("ZwReadVirtualMemory", process->imageName)) {
        return {};
    }
    return process->commandLine.substr(0, 32767);
}

std::optional<AccountName> ProcessAccount(RawHandle handle) {
    const auto process = QueryableProcess(handle, "OpenProcessToken");
    if (process == nullptr || !process->accountReadable) {
        return std::nullopt;
    }
    return AccountName{process->user, process->domain};
}

std::optional<std::wstring> SessionUserName(std::uint32_t sessionId) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto it = machine.sessionUsers.find(sessionId);
    if (it == machine.sessionUsers.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<ProcessTimes> GetTimesOfProcess(RawHandle handle) {
    const auto process = QueryableProcess(handle, "GetProcessTimes");
    if (process == nullptr) {
        return std::nullopt;
    }
    return ProcessTimes{process->createTime, 0, process->kernelTime, process->userTime};
}

std::optional<MemoryCounters> GetMemoryOfProcess(RawHandle handle) {
    const auto process = QueryableProcess(handle, "GetProcessMemoryInfo");
    if (process == nullptr) {
        return std::nullopt;
    }
    return MemoryCounters{process->workingSet, process->pagefileUsage};
}

std::optional<bool> IsProcessMarkedCritical(RawHandle handle) {
    const auto process = QueryableProcess(handle, "ProcessBreakOnTermination");
    if (process == nullptr || !process->fullAccess) {
        return std::nullopt;
    }
    return process->critical;
}

std::uint64_t SystemTimeAsFileTime() {
    Machine& machine = Machine::Get();
    return static_cast<std::uint64_t>(
        static_cast<std::int64_t>(Machine::kEpochFileTime) +
        (static_cast<std::int64_t>(machine.Now()) + machine.systemTimeShiftMs) * 10'000);
}

std::uint32_t ActiveProcessorCountAllGroups() {
    return Machine::Get().activeProcessorsAllGroups;
}

}  // namespace cv::platform
