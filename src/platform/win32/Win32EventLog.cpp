#include <utility>

#include "platform/EventLog.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

EventSource::EventSource(std::wstring name) : name_(std::move(name)) {}

EventSource::~EventSource() {
    if (handle_ != nullptr) {
        DeregisterEventSource(static_cast<HANDLE>(handle_));
    }
}

EventReport EventSource::Report(EventType type, std::uint32_t eventId,
                                const std::vector<std::wstring>& strings) {
    if (handle_ == nullptr) {
        handle_ = RegisterEventSourceW(nullptr, name_.c_str());
        if (handle_ == nullptr) {
            return {false, GetLastError()};
        }
    }
    std::vector<LPCWSTR> pointers;
    pointers.reserve(strings.size());
    for (const std::wstring& text : strings) {
        pointers.push_back(text.c_str());
    }
    if (!ReportEventW(static_cast<HANDLE>(handle_), static_cast<WORD>(type), 0, eventId, nullptr,
                      static_cast<WORD>(pointers.size()), 0,
                      pointers.empty() ? nullptr : pointers.data(), nullptr)) {
        return {false, GetLastError()};
    }
    return {true, 0};
}

}  // namespace cv::platform
