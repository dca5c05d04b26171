#include <vector>

#include "platform/Launch.h"
#include "platform/MessageBox.h"
#include "platform/Resources.h"
#include "platform/Services.h"
#include "platform/win32/ServiceHandles.h"
#include "platform/win32/WindowsApi.h"

#include <sddl.h>
#include <shellapi.h>

namespace cv::platform {

// Services.

using win32::ServiceHandle;
using win32::StateOf;

std::optional<ServiceState> QueryServiceState(const std::wstring& serviceName) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.Get() == nullptr) {
        return std::nullopt;
    }
    const ServiceHandle service(
        OpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (service.Get() == nullptr || !QueryServiceStatus(service.Get(), &status)) {
        return std::nullopt;
    }
    return StateOf(status.dwCurrentState);
}

bool SendServiceStop(const std::wstring& serviceName) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.Get() == nullptr) {
        return false;
    }
    const ServiceHandle service(
        OpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    return service.Get() != nullptr && ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
}

bool StartServiceByName(const std::wstring& serviceName) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.Get() == nullptr) {
        return false;
    }
    const ServiceHandle service(OpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_START));
    return service.Get() != nullptr && StartServiceW(service.Get(), 0, nullptr) != FALSE;
}

std::optional<std::vector<ServiceStatusRow>> EnumerateWin32Services() {
    const ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (manager.Get() == nullptr) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(128 * 1024);
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    while (!EnumServicesStatusExW(
        manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
        static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr)) {
        if (GetLastError() != ERROR_MORE_DATA || needed == 0) {
            return std::nullopt;
        }
        buffer.resize(buffer.size() + needed);
        resume = 0;
    }
    std::vector<ServiceStatusRow> rows;
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        rows.push_back({services[i].lpServiceName ? services[i].lpServiceName : L"",
                        services[i].lpDisplayName ? services[i].lpDisplayName : L"",
                        services[i].ServiceStatusProcess.dwCurrentState,
                        services[i].ServiceStatusProcess.dwProcessId});
    }
    return rows;
}

// Launches.

UniqueHandle ShellExecuteProcess(const std::wstring& verb, const std::wstring& file,
                                 const std::wstring& parameters, const std::wstring& directory) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = verb.c_str();
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        return {};
    }
    return UniqueHandle(info.hProcess);
}

UniqueHandle CreateProcessWithFlags(const std::wstring& applicationPath,
                                    const std::wstring& commandLine, std::uint32_t creationFlags,
                                    const std::wstring& directory) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    PROCESS_INFORMATION process{};
    std::wstring mutableLine = commandLine;  // CreateProcessW may write into it
    if (!CreateProcessW(applicationPath.empty() ? nullptr : applicationPath.c_str(),
                        mutableLine.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
        return {};
    }
    const UniqueHandle thread(process.hThread);
    return UniqueHandle(process.hProcess);
}

namespace {

// The created process's handles, owned from here on.
LaunchedProcess Launched(const PROCESS_INFORMATION& created) {
    LaunchedProcess launched;
    launched.process = UniqueHandle(created.hProcess);
    launched.thread = UniqueHandle(created.hThread);
    launched.processId = created.dwProcessId;
    return launched;
}

}  // namespace

std::optional<LaunchedProcess> LaunchProcess(const std::wstring& commandLine,
                                             const std::wstring& directory, bool lowIntegrity) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    std::wstring mutableLine = commandLine;  // the create calls may write into it
    const wchar_t* folder = directory.empty() ? nullptr : directory.c_str();
    BOOL ok = FALSE;
    if (!lowIntegrity) {
        ok = CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            folder, &startup, &created);
    } else {
        HANDLE ownToken = nullptr;
        if (!OpenProcessToken(
                GetCurrentProcess(),
                TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT,
                &ownToken)) {
            return std::nullopt;
        }
        const UniqueHandle ownTokenOwner(ownToken);
        HANDLE lowToken = nullptr;
        if (!DuplicateTokenEx(ownToken, 0, nullptr, SecurityImpersonation, TokenPrimary,
                              &lowToken)) {
            return std::nullopt;
        }
        const UniqueHandle lowTokenOwner(lowToken);
        PSID lowSid = nullptr;
        if (!ConvertStringSidToSidW(L"S-1-16-4096", &lowSid)) {
            return std::nullopt;
        }
        TOKEN_MANDATORY_LABEL label{};
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        label.Label.Sid = lowSid;
        if (SetTokenInformation(lowToken, TokenIntegrityLevel, &label,
                                sizeof label + GetLengthSid(lowSid))) {
            ok = CreateProcessAsUserW(lowToken, nullptr, mutableLine.data(), nullptr, nullptr,
                                      FALSE, 0, nullptr, folder, &startup, &created);
        }
        LocalFree(lowSid);
    }
    if (!ok) {
        return std::nullopt;
    }
    return Launched(created);
}

