#pragma once
// Starting other programs.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Handle.h"

namespace cv::platform {

constexpr std::uint32_t kDetachedProcess = 0x00000008;
constexpr std::uint32_t kCreateNewProcessGroup = 0x00000200;

// ShellExecuteExW with SEE_MASK_NOCLOSEPROCESS and SW_SHOWNORMAL; the new process's handle or
// none.
UniqueHandle ShellExecuteProcess(const std::wstring& verb, const std::wstring& file,
                                 const std::wstring& parameters, const std::wstring& directory);
// CreateProcessW with the inherited start-up information; an empty directory keeps the current
// one. Closes the thread handle and returns the process handle or none.
UniqueHandle CreateProcessWithFlags(const std::wstring& applicationPath,
                                    const std::wstring& commandLine, std::uint32_t creationFlags,
                                    const std::wstring& directory);
struct LaunchedProcess {
    UniqueHandle process;
    UniqueHandle thread;
    std::uint32_t processId = 0;
};
// Starts a command line in a directory with zeroed start-up information and no inheritance.
// At low integrity: the own token duplicated as a primary token, given the low integrity label
// (S-1-16-4096), then CreateProcessAsUserW; otherwise plain CreateProcessW. None on failure.
std::optional<LaunchedProcess> LaunchProcess(const std::wstring& commandLine,
                                             const std::wstring& directory, bool lowIntegrity);

// The user a running process runs as, to start a program as that user in that process's session.
struct ProcessUser {
    UniqueHandle token;  // a primary token of the process's own
    std::uint32_t sessionId = 0;
    bool localSystem = false;  // the token's user is SYSTEM (S-1-5-18)
};
// The process with this id, checked to have this creation time (a FILETIME) so that a reused id
// is never taken for it: OpenProcess (limited query information), OpenProcessToken (duplicate,
// query), DuplicateTokenEx as a primary token; its session and user read from the token. None on
// failure.
std::optional<ProcessUser> OpenProcessUser(std::uint32_t processId, std::uint64_t createTime);
// CreateProcessAsUserW with the user's token, in its session, on the desktop "winsta0\default",
// with that user's environment block (CreateEnvironmentBlock; the engine's own when it cannot be
// made), zeroed start-up information and no inheritance. None on failure.
std::optional<LaunchedProcess> LaunchProcessAsUser(const ProcessUser& user,
                                                   const std::wstring& commandLine,
                                                   const std::wstring& directory);
// OpenProcess with SYNCHRONIZE; none when the process cannot be opened.
UniqueHandle OpenProcessForWait(std::uint32_t processId);

}  // namespace cv::platform
