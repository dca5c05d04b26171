#pragma once
// The suspensions the engine holds right now, for the crash filter: it cannot take a lock, so
// each throttle marks its own suspension in an atomic and lists that mark here, lock-free, and
// the filter resumes every marked process exactly once and makes the marks refuse any new
// suspension.
#include <atomic>
#include <cstddef>

#include "platform/Handle.h"

namespace cv {

// One throttle's mark. Exactly one party resumes a suspension: the thread that made it, or,
// once the suspension is confirmed, whoever takes the mark over (the crash filter, or an owner
// that stopped waiting for the thread). State 0: nothing held; 1: the thread is suspending, and
// resumes itself if the mark is taken over meanwhile; 2: suspended; 3: the thread is resuming;
// -1: taken over, nothing may be suspended any more. A suspension whose thread is stopped in
// between stays in the journal, for the next engine.
struct HeldSuspension {
    std::atomic<int> state{0};
    std::atomic<platform::RawHandle> process{nullptr};

    // Before the suspension: false when the mark was taken over.
    bool Begin() {
        int expected = 0;
        return state.compare_exchange_strong(expected, 1);
    }
    // After a suspension that was made: false when the mark was taken over meanwhile, and the
    // thread resumes its suspension itself.
    bool Confirm() {
        int expected = 1;
        return state.compare_exchange_strong(expected, 2);
    }
    // After a suspension that failed.
    void Abandon() {
        int expected = 1;
        state.compare_exchange_strong(expected, 0);
    }
    // Before the thread's own resume: true when the resume is still the thread's to make; Done
    // once it is made.
    bool End() {
        int expected = 2;
        return state.compare_exchange_strong(expected, 3);
    }
    void Done() {
        int expected = 3;
        state.compare_exchange_strong(expected, 0);
    }
    // By the crash filter, which the thread may still finish its resume after: true for a
    // suspension that is confirmed and not being resumed.
    bool TakeOver() { return state.exchange(-1) == 2; }
    // By an owner that gave up waiting for the thread, which may hang inside its resume: true
    // also for one the thread was resuming.
    bool TakeOverFromStuckThread() {
        const int before = state.exchange(-1);
        return before == 2 || before == 3;
    }
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
