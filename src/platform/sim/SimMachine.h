#pragma once
// The simulated Windows machine behind the platform operations in the native build. Tests set
// it up, move its clock, script its answers and make any call fail; the code under test sees
// only the platform operations.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/Handle.h"
#include "platform/KernelObjects.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "platform/Services.h"

namespace cv::sim {

// Thrown by the simulated ExitOwnProcess, so a test can see the exit code instead of losing the
// test process.
struct ProcessExitCalled {
    std::uint32_t exitCode;
};

struct SimProcess;

// Thrown inside a simulated thread that TerminateThread ended, from the call it was blocked in, so
// its body goes no further.
struct ThreadTerminated {};

// A thread started through StartThread.
struct SimThread {
    std::thread thread;
    std::shared_ptr<struct SimObject> object;  // signalled when the thread has ended
    // Ended by the machine's reset: it unwinds at its next simulated call.
    bool terminated = false;
    // Ended by TerminateThread: as on Windows, it goes no further and nothing it holds is let
    // go, until the machine's reset unwinds it.
    bool killed = false;
};
// Whether the calling thread is a simulated thread that was terminated or killed.
bool CurrentThreadTerminated();
// At a simulated call of the calling thread (the machine's lock held): a terminated thread
// unwinds, a killed one stays where it is until the reset.
void StopIfEnded(std::unique_lock<std::recursive_mutex>& lock);

struct SimObject {
    enum class Kind { Event, Mutex, Process, Thread, Token };
    Kind kind = Kind::Event;
    std::wstring name;
    bool manualReset = true;
    bool signalled = false;
    platform::ObjectSecurity security = platform::ObjectSecurity::Default;
    std::thread::id owner;  // mutexes: the owning thread, or none
    int recursion = 0;
    std::weak_ptr<SimProcess> process;  // process objects
    // Tokens: whose they are, the session they carry and the process they were taken from.
    std::wstring tokenUser;
    std::uint32_t tokenSession = 0;
    std::uint32_t tokenProcess = 0;
};

struct SimProcess {
    std::uint32_t pid = 0;
    std::uint32_t parentPid = 0;
    std::wstring imageName;
    std::wstring imagePath;
    std::wstring commandLine;
    std::wstring user;
    std::wstring domain = L"TESTPC";
    std::uint32_t sessionId = 1;
    std::uint32_t threadCount = 1;
    std::uint32_t firstThreadId = 0;  // 0: pid + 1
    std::uint64_t createTime = 0;     // FILETIME; 0: when added
    std::uint64_t kernelTime = 0;     // 100-ns units
    std::uint64_t userTime = 0;
    std::uint64_t workingSet = 4 << 20;
    std::uint64_t pagefileUsage = 2 << 20;
    std::uint32_t handleCount = 0;
    std::uint64_t readTransferBytes = 0;
    std::uint64_t writeTransferBytes = 0;
    // What the engine may read of it.
    bool canOpen = true;     // any handle at all
    bool fullAccess = true;  // query information and read memory, not only limited query
    bool pathReadable = true;
    bool commandLineReadable = true;
    bool accountReadable = true;
    bool critical = false;  // ProcessBreakOnTermination: ending it stops the system
    bool ended = false;
    std::uint32_t exitCode = 0;
    std::shared_ptr<SimObject> waitObject;  // signalled when the process ends
    // Scheduling state the control primitives read and change.
    std::uint32_t deniedAccess = 0;  // process access rights OpenProcess refuses
    std::uint32_t priorityClass = 0x20;
    std::uint16_t group = 0;     // the group its affinity lies in
    std::uint64_t affinity = 0;  // 0: every active processor of its group
    // Thread id -> (group, mask) given to that thread; a group other than the process's own makes
    // the process span several groups.
    std::map<std::uint32_t, std::pair<std::uint16_t, std::uint64_t>> threadGroupAffinity;
    std::uint32_t ioPriority = 2;
    std::uint32_t memoryPriority = 5;
    std::uint32_t throttleControl = 0;  // power throttling control and state masks
    std::uint32_t throttleState = 0;
    bool priorityBoostDisabled = false;
    std::vector<std::uint32_t> defaultCpuSets;
    int suspendCount = 0;
    int workingSetTrims = 0;
    // TerminateProcess ends it only after this many milliseconds, as Windows may.
    std::uint32_t terminationDelayMs = 0;
    std::vector<std::uint32_t> ThreadIds() const;
};

// A top-level window of a simulated process.
struct SimWindow {
    std::uintptr_t window = 0;
    std::uint32_t processId = 0;
    bool visible = true;
    bool owned = false;
    // What WM_CLOSE does: end the process after closeDelayMs, or nothing.
    bool endsProcessOnClose = true;
    std::uint32_t closeDelayMs = 0;
};

struct RegistryValue {
    enum class Type { Dword, Binary, String };
    std::wstring name;  // as first written
    Type type = Type::Dword;
    std::vector<std::uint8_t> bytes;
    std::wstring text;
    bool expand = false;  // REG_EXPAND_SZ
};

struct MessageBoxCall {
    std::wstring text;
    std::wstring caption;
    std::uint32_t flags = 0;
    std::vector<std::wstring> extraButtons;  // dialog-template boxes
    std::wstring checkBoxText;
};

// A scheduled task in the root folder.
struct SimTask {
    std::wstring name;
    std::wstring author;
    std::wstring path;
    std::wstring arguments;
    bool hidden = false;
    bool runFails = false;
};

// The crash handler's and the post-update tool's view of the machine.
struct SimSetupState {
    long (*crashFilter)() = nullptr;
    std::vector<std::wstring> dumpsWritten;
    bool dumpFails = false;
    int otherThreadsSuspended = 0;
    int otherThreadsResumed = 0;
    // Whether a person can see boxes, and the check box answers (then false).
    bool interactiveDesktop = true;
    std::deque<bool> checkBoxAnswers;
    // System services for the start check: disabled ones, and the state a start leads to.
    std::set<std::wstring> disabledServices;
    std::map<std::wstring, platform::ServiceState> stateAfterStart;
    std::vector<std::wstring> serviceStarts;
    int shellNotifications = 0;
    int comInitializations = 0;
    int comUninitializations = 0;
    // Task Scheduler: tasks by lower-cased name, tasks run, and a step that fails with a code.
    std::map<std::wstring, SimTask> tasks;
    std::vector<std::wstring> taskRuns;
    int failingTaskStep = 0;  // a platform::TaskStep value; 0 none
    std::int32_t failingTaskResult = static_cast<std::int32_t>(0x80070005);
};

struct LaunchCall {
    enum class Kind { ShellExecute, CreateProcess, CreateProcessAsUser };
    Kind kind = Kind::CreateProcess;
    std::wstring verb;
    std::wstring file;
    std::wstring parameters;  // ShellExecute parameters or the CreateProcess command line
    std::wstring directory;
    std::uint32_t creationFlags = 0;
    bool lowIntegrity = false;
    // The token the program runs with: the engine's own, or the one of the process named here.
    std::wstring user;
    std::uint32_t sessionId = 0;
    std::uint32_t tokenOfProcess = 0;  // 0: the engine's own token
    bool userEnvironment = false;      // the environment block made for that user
};

// What the program wrote to the Windows event log. A source whose RegisterEventSource or
// ReportEvent call is made to fail (FailCall with the source name as subject) records nothing.
struct SimEvent {
    std::wstring source;
    std::uint16_t type = 0;  // platform::EventType
    std::uint32_t eventId = 0;
    std::vector<std::wstring> strings;
};
struct SimEventLog {
    std::vector<SimEvent> events;
    int registrations = 0;  // RegisterEventSource calls that succeeded
    int openSources = 0;    // registered and not deregistered yet
};

struct SimModule {
    std::map<std::uint32_t, std::wstring> strings;
};

// A power scheme of the simulated machine.
struct SimPowerPlan {
    using Setting = std::pair<platform::PowerGuid, platform::PowerGuid>;  // subgroup, setting
    platform::PowerGuid guid;
    std::optional<std::wstring> friendlyName;  // none: PowerReadFriendlyName fails
    std::wstring description;
    bool overlay = false;    // a power-mode overlay, which PowerSetActiveScheme refuses
    bool enumerated = true;  // listed by PowerEnumerate
    std::map<Setting, std::uint32_t> acValues;
    std::map<Setting, std::uint32_t> dcValues;
};

// Puts the simulated file system (SimFiles.h) back to its fresh state; called by Machine::Reset.
void ResetFileSystem();

class Machine {
  public:
    static Machine& Get();

