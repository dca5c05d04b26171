// The running program, the machine facts, the registry, services, launches and message boxes of
// the simulated machine.
#include <algorithm>

#include "common/WideString.h"
#include "platform/Launch.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;
using sim::RegistryValue;

std::wstring OwnCommandLine() {
    return Machine::Get().commandLine;
}
std::uint32_t OwnProcessId() {
    return Machine::Get().ownPid;
}
std::wstring OwnImagePath() {
    return Machine::Get().ownImagePath;
}

bool AttachParentConsole() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    return machine.parentConsole;
}

bool WriteToConsole(const std::wstring& text) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (!machine.parentConsole) {
        return false;
    }
    machine.consoleOutput += text;
    return true;
}

std::wstring WindowsFolder() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    return machine.ShouldFail("GetWindowsDirectory", L"") ? std::wstring() : machine.windowsFolder;
}
std::wstring CurrentDirectory() {
    return Machine::Get().currentDirectory;
}

std::optional<std::wstring> OwnUserName() {
    Machine& machine = Machine::Get();
    if (machine.ShouldFail("GetUserName", L"")) {
        return std::nullopt;
    }
    return machine.userName;
}

std::wstring ComputerName() {
    Machine& machine = Machine::Get();
    return machine.ShouldFail("GetComputerName", L"") ? std::wstring() : machine.computerName;
}

std::uint32_t OsMajorVersion() {
    return Machine::Get().osMajor;
}

bool OsVersionAtLeast(std::uint32_t major, std::uint32_t minor, std::uint16_t servicePackMajor) {
    const Machine& machine = Machine::Get();
    if (machine.osMajor != major) {
        return machine.osMajor > major;
    }
    if (machine.osMinor != minor) {
        return machine.osMinor > minor;
    }
    return machine.servicePackMajor >= servicePackMajor;
}

std::uint16_t UserDefaultUiLanguage() {
    return Machine::Get().uiLanguage;
}
std::uint32_t ProcessorCount() {
    return Machine::Get().processorCount;
}
std::optional<std::uint32_t> OwnIntegrityLevel() {
    return Machine::Get().integrityLevel;
}

void EnableOwnPrivileges(const std::vector<std::wstring>& privilegeNames) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    for (const auto& name : privilegeNames) {
        if (!machine.ShouldFail("AdjustTokenPrivileges", name)) {
            machine.enabledPrivileges.push_back(name);
        }
    }
}

bool SetOwnShutdownParameters(std::uint32_t level, std::uint32_t flags) {
    Machine::Get().shutdownParameters = {level, flags};
    return true;
}

bool LoadSystemLibrary(const std::wstring& name) {
    Machine::Get().loadedSystemLibraries.push_back(name);
    return true;
}

bool SetOwnPriorityClass(std::uint32_t priorityClass) {
    Machine& machine = Machine::Get();
    if (machine.ShouldFail("SetPriorityClass", L"")) {
        return false;
    }
    machine.priorityClass = priorityClass;
    return true;
}

bool SetOwnThreadPriority(int priority) {
    Machine::Get().threadPriority = priority;
    return true;
}

void SetOwnPriorityBoost(bool disable) {
    Machine::Get().priorityBoostDisabled = disable;
}

bool SetOwnProcessInformation(std::uint32_t informationClass, std::uint32_t value) {
    Machine& machine = Machine::Get();
    if (machine.ShouldFail("ZwSetInformationProcess", L"")) {
        return false;
    }
    machine.processInformation[informationClass] = value;
    return true;
}

std::vector<std::uint8_t> NewUuid() {
    Machine& machine = Machine::Get();
    return machine.ShouldFail("UuidCreate", L"") ? std::vector<std::uint8_t>() : machine.nextUuid;
}

void ExitOwnProcess(std::uint32_t exitCode) {
    throw sim::ProcessExitCalled{exitCode};
}

// Registry.

namespace {

const RegistryValue* FindValue(RegistryRoot root, const std::wstring& key,
                               const std::wstring& value) {
    Machine& machine = Machine::Get();
    if (machine.ShouldFail("RegOpenKey", key)) {
        return nullptr;
    }
    auto* found = machine.FindKey(root, key);
    if (found == nullptr) {
        return nullptr;
    }
    const auto it = found->find(ToLower(value));
    return it == found->end() ? nullptr : &it->second;
}

bool WriteValue(RegistryRoot root, const std::wstring& key, RegistryValue entry) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("RegCreateKey", key) || machine.ShouldFail("RegSetValue", entry.name)) {
        return false;
    }
    machine.CreateKey(root, key)[ToLower(entry.name)] = std::move(entry);
    return true;
}

}  // namespace

