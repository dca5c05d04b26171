#pragma once
// The service control manager, for the engine's own service and the system services it needs.
#include <optional>
#include <string>

namespace cv::platform {

enum class ServiceState { Stopped, StartPending, StopPending, Running, Other };

// Opens the manager (SC_MANAGER_CONNECT) and the service with stop and query rights, queries
// the status and closes both; no value when any step fails.
std::optional<ServiceState> QueryServiceState(const std::wstring& serviceName);
// Sends SERVICE_CONTROL_STOP; false when the service cannot be opened or the control fails.
bool SendServiceStop(const std::wstring& serviceName);

}  // namespace cv::platform
