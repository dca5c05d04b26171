#pragma once
// The native (ntdll) entry points the engine uses, looked up once at run time, and the few
// structures they take.
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/win32/WindowsApi.h"

namespace cv::platform::win32 {

using NtStatus = LONG;

struct NtUnicodeString {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};

struct NtObjectAttributes {
    ULONG Length;
    HANDLE RootDirectory;
    NtUnicodeString* ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};

struct NtClientId {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};

struct NtProcessBasicInformation {
    NtStatus ExitStatus;
    PVOID PebBaseAddress;
    ULONG_PTR AffinityMask;
    LONG BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
};

struct NtFunctions {
    using QuerySystemInformationFn = NtStatus(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    using OpenProcessFn = NtStatus(NTAPI*)(PHANDLE, ACCESS_MASK, NtObjectAttributes*, NtClientId*);
    using QueryInformationProcessFn = NtStatus(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    using SetInformationProcessFn = NtStatus(NTAPI*)(HANDLE, ULONG, PVOID, ULONG);
    using ReadVirtualMemoryFn = NtStatus(NTAPI*)(HANDLE, PVOID, PVOID, SIZE_T, PSIZE_T);
    using CloseFn = NtStatus(NTAPI*)(HANDLE);
    using SuspendResumeFn = NtStatus(NTAPI*)(HANDLE);

    QuerySystemInformationFn querySystemInformation =
        LookUp<QuerySystemInformationFn>(L"ntdll.dll", "ZwQuerySystemInformation");
    OpenProcessFn openProcess = LookUp<OpenProcessFn>(L"ntdll.dll", "ZwOpenProcess");
    QueryInformationProcessFn queryInformationProcess =
        LookUp<QueryInformationProcessFn>(L"ntdll.dll", "ZwQueryInformationProcess");
    SetInformationProcessFn setInformationProcess =
        LookUp<SetInformationProcessFn>(L"ntdll.dll", "ZwSetInformationProcess");
    ReadVirtualMemoryFn readVirtualMemory =
        LookUp<ReadVirtualMemoryFn>(L"ntdll.dll", "ZwReadVirtualMemory");
    CloseFn close = LookUp<CloseFn>(L"ntdll.dll", "ZwClose");
    SuspendResumeFn suspendProcess = LookUp<SuspendResumeFn>(L"ntdll.dll", "NtSuspendProcess");
    SuspendResumeFn resumeProcess = LookUp<SuspendResumeFn>(L"ntdll.dll", "NtResumeProcess");
};

inline const NtFunctions& Nt() {
    static const NtFunctions functions;
    return functions;
}

// A handle opened by ZwOpenProcess, closed with ZwClose.
class NtHandle {
public:
    explicit NtHandle(HANDLE handle) : handle_(handle) {}
    NtHandle(const NtHandle&) = delete;
    NtHandle& operator=(const NtHandle&) = delete;
    NtHandle(NtHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    NtHandle& operator=(NtHandle&&) = delete;
    ~NtHandle() {
        if (handle_ != nullptr && Nt().close != nullptr) {
            Nt().close(handle_);
        }
    }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// ZwOpenProcess with the client id of the process (and a thread of it, or none).
inline std::optional<NtHandle> NtOpenProcess(std::uint32_t processId, std::uint32_t threadId,
                                             ACCESS_MASK access) {
    if (Nt().openProcess == nullptr) {
        return std::nullopt;
    }
    NtObjectAttributes attributes{};
    attributes.Length = sizeof attributes;
    NtClientId client{reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(processId)),
                      reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(threadId))};
    HANDLE raw = nullptr;
    if (Nt().openProcess(&raw, access, &attributes, &client) < 0 || raw == nullptr) {
        return std::nullopt;
    }
    return std::optional<NtHandle>(std::in_place, raw);
}

}  // namespace cv::platform::win32
