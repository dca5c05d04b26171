// Worker threads of the simulated machine: real threads, with their stack and priority noted.
#include <thread>

#include "platform/Threads.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

struct WorkerThread::State {
    std::thread thread;
};

WorkerThread::WorkerThread() : state_(std::make_unique<State>()) {}

WorkerThread::~WorkerThread() {
    Join();
}

bool WorkerThread::Start(std::function<void()> body, std::size_t stackReserve, int priority) {
    if (Joinable()) {
        return false;
    }
    sim::Machine& machine = sim::Machine::Get();
    {
        std::lock_guard lock(machine.Lock());
        if (machine.ShouldFail("CreateThread", L"")) {
            return false;
        }
        machine.threadStarts.push_back({stackReserve, priority});
    }
    state_->thread = std::thread(std::move(body));
    return true;
}

bool WorkerThread::Joinable() const {
    return state_->thread.joinable();
}

void WorkerThread::Join() {
    if (state_->thread.joinable()) {
        state_->thread.join();
    }
}

}  // namespace cv::platform
