#pragma once
// Cullmark: on a timer, and whenever the user interface asks, one pass that clears the file
// cache and the standby list when free memory runs short, and empties the working sets of large
// processes when the memory load is high. It runs on a worker thread of its own at below-normal
// priority, reading the live configuration and recording into the engine's action log.
#include <atomic>
#include <cstdint>
#include <string>

#include "control/FeatureContext.h"
#include "platform/Handle.h"
#include "platform/Memory.h"
#include "platform/Threads.h"

namespace cv {

class CullmarkTrimmer {
  public:
    // A small stack: the worker keeps nothing large on it.
    static constexpr std::size_t kStackReserve = 256 * 1024;
    static constexpr std::uint32_t kPauseAfterTrimMs = 250;
    static constexpr std::uint32_t kStopCheckMs = 1000;
    static constexpr std::uint32_t kWaitFailurePauseMs = 2000;

    explicit CullmarkTrimmer(const FeatureContext& context);
    CullmarkTrimmer(const CullmarkTrimmer&) = delete;
    CullmarkTrimmer& operator=(const CullmarkTrimmer&) = delete;
    ~CullmarkTrimmer();

    // Starts the worker unless one runs; whether one runs afterwards. Its waits also end when
    // the engine's exit event is set.
    bool StartWorker(platform::RawHandle exitEvent);
    bool WorkerRunning() const { return running_; }
    // Sets the named stop event; false when it does not exist.
    static bool RequestStop();
    // Asks the worker and waits for it to end.
    void Stop();
    // Tells a running worker that the configuration changed; nothing when none listens.
    static void NotifyConfigChanged();

    // One pass; a forced pass ignores the performance-mode restriction of cache clearing.
    bool RunPass(bool forced);
    // The free and zeroed page lists in bytes; 0 when unknown.
    std::uint64_t ReadFreeMemoryBytes();

    // The timer period: minutes as an unsigned 32-bit product, at least a minute; infinite when
    // the timer is off.
    static std::uint32_t TimerPeriodMs(bool enabled, std::uint32_t minutes);

  private:
    struct PassOutcome {
        bool stopped = false;
    };
    PassOutcome Pass(bool forced);
    void ClearCaches(bool forced);
    bool TrimWorkingSets();
    bool IsExcluded(const RuleSet& rules, const std::wstring& path,
                    const std::wstring& fileName) const;
    bool StopRequested(platform::RawHandle stopEvent, std::uint32_t waitMs) const;
    void RunWorker();
    bool RecordingOn() const;
    void RecordEngine(std::uint32_t actionId, const std::wstring& info) const;

    const FeatureContext& context_;
    platform::FreeMemoryCounter counter_;
    bool fallbackNoted_ = false;
    std::atomic<bool> engineSpareTold_{false};
    platform::RawHandle exitEvent_ = nullptr;
    std::atomic<bool> running_{false};
    platform::WorkerThread worker_;
};

}  // namespace cv
