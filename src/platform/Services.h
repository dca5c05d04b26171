#pragma once
// The service control manager, for the engine's own service and the system services it needs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cv::platform {

enum class ServiceState { Stopped, StartPending, StopPending, Running, Other };

// Opens the manager (SC_MANAGER_CONNECT) and the service with stop and query rights, queries
// the status and closes both; no value when any step fails.
std::optional<ServiceState> QueryServiceState(const std::wstring& serviceName);
// Sends SERVICE_CONTROL_STOP; false when the service cannot be opened or the control fails.
bool SendServiceStop(const std::wstring& serviceName);
// StartServiceW with no arguments (the service opened with SERVICE_START); false when the service
// cannot be opened or does not start.
bool StartServiceByName(const std::wstring& serviceName);

struct ServiceStatusRow {
    std::wstring name;
    std::wstring displayName;
    std::uint32_t state = 0;  // SERVICE_STOPPED (1) ... SERVICE_PAUSED (7)
    std::uint32_t processId = 0;
};
// EnumServicesStatusExW with process information for the Win32 services in every state; no
// value when the manager cannot be opened or the enumeration fails.
std::optional<std::vector<ServiceStatusRow>> EnumerateWin32Services();

}  // namespace cv::platform
