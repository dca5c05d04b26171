// Task Scheduler 2.0 through COM.
#include "platform/TaskScheduler.h"
#include "platform/win32/WindowsApi.h"

#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>

namespace cv::platform {

namespace {

// {72DADE38-FAE4-4B3E-BAF4-5D009AF02B1C}
constexpr IID kLogonTriggerId = {
    0x72dade38, 0xfae4, 0x4b3e, {0xba, 0xf4, 0x5d, 0x00, 0x9a, 0xf0, 0x2b, 0x1c}};

// A COM interface pointer released when it goes out of scope.
template <typename Interface>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (pointer_ != nullptr) {
            pointer_->Release();
        }
    }
    Interface** Put() { return &pointer_; }
    void** PutVoid() { return reinterpret_cast<void**>(&pointer_); }
    Interface* operator->() const { return pointer_; }
    Interface* Get() const { return pointer_; }

  private:
    Interface* pointer_ = nullptr;
};

class Bstr {
  public:
    explicit Bstr(const std::wstring& text) : text_(SysAllocString(text.c_str())) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(text_); }
    operator BSTR() const { return text_; }

  private:
    BSTR text_;
};

VARIANT EmptyVariant() {
    VARIANT value;
    VariantInit(&value);
    return value;
}

VARIANT TextVariant(const wchar_t* text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text);
    return value;
}

// The scheduler object, connected, and its root folder.
HRESULT OpenRoot(ComPtr<ITaskService>& service, ComPtr<ITaskFolder>& root, TaskStep& failed) {
    HRESULT result = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_ITaskService, service.PutVoid());
    if (FAILED(result)) {
        failed = TaskStep::CreateSchedulerObject;
        return result;
    }
    result = service->Connect(EmptyVariant(), EmptyVariant(), EmptyVariant(), EmptyVariant());
    if (FAILED(result)) {
        failed = TaskStep::Connect;
        return result;
    }
    const Bstr rootPath(L"\\");
    result = service->GetFolder(rootPath, root.Put());
    if (FAILED(result)) {
        failed = TaskStep::GetRootFolder;
    }
    return result;
}

}  // namespace

bool InitializeComMultithreaded() {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return SUCCEEDED(result) || result == RPC_E_CHANGED_MODE;
}

void UninitializeCom() {
    CoUninitialize();
}

