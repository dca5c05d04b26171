#include "runtime/HeldSuspensions.h"

#include <array>

#include "platform/ProcessControl.h"

namespace cv {

namespace {

constexpr std::size_t kListSize = 1024;

std::array<std::atomic<HeldSuspension*>, kListSize> list{};
std::atomic<bool> released{false};

}  // namespace

void ListHeldSuspension(HeldSuspension* mark) {
    if (released) {
        mark->state = -1;
        return;
    }
    for (auto& slot : list) {
        HeldSuspension* empty = nullptr;
        if (slot.compare_exchange_strong(empty, mark)) {
            return;
        }
    }
}

void UnlistHeldSuspension(HeldSuspension* mark) {
    for (auto& slot : list) {
        HeldSuspension* expected = mark;
        if (slot.compare_exchange_strong(expected, nullptr)) {
            return;
        }
    }
}

std::size_t ReleaseHeldSuspensions() {
    released = true;
    std::size_t resumed = 0;
    for (auto& slot : list) {
        HeldSuspension* mark = slot.load();
        if (mark == nullptr) {
            continue;
        }
        if (mark->TakeOver()) {
            const platform::RawHandle process = mark->process.load();
            if (process != nullptr && platform::ResumeProcessHandle(process)) {
                ++resumed;
            }
        }
    }
    return resumed;
}

bool HeldSuspensionsReleased() {
    return released;
}

void ResetHeldSuspensions() {
    for (auto& slot : list) {
        slot = nullptr;
    }
    released = false;
}

}  // namespace cv
