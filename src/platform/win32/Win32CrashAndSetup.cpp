// The crash handler's calls, dialog-template boxes, system services, registry trees and
// expandable strings, and the shell notification on the real machine.
#include <memory>

#include "platform/CrashDump.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "platform/win32/ServiceHandles.h"
#include "platform/win32/WindowsApi.h"

#include <dbghelp.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>

namespace cv::platform {

// Crash handling.

namespace {

CrashFilterFunction installedFilter = nullptr;

LONG WINAPI CrashTrampoline(EXCEPTION_POINTERS* /*exception*/) {
    return installedFilter != nullptr ? installedFilter() : EXCEPTION_CONTINUE_SEARCH;
}

struct DumpContext {
    DumpRequest request;
    DWORD dumpThreadId = 0;
};

DumpCallbackType CallbackTypeOf(ULONG type) {
    switch (type) {
        case ModuleCallback:
            return DumpCallbackType::Module;
        case ThreadCallback:
            return DumpCallbackType::Thread;
        case ThreadExCallback:
            return DumpCallbackType::ThreadEx;
        case IncludeThreadCallback:
            return DumpCallbackType::IncludeThread;
        case IncludeModuleCallback:
            return DumpCallbackType::IncludeModule;
        case MemoryCallback:
            return DumpCallbackType::Memory;
        case CancelCallback:
            return DumpCallbackType::Cancel;
        default:
            return DumpCallbackType::Other;
    }
}

BOOL CALLBACK DumpCallback(PVOID param, const PMINIDUMP_CALLBACK_INPUT input,
                           PMINIDUMP_CALLBACK_OUTPUT output) {
    if (param == nullptr || input == nullptr || output == nullptr) {
        return FALSE;
    }
    const auto* context = static_cast<const DumpContext*>(param);
    DumpCallbackInput decision;
    decision.type = CallbackTypeOf(input->CallbackType);
    if (decision.type == DumpCallbackType::Module) {
        decision.modulePath = input->Module.FullPath != nullptr ? input->Module.FullPath : L"";
        decision.moduleFlags = output->ModuleWriteFlags;
    } else if (decision.type == DumpCallbackType::IncludeThread) {
        decision.threadId = input->IncludeThread.ThreadId;
    }
    const bool answer = DumpCallbackAnswer(context->request, context->dumpThreadId, decision);
    if (decision.type == DumpCallbackType::Module) {
        output->ModuleWriteFlags = decision.moduleFlags;
    }
    return answer ? TRUE : FALSE;
}

DWORD WINAPI DumpThreadMain(LPVOID parameter) {
    std::unique_ptr<DumpContext> context(static_cast<DumpContext*>(parameter));
    context->dumpThreadId = GetCurrentThreadId();
    HANDLE file = CreateFileW(context->request.path.c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    MINIDUMP_CALLBACK_INFORMATION callback{};
    callback.CallbackRoutine = DumpCallback;
    callback.CallbackParam = context.get();
    const BOOL written =
        MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                          static_cast<MINIDUMP_TYPE>(DumpTypeForKind(context->request.kind)),
                          nullptr, nullptr, &callback);
    CloseHandle(file);
    return written ? 1 : 0;
}

void ForEachOtherThread(DWORD exceptThreadId, bool suspend) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD self = GetCurrentProcessId();
    const DWORD current = GetCurrentThreadId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != self || entry.th32ThreadID == exceptThreadId ||
            entry.th32ThreadID == current) {
            continue;
        }
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (thread != nullptr) {
            if (suspend) {
                SuspendThread(thread);
            } else {
                ResumeThread(thread);
            }
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
}

}  // namespace

void SetProcessCrashFilter(CrashFilterFunction filter) {
    installedFilter = filter;
    SetUnhandledExceptionFilter(CrashTrampoline);
}

