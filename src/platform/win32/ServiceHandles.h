#pragma once
// Service-manager handles and service states, shared by the backend's service operations.
#include "platform/Services.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform::win32 {

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
        }
    }
    SC_HANDLE Get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

inline ServiceState StateOf(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return ServiceState::Stopped;
        case SERVICE_START_PENDING:
            return ServiceState::StartPending;
        case SERVICE_STOP_PENDING:
            return ServiceState::StopPending;
        case SERVICE_RUNNING:
            return ServiceState::Running;
        default:
            return ServiceState::Other;
    }
}

}  // namespace cv::platform::win32
