#pragma once
// The Windows event log: one source of the Application log on this machine, registered at its
// first event (RegisterEventSourceW) and kept open until it goes.
#include <cstdint>
#include <string>
#include <vector>

namespace cv::platform {

// ReportEventW's event types.
enum class EventType : std::uint16_t { Error = 0x0001, Warning = 0x0002, Information = 0x0004 };

struct EventReport {
    bool accepted = false;
    std::uint32_t error = 0;  // GetLastError of the call that failed
};

class EventSource {
  public:
    explicit EventSource(std::wstring name);
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource();

    // ReportEventW with the event id and the insertion strings, no category, user or data. A
    // source that could not be registered is tried again at the next event.
    EventReport Report(EventType type, std::uint32_t eventId,
                       const std::vector<std::wstring>& strings);

  private:
    std::wstring name_;
    void* handle_ = nullptr;  // the registered source
};

}  // namespace cv::platform