TaskRegistrationResult RegisterLogonTaskInRoot(const LogonTaskDefinition& definition) {
    TaskRegistrationResult outcome;
    auto fail = [&outcome](TaskStep step, HRESULT result) {
        outcome.failedStep = step;
        outcome.result = static_cast<std::int32_t>(result);
        return outcome;
    };
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> root;
    TaskStep failed = TaskStep::None;
    HRESULT result = OpenRoot(service, root, failed);
    if (FAILED(result)) {
        return fail(failed, result);
    }
    const Bstr name(definition.name);
    root->DeleteTask(name, 0);

    ComPtr<ITaskDefinition> task;
    if (FAILED(result = service->NewTask(0, task.Put()))) {
        return fail(TaskStep::NewTask, result);
    }
    ComPtr<IRegistrationInfo> info;
    if (FAILED(result = task->get_RegistrationInfo(info.Put()))) {
        return fail(TaskStep::GetRegistrationInfo, result);
    }
    const Bstr author(definition.author);
    if (FAILED(result = info->put_Author(author))) {
        return fail(TaskStep::PutAuthor, result);
    }
    ComPtr<ITaskSettings> settings;
    if (FAILED(result = task->get_Settings(settings.Put()))) {
        return fail(TaskStep::GetSettings, result);
    }
    if (FAILED(result = settings->put_StartWhenAvailable(VARIANT_TRUE))) {
        return fail(TaskStep::PutStartWhenAvailable, result);
    }
    const Bstr noLimit(L"PT0S");
    settings->put_ExecutionTimeLimit(noLimit);
    settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
    settings->put_MultipleInstances(TASK_INSTANCES_PARALLEL);
    settings->put_Enabled(VARIANT_TRUE);

    ComPtr<IPrincipal> principal;
    if (FAILED(result = task->get_Principal(principal.Put()))) {
        return fail(TaskStep::GetPrincipal, result);
    }
    if (FAILED(result = principal->put_RunLevel(TASK_RUNLEVEL_LUA))) {
        return fail(TaskStep::PutRunLevel, result);
    }
    ComPtr<ITriggerCollection> triggers;
    if (FAILED(result = task->get_Triggers(triggers.Put()))) {
        return fail(TaskStep::GetTriggers, result);
    }
    ComPtr<ITrigger> trigger;
    if (FAILED(result = triggers->Create(TASK_TRIGGER_LOGON, trigger.Put()))) {
        return fail(TaskStep::CreateTrigger, result);
    }
    // ILogonTrigger adds nothing the id needs beyond ITrigger, and older SDK headers lack it.
    ComPtr<ITrigger> logon;
    if (FAILED(result = trigger->QueryInterface(kLogonTriggerId, logon.PutVoid()))) {
        return fail(TaskStep::QueryLogonTrigger, result);
    }
    const Bstr triggerId(L"Trigger1");
    if (FAILED(result = logon->put_Id(triggerId))) {
        return fail(TaskStep::PutTriggerId, result);
    }
    ComPtr<IActionCollection> actions;
    if (FAILED(result = task->get_Actions(actions.Put()))) {
        return fail(TaskStep::GetActions, result);
    }
    ComPtr<IAction> action;
    if (FAILED(result = actions->Create(TASK_ACTION_EXEC, action.Put()))) {
        return fail(TaskStep::CreateAction, result);
    }
    ComPtr<IExecAction> exec;
    if (FAILED(result = action->QueryInterface(IID_IExecAction, exec.PutVoid()))) {
        return fail(TaskStep::QueryExecAction, result);
    }
    const Bstr path(definition.path);
    if (FAILED(result = exec->put_Path(path))) {
        return fail(TaskStep::PutActionPath, result);
    }
    const Bstr arguments(definition.arguments);
    exec->put_Arguments(arguments);

    VARIANT users = TextVariant(L"S-1-5-32-545");
    VARIANT noSddl = TextVariant(L"");
    ComPtr<IRegisteredTask> registered;
    result =
        root->RegisterTaskDefinition(name, task.Get(), TASK_CREATE_OR_UPDATE, users, EmptyVariant(),
                                     TASK_LOGON_GROUP, noSddl, registered.Put());
    VariantClear(&users);
    VariantClear(&noSddl);
    if (FAILED(result)) {
        return fail(TaskStep::Register, result);
    }
    return outcome;
}

bool DeleteTaskInRoot(const std::wstring& name) {
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> root;
    TaskStep failed = TaskStep::None;
    if (FAILED(OpenRoot(service, root, failed))) {
        return false;
    }
    const Bstr taskName(name);
    root->DeleteTask(taskName, 0);
    return true;
}

bool RunTaskInRoot(const std::wstring& name) {
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> root;
    TaskStep failed = TaskStep::None;
    if (FAILED(OpenRoot(service, root, failed))) {
        return false;
    }
    ComPtr<IRegisteredTaskCollection> tasks;
    if (FAILED(root->GetTasks(0, tasks.Put()))) {
        return false;
    }
    LONG count = 0;
    if (FAILED(tasks->get_Count(&count))) {
        return false;
    }
    for (LONG i = 1; i <= count; ++i) {
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        ComPtr<IRegisteredTask> task;
        if (FAILED(tasks->get_Item(index, task.Put()))) {
            continue;
        }
        ComPtr<ITaskDefinition> definition;
        BSTR taskName = nullptr;
        if (FAILED(task->get_Definition(definition.Put())) || FAILED(task->get_Name(&taskName))) {
            continue;
        }
        const bool same = taskName != nullptr && _wcsicmp(taskName, name.c_str()) == 0;
        SysFreeString(taskName);
        if (!same) {
            continue;
        }
        VARIANT noParameters;
        VariantInit(&noParameters);
        noParameters.vt = VT_NULL;
        ComPtr<IRunningTask> running;
        if (task->Run(noParameters, running.Put()) == S_OK) {
            return true;
        }
    }
    return false;
}

}  // namespace cv::platform
