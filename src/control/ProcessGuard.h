#pragma once
// Whatever the rules say, the engine never changes its own process, and never suspends or ends
// the System and Idle processes or one Windows cannot run without. Every feature asks here before
// it suspends, ends, limits or lowers a process; a refusal is recorded once per process and rule
// family.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/ProtectedProcesses.h"
#include "control/FeatureContext.h"

namespace cv {

// What a feature is about to do to a process.
enum class GuardedChange : std::uint8_t {
    kSuspend,
    kTerminate,  // also a close, a restart, or stopping the process's services
    // Affinity, CPU sets, groups, priority class and boost, I/O and memory priority, efficiency
    // mode, working-set trimming: harmless to any other process, but never done to the engine.
    kRestrict,
};

// Who asks, for the record of a refusal.
enum class GuardFamily : std::uint8_t {
    kThrottle,
    kDisallowed,
    kInternetExplorer,
    kInstanceLimit,
    kInstanceBalancer,
    kWatchdog,
    kCpuLimit,
    kRestraint,
    kTrimming,
    kDefaults,
    kGroupExtender,
};

enum class Protection : std::uint8_t {
    kNone,
    kEngine,    // the engine's own process
    kSystem,    // the System (4) and Idle (0) processes
    kCritical,  // session-critical by name, or marked critical
};

struct GuardFacts {
    std::uint32_t pid = 0;
    std::uint32_t enginePid = 0;
    std::wstring_view imageName;
    bool markedCritical = false;
};
// Why the change may not be made; kNone when it may. The engine's id names the engine itself:
// no other process can have it while the engine runs.
Protection ProtectionOf(const GuardFacts& facts, GuardedChange change);

// "Throttle not applied to this process: it is the engine itself", for the log.
std::wstring RefusalText(GuardFamily family, Protection protection);

// True when the change must not be made to the record's process; the first refusal for each
// family is recorded. Reads the process's critical mark once, when a suspension or an end is
// asked for and nothing else decides.
bool GuardRefuses(const FeatureContext& context, ProcessRecord& record, GuardedChange change,
                  GuardFamily family);

}  // namespace cv
