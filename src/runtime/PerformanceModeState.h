#pragma once
// The four named events through which the engine and the user interface share the state of
// performance mode. The engine owns the creator side; other components observe.
#include <array>

#include "platform/Handle.h"

namespace cv {

class PerformanceModeState {
public:
    explicit PerformanceModeState(bool creator);

    bool IsActive();
    bool IsManualOn();
    // Consumes a pending toggle request from the user interface.
    bool TakeToggleRequest();
    void SetActive(bool on, bool automatic);

private:
    enum Index { kActive, kAutomatic, kManual, kToggle };
    void EnsureHandles();
    void CloseAll();

    bool creator_;
    std::array<platform::UniqueHandle, 4> handles_;
};

}  // namespace cv
