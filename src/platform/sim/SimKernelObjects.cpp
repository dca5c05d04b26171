// Kernel objects, waits and the clock of the simulated machine.
#include <algorithm>
#include <limits>
#include <vector>

#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;
using sim::SimObject;

namespace {

std::wstring NamespacedName(const std::wstring& name) {
    // Names without a namespace live in the session's local namespace.
    if (name.rfind(L"Global\\", 0) == 0 || name.rfind(L"Local\\", 0) == 0) {
        return name;
    }
    return L"Local\\" + name;
}

UniqueHandle CreateObject(const std::string& operation, SimObject::Kind kind,
                          const std::wstring& name, bool manualReset, bool initialState,
                          ObjectSecurity security) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail(operation, name)) {
        return {};
    }
    if (!name.empty()) {
        if (auto existing = machine.FindNamedObject(NamespacedName(name))) {
            if (existing->kind != kind) {
                return {};
            }
            return UniqueHandle(machine.AddHandle(existing));
        }
    }
    auto object = std::make_shared<SimObject>();
    object->kind = kind;
    object->name = name.empty() ? name : NamespacedName(name);
    object->manualReset = manualReset;
    object->security = security;
    if (kind == SimObject::Kind::Mutex) {
        if (initialState) {
            object->owner = std::this_thread::get_id();
            object->recursion = 1;
        }
    } else {
        object->signalled = initialState;
    }
    if (!name.empty()) {
        machine.namedObjects[object->name] = object;
    }
    return UniqueHandle(machine.AddHandle(object));
}

UniqueHandle OpenObject(const std::string& operation, SimObject::Kind kind,
                        const std::wstring& name) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (name.empty() || machine.ShouldFail(operation, name)) {
        return {};
    }
    auto existing = machine.FindNamedObject(NamespacedName(name));
    if (existing == nullptr || existing->kind != kind) {
        return {};
    }
    return UniqueHandle(machine.AddHandle(existing));
}

// Takes a signalled object for the calling thread; false when it is not signalled.
bool TryAcquire(SimObject& object) {
    switch (object.kind) {
        case SimObject::Kind::Mutex:
            if (object.recursion == 0 || object.owner == std::this_thread::get_id()) {
                object.owner = std::this_thread::get_id();
                ++object.recursion;
                return true;
            }
            return false;
        case SimObject::Kind::Event:
            if (!object.signalled) {
                return false;
            }
            if (!object.manualReset) {
                object.signalled = false;
            }
            return true;
        case SimObject::Kind::Process:
        case SimObject::Kind::Thread:
        case SimObject::Kind::Token:
            return object.signalled;
    }
    return false;
}

// Waits until the condition holds or the simulated clock reaches the deadline.
template <typename Condition>
WaitResult WaitOnMachine(std::uint32_t timeoutMs, Condition condition) {
    Machine& machine = Machine::Get();
    std::unique_lock lock(machine.Lock());
    const std::uint64_t deadline = timeoutMs == kInfinite
                                       ? std::numeric_limits<std::uint64_t>::max()
                                       : machine.Now() + timeoutMs;
    for (;;) {
        // A terminated thread goes no further than the wait it was in.
        sim::StopIfEnded(lock);
        if (condition()) {
            return WaitResult::Signalled;
        }
        if (timeoutMs == 0 || machine.Now() >= deadline) {
            return WaitResult::TimedOut;
        }
        if (machine.IsDriverThread() && timeoutMs != kInfinite) {
            // The clock moves from one scheduled action to the next, so a wait ends as soon as
            // one of them signals what it waits for.
            while (machine.Now() < deadline) {
                const std::uint64_t next =
                    std::min(deadline, machine.NextScheduledTime().value_or(deadline));
                machine.AdvanceClock(next > machine.Now() ? next - machine.Now() : 0);
                if (condition()) {
                    return WaitResult::Signalled;
                }
            }
            return WaitResult::TimedOut;
        }
        machine.WaitForChange(lock);
    }
}

}  // namespace

