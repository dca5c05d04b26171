#pragma once
// A thread that did not stop within its bound: joining it could hang the engine's shutdown for
// good, a std::thread destroyed while joinable ends the process, and ending it from outside
// could leave the heap or the file system locked. So it is kept here with whatever state it
// shares, and ends with the process; threads that have ended meanwhile are joined whenever
// another one is parked.
#include <functional>
#include <memory>

namespace cv {

// `join` owns the thread and joins it; `state` stays alive while the thread may still use it;
// `hasEnded` tells when it may be joined.
void ParkUnresponsiveThread(std::function<void()> join, std::shared_ptr<void> state,
                            std::function<bool()> hasEnded);

}  // namespace cv
