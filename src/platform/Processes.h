#pragma once
// Reading other processes: the system process list, handles, and the facts the engine caches per
// process. NT entry points are looked up at run time.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Handle.h"

namespace cv::platform {

constexpr std::int32_t kStatusSuccess = 0;
constexpr std::int32_t kStatusInfoLengthMismatch = static_cast<std::int32_t>(0xC0000004);
constexpr std::uint32_t kSystemProcessInformation = 5;
constexpr std::uint32_t kSystemProcessorPerformanceInformation = 8;

constexpr std::uint32_t kProcessVmRead = 0x0010;
constexpr std::uint32_t kProcessQueryInformation = 0x0400;
constexpr std::uint32_t kProcessQueryLimitedInformation = 0x1000;

// ZwQuerySystemInformation: the NTSTATUS; returnLength receives the length needed or written.
std::int32_t QuerySystemInformation(std::uint32_t informationClass, void* buffer,
                                    std::uint32_t length, std::uint32_t* returnLength);

// OpenProcess; none when it cannot be opened with that access.
UniqueHandle OpenProcessHandle(std::uint32_t processId, std::uint32_t access);
// ProcessIdToSessionId.
std::optional<std::uint32_t> ProcessSessionId(std::uint32_t processId);
// EnumProcessModules for the first module, then GetModuleFileNameExW (1023 characters); empty on
// failure.
std::wstring ProcessImagePath(RawHandle process);
// The command line from the process's parameters block, read through ZwOpenProcess (client id of
// the given thread), ZwQueryInformationProcess and ZwReadVirtualMemory; empty on failure.
std::wstring ReadProcessCommandLine(std::uint32_t processId, std::uint32_t threadId);

struct AccountName {
    std::wstring user;
    std::wstring domain;
};
// The owner of the process's token (TokenUser, LookupAccountSidW).
std::optional<AccountName> ProcessAccount(RawHandle process);
// WTSQuerySessionInformationW with WTSUserName, at most 257 characters.
std::optional<std::wstring> SessionUserName(std::uint32_t sessionId);

struct ProcessTimes {
    std::uint64_t create = 0;
    std::uint64_t exit = 0;
    std::uint64_t kernel = 0;
    std::uint64_t user = 0;
};
std::optional<ProcessTimes> GetTimesOfProcess(RawHandle process);

struct MemoryCounters {
    std::uint64_t workingSet = 0;
    std::uint64_t pagefileUsage = 0;
};
// GetProcessMemoryInfo with an 80-byte counters block.
std::optional<MemoryCounters> GetMemoryOfProcess(RawHandle process);

// Whether the process is marked critical, so that ending it stops the system
// (ZwQueryInformationProcess, ProcessBreakOnTermination); none when it cannot be read.
std::optional<bool> IsProcessMarkedCritical(RawHandle process);

}  // namespace cv::platform
