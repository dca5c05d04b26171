#pragma once
// Process-wide values of the engine set at start-up, and the small services around the engine's
// own process: restarting itself and launching other programs.
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

// Forgets the process-wide values and the host's cached ones, as at program start (for tests).
void ResetEngineProcessValues();

}  // namespace cv
