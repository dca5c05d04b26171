#include "runtime/PerformanceModeState.h"

#include "platform/KernelObjects.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {
constexpr const wchar_t* kNames[] = {
    names::kPerformanceModeActiveEvent, names::kPerformanceModeAutomaticEvent,
    names::kPerformanceModeManualEvent, names::kPerformanceModeToggleEvent};
}  // namespace

PerformanceModeState::PerformanceModeState(bool creator) : creator_(creator) {
    EnsureHandles();
    if (creator_) {
        // Performance mode follows the triggers this engine sees; events an engine that ended
        // abnormally left set (another program keeps them open) say nothing about them. A
        // pending toggle request is the user's and stays.
        for (const Index index : {kActive, kAutomatic, kManual}) {
            platform::ResetEventObject(handles_[index].Get());
        }
    }
}

void PerformanceModeState::EnsureHandles() {
    for (int i = 0; i < 4; ++i) {
        if (handles_[i]) {
            continue;
        }
        if (creator_) {
            handles_[i] = platform::CreateEventObject(kNames[i], i != kToggle, false,
                                                      platform::ObjectSecurity::Open);
        } else {
            const std::uint32_t access = i == kToggle
                                             ? platform::kSynchronize | platform::kEventModifyState
                                             : platform::kSynchronize;
            handles_[i] = platform::OpenEventObject(kNames[i], access);
        }
    }
}

void PerformanceModeState::CloseAll() {
    for (auto& handle : handles_) {
        handle.Reset();
    }
}

bool PerformanceModeState::IsActive() {
    EnsureHandles();
    if (!handles_[kActive]) {
        return false;
    }
    switch (platform::WaitForObject(handles_[kActive].Get(), 0)) {
        case platform::WaitResult::Signalled:
            return true;
        case platform::WaitResult::TimedOut:
            return false;
        case platform::WaitResult::Failed:
            break;
    }
    // A broken handle is dropped so that the next call opens the objects afresh.
    CloseAll();
    return false;
}

bool PerformanceModeState::IsManualOn() {
    EnsureHandles();
    return platform::IsSignalled(handles_[kActive].Get()) &&
           platform::IsSignalled(handles_[kManual].Get());
}

bool PerformanceModeState::TakeToggleRequest() {
    EnsureHandles();
    return platform::IsSignalled(handles_[kToggle].Get());
}

void PerformanceModeState::SetActive(bool on, bool automatic) {
    EnsureHandles();
    if (on) {
        platform::SetEventObject(handles_[kActive].Get());
        platform::SetEventObject(handles_[automatic ? kAutomatic : kManual].Get());
        return;
    }
    if (automatic && platform::IsSignalled(handles_[kActive].Get()) &&
        platform::IsSignalled(handles_[kManual].Get())) {
        // Manual performance mode stays in force.
        platform::ResetEventObject(handles_[kAutomatic].Get());
        return;
    }
    platform::ResetEventObject(handles_[kActive].Get());
    platform::ResetEventObject(handles_[kAutomatic].Get());
    platform::ResetEventObject(handles_[kManual].Get());
}

}  // namespace cv
