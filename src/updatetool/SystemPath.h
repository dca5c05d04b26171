#pragma once
// The installation folder in the machine-wide PATH, exactly once.
#include <string>

namespace cv {

inline constexpr wchar_t kEnvironmentKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// The new PATH text without the folder, and with it at the end ("<folder>\;").
std::wstring PathWithoutFolder(const std::wstring& path, const std::wstring& folder);
std::wstring PathWithFolder(const std::wstring& path, const std::wstring& folder);

// Each reads the machine's Path; a missing or empty one is left alone (true, nothing written).
bool RemoveFromSystemPath(const std::wstring& folder);
bool AddToSystemPath(const std::wstring& folder);
bool WriteSystemPath(const std::wstring& text);

}  // namespace cv
