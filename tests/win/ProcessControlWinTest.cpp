// The process control operations with the real calls, on child processes each test starts and
// ends itself. Calls that Wine does not carry out are recorded as test properties
// ("..._supported" = "no") and their logic is covered on the simulated machine.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <bit>
#include <string>

#include "control/ProcessControl.h"
#include "control/ProcessorTopology.h"
#include "platform/Handle.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"

namespace cv {
namespace {

using platform::UniqueHandle;

std::wstring TestFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

// A started program, ended and closed when the test is done with it.
class Child {
  public:
    explicit Child(const std::wstring& commandLine) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        std::wstring line = commandLine;
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &info)) {
            process_.Reset(info.hProcess);
            thread_.Reset(info.hThread);
            pid_ = info.dwProcessId;
            threadId_ = info.dwThreadId;
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (process_ && WaitForSingleObject(process_.Get(), 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_.Get(), 77);
            WaitForSingleObject(process_.Get(), 10000);
        }
    }
    static Child Sleeper(int milliseconds = 60000) {
        return Child(L"\"" + TestFolder() + L"\\cv_e2e_sleeper.exe\" " +
                     std::to_wstring(milliseconds));
    }
    bool Started() const { return process_.IsValid(); }
    std::uint32_t Pid() const { return pid_; }
    std::uint32_t ThreadId() const { return threadId_; }
    HANDLE Process() const { return process_.Get(); }
    HANDLE Thread() const { return thread_.Get(); }
    // The exit code once it ended within the time-out; STILL_ACTIVE otherwise.
    DWORD ExitCodeAfter(DWORD timeoutMs) const {
        WaitForSingleObject(process_.Get(), timeoutMs);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.Get(), &code);
        return code;
    }

  private:
    UniqueHandle process_;
    UniqueHandle thread_;
    std::uint32_t pid_ = 0;
    std::uint32_t threadId_ = 0;
};

#define START_SLEEPER(name)              \
    const Child name = Child::Sleeper(); \
    ASSERT_TRUE(name.Started()) << "cv_e2e_sleeper.exe must be built next to the tests"

void RecordSupport(const char* name, bool supported) {
    ::testing::Test::RecordProperty(std::string(name) + "_supported", supported ? "yes" : "no");
}

constexpr std::uint32_t kNoSuchProcess = 0xFFFFFFF0;

