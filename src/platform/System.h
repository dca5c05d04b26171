#pragma once
// Facts about the running program and the machine, and the program's own process settings.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cv::platform {

// The program's own command line exactly as received (GetCommandLineW).
std::wstring OwnCommandLine();
std::uint32_t OwnProcessId();
// Full path of the running executable; empty when it cannot be read.
std::wstring OwnImagePath();
// AttachConsole(ATTACH_PARENT_PROCESS): true when the program now writes to the console of the
// program that started it.
bool AttachParentConsole();
// Writes to the attached console, or to the standard output the program was given when that is
// a file or a pipe (UTF-8 there); false when neither takes the text.
bool WriteToConsole(const std::wstring& text);
// GetWindowsDirectoryW; empty on failure.
std::wstring WindowsFolder();
std::wstring CurrentDirectory();

// GetUserNameW with a buffer of 257 characters; no value when the call fails.
std::optional<std::wstring> OwnUserName();
// GetComputerNameW with a buffer of 16 characters; empty when the call fails.
std::wstring ComputerName();

// Major version reported by GetVersionExW.
std::uint32_t OsMajorVersion();
// VerifyVersionInfoW: major, minor and service pack major each greater or equal.
bool OsVersionAtLeast(std::uint32_t major, std::uint32_t minor, std::uint16_t servicePackMajor);
std::uint16_t UserDefaultUiLanguage();
// Logical processors reported by GetSystemInfo.
std::uint32_t ProcessorCount();
// Active logical processors of every processor group.
std::uint32_t ActiveProcessorCountAllGroups();
// Relative identifier of the integrity level of the program's own token; no value when unread.
std::optional<std::uint32_t> OwnIntegrityLevel();

// Opens the own token once and enables each privilege by name, one call each; failures are
// ignored.
void EnableOwnPrivileges(const std::vector<std::wstring>& privilegeNames);
bool SetOwnShutdownParameters(std::uint32_t level, std::uint32_t flags);
// LoadLibraryW of a system library that stays loaded for the life of the process.
bool LoadSystemLibrary(const std::wstring& name);

constexpr std::uint32_t kHighPriorityClass = 0x00000080;
constexpr int kThreadPriorityHighest = 2;
constexpr std::uint32_t kShutdownNoRetry = 0x00000001;
constexpr std::uint32_t kProcessIoPriorityClass = 33;
constexpr std::uint32_t kProcessPagePriorityClass = 39;

bool SetOwnPriorityClass(std::uint32_t priorityClass);
bool SetOwnThreadPriority(int priority);
// SetThreadPriorityBoost and SetProcessPriorityBoost for the calling thread and own process.
void SetOwnPriorityBoost(bool disable);
// ZwSetInformationProcess on the own process with a 4-byte value, looked up at run time.
bool SetOwnProcessInformation(std::uint32_t informationClass, std::uint32_t value);

// UuidCreate: 16 random bytes; empty on failure.
std::vector<std::uint8_t> NewUuid();

// SHChangeNotify(SHCNE_ASSOCCHANGED) with no items, so the shell redraws its icons.
void NotifyShellAssociationsChanged();

// Ends the process at once.
[[noreturn]] void ExitOwnProcess(std::uint32_t exitCode);

}  // namespace cv::platform
