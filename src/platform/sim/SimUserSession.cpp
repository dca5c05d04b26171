#include "platform/Sound.h"
#include "platform/UserSession.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

using sim::Machine;

std::optional<ForegroundWindowOwner> ForegroundWindowProcess() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.foregroundWindow == 0 || machine.ShouldFail("GetForegroundWindow", L"")) {
        return std::nullopt;
    }
    ForegroundWindowOwner owner;
    owner.window = machine.foregroundWindow;
    for (const sim::SimWindow& window : machine.windows) {
        if (window.window != machine.foregroundWindow) {
            continue;
        }
        if (const sim::SimProcess* process = machine.FindProcess(window.processId)) {
            owner.processId = process->pid;
            owner.threadId =
                process->firstThreadId != 0 ? process->firstThreadId : process->pid + 1;
        }
    }
    return owner;
}

std::optional<std::uint32_t> LastInputTick() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("GetLastInputInfo", L"")) {
        return std::nullopt;
    }
    return machine.lastInputTick;
}

bool LoadSoundSupport() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("LoadLibrary", L"winmm.dll")) {
        return false;
    }
    machine.soundLibraryLoaded = true;
    return true;
}

void UnloadSoundSupport() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    machine.soundLibraryLoaded = false;
}

bool IsSoundSupportLoaded() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    return machine.soundLibraryLoaded;
}

bool PlaySoundFile(const std::wstring& path) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (!machine.soundLibraryLoaded || machine.ShouldFail("PlaySound", path)) {
        return false;
    }
    machine.soundsPlayed.push_back(path);
    return true;
}

}  // namespace cv::platform