    // A fresh machine with the defaults below. The calling thread becomes the clock driver: its
    // timed waits and sleeps move the clock forward instead of blocking, while every other
    // thread blocks until the clock reaches its deadline or its object is signalled.
    void Reset();

    std::recursive_mutex& Lock() { return mutex_; }

    // Clock.
    std::uint64_t Now();
    void AdvanceClock(std::uint64_t milliseconds);
    bool IsDriverThread() const { return std::this_thread::get_id() == driver_; }

    // Failure injection: every call of the operation (with the given subject, or any subject
    // when empty) fails until ClearFailures, or only the next `times` calls when given.
    void FailCall(const std::string& operation, const std::wstring& subject = L"",
                  std::optional<int> times = std::nullopt);
    void ClearFailures();
    bool ShouldFail(const std::string& operation, const std::wstring& subject);

    // Facts about the running program and the machine.
    std::uint32_t ownPid = 4242;
    std::wstring ownImagePath = L"C:\\Program Files\\Corvane\\vigilor.exe";
    std::wstring commandLine = L"\"C:\\Program Files\\Corvane\\vigilor.exe\"";
    std::wstring currentDirectory = L"C:\\Users\\Tester";
    std::wstring windowsFolder = L"C:\\Windows";
    // The console of the program that started this one (none by default), and what was written.
    bool parentConsole = false;
    std::wstring consoleOutput;
    std::optional<std::wstring> userName = L"Tester";
    std::wstring computerName = L"TESTPC";
    std::uint32_t osMajor = 10;
    std::uint32_t osMinor = 0;
    std::uint16_t servicePackMajor = 0;
    std::uint16_t uiLanguage = 1033;
    std::uint32_t processorCount = 8;
    std::optional<std::uint32_t> integrityLevel = 0x2000;

