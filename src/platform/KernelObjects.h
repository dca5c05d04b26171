#pragma once
// Named and unnamed events and mutexes, and waiting on any waitable handle (events, mutexes,
// processes).
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Handle.h"

namespace cv::platform {

constexpr std::uint32_t kSynchronize = 0x00100000;
constexpr std::uint32_t kEventModifyState = 0x0002;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

enum class ObjectSecurity {
    Default,  // the creator's default DACL
    Open,     // a null DACL: every user has full access
};

enum class WaitResult { Signalled, TimedOut, Failed };

// An empty name creates an unnamed object. Creating an object whose name exists opens the
// existing one; its first creator's reset mode and security win.
UniqueHandle CreateEventObject(const std::wstring& name, bool manualReset, bool initialState,
                               ObjectSecurity security);
UniqueHandle OpenEventObject(const std::wstring& name, std::uint32_t access);
UniqueHandle CreateMutexObject(const std::wstring& name, bool initialOwner,
                               ObjectSecurity security);
UniqueHandle OpenMutexObject(const std::wstring& name, std::uint32_t access);

bool SetEventObject(RawHandle event);
bool ResetEventObject(RawHandle event);
bool ReleaseMutexObject(RawHandle mutex);

// Waits until the object is signalled or the time-out ends. A signalled auto-reset event is
// consumed by the wait; a mutex is acquired.
WaitResult WaitForObject(RawHandle object, std::uint32_t timeoutMs);

// Waits until any of the objects is signalled: its index, kWaitTimedOut or kWaitFailed.
constexpr int kWaitTimedOut = -1;
constexpr int kWaitFailed = -2;
int WaitForAnyObject(const RawHandle* objects, std::size_t count, std::uint32_t timeoutMs);

// True when the object is signalled right now (a zero-time wait). An absent handle counts as not
// signalled.
inline bool IsSignalled(RawHandle object) {
    return IsValidRawHandle(object) && WaitForObject(object, 0) == WaitResult::Signalled;
}

}  // namespace cv::platform
