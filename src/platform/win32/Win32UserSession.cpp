#include "platform/Sound.h"
#include "platform/UserSession.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

std::optional<ForegroundWindowOwner> ForegroundWindowProcess() {
    HWND window = GetForegroundWindow();
    if (window == nullptr) {
        return std::nullopt;
    }
    ForegroundWindowOwner owner;
    owner.window = reinterpret_cast<std::uintptr_t>(window);
    DWORD processId = 0;
    owner.threadId = GetWindowThreadProcessId(window, &processId);
    owner.processId = processId;
    return owner;
}

std::optional<std::uint32_t> LastInputTick() {
    LASTINPUTINFO info{};
    info.cbSize = sizeof info;
    if (!GetLastInputInfo(&info)) {
        return std::nullopt;
    }
    return info.dwTime;
}

namespace {

using PlaySoundFunction = BOOL(WINAPI*)(LPCWSTR, HMODULE, DWORD);
constexpr DWORD kSndNoWait = 0x00002000;
constexpr DWORD kSndNoStop = 0x00000010;
constexpr DWORD kSndFileName = 0x00020000;

struct SoundLibrary {
    HMODULE module = nullptr;
    PlaySoundFunction play = nullptr;
};

SoundLibrary& Library() {
    static SoundLibrary library;
    return library;
}

}  // namespace

bool LoadSoundSupport() {
    SoundLibrary& library = Library();
    if (library.play != nullptr) {
        return true;
    }
    if (library.module == nullptr) {
        library.module = LoadLibraryW(L"winmm.dll");
    }
    if (library.module != nullptr) {
        library.play = reinterpret_cast<PlaySoundFunction>(
            reinterpret_cast<void*>(GetProcAddress(library.module, "PlaySoundW")));
    }
    return library.play != nullptr;
}

void UnloadSoundSupport() {
    SoundLibrary& library = Library();
    library.play = nullptr;
    if (library.module != nullptr) {
        FreeLibrary(library.module);
        library.module = nullptr;
    }
}

bool IsSoundSupportLoaded() {
    return Library().play != nullptr;
}

bool PlaySoundFile(const std::wstring& path) {
    const SoundLibrary& library = Library();
    if (library.play == nullptr) {
        return false;
    }
    return library.play(path.c_str(), nullptr, kSndFileName | kSndNoWait | kSndNoStop) != FALSE;
}

}  // namespace cv::platform
