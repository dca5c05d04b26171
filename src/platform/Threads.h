#pragma once
// Threads of the program's own beside the control thread. Background workers get a reserved
// stack size and a scheduling priority (WorkerThread); threads whose owner must be able to end
// them even when they do not stop by themselves get a handle that can be waited on like any
// other object and, as the last resort, terminated (StartThread).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Handle.h"

namespace cv::platform {

constexpr int kThreadPriorityBelowNormal = -1;
constexpr int kThreadPriorityNormal = 0;
// What a worker reserves for its stack unless it says otherwise.
constexpr std::size_t kWorkerStackReserve = 256 * 1024;
// Threads that match rules: a regular-expression search may go 4 MB deep before it is stopped.
// Only the pages a thread touches are ever committed.
constexpr std::size_t kMatchingThreadStackReserve = 8 * 1024 * 1024;

class WorkerThread {
  public:
    WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    // Joins a thread still running; its owner stops it first.
    ~WorkerThread();

    // Starts the body on a new thread whose stack reserves stackReserve bytes and which runs at
    // the given priority; false when the thread could not be created (or one is still held).
    bool Start(std::function<void()> body, std::size_t stackReserve, int priority);
    bool Joinable() const;
    // Waits for the thread to end and releases it.
    void Join();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// CreateThread running the body, with a stack of kWorkerStackReserve; none when the thread cannot be created.
UniqueHandle StartThread(std::function<void()> body);
// TerminateThread with the exit code. The body stops wherever it is and nothing of it is
// unwound, so only a thread that does not answer its stop request is ended this way.
bool TerminateThreadHandle(RawHandle thread, std::uint32_t exitCode);

}  // namespace cv::platform
