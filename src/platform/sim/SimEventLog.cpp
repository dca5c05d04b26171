// The event log of the simulated machine: every accepted event is kept for tests to read back.
#include <utility>

#include "platform/EventLog.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;

EventSource::EventSource(std::wstring name) : name_(std::move(name)) {}

EventSource::~EventSource() {
    if (handle_ == nullptr) {
        return;
    }
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.eventLog.openSources > 0) {
        --machine.eventLog.openSources;
    }
}

EventReport EventSource::Report(EventType type, std::uint32_t eventId,
                                const std::vector<std::wstring>& strings) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    constexpr std::uint32_t kAccessDenied = 5;
    constexpr std::uint32_t kInvalidHandle = 6;
    if (handle_ == nullptr) {
        if (machine.ShouldFail("RegisterEventSource", name_)) {
            return {false, kAccessDenied};
        }
        handle_ = this;
        ++machine.eventLog.registrations;
        ++machine.eventLog.openSources;
    }
    if (machine.ShouldFail("ReportEvent", name_)) {
        return {false, kInvalidHandle};
    }
    machine.eventLog.events.push_back(
        sim::SimEvent{name_, static_cast<std::uint16_t>(type), eventId, strings});
    return {true, 0};
}

}  // namespace cv::platform
