#include "updatetool/TaskScheduling.h"

#include "common/Format.h"
#include "common/WideString.h"
#include "enginehost/EngineHost.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "platform/TaskScheduler.h"
#include "texts/Language.h"
#include "texts/Messages.h"

namespace cv {

namespace {

using platform::TaskStep;

constexpr wchar_t kScheduleService[] = L"Schedule";
constexpr std::uint32_t kSchedulerNotRunningText = 767;
constexpr std::uint32_t kNewTaskFailedText = 864;
constexpr std::uint32_t kSchedulerUnreachableText = 1018;
constexpr wchar_t kTaskAuthor[] = L"Corvane";
constexpr wchar_t kSessionAgentFile[] = L"tarvelsessionagent.exe";

// The text of a failed registration step, "%x" the code and "%s" the task name.
std::wstring StepFailureFormat(TaskStep step) {
    switch (step) {
        case TaskStep::GetRegistrationInfo:
            return L"Cannot get identification pointer: %x";
        case TaskStep::PutAuthor:
            return L"Cannot put identification info: %x";
        case TaskStep::GetSettings:
            return L"Cannot get settings pointer: %x";
        case TaskStep::PutStartWhenAvailable:
            return L"Cannot get setting info pointer: %x";
        case TaskStep::GetPrincipal:
            return L"Cannot get principal pointer: %x";
        case TaskStep::PutRunLevel:
            return L"Cannot put principal run level: %x";
        case TaskStep::GetTriggers:
            return L"Cannot get triggers interface: %x";
        case TaskStep::CreateTrigger:
            return L"Cannot create trigger: %x";
        case TaskStep::QueryLogonTrigger:
            return L"QueryInterface call failed for ILogonTrigger:: %x";
        case TaskStep::PutTriggerId:
            return L"CTaskScheduler error: %x";
        case TaskStep::GetActions:
            return L"Cannot get task collection ptr: %x";
        case TaskStep::CreateAction:
            return L"Cannot create action: %x";
        case TaskStep::QueryExecAction:
            return L"QueryInterface call failed for IExecAction: %x";
        case TaskStep::PutActionPath:
            return L"Can not set path of exe: %x";
        default:
            return L"Error saving task: %x";
    }
}

std::wstring RegistrationFailureText(TaskStep step, std::int32_t result, const std::wstring& name) {
    const auto code = static_cast<std::uint32_t>(result);
    switch (step) {
        case TaskStep::CreateSchedulerObject:
        case TaskStep::Connect:
        case TaskStep::GetRootFolder:
            return FormatText(LoadResourceString(kSchedulerUnreachableText), code, name);
        case TaskStep::NewTask:
            return FormatText(LoadResourceString(kNewTaskFailedText), code);
        default:
            return FormatText(
                StepFailureFormat(step) +
                    L"\nEFFECT: Can not set %s to start at login with elevated rights!",
                code, name);
    }
}

bool IsRunning(const std::optional<platform::ServiceState>& state) {
    return state == platform::ServiceState::Running;
}

std::wstring OwnFolder() {
    const std::wstring image = platform::OwnImagePath();
    const std::size_t slash = image.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : image.substr(0, slash);
}

}  // namespace

bool EnsureTaskSchedulerRunning() {
    if (!IsVistaOrLater()) {
        return false;
    }
    if (IsRunning(platform::QuerySystemServiceState(kScheduleService))) {
        return true;
    }
    platform::EnableDisabledService(kScheduleService);
    const auto state = platform::QuerySystemServiceState(kScheduleService);
    if (state != platform::ServiceState::StartPending && !IsRunning(state)) {
        platform::StartServiceByName(kScheduleService);
    }
    if (IsRunning(platform::QuerySystemServiceState(kScheduleService))) {
        return true;
    }
    ShowMessage({LoadResourceString(kSchedulerNotRunningText), L"Corvane", platform::kMbIconError});
    return true;
}

std::wstring QuoteTaskPath(const std::wstring& path) {
    std::size_t start = 0;
    while (start < path.size() && IsWhiteSpace(path[start])) {
        ++start;
    }
    const std::wstring trimmed = path.substr(start);
    if (StartsWith(trimmed, L"\"")) {
        return trimmed;
    }
    return L"\"" + trimmed + L"\"";
}

bool DeleteSessionAgentTask() {
    platform::InitializeComMultithreaded();
    const bool opened = platform::DeleteTaskInRoot(kSessionAgentTaskName);
    platform::UninitializeCom();
    return opened;
}

bool RegisterLogonTask(const std::wstring& name, const std::wstring& path,
                       const std::wstring& arguments) {
    const auto result =
        platform::RegisterLogonTaskInRoot({name, kTaskAuthor, QuoteTaskPath(path), arguments});
    if (result.Succeeded()) {
        return true;
    }
    ShowMessage({RegistrationFailureText(result.failedStep, result.result, name), name,
                 platform::kMbIconWarning});
    platform::UninitializeCom();
    return false;
}

bool InstallSessionAgentTask(const std::wstring& folder) {
    DeleteSessionAgentTask();
    std::wstring path = folder.empty() ? OwnFolder() : folder;
    if (!EndsWith(path, L"\\")) {
        path += L'\\';
    }
    path += kSessionAgentFile;
    if (platform::PathExists(path)) {
        RegisterLogonTask(kSessionAgentTaskName, path, std::wstring(64, L'-'));
    }
    return false;
}

bool RunTaskByName(const std::wstring& name) {
    if (!IsVistaOrLater()) {
        return false;
    }
    platform::InitializeComMultithreaded();
    const bool ran = platform::RunTaskInRoot(name);
    platform::UninitializeCom();
    return ran;
}

}  // namespace cv