std::optional<DumpThread> CreateDumpThreadSuspended(const DumpRequest& request) {
    auto context = std::make_unique<DumpContext>();
    context->request = request;
    DWORD threadId = 0;
    HANDLE thread =
        CreateThread(nullptr, 0, DumpThreadMain, context.get(), CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        return std::nullopt;
    }
    context->dumpThreadId = threadId;
    static_cast<void>(context.release());  // the thread owns it now
    DumpThread result;
    result.thread = UniqueHandle(thread);
    result.threadId = threadId;
    return result;
}

bool ResumeThreadHandle(RawHandle thread) {
    return ResumeThread(thread) != static_cast<DWORD>(-1);
}

std::optional<std::uint32_t> ThreadExitCode(RawHandle thread) {
    DWORD code = 0;
    if (!GetExitCodeThread(thread, &code)) {
        return std::nullopt;
    }
    return code;
}

std::uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

void SuspendOtherThreads(std::uint32_t exceptThreadId) {
    ForEachOtherThread(exceptThreadId, true);
}

void ResumeOtherThreads(std::uint32_t exceptThreadId) {
    ForEachOtherThread(exceptThreadId, false);
}

// Boxes built from an in-memory dialog template.

namespace {

constexpr int kCheckBoxId = 1000;
constexpr int kTextId = 1001;
constexpr UINT_PTR kCancelTimer = 1;

// A DLGTEMPLATE with its items, written word by word as the dialog manager reads it.
class DialogTemplate {
  public:
    void Header(DWORD style, WORD itemCount, short width, short height,
                const std::wstring& caption) {
        Dword(style);
        Dword(0);
        Word(itemCount);
        Word(0);
        Word(0);
        Word(static_cast<WORD>(width));
        Word(static_cast<WORD>(height));
        Word(0);  // no menu
        Word(0);  // standard class
        Text(caption);
        Word(9);  // point size of the font
        Text(L"Segoe UI");
    }
    void Item(DWORD style, short x, short y, short width, short height, WORD id, WORD atom,
              const std::wstring& text) {
        Align();
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        for (short value : {x, y, width, height}) {
            Word(static_cast<WORD>(value));
        }
        Word(id);
        Word(0xFFFF);
        Word(atom);
        Text(text);
        Word(0);  // no creation data
    }
    const WORD* Data() const { return words_.data(); }

  private:
    void Word(WORD value) { words_.push_back(value); }
    void Dword(DWORD value) {
        Word(LOWORD(value));
        Word(HIWORD(value));
    }
    void Text(const std::wstring& text) {
        for (wchar_t c : text) {
            Word(static_cast<WORD>(c));
        }
        Word(0);
    }
    void Align() {
        if (words_.size() % 2 != 0) {
            Word(0);
        }
    }
    std::vector<WORD> words_;
};

constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;

struct DialogState {
    const DialogBoxRequest* request = nullptr;
    DialogBoxAnswer answer;
    HICON icon = nullptr;
};

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            state = reinterpret_cast<DialogState*>(lParam);
            if (state->icon != nullptr) {
                SendDlgItemMessageW(dialog, kTextId + 1, STM_SETICON,
                                    reinterpret_cast<WPARAM>(state->icon), 0);
            }
            if (state->request->cancelEvent != nullptr) {
                SetTimer(dialog, kCancelTimer, 200, nullptr);
            }
            if ((state->request->flags & MB_SYSTEMMODAL) != 0 ||
                (state->request->flags & MB_TOPMOST) != 0) {
                SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            }
            SetForegroundWindow(dialog);
            return TRUE;
        case WM_TIMER:
            if (wParam == kCancelTimer && state != nullptr &&
                WaitForSingleObject(state->request->cancelEvent, 0) == WAIT_OBJECT_0) {
                state->answer.button = IDCANCEL;
                EndDialog(dialog, IDCANCEL);
            }
            return TRUE;
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (id == kCheckBoxId || state == nullptr) {
                return TRUE;
            }
            state->answer.button = id;
            state->answer.checked = IsDlgButtonChecked(dialog, kCheckBoxId) == BST_CHECKED;
            KillTimer(dialog, kCancelTimer);
            EndDialog(dialog, id);
            return TRUE;
        }
        case WM_CLOSE:
            if (state != nullptr) {
                state->answer.button = IDCANCEL;
            }
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