    // What the program did to itself.
    std::vector<std::wstring> enabledPrivileges;
    std::uint32_t priorityClass = 0x20;
    int threadPriority = 0;
    std::optional<bool> priorityBoostDisabled;
    std::map<std::uint32_t, std::uint32_t> processInformation;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> shutdownParameters;
    std::vector<std::wstring> loadedSystemLibraries;

    // Processes other than the running program.
    // A process added with a pid in use replaces it: the old one ends (its handles stay valid and
    // see it ended), as when Windows reuses an id.
    SimProcess& AddProcess(std::uint32_t pid, const std::wstring& imageName = L"app.exe");
    SimProcess* FindProcess(std::uint32_t pid);
    // The process a process handle refers to, even after it ended; null for other handles.
    std::shared_ptr<SimProcess> ProcessOfHandle(platform::RawHandle handle);
    void EndProcess(std::uint32_t pid, std::uint32_t exitCode = 0);
    // Adds CPU time to a process (kernel and user halves), as if it had run.
    void AddCpuTime(std::uint32_t pid, std::uint64_t hundredNanoseconds);
    std::vector<std::uint32_t> ProcessIds();
    // Per-processor idle time in 100-ns units, for the machine's CPU meter.
    std::vector<std::uint64_t> processorIdleTimes;
    // Session id -> the user logged on to it.
    std::map<std::uint32_t, std::wstring> sessionUsers;
    std::uint32_t activeProcessorsAllGroups = 8;
    // Local time is UTC plus this many minutes.
    std::int64_t localTimeOffsetMinutes = 60;
    std::vector<std::uint8_t> nextUuid = std::vector<std::uint8_t>(16, 0x5A);
    // FILETIME of the simulated clock's start.
    static constexpr std::uint64_t kEpochFileTime = 134'000'000'000'000'000ull;
    // The system time is the simulated clock moved by this many milliseconds, as when the user
    // sets the clock; the ticks do not move with it.
    std::int64_t systemTimeShiftMs = 0;
    std::uint32_t nextLaunchPid = 9000;
    // The session the running program is in (0 for a service).
    std::uint32_t ownSessionId = 1;

    // Registry: keys by root and lower-cased path, values by lower-cased name.
    using RegistryKey = std::map<std::wstring, RegistryValue>;
    std::map<std::pair<platform::RegistryRoot, std::wstring>, RegistryKey> registry;
    RegistryKey* FindKey(platform::RegistryRoot root, const std::wstring& key);
    RegistryKey& CreateKey(platform::RegistryRoot root, const std::wstring& key);
    void SetDword(platform::RegistryRoot root, const std::wstring& key, const std::wstring& value,
                  std::uint32_t data);
    std::optional<std::uint32_t> GetDword(platform::RegistryRoot root, const std::wstring& key,
                                          const std::wstring& value);
    bool HasValue(platform::RegistryRoot root, const std::wstring& key, const std::wstring& value);

