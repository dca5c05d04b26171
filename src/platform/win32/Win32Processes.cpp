#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Clock.h"
#include "platform/Processes.h"
#include "platform/System.h"
#include "platform/win32/NtApi.h"
#include "platform/win32/WindowsApi.h"

#include <psapi.h>

namespace cv::platform {

namespace {

using win32::NtHandle;
using win32::NtStatus;
using win32::NtProcessBasicInformation;
using win32::NtUnicodeString;

using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using GetProcessMemoryInfoFn = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
using QuerySessionInformationFn = BOOL(WINAPI*)(HANDLE, DWORD, int, LPWSTR*, DWORD*);
using FreeMemoryFn = void(WINAPI*)(PVOID);

struct PsapiFunctions {
    EnumProcessModulesFn enumProcessModules =
        win32::LookUp<EnumProcessModulesFn>(L"psapi.dll", "EnumProcessModules");
    GetModuleFileNameExFn getModuleFileNameEx =
        win32::LookUp<GetModuleFileNameExFn>(L"psapi.dll", "GetModuleFileNameExW");
    GetProcessMemoryInfoFn getProcessMemoryInfo =
        win32::LookUp<GetProcessMemoryInfoFn>(L"psapi.dll", "GetProcessMemoryInfo");
};

const PsapiFunctions& Psapi() {
    static const PsapiFunctions functions;
    return functions;
}

using win32::Nt;

constexpr std::size_t kPebReadSize = 736;
constexpr std::size_t kPebProcessParameters = 0x20;
constexpr std::size_t kParametersReadSize = 1008;
constexpr std::size_t kParametersCommandLine = 0x70;
constexpr std::size_t kMaxCommandLineBytes = 65534;

bool ReadMemory(HANDLE process, const void* address, void* buffer, std::size_t size) {
    SIZE_T read = 0;
    return Nt().readVirtualMemory(process, const_cast<void*>(address), buffer, size, &read) >= 0 &&
           read == size;
}

}  // namespace

std::int32_t QuerySystemInformation(std::uint32_t informationClass, void* buffer,
                                    std::uint32_t length, std::uint32_t* returnLength) {
    if (Nt().querySystemInformation == nullptr) {
        return static_cast<std::int32_t>(0xC0000002);
    }
    ULONG returned = 0;
    const NtStatus status =
        Nt().querySystemInformation(informationClass, buffer, length, &returned);
    if (returnLength != nullptr) {
        *returnLength = returned;
    }
    return status;
}

UniqueHandle OpenProcessHandle(std::uint32_t processId, std::uint32_t access) {
    return UniqueHandle(OpenProcess(access, FALSE, processId));
}

std::optional<std::uint32_t> ProcessSessionId(std::uint32_t processId) {
    DWORD session = 0;
    if (!ProcessIdToSessionId(processId, &session)) {
        return std::nullopt;
    }
    return session;
}

std::wstring ProcessImagePath(RawHandle process) {
    if (Psapi().enumProcessModules == nullptr || Psapi().getModuleFileNameEx == nullptr) {
        return {};
    }
    HMODULE first = nullptr;
    DWORD needed = 0;
    if (!Psapi().enumProcessModules(process, &first, sizeof first, &needed)) {
        return {};
    }
    wchar_t path[1024] = {};
    const DWORD length = Psapi().getModuleFileNameEx(process, first, path, 1023);
    return std::wstring(path, length);
}

std::wstring ReadProcessCommandLine(std::uint32_t processId, std::uint32_t threadId) {
    const auto& nt = Nt();
    if (nt.queryInformationProcess == nullptr || nt.readVirtualMemory == nullptr) {
        return {};
    }
    const auto process =
        win32::NtOpenProcess(processId, threadId, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (!process) {
        return {};
    }
    NtProcessBasicInformation basic{};
    if (nt.queryInformationProcess(process->Get(), 0, &basic, sizeof basic, nullptr) < 0 ||
        basic.PebBaseAddress == nullptr) {
        return {};
    }
    std::vector<std::uint8_t> peb(kPebReadSize);
    if (!ReadMemory(process->Get(), basic.PebBaseAddress, peb.data(), peb.size())) {
        return {};
    }
    void* parametersAddress = nullptr;
    std::memcpy(&parametersAddress, peb.data() + kPebProcessParameters, sizeof parametersAddress);
    std::vector<std::uint8_t> parameters(kParametersReadSize);
    if (parametersAddress == nullptr ||
        !ReadMemory(process->Get(), parametersAddress, parameters.data(), parameters.size())) {
        return {};
    }
    NtUnicodeString commandLine{};
    std::memcpy(&commandLine, parameters.data() + kParametersCommandLine, sizeof commandLine);
    const std::size_t bytes = std::min<std::size_t>(commandLine.Length, kMaxCommandLineBytes) & ~1u;
    if (bytes == 0 || commandLine.Buffer == nullptr) {
        return {};
    }
    std::vector<wchar_t> text(65538 / sizeof(wchar_t), L'\0');
    if (!ReadMemory(process->Get(), commandLine.Buffer, text.data(), bytes)) {
        return {};
    }
    return std::wstring(text.data(), bytes / sizeof(wchar_t));
}

std::optional<AccountName> ProcessAccount(RawHandle process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return std::nullopt;
    }
    const UniqueHandle tokenOwner(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        return std::nullopt;
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    wchar_t name[257] = {};
    wchar_t domain[257] = {};
    DWORD nameLength = 257;
    DWORD domainLength = 257;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, user->User.Sid, name, &nameLength, domain, &domainLength,
                           &use)) {
        return std::nullopt;
    }
    return AccountName{name, domain};
}

