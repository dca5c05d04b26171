// The crash handler's calls, dialog-template boxes, system services, the registry trees and
// expandable strings, and the Task Scheduler of the simulated machine.
#include <map>
#include <memory>

#include "common/WideString.h"
#include "platform/CrashDump.h"
#include "platform/Files.h"
#include "platform/KernelObjects.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "platform/TaskScheduler.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;

namespace {

struct PendingDump {
    DumpRequest request;
    std::shared_ptr<sim::SimObject> done;
    std::optional<std::uint32_t> exitCode;
};

std::map<std::uintptr_t, PendingDump>& DumpThreads() {
    static std::map<std::uintptr_t, PendingDump> threads;
    return threads;
}

constexpr std::uint32_t kSimThreadId = 77;
constexpr std::uint32_t kSimDumpThreadId = 78;

bool TaskStepFails(TaskStep step) {
    return Machine::Get().setup.failingTaskStep == static_cast<int>(step);
}

// Creating the scheduler object, connecting and opening the root folder.
TaskStep OpenRootFolder() {
    for (const TaskStep step :
         {TaskStep::CreateSchedulerObject, TaskStep::Connect, TaskStep::GetRootFolder}) {
        if (TaskStepFails(step)) {
            return step;
        }
    }
    return TaskStep::None;
}

}  // namespace

// Crash handling.

void SetProcessCrashFilter(CrashFilterFunction filter) {
    Machine::Get().setup.crashFilter = filter;
}

std::optional<DumpThread> CreateDumpThreadSuspended(const DumpRequest& request) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("CreateThread", L"")) {
        return std::nullopt;
    }
    auto object = std::make_shared<sim::SimObject>();
    object->manualReset = true;
    DumpThread thread;
    thread.thread = UniqueHandle(machine.AddHandle(object));
    thread.threadId = kSimDumpThreadId;
    DumpThreads()[reinterpret_cast<std::uintptr_t>(thread.thread.Get())] = {request, object, {}};
    return thread;
}

bool ResumeThreadHandle(RawHandle thread) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto it = DumpThreads().find(reinterpret_cast<std::uintptr_t>(thread));
    if (it == DumpThreads().end() || it->second.exitCode) {
        return it != DumpThreads().end();
    }
    PendingDump& dump = it->second;
    bool written = false;
    FileOpenResult file = OpenFile(dump.request.path, kGenericWrite, 0, FileCreation::CreateAlways,
                                   kFileAttributeNormal);
    if (file.handle) {
        const char kHeader[] = "MDMP";
        written = !machine.setup.dumpFails && WriteToFile(file.handle.Get(), kHeader, 4);
    }
    if (written) {
        machine.setup.dumpsWritten.push_back(dump.request.path);
    }
    dump.exitCode = written ? 1 : 0;
    dump.done->signalled = true;
    machine.NotifyChange();
    return true;
}

std::optional<std::uint32_t> ThreadExitCode(RawHandle thread) {
    std::lock_guard lock(Machine::Get().Lock());
    const auto it = DumpThreads().find(reinterpret_cast<std::uintptr_t>(thread));
    if (it == DumpThreads().end()) {
        return std::nullopt;
    }
    return it->second.exitCode;
}

std::uint32_t CurrentThreadId() {
    return kSimThreadId;
}

void SuspendOtherThreads(std::uint32_t /*exceptThreadId*/) {
    ++Machine::Get().setup.otherThreadsSuspended;
}

void ResumeOtherThreads(std::uint32_t /*exceptThreadId*/) {
    ++Machine::Get().setup.otherThreadsResumed;
}

// Boxes.

DialogBoxAnswer ShowDialogBox(const DialogBoxRequest& request) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    sim::MessageBoxCall call{
        request.text, request.caption, request.flags, {}, request.checkBoxText};
    for (const auto& button : request.extraButtons) {
        call.extraButtons.push_back(button.text);
    }
    machine.messageBoxes.push_back(std::move(call));
    DialogBoxAnswer answer;
    if (request.cancelEvent != nullptr) {
        const auto object = machine.FindObject(request.cancelEvent);
        if (object && object->signalled) {
            return answer;  // ended by its owner before anyone answered
        }
    }
    answer.button = kIdOk;
    if (!machine.messageBoxAnswers.empty()) {
        answer.button = machine.messageBoxAnswers.front();
        machine.messageBoxAnswers.pop_front();
    }
    if (!machine.setup.checkBoxAnswers.empty()) {
        answer.checked = machine.setup.checkBoxAnswers.front() && !request.checkBoxText.empty();
        machine.setup.checkBoxAnswers.pop_front();
    }
    return answer;
}

