#pragma once
// Programs the engine starts while it runs as the Vigilor service, that is as SYSTEM. A standard
// user must not be able to choose what runs with those rights: a program started because of a
// user's process runs as that process's user, in its session; one started as SYSTEM must be a
// file that only administrators can change, in folders only they can change.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Launch.h"

namespace cv {

// The registry flag that lets the service start programs at all.
bool AllowElevatedChildren();

// Why a program was not started as SYSTEM.
inline constexpr wchar_t kUserMayChangeProgramText[] =
    L"Not started as SYSTEM: a standard user may change the program or a folder above it";

// Whether the service may start this program as SYSTEM.
bool MayStartAsSystem(const std::wstring& programPath);

// The program a command line starts: its first word, quoted or not.
std::wstring ProgramOfCommandLine(const std::wstring& commandLine);

// A launch because of a running process, as a service: the process's own user to start the
// program as, or why it cannot be started.
struct ServiceLaunchUser {
    std::optional<platform::ProcessUser> user;
    // Set when the process's user is SYSTEM and a standard user may change the program.
    bool untrustedProgram = false;
};
ServiceLaunchUser UserToLaunchAs(std::uint32_t processId, std::uint64_t createTime,
                                 const std::wstring& programPath);

}  // namespace cv