std::vector<DialogButton> StandardButtons(std::uint32_t flags) {
    switch (flags & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return {{IDOK, L"OK"}, {IDCANCEL, L"Cancel"}};
        case MB_YESNOCANCEL:
            return {{IDYES, L"&Yes"}, {IDNO, L"&No"}, {IDCANCEL, L"Cancel"}};
        case MB_YESNO:
            return {{IDYES, L"&Yes"}, {IDNO, L"&No"}};
        default:
            return {{IDOK, L"OK"}};
    }
}

HICON IconOf(std::uint32_t flags) {
    switch (flags & MB_ICONMASK) {
        case MB_ICONERROR:
            return LoadIconW(nullptr, IDI_ERROR);
        case MB_ICONWARNING:
            return LoadIconW(nullptr, IDI_WARNING);
        case MB_ICONQUESTION:
            return LoadIconW(nullptr, IDI_QUESTION);
        case MB_ICONINFORMATION:
            return LoadIconW(nullptr, IDI_INFORMATION);
        default:
            return nullptr;
    }
}

}  // namespace

DialogBoxAnswer ShowDialogBox(const DialogBoxRequest& request) {
    std::vector<DialogButton> buttons = StandardButtons(request.flags);
    buttons.insert(buttons.end(), request.extraButtons.begin(), request.extraButtons.end());
    // Layout in dialog units: icon, text as many lines as it needs, check box, button row.
    int lines = 1;
    int column = 0;
    for (wchar_t c : request.text) {
        if (c == L'\n' || ++column > 70) {
            ++lines;
            column = 0;
        }
    }
    const short buttonWidth = 56;
    const short width = static_cast<short>(
        std::max<int>(300, 12 + static_cast<int>(buttons.size()) * (buttonWidth + 6)));
    const short textHeight = static_cast<short>(std::min(lines * 9, 300));
    const bool hasCheckBox = !request.checkBoxText.empty();
    const short checkY = static_cast<short>(14 + textHeight);
    const short buttonY = static_cast<short>(checkY + (hasCheckBox ? 16 : 4));
    const short height = static_cast<short>(buttonY + 22);
    const WORD items = static_cast<WORD>(2 + buttons.size() + (hasCheckBox ? 1 : 0));

    DialogTemplate dialog;
    dialog.Header(DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU,
                  items, width, height, request.caption);
    dialog.Item(SS_ICON, 8, 8, 20, 20, static_cast<WORD>(kTextId + 1), kStaticAtom, L"");
    dialog.Item(SS_LEFT | SS_NOPREFIX, 36, 8, static_cast<short>(width - 44), textHeight,
                static_cast<WORD>(kTextId), kStaticAtom, request.text);
    if (hasCheckBox) {
        dialog.Item(BS_AUTOCHECKBOX | WS_TABSTOP, 36, checkY, static_cast<short>(width - 44), 10,
                    static_cast<WORD>(kCheckBoxId), kButtonAtom, request.checkBoxText);
    }
    short x = static_cast<short>(width - 6 - static_cast<int>(buttons.size()) * (buttonWidth + 6));
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        dialog.Item((i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP, x, buttonY,
                    buttonWidth, 14, static_cast<WORD>(buttons[i].id), kButtonAtom,
                    buttons[i].text);
        x = static_cast<short>(x + buttonWidth + 6);
    }

    DialogState state;
    state.request = &request;
    state.icon = IconOf(request.flags);
    const INT_PTR result = DialogBoxIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(dialog.Data()), nullptr,
        DialogProc, reinterpret_cast<LPARAM>(&state));
    if (result <= 0) {
        // The box could not be made: the plain system box still tells the user.
        state.answer.button = MessageBoxW(nullptr, request.text.c_str(), request.caption.c_str(),
                                          request.flags | MB_SETFOREGROUND);
    }
    return state.answer;
}