    // Services by name; a stop request moves a running service to Stopped after
    // serviceStopPolls status queries (0: at once; never when negative).
    std::map<std::wstring, platform::ServiceState> services;
    int serviceStopPolls = 0;
    std::vector<std::wstring> serviceStopRequests;
    std::vector<std::wstring> serviceStartRequests;
    std::map<std::wstring, int> pendingStops;
    // What the service enumeration reports, and how often it was asked.
    std::vector<platform::ServiceStatusRow> serviceRows;
    int serviceEnumerations = 0;

    // Kernel objects.
    platform::RawHandle AddHandle(std::shared_ptr<SimObject> object);
    std::shared_ptr<SimObject> FindObject(platform::RawHandle handle);
    std::shared_ptr<SimObject> FindNamedObject(const std::wstring& name);
    // Sets a named event as an outside program would; creates it when missing (manual reset).
    void SetNamedEvent(const std::wstring& name);
    bool IsNamedObjectSignalled(const std::wstring& name);
    std::size_t OpenHandleCount();
    std::unordered_map<std::uintptr_t, std::shared_ptr<SimObject>> handles;
    std::map<std::wstring, std::weak_ptr<SimObject>> namedObjects;
    std::uintptr_t nextHandle = 0x1000;

    // Language modules: installed modules by lower-cased file name, all in the program's folder.
    std::map<std::wstring, SimModule> installedModules;
    std::set<std::wstring> loadedModules;
    std::vector<std::wstring> moduleLoadAttempts;
    void InstallEnglishModule();

    // Message boxes: every call is recorded; answers are taken from the script, then kIdOk.
    std::vector<MessageBoxCall> messageBoxes;
    std::deque<int> messageBoxAnswers;
    SimSetupState setup;
    SimEventLog eventLog;

    // Folder change watches. The file system calls NotifyFolderChanged after every write
    // (kWriteChange) and after a file is created, deleted or renamed (kNameChange); a watch is
    // signalled by the changes it asked for.
    static constexpr unsigned kWriteChange = 1;
    static constexpr unsigned kNameChange = 2;
    struct FolderWatchEntry {
        std::wstring folder;  // lower-cased
        unsigned changes = kWriteChange;
        std::weak_ptr<SimObject> object;
    };
    std::vector<FolderWatchEntry> folderWatches;
    void NotifyFolderChanged(const std::wstring& filePath, unsigned changes = kWriteChange);

    // Programs started.
    std::vector<LaunchCall> launches;

    // Processor topology: one entry per active processor group, holding the efficiency class of
    // each of its processors in order. SetProcessorGroups keeps activeProcessorsAllGroups in step.
    std::vector<std::vector<std::uint8_t>> processorGroups = {std::vector<std::uint8_t>(8, 0)};
    void SetProcessorGroups(std::vector<std::vector<std::uint8_t>> groups);
    std::uint64_t GroupMask(std::uint16_t group);  // every active processor of the group
    // Windows 10 entry points: CPU sets and power throttling.
    bool cpuSetsSupported = true;
    bool powerThrottlingSupported = true;
    bool workstation = true;
    std::optional<std::uint32_t> ownThrottleIgnoreTimerResolution;  // the state mask set
    // Top-level windows in enumeration order, and every WM_CLOSE posted.
    std::vector<SimWindow> windows;
    std::vector<std::uintptr_t> closeMessages;
    SimWindow& AddWindow(std::uint32_t processId);
    // Benchmarks build the process list once, outside their timed region, and every query then
    // copies it; FreezeProcessList builds it again from the processes as they are now, and
    // ThawProcessList goes back to building it on every query.
    std::vector<std::uint8_t> frozenProcessList;
    void FreezeProcessList();
    void ThawProcessList() { frozenProcessList.clear(); }
    // The engine's own session: its foreground window (0: none) and its last input tick.
    std::uintptr_t foregroundWindow = 0;
    std::optional<std::uint32_t> lastInputTick = 0;
    // Sounds: whether winmm is loaded, and every file played.
    bool soundLibraryLoaded = false;
    std::vector<std::wstring> soundsPlayed;
    // The access each process handle was opened with.
    std::map<std::uintptr_t, std::uint32_t> handleAccess;
    bool HandleHasAccess(platform::RawHandle handle, std::uint32_t access);
    // Runs the action when the clock reaches now plus the delay.
    void Schedule(std::uint64_t delayMs, std::function<void()> action);
    // The time of the earliest scheduled action, if any.
    std::optional<std::uint64_t> NextScheduledTime();

