#pragma once
// The suspensions the engine holds right now, for the crash filter: it cannot take a lock, so
// each throttle marks its own suspension in an atomic and lists that mark here, lock-free, and
// the filter resumes every marked process exactly once and makes the marks refuse any new
// suspension.
#include <atomic>
#include <cstddef>

#include "platform/Handle.h"

namespace cv {

// One throttle's mark. State 0: nothing held; 1: the process is (or is about to be) suspended;
// -1: the crash filter took over, nothing may be suspended any more.
struct HeldSuspension {
    std::atomic<int> state{0};
    std::atomic<platform::RawHandle> process{nullptr};

    // Before the suspension: false when the crash filter took over.
    bool Begin() {
        int expected = 0;
        return state.compare_exchange_strong(expected, 1);
    }
    // After the resume (or a suspension that failed), and by an owner that ended the thread:
    // true when the suspension was still this mark's to end.
    bool End() {
        int expected = 1;
        return state.compare_exchange_strong(expected, 0);
    }
    // By an owner that stops waiting for the thread: no further suspension is made, and true when
    // one was held, which the owner then resumes itself.
    bool TakeOver() { return state.exchange(-1) == 1; }
    bool Held() const { return state.load() == 1; }
    bool TakenOver() const { return state.load() == -1; }
};

// Lists the mark for the crash filter (which takes it over at once after a crash); a full list
// leaves the mark unlisted, and the next engine's start-up puts its process back instead.
void ListHeldSuspension(HeldSuspension* mark);
void UnlistHeldSuspension(HeldSuspension* mark);

// The crash filter, with every other thread of the engine frozen: each listed mark is taken over
// and a process it held is resumed. Returns how many were resumed.
std::size_t ReleaseHeldSuspensions();
// Whether ReleaseHeldSuspensions ran.
bool HeldSuspensionsReleased();
// Forgets the list and the release (tests).
void ResetHeldSuspensions();

}  // namespace cv