TEST(ProcessControlWin, PriorityClass) {
    START_SLEEPER(child);
    EXPECT_TRUE(ChangePriorityClass(child.Pid(), BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(child.Process()), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(QueryPriorityClass(child.Pid()), BELOW_NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(platform::GetProcessPriorityClass(child.Process()),
              static_cast<std::uint32_t>(BELOW_NORMAL_PRIORITY_CLASS));

    std::uint32_t applied = 0;
    ChangePriorityClass(child.Pid(), IDLE_PRIORITY_CLASS, &applied);
    EXPECT_EQ(applied, static_cast<std::uint32_t>(IDLE_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(child.Process()), static_cast<DWORD>(IDLE_PRIORITY_CLASS));
    applied = 0;
    ChangePriorityClass(child.Pid(), 0x1234, &applied);  // not a class
    EXPECT_EQ(applied, 0u);

    EXPECT_FALSE(ChangePriorityClass(kNoSuchProcess, NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(QueryPriorityClass(kNoSuchProcess), -1);
}

TEST(ProcessControlWin, AffinityAndGroups) {
    START_SLEEPER(child);
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(child.Process(), &processMask, &systemMask));
    EXPECT_EQ(platform::ActiveProcessorMask() & systemMask, systemMask);

    EXPECT_TRUE(ChangeAffinity(child.Pid(), 0x1));
    GetProcessAffinityMask(child.Process(), &processMask, &systemMask);
    EXPECT_EQ(processMask, 0x1u);
    EXPECT_EQ(platform::GetProcessAffinity(child.Process()), 0x1u);

    // Processors beyond the machine are dropped, not refused.
    EXPECT_TRUE(ChangeAffinityWithGroup(child.Pid(), ~std::uint64_t{0}, kNoProcessorGroup));
    GetProcessAffinityMask(child.Process(), &processMask, &systemMask);
    EXPECT_EQ(processMask, platform::ActiveProcessorMask());

    if (GetActiveProcessorGroupCount() == 1) {
        EXPECT_FALSE(ChangeAffinityWithGroup(child.Pid(), 0x1, 0));
        GetProcessAffinityMask(child.Process(), &processMask, &systemMask);
        EXPECT_EQ(processMask, 0x1u);  // the plain mask is still applied
    }

    const auto groups = QueryProcessGroups(child.Pid());
    RecordSupport("process_groups", !groups.empty());
    if (!groups.empty()) {
        EXPECT_EQ(groups, std::vector<std::uint16_t>{0});
        EXPECT_FALSE(SpansSeveralGroups(child.Process()));
    }
    RecordSupport("process_group_affinity_class",
                  platform::SetProcessGroupAffinity(child.Process(), 0x1, 0));

    const auto threads = platform::ThreadIdsOfProcess(child.Pid());
    EXPECT_NE(std::find(threads.begin(), threads.end(), child.ThreadId()), threads.end());
    EXPECT_TRUE(platform::ThreadIdsOfProcess(kNoSuchProcess).empty());
    EXPECT_TRUE(platform::SetThreadGroupAffinityById(child.ThreadId(), 0x1, 0));
    GROUP_AFFINITY threadAffinity{};
    if (GetThreadGroupAffinity(child.Thread(), &threadAffinity)) {
        EXPECT_EQ(threadAffinity.Mask, 0x1u);
        EXPECT_EQ(threadAffinity.Group, 0);
    }
}

TEST(ProcessControlWin, IoAndMemoryPriority) {
    START_SLEEPER(child);
    const auto io = platform::GetIoPriority(child.Pid());
    const bool ioSet = platform::SetIoPriority(child.Pid(), 1);
    RecordSupport("io_priority", io.has_value() && ioSet);
    if (io && ioSet) {
        EXPECT_EQ(platform::GetIoPriority(child.Pid()), 1u);
    }
    const std::int32_t memory = QueryMemoryPriority(child.Pid());
    const bool memorySet = ChangeMemoryPriority(child.Pid(), 3);
    RecordSupport("memory_priority", memory >= 0 && memorySet);
    if (memory >= 0 && memorySet) {
        EXPECT_EQ(QueryMemoryPriority(child.Pid()), 3);
    }
    EXPECT_FALSE(platform::GetIoPriority(kNoSuchProcess));
    EXPECT_FALSE(platform::SetIoPriority(kNoSuchProcess, 2));
    EXPECT_EQ(QueryMemoryPriority(kNoSuchProcess), -1);
}

TEST(ProcessControlWin, EfficiencyModeAndTimerResolution) {
    START_SLEEPER(child);
    const int before = QueryEfficiencyMode(child.Pid());
    const bool set = ChangeEfficiencyMode(child.Pid(), true);
    RecordSupport("efficiency_mode_get", before >= 0);
    RecordSupport("efficiency_mode_set", set);
    if (before >= 0 && set) {
        EXPECT_EQ(QueryEfficiencyMode(child.Pid()), 1);
        EXPECT_TRUE(ChangeEfficiencyMode(child.Pid(), false));
        EXPECT_EQ(QueryEfficiencyMode(child.Pid()), 0);
    }
    RecordSupport("honour_timer_resolution", platform::HonourOwnTimerResolution());
    EXPECT_EQ(QueryEfficiencyMode(kNoSuchProcess), -1);
    EXPECT_FALSE(ChangeEfficiencyMode(kNoSuchProcess, true));
}

TEST(ProcessControlWin, PriorityBoost) {
    START_SLEEPER(child);
    EXPECT_TRUE(platform::GetPriorityBoostEnabled(child.Process()));
    EXPECT_TRUE(ChangePriorityBoost(child.Pid(), false));
    BOOL disabled = FALSE;
    ASSERT_TRUE(GetProcessPriorityBoost(child.Process(), &disabled));
    RecordSupport("priority_boost_stored", disabled != FALSE);
    EXPECT_EQ(platform::GetPriorityBoostEnabled(child.Process()), disabled == FALSE);
    EXPECT_EQ(platform::ReadPriorityBoostEnabled(child.Process()),
              std::optional(disabled == FALSE));
    EXPECT_TRUE(ChangePriorityBoost(child.Pid(), true));
    EXPECT_TRUE(platform::GetPriorityBoostEnabled(child.Process()));
    EXPECT_EQ(platform::ReadPriorityBoostEnabled(child.Process()), std::optional(true));
    EXPECT_FALSE(ChangePriorityBoost(kNoSuchProcess, true));
    EXPECT_TRUE(platform::GetPriorityBoostEnabled(nullptr));  // unreadable counts as enabled
    // Windows fails the read of a null handle; Wine's GetProcessPriorityBoost answers any handle.
    RecordSupport("priority_boost_read_fails", !platform::ReadPriorityBoostEnabled(nullptr));
}

TEST(ProcessControlWin, CpuSets) {
    ResetProcessControlState();
    const auto system = platform::SystemCpuSets();
    RecordSupport("system_cpu_sets", system.has_value());
    if (system) {
        EXPECT_EQ(system->size(), GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
        const CpuSetCatalogue& catalogue = SystemCpuSetCatalogue();
        for (std::uint8_t index = 0; index < GetActiveProcessorCount(0) && index < 64; ++index) {
            const auto id = catalogue.IdOf(0, index);
            ASSERT_TRUE(id) << int{index};
            ASSERT_NE(catalogue.Find(*id), nullptr);
            EXPECT_EQ(catalogue.Find(*id)->logicalProcessorIndex, index);
        }
    }
    START_SLEEPER(child);
    RecordSupport("process_cpu_sets", platform::CpuSetFunctionsAvailable());
    if (!platform::CpuSetFunctionsAvailable()) {
        EXPECT_FALSE(QueryDefaultCpuSets(child.Process()));
        EXPECT_FALSE(ChangeDefaultCpuSets(child.Pid(), {{0, 0x1}}));
        EXPECT_FALSE(ChangeDefaultCpuSets(child.Pid(), {}));
        return;
    }
    EXPECT_EQ(QueryDefaultCpuSets(child.Process()), std::vector<GroupAffinity>());
    ASSERT_TRUE(ChangeDefaultCpuSets(child.Pid(), {{0, 0x1}}));
    EXPECT_EQ(QueryDefaultCpuSets(child.Process()), (std::vector<GroupAffinity>{{0, 0x1}}));
    ASSERT_TRUE(ChangeDefaultCpuSets(child.Pid(), {}));
    EXPECT_EQ(QueryDefaultCpuSets(child.Process()), std::vector<GroupAffinity>());
}

TEST(ProcessControlWin, SuspendResumeAndTrim) {
    START_SLEEPER(child);
    ASSERT_TRUE(SuspendProcessById(child.Pid()));
    // The thread's previous suspend count shows the process suspension.
    EXPECT_EQ(SuspendThread(child.Thread()), 1u);
    ResumeThread(child.Thread());
    RecordSupport("suspended_in_process_list", IsProcessSuspended(child.Pid()));
    ASSERT_TRUE(ResumeProcessById(child.Pid()));
    EXPECT_EQ(SuspendThread(child.Thread()), 0u);
    ResumeThread(child.Thread());
    EXPECT_FALSE(IsProcessSuspended(child.Pid()));
    EXPECT_TRUE(TrimWorkingSetById(child.Pid()));
    EXPECT_FALSE(SuspendProcessById(kNoSuchProcess));
    EXPECT_FALSE(TrimWorkingSetById(kNoSuchProcess));
}

TEST(ProcessControlWin, CriticalMark) {
    START_SLEEPER(child);
    const auto mark = platform::IsProcessMarkedCritical(child.Process());
    RecordSupport("critical_mark", mark.has_value());
    if (mark) {
        EXPECT_FALSE(*mark) << "an ordinary program is not critical";
    }
    EXPECT_FALSE(platform::IsProcessMarkedCritical(nullptr).has_value());
}

TEST(ProcessControlWin, Termination) {
    {
        START_SLEEPER(child);
        EXPECT_TRUE(TerminateWithExitCode(child.Pid(), 1));
        EXPECT_EQ(child.ExitCodeAfter(10000), 1u);
    }
    {
        START_SLEEPER(child);
        EXPECT_TRUE(TerminateById(child.Pid()));
        EXPECT_EQ(child.ExitCodeAfter(10000), kTerminatedExitCode);
    }
    EXPECT_FALSE(TerminateWithExitCode(kNoSuchProcess, 1));
    EXPECT_FALSE(TerminateById(kNoSuchProcess));
}

TEST(ProcessControlWin, CloseGracefullyWithoutWindowsTerminates) {
    START_SLEEPER(child);
    EXPECT_TRUE(CloseGracefully(child.Pid(), 5000));
    EXPECT_EQ(child.ExitCodeAfter(10000), kTerminatedExitCode);
}

TEST(ProcessControlWin, CloseGracefullyOfAProcessThatAlreadyEnded) {
    const Child child = Child::Sleeper(0);
    ASSERT_TRUE(child.Started());
    ASSERT_EQ(child.ExitCodeAfter(10000), 0u);
    // Our handle keeps the ended process's id valid, so it can still be opened.
    EXPECT_TRUE(CloseGracefully(child.Pid(), 5000));
    EXPECT_TRUE(TerminateById(child.Pid()));
    EXPECT_EQ(child.ExitCodeAfter(0), 0u);
}

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

// Whether this Wine prefix (or Windows) has a display driver that can create windows.
bool CanCreateWindows() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"CvProcessControlProbe";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"probe", WS_OVERLAPPEDWINDOW, 0, 0,
                                  50, 50, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) {
        return false;
    }
    DestroyWindow(window);
    return true;
}

TEST(ProcessControlWin, CloseGracefullyAsksTheMainWindow) {
    if (!CanCreateWindows()) {
        RecordSupport("windows", false);
        GTEST_SKIP() << "no display driver: windows cannot be created here";
    }
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    Child notepad(L"\"" + std::wstring(system) + L"\\notepad.exe\"");
    ASSERT_TRUE(notepad.Started());
    // Waiting for the program's own start-up is all this test waits for.
    WaitForInputIdle(notepad.Process(), 10000);
    bool found = false;
    for (int attempt = 0; attempt < 100 && !found; ++attempt) {
        for (const auto& window : platform::TopLevelWindows()) {
            found = found || (window.processId == notepad.Pid() && window.visible && !window.owned);
        }
        if (!found) {
            Sleep(100);
        }
    }
    ASSERT_TRUE(found);
    EXPECT_TRUE(CloseGracefully(notepad.Pid(), 10000));
    EXPECT_EQ(notepad.ExitCodeAfter(0), 0u);  // closed, not terminated
}

TEST(ProcessControlWin, TopologyMatchesTheSystem) {
    const ProcessorTopology topology = BuildProcessorTopology();
    EXPECT_EQ(topology.logicalProcessors, GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    EXPECT_EQ(topology.groupCount, GetActiveProcessorGroupCount());
    EXPECT_EQ(topology.processorsInGroup0, GetActiveProcessorCount(0));
    // Every active processor belongs to a core record.
    EXPECT_EQ(topology.efficiencyClasses.size(), topology.logicalProcessors);
    bool anyEfficiencyCore = false;
    for (const std::uint64_t mask : topology.efficiencyCoreMasks) {
        anyEfficiencyCore = anyEfficiencyCore || mask != 0;
    }
    EXPECT_EQ(topology.hybrid, anyEfficiencyCore);
    EXPECT_EQ(std::popcount(topology.FullMaskGroup0()),
              static_cast<int>(std::min(topology.processorsInGroup0, 64u)));
    EXPECT_EQ(std::popcount(RandomHalfMask(topology)),
              static_cast<int>(std::min(topology.processorsInGroup0, 64u) / 2));
    RecordProperty("hybrid", topology.hybrid ? "yes" : "no");
    RecordProperty("workstation", platform::IsWorkstationProduct() ? "yes" : "no");
}

}  // namespace
}  // namespace cv