void CloseRawHandle(RawHandle handle) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto it = machine.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == machine.handles.end()) {
        return;
    }
    const std::wstring name = it->second->name;
    machine.handles.erase(it);
    // The name goes away with the object's last handle.
    if (!name.empty()) {
        const auto named = machine.namedObjects.find(name);
        if (named != machine.namedObjects.end() && named->second.expired()) {
            machine.namedObjects.erase(named);
        }
    }
}

UniqueHandle CreateEventObject(const std::wstring& name, bool manualReset, bool initialState,
                               ObjectSecurity security) {
    return CreateObject("CreateEvent", SimObject::Kind::Event, name, manualReset, initialState,
                        security);
}

UniqueHandle OpenEventObject(const std::wstring& name, std::uint32_t /*access*/) {
    return OpenObject("OpenEvent", SimObject::Kind::Event, name);
}

UniqueHandle CreateMutexObject(const std::wstring& name, bool initialOwner,
                               ObjectSecurity security) {
    return CreateObject("CreateMutex", SimObject::Kind::Mutex, name, false, initialOwner, security);
}

UniqueHandle OpenMutexObject(const std::wstring& name, std::uint32_t /*access*/) {
    return OpenObject("OpenMutex", SimObject::Kind::Mutex, name);
}

bool SetEventObject(RawHandle event) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    auto object = machine.FindObject(event);
    if (object == nullptr || object->kind != SimObject::Kind::Event ||
        machine.ShouldFail("SetEvent", object->name)) {
        return false;
    }
    object->signalled = true;
    machine.NotifyChange();
    return true;
}

bool ResetEventObject(RawHandle event) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    auto object = machine.FindObject(event);
    if (object == nullptr || object->kind != SimObject::Kind::Event) {
        return false;
    }
    object->signalled = false;
    return true;
}

bool ReleaseMutexObject(RawHandle mutex) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    auto object = machine.FindObject(mutex);
    if (object == nullptr || object->kind != SimObject::Kind::Mutex ||
        object->owner != std::this_thread::get_id() || object->recursion == 0) {
        return false;
    }
    if (--object->recursion == 0) {
        object->owner = {};
        machine.NotifyChange();
    }
    return true;
}

WaitResult WaitForObject(RawHandle handle, std::uint32_t timeoutMs) {
    Machine& machine = Machine::Get();
    auto object = machine.FindObject(handle);
    if (object == nullptr || machine.ShouldFail("WaitForObject", object->name)) {
        return WaitResult::Failed;
    }
    if (object->kind == SimObject::Kind::Thread && machine.IsDriverThread() && timeoutMs != 0) {
        // A thread that was asked to stop needs real time to run, which the simulated clock
        // does not give it: it gets up to a second before the clock moves on.
        machine.WaitUntil([&object] { return object->signalled; }, 1.0);
    }
    return WaitOnMachine(timeoutMs, [&object] { return TryAcquire(*object); });
}

int WaitForAnyObject(const RawHandle* objects, std::size_t count, std::uint32_t timeoutMs) {
    Machine& machine = Machine::Get();
    std::vector<std::shared_ptr<SimObject>> found;
    for (std::size_t i = 0; i < count; ++i) {
        auto object = machine.FindObject(objects[i]);
        if (object == nullptr || machine.ShouldFail("WaitForObject", object->name)) {
            return kWaitFailed;
        }
        found.push_back(std::move(object));
    }
    int signalled = kWaitTimedOut;
    const WaitResult result = WaitOnMachine(timeoutMs, [&] {
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (TryAcquire(*found[i])) {
                signalled = static_cast<int>(i);
                return true;
            }
        }
        return false;
    });
    return result == WaitResult::Signalled ? signalled : kWaitTimedOut;
}

std::uint64_t TickCount64() {
    return Machine::Get().Now();
}

void SleepMs(std::uint32_t milliseconds) {
    WaitOnMachine(milliseconds, [] { return false; });
}

}  // namespace cv::platform
