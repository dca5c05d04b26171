#pragma once
// A thread of the program's own with a reserved stack size and a scheduling priority, for the
// background workers that must yield the processor to the engine.
#include <cstddef>
#include <functional>
#include <memory>

namespace cv::platform {

constexpr int kThreadPriorityBelowNormal = -1;
constexpr int kThreadPriorityNormal = 0;

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

}  // namespace cv::platform