bool RegistryKeyExists(RegistryRoot root, const std::wstring& key) {
    Machine& machine = Machine::Get();
    return !machine.ShouldFail("RegOpenKey", key) && machine.FindKey(root, key) != nullptr;
}

bool CreateRegistryKey(RegistryRoot root, const std::wstring& key) {
    Machine& machine = Machine::Get();
    if (machine.ShouldFail("RegCreateKey", key)) {
        return false;
    }
    machine.CreateKey(root, key);
    return true;
}

std::optional<std::uint32_t> ReadRegistryDword(RegistryRoot root, const std::wstring& key,
                                               const std::wstring& value) {
    std::lock_guard lock(Machine::Get().Lock());
    const RegistryValue* found = FindValue(root, key, value);
    if (found == nullptr || found->type != RegistryValue::Type::Dword || found->bytes.size() != 4) {
        return std::nullopt;
    }
    return Machine::Get().GetDword(root, key, value);
}

std::optional<std::vector<std::uint8_t>> ReadRegistryBinary(RegistryRoot root,
                                                            const std::wstring& key,
                                                            const std::wstring& value) {
    std::lock_guard lock(Machine::Get().Lock());
    const RegistryValue* found = FindValue(root, key, value);
    if (found == nullptr || found->type != RegistryValue::Type::Binary) {
        return std::nullopt;
    }
    return found->bytes;
}

std::optional<std::wstring> ReadRegistryString(RegistryRoot root, const std::wstring& key,
                                               const std::wstring& value) {
    std::lock_guard lock(Machine::Get().Lock());
    const RegistryValue* found = FindValue(root, key, value);
    if (found == nullptr || found->type != RegistryValue::Type::String) {
        return std::nullopt;
    }
    return found->text;
}

bool WriteRegistryDword(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                        std::uint32_t data) {
    RegistryValue entry;
    entry.name = value;
    entry.type = RegistryValue::Type::Dword;
    for (int i = 0; i < 4; ++i) {
        entry.bytes.push_back(static_cast<std::uint8_t>(data >> (8 * i)));
    }
    return WriteValue(root, key, std::move(entry));
}

bool WriteRegistryBinary(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                         const std::vector<std::uint8_t>& data) {
    RegistryValue entry;
    entry.name = value;
    entry.type = RegistryValue::Type::Binary;
    entry.bytes = data;
    return WriteValue(root, key, std::move(entry));
}

bool WriteRegistryString(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                         const std::wstring& data) {
    RegistryValue entry;
    entry.name = value;
    entry.type = RegistryValue::Type::String;
    entry.text = data;
    return WriteValue(root, key, std::move(entry));
}

bool DeleteRegistryValue(RegistryRoot root, const std::wstring& key, const std::wstring& value) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    auto* found = machine.FindKey(root, key);
    return found != nullptr && found->erase(ToLower(value)) != 0;
}

// Services.

std::optional<ServiceState> QueryServiceState(const std::wstring& serviceName) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const std::wstring name = ToLower(serviceName);
    const auto it = machine.services.find(name);
    if (it == machine.services.end() || machine.ShouldFail("QueryServiceStatus", serviceName)) {
        return std::nullopt;
    }
    auto pending = machine.pendingStops.find(name);
    if (pending != machine.pendingStops.end()) {
        if (pending->second == 0) {
            it->second = ServiceState::Stopped;
            machine.pendingStops.erase(pending);
        } else if (pending->second > 0) {
            --pending->second;
        }
    }
    return it->second;
}

bool SendServiceStop(const std::wstring& serviceName) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const std::wstring name = ToLower(serviceName);
    machine.serviceStopRequests.push_back(serviceName);
    const auto it = machine.services.find(name);
    if (it == machine.services.end() || machine.ShouldFail("ControlService", serviceName)) {
        return false;
    }
    it->second = ServiceState::StopPending;
    machine.pendingStops[name] = machine.serviceStopPolls;
    return true;
}

std::optional<std::vector<ServiceStatusRow>> EnumerateWin32Services() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    ++machine.serviceEnumerations;
    if (machine.ShouldFail("EnumServicesStatusEx", L"")) {
        return std::nullopt;
    }
    return machine.serviceRows;
}

// Launches.

namespace {

UniqueHandle StartSimProcess(const std::string& operation, sim::LaunchCall call) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (call.tokenOfProcess == 0) {
        call.user = machine.userName.value_or(L"SYSTEM");
        call.sessionId = machine.ownSessionId;
    }
    machine.launches.push_back(call);
    if (machine.ShouldFail(operation, call.file)) {
        return {};
    }
    const std::uint32_t pid = machine.nextLaunchPid;
    machine.nextLaunchPid += 4;
    const std::wstring& file = call.file;
    const auto slash = file.find_last_of(L"\\/");
    auto& process =
        machine.AddProcess(pid, slash == std::wstring::npos ? file : file.substr(slash + 1));
    process.imagePath = file;
    process.commandLine = call.parameters;
    process.user = call.user;
    process.sessionId = call.sessionId;
    return UniqueHandle(machine.AddHandle(process.waitObject));
}

