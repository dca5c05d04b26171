// Threads of the program's own: workers with a reserved stack and a priority, and threads with
// a handle that can be waited on and terminated.
#include <process.h>

#include <memory>

#include "platform/Handle.h"
#include "platform/Threads.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

struct WorkerThread::State {
    UniqueHandle thread;
};

namespace {

unsigned __stdcall RunBody(void* parameter) {
    const std::unique_ptr<std::function<void()>> body(
        static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace

WorkerThread::WorkerThread() : state_(std::make_unique<State>()) {}

WorkerThread::~WorkerThread() {
    Join();
}

bool WorkerThread::Start(std::function<void()> body, std::size_t stackReserve, int priority) {
    if (Joinable()) {
        return false;
    }
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    // Suspended, so the priority holds from the thread's first instruction.
    const auto raw =
        _beginthreadex(nullptr, static_cast<unsigned>(stackReserve), RunBody, owned.get(),
                       CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (raw == 0) {
        return false;
    }
    static_cast<void>(owned.release());
    state_->thread.Reset(reinterpret_cast<HANDLE>(raw));
    SetThreadPriority(state_->thread.Get(), priority);
    ResumeThread(state_->thread.Get());
    return true;
}

bool WorkerThread::Joinable() const {
    return state_->thread.IsValid();
}

void WorkerThread::Join() {
    if (!state_->thread) {
        return;
    }
    WaitForSingleObject(state_->thread.Get(), INFINITE);
    state_->thread.Reset();
}

}  // namespace cv::platform

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
    HANDLE thread = CreateThread(nullptr, kWorkerStackReserve, RunThreadBody, owned.get(),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
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