std::optional<std::wstring> SessionUserName(std::uint32_t sessionId) {
    static const auto query =
        win32::LookUp<QuerySessionInformationFn>(L"wtsapi32.dll", "WTSQuerySessionInformationW");
    static const auto freeMemory = win32::LookUp<FreeMemoryFn>(L"wtsapi32.dll", "WTSFreeMemory");
    if (query == nullptr || freeMemory == nullptr) {
        return std::nullopt;
    }
    constexpr int kWtsUserName = 5;
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    if (!query(nullptr, sessionId, kWtsUserName, &text, &bytes) || text == nullptr) {
        return std::nullopt;
    }
    std::wstring name(text);
    freeMemory(text);
    if (name.size() > 256) {
        name.resize(256);
    }
    return name;
}

std::optional<ProcessTimes> GetTimesOfProcess(RawHandle process) {
    FILETIME create{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process, &create, &exit, &kernel, &user)) {
        return std::nullopt;
    }
    const auto value = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return ProcessTimes{value(create), value(exit), value(kernel), value(user)};
}

std::optional<MemoryCounters> GetMemoryOfProcess(RawHandle process) {
    if (Psapi().getProcessMemoryInfo == nullptr) {
        return std::nullopt;
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!Psapi().getProcessMemoryInfo(
            process, reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof counters)) {
        return std::nullopt;
    }
    return MemoryCounters{counters.WorkingSetSize, counters.PagefileUsage};
}

std::optional<bool> IsProcessMarkedCritical(RawHandle process) {
    constexpr ULONG kProcessBreakOnTermination = 29;
    if (Nt().queryInformationProcess == nullptr) {
        return std::nullopt;
    }
    ULONG critical = 0;
    if (Nt().queryInformationProcess(process, kProcessBreakOnTermination, &critical,
                                     sizeof critical, nullptr) < 0) {
        return std::nullopt;
    }
    return critical != 0;
}

std::uint64_t SystemTimeAsFileTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::uint32_t ActiveProcessorCountAllGroups() {
    return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
}

}  // namespace cv::platform
