// Threads of the simulated machine: real threads. Workers have their stack and priority noted;
// a thread started with a handle is a waitable object, and a terminate request stops it for good
// at the next simulated call it blocks in, holding whatever it holds, as on Windows.
#include <thread>

#include "platform/Threads.h"
#include "platform/sim/SimMachine.h"

namespace cv::sim {

namespace {

thread_local SimThread* currentThread = nullptr;

}  // namespace

bool CurrentThreadTerminated() {
    if (currentThread == nullptr) {
        return false;
    }
    std::lock_guard lock(Machine::Get().Lock());
    return currentThread->terminated || currentThread->killed;
}

void StopIfEnded(std::unique_lock<std::recursive_mutex>& lock) {
    if (currentThread == nullptr) {
        return;
    }
    while (currentThread->killed && !currentThread->terminated) {
        Machine::Get().WaitForChange(lock);
    }
    if (currentThread->terminated) {
        throw ThreadTerminated{};
    }
}

void Machine::HangIfScripted(const std::string& operation) {
    std::unique_lock lock(mutex_);
    if (IsDriverThread()) {
        return;
    }
    StopIfEnded(lock);
    while (hungCalls.count(operation) != 0) {
        changed_.wait(lock);
        StopIfEnded(lock);
    }
}

void Machine::JoinThreads() {
    std::vector<std::shared_ptr<SimThread>> running;
    {
        std::lock_guard lock(mutex_);
        running.swap(threads);
        for (const auto& thread : running) {
            thread->terminated = true;
        }
        changed_.notify_all();
    }
    for (const auto& thread : running) {
        if (thread->thread.joinable()) {
            thread->thread.join();
        }
    }
}

}  // namespace cv::sim

namespace cv::platform {

using sim::Machine;

UniqueHandle StartThread(std::function<void()> body) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("CreateThread", L"")) {
        return {};
    }
    auto thread = std::make_shared<sim::SimThread>();
    thread->object = std::make_shared<sim::SimObject>();
    thread->object->kind = sim::SimObject::Kind::Thread;
    sim::SimThread* raw = thread.get();
    thread->thread = std::thread([raw, body = std::move(body)] {
        sim::currentThread = raw;
        try {
            body();
        } catch (const sim::ThreadTerminated&) {
        }
        Machine& m = Machine::Get();
        std::lock_guard ended(m.Lock());
        raw->object->signalled = true;
        m.NotifyChange();
    });
    const RawHandle handle = machine.AddHandle(thread->object);
    machine.threads.push_back(std::move(thread));
    return UniqueHandle(handle);
}

bool TerminateThreadHandle(RawHandle handle, std::uint32_t /*exitCode*/) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto object = machine.FindObject(handle);
    if (object == nullptr || object->kind != sim::SimObject::Kind::Thread ||
        machine.ShouldFail("TerminateThread", L"")) {
        return false;
    }
    for (const auto& thread : machine.threads) {
        if (thread->object == object) {
            thread->killed = true;
        }
    }
    // The thread has ended as far as anyone waiting on it can tell.
    object->signalled = true;
    machine.NotifyChange();
    return true;
}

}  // namespace cv::platform

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
