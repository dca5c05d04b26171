// Memory status, the free-memory counter and the cache operations of the simulated machine.
#include "platform/Memory.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;

std::optional<MemoryStatus> ReadMemoryStatus() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("GlobalMemoryStatusEx", L"")) {
        return std::nullopt;
    }
    return MemoryStatus{machine.memoryLoad, machine.totalPhysicalBytes,
                        machine.availablePhysicalBytes};
}

struct FreeMemoryCounter::State {
    bool open = false;
};

FreeMemoryCounter::FreeMemoryCounter() : state_(std::make_unique<State>()) {}
FreeMemoryCounter::~FreeMemoryCounter() = default;

bool FreeMemoryCounter::Open() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    state_->open = !machine.ShouldFail("PdhOpenQuery", L"") && machine.freeMemoryCounterExists &&
                   !machine.ShouldFail("PdhAddEnglishCounter", L"");
    return state_->open;
}

bool FreeMemoryCounter::IsOpen() const {
    return state_->open;
}

std::optional<std::uint64_t> FreeMemoryCounter::Read() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (!state_->open || machine.ShouldFail("PdhCollectQueryData", L"")) {
        return std::nullopt;
    }
    return machine.freeMemoryBytes;
}

void FreeMemoryCounter::Close() {
    state_->open = false;
}

bool FlushSystemFileCache() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("NtSetSystemInformation", L"FileCache")) {
        return false;
    }
    ++machine.fileCacheFlushes;
    machine.freeMemoryBytes += machine.fileCacheBytes;
    machine.fileCacheBytes = 0;
    return true;
}

bool PurgeStandbyList() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("NtSetSystemInformation", L"StandbyList")) {
        return false;
    }
    ++machine.standbyPurges;
    machine.freeMemoryBytes += machine.standbyBytes;
    machine.standbyBytes = 0;
    return true;
}

}  // namespace cv::platform
