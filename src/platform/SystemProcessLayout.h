#pragma once
// The 64-bit layout of the entries ZwQuerySystemInformation returns for the process list
// (SYSTEM_PROCESS_INFORMATION followed by its SYSTEM_THREAD_INFORMATION array) and for the
// processor times (SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION). The product is 64-bit only, so
// the offsets are fixed.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cv::platform::layout {

constexpr std::size_t kNextEntryOffset = 0x00;
constexpr std::size_t kNumberOfThreads = 0x04;
constexpr std::size_t kCreateTime = 0x20;
constexpr std::size_t kUserTime = 0x28;
constexpr std::size_t kKernelTime = 0x30;
constexpr std::size_t kImageNameLength = 0x38;  // u16, bytes
constexpr std::size_t kImageNameMaximumLength = 0x3A;
constexpr std::size_t kImageNameBuffer = 0x40;  // pointer
constexpr std::size_t kBasePriority = 0x48;
constexpr std::size_t kUniqueProcessId = 0x50;
constexpr std::size_t kInheritedFromUniqueProcessId = 0x58;
constexpr std::size_t kHandleCount = 0x60;
constexpr std::size_t kSessionId = 0x64;
constexpr std::size_t kWorkingSetSize = 0x90;
constexpr std::size_t kPagefileUsage = 0xB8;
constexpr std::size_t kReadTransferCount = 0xE8;
constexpr std::size_t kWriteTransferCount = 0xF0;
constexpr std::size_t kProcessEntrySize = 0x100;

constexpr std::size_t kThreadEntrySize = 0x50;
constexpr std::size_t kThreadKernelTime = 0x00;
constexpr std::size_t kThreadUserTime = 0x08;
constexpr std::size_t kThreadCreateTime = 0x10;
constexpr std::size_t kThreadClientProcess = 0x28;
constexpr std::size_t kThreadClientThread = 0x30;
constexpr std::size_t kThreadState = 0x44;       // u32; 5 = waiting
constexpr std::size_t kThreadWaitReason = 0x48;  // u32; 5 = suspended

constexpr std::size_t kProcessorPerformanceSize = 48;
constexpr std::size_t kProcessorIdleTime = 0x00;
constexpr std::size_t kProcessorKernelTime = 0x08;
constexpr std::size_t kProcessorUserTime = 0x10;

template <typename T>
T Read(const std::uint8_t* base, std::size_t offset) {
    T value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
}

template <typename T>
void Write(std::uint8_t* base, std::size_t offset, T value) {
    std::memcpy(base + offset, &value, sizeof value);
}

}  // namespace cv::platform::layout
