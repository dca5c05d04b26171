#include "engine/EngineEntry.h"

#include <cstdlib>
#include <thread>

#include "actionlog/EngineTexts.h"
#include "engine/CommandLine.h"
#include "engine/ConfigCheckCommand.h"
#include "engine/ExplainCommand.h"
#include "engine/ControlLoop.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/Launch.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "platform/Threads.h"
#include "runtime/CrashReports.h"
#include "runtime/EngineProcess.h"
#include "texts/KernelObjectNames.h"
#include "texts/Language.h"
#include "texts/Messages.h"

namespace cv {

namespace {

constexpr std::uint32_t kStartingText = 233;
constexpr std::uint32_t kStopRequestedText = 429;
constexpr std::uint32_t kAlreadyRunningText = 430;

void ShowEngineMessage(std::uint32_t textId, std::uint32_t flags) {
    ShowMessage({EngineText(textId), EngineText(kCaptionText), flags});
}

void EnablePrivileges() {
    platform::EnableOwnPrivileges({L"SeAssignPrimaryTokenPrivilege", L"SeDebugPrivilege",
                                   L"SeChangeNotifyPrivilege", L"SeIncreaseBasePriorityPrivilege",
                                   L"SeIncreaseQuotaPrivilege", L"SeProfileSingleProcessPrivilege",
                                   L"SeCreateGlobalPrivilege", L"SeBackupPrivilege",
                                   L"SeRestorePrivilege"});
}

// Under a service account the per-user language values would hide the machine-wide ones.
void ResetLanguageForServiceAccount() {
    const auto user = platform::OwnUserName();
    if (user && !user->empty() && !IsServiceAccountName(*user)) {
        return;
    }
    using platform::RegistryRoot;
    platform::CreateRegistryKey(RegistryRoot::CurrentUser, L"Software\\Corvane");
    for (const wchar_t* value : {L"InstallerLanguageDWORD", L"InstallerLanguage", L"Language"}) {
        platform::DeleteRegistryValue(RegistryRoot::CurrentUser, L"Software\\Corvane", value);
    }
}

void WaitForRestartedEngine(std::uint32_t processId) {
    const platform::UniqueHandle process = platform::OpenProcessForWait(processId);
    if (process) {
        platform::WaitForObject(process.Get(), 15000);
    } else {
        platform::SleepMs(1500);
    }
}

void RequestEngineExit() {
    if (IsServiceInstalled() && !StopEngineService()) {
        platform::UniqueHandle net = LaunchWithElevation(L"net.exe", L"stop Vigilor");
    }
    for (const bool global : {true, false}) {
        const platform::UniqueHandle exitEvent = platform::OpenEventObject(
            names::EngineObjectName(names::kExitEvent, global), platform::kEventModifyState);
        if (exitEvent) {
            platform::SetEventObject(exitEvent.Get());
        }
    }
    if (ProcessValues().ManualStart) {
        ShowEngineMessage(kStopRequestedText, platform::kMbOk);
    }
}

bool AnotherEngineRuns() {
    for (const bool global : {true, false}) {
        const platform::UniqueHandle mutex = platform::OpenMutexObject(
            names::EngineObjectName(names::kSingleInstanceMutex, global), platform::kSynchronize);
        if (mutex) {
            return true;
        }
    }
    return false;
}

void RaiseOwnScheduling() {
    platform::SetOwnPriorityClass(platform::kHighPriorityClass);
    platform::SetOwnThreadPriority(platform::kThreadPriorityHighest);
    platform::SetOwnPriorityBoost(false);
    if (IsVistaOrLater()) {
        platform::SetOwnProcessInformation(platform::kProcessPagePriorityClass, 5);
        platform::SetOwnProcessInformation(platform::kProcessIoPriorityClass, 2);
    }
}

}  // namespace

int RunEngine() {
    // Random numbers differ from run to run.
    std::srand(static_cast<unsigned>(platform::TickCount64()));
    // The rights the engine needs, and crash reports from here on.
    EnablePrivileges();
    InstallCrashFilter();
    // The language of messages and records.
    ResetLanguageForServiceAccount();
    SelectLanguage();
    LoadEngineMessageTexts();

    // The command line: a restart waits for the old engine; /exit, /check and /explain end here.
    const CommandLineSwitches switches =
        ParseCommandLine(platform::OwnCommandLine(), platform::CurrentDirectory());
    if (switches.restartProcessId) {
        WaitForRestartedEngine(*switches.restartProcessId);
    }
    ProcessValues().ManualStart = switches.manual;
    if (switches.exit) {
        RequestEngineExit();
        return 0;
    }
    if (switches.configFolder) {
        ProcessValues().ConfigFolderOverride = *switches.configFolder;
    }
    if (switches.check) {
        return RunConfigCheck(*switches.check);
    }
    if (switches.explain) {
        return RunExplain(*switches.explain);
    }
    if (switches.logFolder) {
        ProcessValues().LogFolderOverride = *switches.logFolder;
    }

    // One engine at a time.
    if (AnotherEngineRuns()) {
        if (ProcessValues().ManualStart) {
            ShowEngineMessage(kAlreadyRunningText, platform::kMbIconError);
        }
        return 0;
    }
    if (ProcessValues().ManualStart) {
        ShowEngineMessage(kStartingText, platform::kMbOk);
    }

    // Shut down late with the system, and run ahead of the programs it manages.
    platform::SetOwnShutdownParameters(0x110, platform::kShutdownNoRetry);
    platform::LoadSystemLibrary(L"psapi.dll");
    RaiseOwnScheduling();

    // The control thread does the work; this one only waits for it.
    // A service has nobody to answer a box, and a crash there only ends the process.
    const bool service = IsServiceInstalled();
    SetCrashRunningAsService(service);
    SetMessagesSilenced(service);
    ControlLoop loop;
    // The control thread matches rules: it gets room for a regular-expression search.
    platform::WorkerThread control;
    if (!control.Start([&loop] { loop.Run(); }, platform::kMatchingThreadStackReserve,
                       platform::kThreadPriorityNormal)) {
        loop.Run();
    }
    control.Join();
    platform::SetEventObject(loop.ExitEvent());
    return 0;
}

}  // namespace cv