std::optional<ProcessUser> OpenProcessUser(std::uint32_t processId, std::uint64_t createTime) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return std::nullopt;
    }
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.Get(), &created, &exited, &kernel, &user) ||
        ((static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime) !=
            createTime) {
        return std::nullopt;  // the id names another process now
    }
    HANDLE own = nullptr;
    if (!OpenProcessToken(process.Get(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) {
        return std::nullopt;
    }
    const UniqueHandle ownToken(own);
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(own,
                          TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY |
                              TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                          nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
        return std::nullopt;
    }
    ProcessUser result;
    result.token = UniqueHandle(primary);
    DWORD session = 0;
    DWORD length = 0;
    if (!GetTokenInformation(primary, TokenSessionId, &session, sizeof session, &length)) {
        return std::nullopt;
    }
    result.sessionId = session;
    GetTokenInformation(primary, TokenUser, nullptr, 0, &length);
    std::vector<std::uint8_t> buffer(length);
    if (length == 0 || !GetTokenInformation(primary, TokenUser, buffer.data(), length, &length)) {
        return std::nullopt;
    }
    const auto* tokenUser = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    result.localSystem = IsWellKnownSid(tokenUser->User.Sid, WinLocalSystemSid) != FALSE;
    return result;
}

std::optional<LaunchedProcess> LaunchProcessAsUser(const ProcessUser& user,
                                                   const std::wstring& commandLine,
                                                   const std::wstring& directory) {
    using CreateEnvironment = BOOL(WINAPI*)(void**, HANDLE, BOOL);
    using DestroyEnvironment = BOOL(WINAPI*)(void*);
    const auto create = win32::LookUp<CreateEnvironment>(L"userenv.dll", "CreateEnvironmentBlock");
    const auto destroy =
        win32::LookUp<DestroyEnvironment>(L"userenv.dll", "DestroyEnvironmentBlock");
    void* environment = nullptr;
    if (create == nullptr || destroy == nullptr || !create(&environment, user.token.Get(), FALSE)) {
        environment = nullptr;  // the engine's own, rather than none at all
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    wchar_t desktop[] = L"winsta0\\default";
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION created{};
    std::wstring mutableLine = commandLine;  // the create call may write into it
    const BOOL ok =
        CreateProcessAsUserW(user.token.Get(), nullptr, mutableLine.data(), nullptr, nullptr, FALSE,
                             environment != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0, environment,
                             directory.empty() ? nullptr : directory.c_str(), &startup, &created);
    if (environment != nullptr) {
        destroy(environment);
    }
    if (!ok) {
        return std::nullopt;
    }
    return Launched(created);
}

UniqueHandle OpenProcessForWait(std::uint32_t processId) {
    return UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, processId));
}

// Language modules.

ModuleHandle LoadModule(const std::wstring& nameOrPath) {
    return LoadLibraryW(nameOrPath.c_str());
}

ModuleHandle LoadedModule(const std::wstring& name) {
    return GetModuleHandleW(name.c_str());
}

std::wstring LoadModuleString(ModuleHandle module, std::uint32_t id) {
    wchar_t buffer[1024] = {};
    const int length = LoadStringW(static_cast<HMODULE>(module), id, buffer, 1024);
    return length > 0 ? std::wstring(buffer, static_cast<std::size_t>(length)) : std::wstring();
}

}  // namespace cv::platform
