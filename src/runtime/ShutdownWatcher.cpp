#include "runtime/ShutdownWatcher.h"

#include "platform/KernelObjects.h"
#include "texts/KernelObjectNames.h"

namespace cv {

ShutdownRequestWatcher::ShutdownRequestWatcher(platform::RawHandle exitEvent)
    : exitEvent_(exitEvent) {
    thread_.Start([this] { Run(); }, platform::kWorkerStackReserve,
                  platform::kThreadPriorityNormal);
}

ShutdownRequestWatcher::~ShutdownRequestWatcher() {
    thread_.Join();
}

void ShutdownRequestWatcher::Run() {
    for (;;) {
        const auto result = platform::WaitForObject(exitEvent_, 1000);
        if (result != platform::WaitResult::TimedOut) {
            return;  // the exit event is set, or it is gone
        }
        const platform::UniqueHandle request =
            platform::OpenEventObject(names::kShutdownRequestEvent, platform::kSynchronize);
        if (request && platform::IsSignalled(request.Get())) {
            platform::SetEventObject(exitEvent_);
        }
    }
}

}  // namespace cv
