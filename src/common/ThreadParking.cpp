#include "common/ThreadParking.h"

#include <mutex>
#include <vector>

namespace cv {

void ParkUnresponsiveThread(std::thread thread, std::shared_ptr<void> state,
                            std::function<bool()> hasEnded) {
    struct Parked {
        std::thread thread;
        std::shared_ptr<void> state;
        std::function<bool()> hasEnded;
    };
    static std::mutex lock;
    static auto* parked = new std::vector<Parked>();  // never destroyed, for the reason above
    std::lock_guard guard(lock);
    for (auto it = parked->begin(); it != parked->end();) {
        if (it->hasEnded()) {
            it->thread.join();
            it = parked->erase(it);
        } else {
            ++it;
        }
    }
    parked->push_back({std::move(thread), std::move(state), std::move(hasEnded)});
}

}  // namespace cv
