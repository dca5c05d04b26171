#pragma once
// The one way into the Windows headers.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#include <windows.h>

#include <string>

namespace cv::platform::win32 {

// Resolves an export of an already loaded system library at run time; null when missing.
template <typename Function>
Function LookUp(const wchar_t* module, const char* name) {
    HMODULE handle = GetModuleHandleW(module);
    if (handle == nullptr) {
        handle = LoadLibraryW(module);
    }
    if (handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

// A null-DACL security descriptor: every user has full access; not inheritable.
SECURITY_ATTRIBUTES* OpenSecurityAttributes();

}  // namespace cv::platform::win32