bool HasInteractiveDesktop() {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) {
        return false;
    }
    USEROBJECTFLAGS flags{};
    HWINSTA station = GetProcessWindowStation();
    if (station == nullptr ||
        !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr)) {
        return false;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// System services.

using win32::ServiceHandle;
using win32::StateOf;

std::optional<ServiceState> QuerySystemServiceState(const std::wstring& serviceName) {
    const ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | READ_CONTROL));
    if (manager.Get() == nullptr) {
        return std::nullopt;
    }
    const ServiceHandle service(OpenServiceW(manager.Get(), serviceName.c_str(),
                                             SERVICE_QUERY_STATUS | SERVICE_INTERROGATE));
    SERVICE_STATUS status{};
    if (service.Get() == nullptr || !QueryServiceStatus(service.Get(), &status)) {
        return std::nullopt;
    }
    return StateOf(status.dwCurrentState);
}

bool EnableDisabledService(const std::wstring& serviceName) {
    const ServiceHandle manager(OpenSCManagerW(
        nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_LOCK));
    if (manager.Get() == nullptr) {
        return false;
    }
    const ServiceHandle service(
        OpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (service.Get() == nullptr) {
        return false;
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    const DWORD size = std::min<DWORD>(needed + 1024, 8192);
    std::vector<std::uint8_t> buffer(size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.Get(), config, size, &needed) ||
        config->dwStartType != SERVICE_DISABLED) {
        return false;
    }
    if (!ChangeServiceConfigW(service.Get(), config->dwServiceType, SERVICE_DEMAND_START,
                              config->dwErrorControl, config->lpBinaryPathName,
                              config->lpLoadOrderGroup, nullptr, config->lpDependencies,
                              config->lpServiceStartName, nullptr, config->lpDisplayName)) {
        return false;
    }
    NotifyBootConfigStatus(TRUE);
    return true;
}

// Registry trees and expandable strings.

std::optional<RegistryText> ReadRegistryText(RegistryRoot root, const std::wstring& key,
                                             const std::wstring& value) {
    HKEY opened = nullptr;
    HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    if (RegOpenKeyExW(rootKey, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    // Asked for its size first and again while it grows between the calls: a value may be far
    // longer than any fixed buffer.
    std::vector<wchar_t> buffer;
    DWORD type = 0;
    LSTATUS status = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        status = RegQueryValueExW(opened, value.c_str(), nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS) {
            break;
        }
        buffer.assign(size / sizeof(wchar_t) + 2, L'\0');
        size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
        status = RegQueryValueExW(opened, value.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (status == ERROR_SUCCESS) {
            buffer.resize(size / sizeof(wchar_t) + 1, L'\0');
        }
    }
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    // Up to the first terminating zero, whether or not the value was stored with one.
    return RegistryText{std::wstring(buffer.data()), type == REG_EXPAND_SZ};
}

bool WriteRegistryText(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                       const RegistryText& data) {
    HKEY opened = nullptr;
    HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    if (RegCreateKeyExW(rootKey, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &opened,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LSTATUS status =
        RegSetValueExW(opened, value.c_str(), 0, data.expand ? REG_EXPAND_SZ : REG_SZ,
                       reinterpret_cast<const BYTE*>(data.text.c_str()),
                       static_cast<DWORD>((data.text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
    return status == ERROR_SUCCESS;
}

bool DeleteRegistryTree(RegistryRoot root, const std::wstring& key) {
    HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    if (SHDeleteKeyW(rootKey, key.c_str()) != ERROR_SUCCESS) {
        return false;
    }
    RegDeleteKeyW(rootKey, key.c_str());
    return true;
}

// Files and the shell.

bool CopyFileReplacing(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool RemoveEmptyFolder(const std::wstring& path) {
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

void NotifyShellAssociationsChanged() {
    SHChangeNotify(SHCNE_ASSOCCHANGED, 0x8000000, nullptr, nullptr);
}

}  // namespace cv::platform
