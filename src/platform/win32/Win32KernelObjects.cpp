#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

namespace win32 {

SECURITY_ATTRIBUTES* OpenSecurityAttributes() {
    struct Attributes {
        SECURITY_DESCRIPTOR descriptor{};
        SECURITY_ATTRIBUTES attributes{};
        Attributes() {
            InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
            SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
            attributes.nLength = sizeof attributes;
            attributes.lpSecurityDescriptor = &descriptor;
            attributes.bInheritHandle = FALSE;
        }
    };
    static Attributes open;
    return &open.attributes;
}

}  // namespace win32

namespace {
SECURITY_ATTRIBUTES* AttributesFor(ObjectSecurity security) {
    return security == ObjectSecurity::Open ? win32::OpenSecurityAttributes() : nullptr;
}
const wchar_t* NameOrNull(const std::wstring& name) {
    return name.empty() ? nullptr : name.c_str();
}
}  // namespace

void CloseRawHandle(RawHandle handle) { CloseHandle(handle); }

UniqueHandle CreateEventObject(const std::wstring& name, bool manualReset, bool initialState,
                               ObjectSecurity security) {
    return UniqueHandle(CreateEventW(AttributesFor(security), manualReset ? TRUE : FALSE,
                                     initialState ? TRUE : FALSE, NameOrNull(name)));
}

UniqueHandle OpenEventObject(const std::wstring& name, std::uint32_t access) {
    return UniqueHandle(OpenEventW(access, FALSE, name.c_str()));
}

UniqueHandle CreateMutexObject(const std::wstring& name, bool initialOwner,
                               ObjectSecurity security) {
    return UniqueHandle(
        CreateMutexW(AttributesFor(security), initialOwner ? TRUE : FALSE, NameOrNull(name)));
}

UniqueHandle OpenMutexObject(const std::wstring& name, std::uint32_t access) {
    return UniqueHandle(OpenMutexW(access, FALSE, name.c_str()));
}

bool SetEventObject(RawHandle event) { return IsValidRawHandle(event) && SetEvent(event) != 0; }
bool ResetEventObject(RawHandle event) {
    return IsValidRawHandle(event) && ResetEvent(event) != 0;
}
bool ReleaseMutexObject(RawHandle mutex) {
    return IsValidRawHandle(mutex) && ReleaseMutex(mutex) != 0;
}

WaitResult WaitForObject(RawHandle object, std::uint32_t timeoutMs) {
    switch (WaitForSingleObject(object, timeoutMs)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            return WaitResult::Signalled;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

int WaitForAnyObject(const RawHandle* objects, std::size_t count, std::uint32_t timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        return kWaitFailed;
    }
    const DWORD result =
        WaitForMultipleObjects(static_cast<DWORD>(count), objects, FALSE, timeoutMs);
    if (result < WAIT_OBJECT_0 + count) {
        return static_cast<int>(result - WAIT_OBJECT_0);
    }
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
        return static_cast<int>(result - WAIT_ABANDONED_0);
    }
    return result == WAIT_TIMEOUT ? kWaitTimedOut : kWaitFailed;
}

std::uint64_t TickCount64() { return GetTickCount64(); }
void SleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace cv::platform
