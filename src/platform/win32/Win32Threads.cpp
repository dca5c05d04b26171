#include <memory>

#include "platform/Threads.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

namespace {

DWORD WINAPI RunThreadBody(LPVOID parameter) {
    const std::unique_ptr<std::function<void()>> body(
        static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace

UniqueHandle StartThread(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    HANDLE thread = CreateThread(nullptr, 0, RunThreadBody, owned.get(), 0, nullptr);
    if (thread == nullptr) {
        return {};
    }
    // The thread owns the body from here on.
    static_cast<void>(owned.release());
    return UniqueHandle(thread);
}

bool TerminateThreadHandle(RawHandle thread, std::uint32_t exitCode) {
    return TerminateThread(thread, exitCode) != FALSE;
}

}  // namespace cv::platform
