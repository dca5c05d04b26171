#pragma once
// Task Scheduler 2.0 through COM: logon tasks in the root folder, run by name. None of these
// exist before Windows 6.0; callers check the version first.
#include <cstdint>
#include <string>

namespace cv::platform {

// CoInitializeEx, multithreaded; true when COM is usable on this thread.
bool InitializeComMultithreaded();
void UninitializeCom();

// The steps of registering a logon task, in order; the one that failed names the message.
enum class TaskStep {
    None,
    CreateSchedulerObject,
    Connect,
    GetRootFolder,
    NewTask,
    GetRegistrationInfo,
    PutAuthor,
    GetSettings,
    PutStartWhenAvailable,
    GetPrincipal,
    PutRunLevel,
    GetTriggers,
    CreateTrigger,
    QueryLogonTrigger,
    PutTriggerId,
    GetActions,
    CreateAction,
    QueryExecAction,
    PutActionPath,
    Register,
};

struct LogonTaskDefinition {
    std::wstring name;
    std::wstring author;
    std::wstring path;  // as the action gets it (already quoted)
    std::wstring arguments;
};

struct TaskRegistrationResult {
    TaskStep failedStep = TaskStep::None;
    std::int32_t result = 0;  // the failing HRESULT
    bool Succeeded() const { return failedStep == TaskStep::None; }
};

// Replaces any task of that name in the root folder with a logon task for the built-in Users
// group at least privilege: start when available, no time limit, batteries ignored, parallel
// instances, enabled.
TaskRegistrationResult RegisterLogonTaskInRoot(const LogonTaskDefinition& definition);
// Deletes the task (its result ignored); true when the root folder could be opened.
bool DeleteTaskInRoot(const std::wstring& name);
// Runs the first visible task of that name (ignoring case) with no parameters; true when it
// started.
bool RunTaskInRoot(const std::wstring& name);

}  // namespace cv::platform