    // Memory: what GlobalMemoryStatusEx and the free-memory counter report, and what the two
    // cache operations give back to free memory.
    std::uint32_t memoryLoad = 50;
    std::uint64_t totalPhysicalBytes = 16ull << 30;
    std::uint64_t availablePhysicalBytes = 8ull << 30;
    std::uint64_t freeMemoryBytes = 2ull << 30;  // the free and zeroed page lists
    bool freeMemoryCounterExists = true;         // false: PDH cannot add it, as under Wine
    std::uint64_t fileCacheBytes = 0;
    std::uint64_t standbyBytes = 0;
    int fileCacheFlushes = 0;
    int standbyPurges = 0;
    // Worker threads started by the program: their reserved stack and priority.
    struct ThreadStart {
        std::size_t stackReserve = 0;
        int priority = 0;
    };
    std::vector<ThreadStart> threadStarts;
    // Threads started through StartThread. Reset terminates and joins those still running.
    std::vector<std::shared_ptr<SimThread>> threads;
    void JoinThreads();
    // Operations that do not return on a thread other than the driver until they are removed
    // here or the thread is terminated.
    std::set<std::string> hungCalls;
    void HangIfScripted(const std::string& operation);

    // Blocks the calling (non-driver) thread until the clock or an object changes.
    void WaitForChange(std::unique_lock<std::recursive_mutex>& lock);
    void NotifyChange();

    // Waits in real time, at most the given seconds, until the condition holds; for tests that
    // watch the engine's own threads.
    template <typename Condition>
    bool WaitUntil(Condition condition, double seconds = 5.0) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
        std::unique_lock<std::recursive_mutex> lock(mutex_);
        while (!condition()) {
            // Looked at again now and then too: a condition on something other than the
            // machine (a lock a thread holds) changes without a notification.
            const auto next =
                std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
            changed_.wait_until(lock, next);
            if (std::chrono::steady_clock::now() >= end) {
                return condition();
            }
        }
        return true;
    }

    // Power schemes (powrprof), in enumeration order. A fresh machine has Balanced (active), High
    // performance and Power saver, and no overlay entry points; EnablePowerOverlays adds those,
    // the three overlay schemes and the ActiveOverlayAcPowerScheme value.
    bool powerEntryPointsFound = true;
    bool powerOverlayEntryPointsFound = false;
    std::deque<SimPowerPlan> powerPlans;
    platform::PowerGuid activePowerPlan;
    platform::PowerGuid activePowerOverlay;  // zero: no overlay
    std::map<SimPowerPlan::Setting, std::uint32_t> powerSettingAttributes;
    std::map<std::pair<SimPowerPlan::Setting, std::uint32_t>, std::uint32_t> powerPossibleValues;
    // Every call that changes power schemes, as "<function> <scheme guid>", in order.
    std::vector<std::wstring> powerCalls;
    std::uint32_t duplicatedPowerPlans = 0;
    SimPowerPlan& AddPowerPlan(const platform::PowerGuid& guid,
                               std::optional<std::wstring> friendlyName);
    SimPowerPlan* FindPowerPlan(const platform::PowerGuid& guid);
    void EnablePowerOverlays();
    void ResetPowerPlans();
    // SetThreadExecutionState flags, one entry per call.
    std::vector<std::uint32_t> executionStates;
    // The system timer: its coarsest, finest and current resolution (100-ns units), and the
    // program's own request, if any.
    std::uint32_t timerMinimum = 156250;
    std::uint32_t timerMaximum = 5000;
    std::uint32_t timerCurrent = 156250;
    std::optional<std::uint32_t> ownTimerRequest;

  private:
    Machine() = default;
    ~Machine() { JoinThreads(); }
    std::recursive_mutex mutex_;
    std::condition_variable_any changed_;
    std::thread::id driver_;
    std::uint64_t now_ = 1'000'000;
    struct Failure {
        std::string operation;
        std::wstring subject;
        std::optional<int> remaining;
    };
    std::vector<Failure> failures_;
    std::map<std::uint32_t, std::shared_ptr<SimProcess>> processes_;
    std::vector<std::shared_ptr<SimProcess>> endedProcesses_;
    std::multimap<std::uint64_t, std::function<void()>> scheduled_;
};

}  // namespace cv::sim
