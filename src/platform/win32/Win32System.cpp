#include "platform/Handle.h"
#include "platform/System.h"
#include "platform/win32/NtApi.h"
#include "platform/win32/WindowsApi.h"

#include <rpc.h>

namespace cv::platform {

std::wstring OwnCommandLine() {
    const wchar_t* line = GetCommandLineW();
    return line == nullptr ? std::wstring() : std::wstring(line);
}

std::uint32_t OwnProcessId() {
    return GetCurrentProcessId();
}

bool AttachParentConsole() { return AttachConsole(ATTACH_PARENT_PROCESS) != FALSE; }

bool WriteToConsole(const std::wstring& text) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        output = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        if (output == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    DWORD written = 0;
    if (WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        return true;
    }
    // Redirected to a file or a pipe: bytes, as UTF-8.
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                            size, nullptr, nullptr);
    }
    return WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) !=
           FALSE;
}

std::wstring WindowsFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        return std::wstring();
    }
    return std::wstring(folder, length);
}

std::wstring OwnImagePath() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return {};
    }
    path.resize(length);
    return path;
}

std::wstring CurrentDirectory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) {
        return {};
    }
    std::wstring directory(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, directory.data());
    directory.resize(length < needed ? length : 0);
    return directory;
}

std::optional<std::wstring> OwnUserName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    if (!GetUserNameW(name, &size)) {
        return std::nullopt;
    }
    return std::wstring(name);
}

std::wstring ComputerName() {
    wchar_t name[16] = {};
    DWORD size = 16;
    if (!GetComputerNameW(name, &size)) {
        return {};
    }
    return std::wstring(name);
}

std::uint32_t OsMajorVersion() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(&info)) {
        return 0;
    }
    return info.dwMajorVersion;
}

bool OsVersionAtLeast(std::uint32_t major, std::uint32_t minor, std::uint16_t servicePackMajor) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = servicePackMajor;
    ULONGLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              condition) != 0;
}

std::uint16_t UserDefaultUiLanguage() {
    return GetUserDefaultUILanguage();
}

std::uint32_t ProcessorCount() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

std::optional<std::uint32_t> OwnIntegrityLevel() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return std::nullopt;
    }
    const UniqueHandle tokenOwner(token);
    std::optional<std::uint32_t> level;
    DWORD size = 0;
    GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);
    if (size != 0) {
        std::string buffer(size, '\0');
        if (GetTokenInformation(token, TokenIntegrityLevel, buffer.data(), size, &size)) {
            const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
            const UCHAR count = *GetSidSubAuthorityCount(label->Label.Sid);
            if (count > 0) {
                level = *GetSidSubAuthority(label->Label.Sid, count - 1u);
            }
        }
    }
    return level;
}

void EnableOwnPrivileges(const std::vector<std::wstring>& privilegeNames) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    const UniqueHandle tokenOwner(token);
    for (const auto& name : privilegeNames) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, name.c_str(), &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
}

bool SetOwnShutdownParameters(std::uint32_t level, std::uint32_t flags) {
    return SetProcessShutdownParameters(level, flags) != 0;
}

bool LoadSystemLibrary(const std::wstring& name) {
    return LoadLibraryW(name.c_str()) != nullptr;
}

bool SetOwnPriorityClass(std::uint32_t priorityClass) {
    return SetPriorityClass(GetCurrentProcess(), priorityClass) != 0;
}

bool SetOwnThreadPriority(int priority) {
    return SetThreadPriority(GetCurrentThread(), priority) != 0;
}

void SetOwnPriorityBoost(bool disable) {
    SetThreadPriorityBoost(GetCurrentThread(), disable ? TRUE : FALSE);
    SetProcessPriorityBoost(GetCurrentProcess(), disable ? TRUE : FALSE);
}

bool SetOwnProcessInformation(std::uint32_t informationClass, std::uint32_t value) {
    if (win32::Nt().setInformationProcess == nullptr) {
        return false;
    }
    ULONG data = value;
    return win32::Nt().setInformationProcess(GetCurrentProcess(), informationClass, &data,
                                             sizeof data) >= 0;
}

std::vector<std::uint8_t> NewUuid() {
    UUID uuid{};
    if (UuidCreate(&uuid) != RPC_S_OK) {
        return {};
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&uuid);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof uuid);
}

void ExitOwnProcess(std::uint32_t exitCode) {
    ExitProcess(exitCode);
}

}  // namespace cv::platform
