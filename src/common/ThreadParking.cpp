#include "common/ThreadParking.h"

#include <mutex>
#include <vector>

namespace cv {

void ParkUnresponsiveThread(std::function<void()> join, std::shared_ptr<void> state,
                            std::function<bool()> hasEnded) {
    struct Parked {
        std::function<void()> join;
        std::shared_ptr<void> state;
        std::function<bool()> hasEnded;
    };
    static std::mutex lock;
    static auto* parked = new std::vector<Parked>();  // never destroyed, for the reason above
    std::lock_guard guard(lock);
    for (auto it = parked->begin(); it != parked->end();) {
        if (it->hasEnded()) {
            it->join();
            it = parked->erase(it);
        } else {
            ++it;
        }
    }
    parked->push_back({std::move(join), std::move(state), std::move(hasEnded)});
}

}  // namespace cv
