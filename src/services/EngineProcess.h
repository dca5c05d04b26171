#pragma once
// Process-wide values of the engine set at start-up, and the small services around the engine's
// own process: its service registration, restarting itself and launching other programs.
#include <atomic>
#include <mutex>
#include <string>

#include "platform/Handle.h"

namespace cv {

struct EngineProcessValues {
    std::wstring ConfigFolderOverride;
    std::wstring LogFolderOverride;
    bool ManualStart = false;
};

// The values the command line set. Written only by the entry thread before the control thread
// starts.
EngineProcessValues& ProcessValues();

// Raised when shutdown begins; the crash handler reads it.
std::atomic<bool>& ProcessStopFlag();

// Windows 6.0 or later; computed once and cached.
bool IsVistaOrLater();

// The engine is registered as the Vigilor service and not marked for deletion. The first time a
// deletion mark is seen a warning is shown.
bool IsServiceInstalled();
// Stops the Vigilor service, waiting up to about five seconds for it to stop.
bool StopEngineService();

bool IsServiceAccountName(const std::wstring& userName);
bool IsAboveMediumIntegrity();

// Starts a program with the shell ("open" when already elevated, else "runas"), falling back to
// CreateProcessW; the engine's folder is the current directory.
platform::UniqueHandle LaunchWithElevation(const std::wstring& applicationPath,
                                           const std::wstring& parameters);
platform::UniqueHandle LaunchDetached(const std::wstring& applicationPath,
                                      const std::wstring& commandLine);

// Starts a new engine that waits for this one to end, then ends this process.
[[noreturn]] void RestartSelf();

// The engine's own folder, from its image path.
std::wstring EngineFolder();

// Forgets the cached and process-wide values, as at program start (for tests).
void ResetEngineProcessValues();

}  // namespace cv
