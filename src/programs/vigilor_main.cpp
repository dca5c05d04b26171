// vigilor.exe: the background engine. A GUI-subsystem program that never opens a window.
#include "engine/EngineEntry.h"

extern "C" int __stdcall wWinMain(void* /*instance*/, void* /*previous*/, wchar_t* /*commandLine*/,
                                  int /*show*/) {
    return cv::RunEngine();
}