// The program is the first word of a command line, quoted or not.
std::wstring ProgramOf(const std::wstring& commandLine) {
    if (!commandLine.empty() && commandLine[0] == L'"') {
        return commandLine.substr(1, commandLine.find(L'"', 1) - 1);
    }
    return commandLine.substr(0, commandLine.find(L' '));
}

std::optional<LaunchedProcess> Launched(UniqueHandle process) {
    if (!process) {
        return std::nullopt;
    }
    Machine& machine = Machine::Get();
    LaunchedProcess launched;
    launched.processId = machine.ProcessOfHandle(process.Get())->pid;
    launched.thread = UniqueHandle(machine.AddHandle(std::make_shared<sim::SimObject>()));
    launched.process = std::move(process);
    return launched;
}

}  // namespace

UniqueHandle ShellExecuteProcess(const std::wstring& verb, const std::wstring& file,
                                 const std::wstring& parameters, const std::wstring& directory) {
    sim::LaunchCall call;
    call.kind = sim::LaunchCall::Kind::ShellExecute;
    call.verb = verb;
    call.file = file;
    call.parameters = parameters;
    call.directory = directory;
    return StartSimProcess("ShellExecuteEx", std::move(call));
}

UniqueHandle CreateProcessWithFlags(const std::wstring& applicationPath,
                                    const std::wstring& commandLine, std::uint32_t creationFlags,
                                    const std::wstring& directory) {
    sim::LaunchCall call;
    call.kind = sim::LaunchCall::Kind::CreateProcess;
    call.file = applicationPath;
    call.parameters = commandLine;
    call.directory = directory;
    call.creationFlags = creationFlags;
    return StartSimProcess("CreateProcess", std::move(call));
}

std::optional<LaunchedProcess> LaunchProcess(const std::wstring& commandLine,
                                             const std::wstring& directory, bool lowIntegrity) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    sim::LaunchCall call;
    call.kind = lowIntegrity ? sim::LaunchCall::Kind::CreateProcessAsUser
                             : sim::LaunchCall::Kind::CreateProcess;
    call.parameters = commandLine;
    call.directory = directory;
    call.lowIntegrity = lowIntegrity;
    call.file = ProgramOf(commandLine);
    return Launched(StartSimProcess(lowIntegrity ? "CreateProcessAsUser" : "CreateProcess", call));
}

std::optional<ProcessUser> OpenProcessUser(std::uint32_t processId, std::uint64_t createTime) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const sim::SimProcess* process = machine.FindProcess(processId);
    if (process == nullptr || process->ended || !process->canOpen ||
        process->createTime != createTime ||
        machine.ShouldFail("OpenProcessToken", process->imageName)) {
        return std::nullopt;
    }
    auto token = std::make_shared<sim::SimObject>();
    token->kind = sim::SimObject::Kind::Token;
    token->tokenUser = process->user;
    token->tokenSession = process->sessionId;
    token->tokenProcess = processId;
    ProcessUser user;
    user.sessionId = process->sessionId;
    user.localSystem = EqualsIgnoreCase(process->user, L"SYSTEM");
    user.token = UniqueHandle(machine.AddHandle(std::move(token)));
    return user;
}

std::optional<LaunchedProcess> LaunchProcessAsUser(const ProcessUser& user,
                                                   const std::wstring& commandLine,
                                                   const std::wstring& directory) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto token = machine.FindObject(user.token.Get());
    if (token == nullptr || token->kind != sim::SimObject::Kind::Token) {
        return std::nullopt;
    }
    sim::LaunchCall call;
    call.kind = sim::LaunchCall::Kind::CreateProcessAsUser;
    call.parameters = commandLine;
    call.directory = directory;
    call.file = ProgramOf(commandLine);
    call.user = token->tokenUser;
    call.sessionId = token->tokenSession;
    call.tokenOfProcess = token->tokenProcess;
    call.userEnvironment = true;
    return Launched(StartSimProcess("CreateProcessAsUser", call));
}

UniqueHandle OpenProcessForWait(std::uint32_t processId) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    sim::SimProcess* process = machine.FindProcess(processId);
    if (process == nullptr || process->ended || !process->canOpen ||
        machine.ShouldFail("OpenProcess", L"")) {
        return {};
    }
    return UniqueHandle(machine.AddHandle(process->waitObject));
}

}  // namespace cv::platform
