// The real backend under Wine: each operation against the real system calls.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/Launch.h"
#include "platform/Registry.h"
#include "platform/Resources.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "texts/Language.h"

namespace cv::platform {
namespace {

std::wstring UniqueName(const wchar_t* base) {
    return std::wstring(base) + std::to_wstring(GetCurrentProcessId());
}

TEST(KernelObjectsWin, NamedEventsOpenSetAndConsume) {
    const std::wstring name = L"Local\\cv-test-event-" + UniqueName(L"");
    UniqueHandle autoReset = CreateEventObject(name, false, false, ObjectSecurity::Open);
    ASSERT_TRUE(autoReset);
    UniqueHandle opened = OpenEventObject(name, kSynchronize | kEventModifyState);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(IsSignalled(autoReset.Get()));
    EXPECT_TRUE(SetEventObject(opened.Get()));
    EXPECT_TRUE(IsSignalled(autoReset.Get()));
    EXPECT_FALSE(IsSignalled(autoReset.Get()));  // consumed by the first test
    EXPECT_EQ(WaitForObject(autoReset.Get(), 30), WaitResult::TimedOut);

    // Creating it again opens the same object.
    UniqueHandle again = CreateEventObject(name, true, true, ObjectSecurity::Default);
    ASSERT_TRUE(again);
    EXPECT_FALSE(IsSignalled(autoReset.Get()));

    EXPECT_FALSE(OpenEventObject(name + L"-missing", kSynchronize));
    EXPECT_FALSE(IsSignalled(nullptr));
}

TEST(KernelObjectsWin, GlobalObjectsAndMutexes) {
    const std::wstring name = L"Global\\cv-test-mutex-" + UniqueName(L"");
    UniqueHandle mutex = CreateMutexObject(name, true, ObjectSecurity::Open);
    ASSERT_TRUE(mutex);
    UniqueHandle opened = OpenMutexObject(name, kSynchronize);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(ReleaseMutexObject(mutex.Get()));
    EXPECT_EQ(WaitForObject(opened.Get(), 100), WaitResult::Signalled);
    EXPECT_TRUE(ReleaseMutexObject(opened.Get()));
    mutex.Reset();
    opened.Reset();
    EXPECT_FALSE(OpenMutexObject(name, kSynchronize));  // gone with its last handle
}

TEST(RegistryWin, ValuesUnderAThrowAwayKey) {
    const std::wstring key = L"Software\\CorvaneTests\\" + UniqueName(L"run");
    const auto root = RegistryRoot::CurrentUser;
    EXPECT_FALSE(RegistryKeyExists(root, key));
    EXPECT_FALSE(ReadRegistryDword(root, key, L"Missing"));
    ASSERT_TRUE(WriteRegistryDword(root, key, L"Dword", 0x12345678));
    ASSERT_TRUE(WriteRegistryBinary(root, key, L"Binary", {1, 2, 3, 4, 5}));
    ASSERT_TRUE(WriteRegistryString(root, key, L"Text", L"caf\u00E9"));
    EXPECT_TRUE(RegistryKeyExists(root, key));
    EXPECT_EQ(ReadRegistryDword(root, key, L"dword"), 0x12345678u);  // names ignore case
    EXPECT_EQ(ReadRegistryBinary(root, key, L"Binary"), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ReadRegistryString(root, key, L"Text"), L"caf\u00E9");
    EXPECT_FALSE(ReadRegistryDword(root, key, L"Binary"));  // wrong type
    EXPECT_TRUE(DeleteRegistryValue(root, key, L"Dword"));
    EXPECT_FALSE(ReadRegistryDword(root, key, L"Dword"));
    EXPECT_FALSE(DeleteRegistryValue(root, key, L"Dword"));
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\CorvaneTests");
}

TEST(SystemWin, FactsAboutTheProgramAndTheMachine) {
    EXPECT_EQ(OwnProcessId(), GetCurrentProcessId());
    EXPECT_NE(OwnImagePath().find(L"cv_win_tests.exe"), std::wstring::npos);
    EXPECT_NE(OwnCommandLine().find(L"cv_win_tests"), std::wstring::npos);
    EXPECT_FALSE(CurrentDirectory().empty());
    const auto user = OwnUserName();
    ASSERT_TRUE(user.has_value());
    EXPECT_FALSE(user->empty());
    EXPECT_FALSE(ComputerName().empty());
    EXPECT_GE(ProcessorCount(), 1u);
    EXPECT_GE(OsMajorVersion(), 6u);
    EXPECT_TRUE(OsVersionAtLeast(6, 0, 0));
    EXPECT_FALSE(OsVersionAtLeast(99, 0, 0));
    EXPECT_NE(UserDefaultUiLanguage(), 0);
    // The tick clock moves on while the program sleeps (its step can be coarse).
    const auto started = TickCount64();
    for (int i = 0; i < 50 && TickCount64() == started; ++i) {
        SleepMs(20);
    }
    EXPECT_GT(TickCount64(), started);
}

TEST(SystemWin, OwnSchedulingSettings) {
    EXPECT_TRUE(SetOwnPriorityClass(kHighPriorityClass));
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(HIGH_PRIORITY_CLASS));
    EXPECT_TRUE(SetOwnPriorityClass(NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(SetOwnThreadPriority(kThreadPriorityHighest));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    SetOwnThreadPriority(THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetOwnShutdownParameters(0x110, kShutdownNoRetry));
    EXPECT_TRUE(LoadSystemLibrary(L"psapi.dll"));
    // The native memory and I/O priority classes: the entry point must resolve; Wine may refuse
    // the classes themselves, which the engine ignores.
    const bool page = SetOwnProcessInformation(kProcessPagePriorityClass, 5);
    const bool io = SetOwnProcessInformation(kProcessIoPriorityClass, 2);
    RecordProperty("page_priority_supported", page ? "yes" : "no");
    RecordProperty("io_priority_supported", io ? "yes" : "no");
    EXPECT_TRUE(OwnIntegrityLevel().has_value() || !OwnIntegrityLevel().has_value());
}

TEST(LaunchWin, StartAndWaitForAProgram) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    UniqueHandle process = CreateProcessWithFlags(cmd, L"cmd.exe /c exit 3", 0, L"");
    ASSERT_TRUE(process);
    ASSERT_EQ(WaitForObject(process.Get(), 20000), WaitResult::Signalled);
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    EXPECT_EQ(code, 3u);

    EXPECT_TRUE(OpenProcessForWait(GetCurrentProcessId()));
    EXPECT_FALSE(OpenProcessForWait(0));
    EXPECT_FALSE(CreateProcessWithFlags(L"C:\\no\\such\\program.exe", L"x", 0, L""));
}

TEST(ServicesWin, UnknownServiceHasNoState) {
    EXPECT_FALSE(QueryServiceState(L"NoSuchServiceCorvane").has_value());
    EXPECT_FALSE(SendServiceStop(L"NoSuchServiceCorvane"));
}

TEST(ResourcesWin, EnglishModuleLoadsFromTheProgramFolder) {
    ModuleHandle english = LoadModule(L"cv_rsrc_english.dll");
    ASSERT_NE(english, nullptr);
    EXPECT_EQ(LoadedModule(L"cv_rsrc_english.dll"), english);
    EXPECT_EQ(LoadModuleString(english, 214), L"Corvane");
    EXPECT_EQ(LoadModuleString(english, 250), L"all users");
    EXPECT_EQ(LoadModuleString(english, 59999), L"");
    EXPECT_EQ(LoadModule(L"cv_rsrc_nosuchlanguage.dll"), nullptr);

    ResetLanguageState();
    LoadLanguageModule();
    EXPECT_EQ(CurrentLanguageModuleName(), L"cv_rsrc_english.dll");
    EXPECT_EQ(LoadResourceString(307).find(L"%s") != std::wstring::npos, true);
}

}  // namespace
}  // namespace cv::platform