bool HasInteractiveDesktop() {
    return Machine::Get().setup.interactiveDesktop;
}

// System services.

std::optional<ServiceState> QuerySystemServiceState(const std::wstring& serviceName) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const auto it = machine.services.find(serviceName);
    if (it == machine.services.end() || machine.ShouldFail("QueryServiceStatus", serviceName)) {
        return std::nullopt;
    }
    return it->second;
}

bool EnableDisabledService(const std::wstring& serviceName) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("ChangeServiceConfig", serviceName)) {
        return false;
    }
    return machine.setup.disabledServices.erase(serviceName) > 0;
}

bool StartServiceByName(const std::wstring& serviceName) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    machine.serviceStartRequests.push_back(serviceName);
    machine.setup.serviceStarts.push_back(serviceName);
    auto it = machine.services.find(serviceName);
    if (it == machine.services.end()) {
        it = machine.services.find(ToLower(serviceName));
    }
    // Windows starts only a stopped service, and never a disabled one.
    if (it == machine.services.end() || it->second != ServiceState::Stopped ||
        machine.setup.disabledServices.count(serviceName) > 0 ||
        machine.ShouldFail("StartService", serviceName)) {
        return false;
    }
    const auto after = machine.setup.stateAfterStart.find(serviceName);
    it->second =
        after == machine.setup.stateAfterStart.end() ? ServiceState::Running : after->second;
    return true;
}

// Registry trees and expandable strings.

std::optional<RegistryText> ReadRegistryText(RegistryRoot root, const std::wstring& key,
                                             const std::wstring& value) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("RegOpenKey", key) || machine.ShouldFail("RegQueryValue", value)) {
        return std::nullopt;
    }
    const auto* found = machine.FindKey(root, key);
    if (found == nullptr) {
        return std::nullopt;
    }
    const auto it = found->find(ToLower(value));
    if (it == found->end() || it->second.type != sim::RegistryValue::Type::String) {
        return std::nullopt;
    }
    return RegistryText{it->second.text, it->second.expand};
}

bool WriteRegistryText(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                       const RegistryText& data) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("RegSetValue", value)) {
        return false;
    }
    sim::RegistryValue entry;
    entry.name = value;
    entry.type = sim::RegistryValue::Type::String;
    entry.text = data.text;
    entry.expand = data.expand;
    machine.CreateKey(root, key)[ToLower(value)] = std::move(entry);
    return true;
}

bool DeleteRegistryTree(RegistryRoot root, const std::wstring& key) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("SHDeleteKey", key)) {
        return false;
    }
    const std::wstring lowered = ToLower(key);
    bool found = false;
    for (auto it = machine.registry.begin(); it != machine.registry.end();) {
        const std::wstring& path = it->first.second;
        if (it->first.first == root && (path == lowered || StartsWith(path, lowered + L"\\"))) {
            it = machine.registry.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

// The shell.

void NotifyShellAssociationsChanged() {
    ++Machine::Get().setup.shellNotifications;
}

// Task Scheduler.

bool InitializeComMultithreaded() {
    ++Machine::Get().setup.comInitializations;
    return !Machine::Get().ShouldFail("CoInitializeEx", L"");
}

void UninitializeCom() {
    ++Machine::Get().setup.comUninitializations;
}

TaskRegistrationResult RegisterLogonTaskInRoot(const LogonTaskDefinition& definition) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    for (int step = static_cast<int>(TaskStep::CreateSchedulerObject);
         step <= static_cast<int>(TaskStep::Register); ++step) {
        if (machine.setup.failingTaskStep == step) {
            // The old task is deleted as soon as the folder is open.
            if (step > static_cast<int>(TaskStep::GetRootFolder)) {
                machine.setup.tasks.erase(ToLower(definition.name));
            }
            return {static_cast<TaskStep>(step), machine.setup.failingTaskResult};
        }
    }
    machine.setup.tasks[ToLower(definition.name)] = {definition.name, definition.author,
                                                     definition.path, definition.arguments};
    return {};
}

bool DeleteTaskInRoot(const std::wstring& name) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (OpenRootFolder() != TaskStep::None) {
        return false;
    }
    machine.setup.tasks.erase(ToLower(name));
    return true;
}

bool RunTaskInRoot(const std::wstring& name) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (OpenRootFolder() != TaskStep::None) {
        return false;
    }
    const auto it = machine.setup.tasks.find(ToLower(name));
    if (it == machine.setup.tasks.end() || it->second.hidden || it->second.runFails) {
        return false;
    }
    machine.setup.taskRuns.push_back(it->second.name);
    return true;
}

}  // namespace cv::platform
