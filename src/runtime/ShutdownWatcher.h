#pragma once
// Ends the engine when an outside program sets the shutdown-request event: once a second it looks
// for that event and, when it is set, sets the engine's exit event.
#include "platform/Handle.h"
#include "platform/Threads.h"

namespace cv {

class ShutdownRequestWatcher {
public:
    // The exit event must outlive the watcher; the watcher ends when it is set.
    explicit ShutdownRequestWatcher(platform::RawHandle exitEvent);
    ShutdownRequestWatcher(const ShutdownRequestWatcher&) = delete;
    ShutdownRequestWatcher& operator=(const ShutdownRequestWatcher&) = delete;
    // Joins the thread; the owner sets the exit event first.
    ~ShutdownRequestWatcher();

private:
    void Run();

    platform::RawHandle exitEvent_;
    platform::WorkerThread thread_;
};

}  // namespace cv
