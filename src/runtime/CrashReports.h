#pragma once
// The engine's handler for exceptions nothing else handles: a full-memory dump in
// ProgramData\Corvane\vigilor.exe.dmp, a message for an interactive user, and a fresh engine,
// unless the engine keeps crashing soon after each restart. Before any of it, every process a
// throttle holds suspended is resumed.
#include <cstdint>
#include <string>
#include <vector>

namespace cv {

inline constexpr wchar_t kDumpFileName[] = L"vigilor.exe.dmp";
// A crash loop is not a restart policy: at most this many restarts within the window.
inline constexpr std::size_t kMaxCrashRestarts = 3;
inline constexpr std::uint64_t kCrashRestartWindow = 10ull * 60 * 10'000'000;  // FILETIME units

// Installs CrashFilter for the whole process.
void InstallCrashFilter();
// Whether the engine runs as the Vigilor service, as found when the control thread started.
void SetCrashRunningAsService(bool service);

// The filter: handles the first crash and ends the process; a second entry returns 0 at once.
long CrashFilter();

// The dump path; empty when the common application data folder is unknown.
std::wstring CrashDumpPath();

// The crash restarts still inside the window at now, oldest first (read from and kept in the
// registry), and whether one more restart is allowed.
std::vector<std::uint64_t> RecentCrashRestarts(std::uint64_t now);
bool NoteCrashRestart(std::uint64_t now);

// The success text for a dump at the path.
std::wstring CrashDumpMessage(const std::wstring& dumpPath);

// Forgets that the filter ran (for tests).
void ResetCrashFilter();

}  // namespace cv
