#pragma once
// The installation folder in the machine-wide PATH, exactly once, and nothing else of it changed.
#include <string>

namespace cv {

inline constexpr wchar_t kEnvironmentKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// Whether a PATH entry names the folder: letter case and one trailing backslash on either side
// do not count, so "Q:\" is the drive root and "C:\Apps\CorvaneTools" is not "C:\Apps\Corvane".
bool IsSameFolder(const std::wstring& entry, const std::wstring& folder);
// The PATH text with every entry naming the folder removed and the folder appended once (as
// "<folder>\;"); every other entry, empty ones included, stays exactly as it was.
std::wstring PathWithFolderOnce(const std::wstring& path, const std::wstring& folder);

// Puts the folder into the machine's Path, keeping the value's type (REG_SZ stays REG_SZ; a
// missing value is created as REG_EXPAND_SZ). True only when the folder is in Path afterwards.
bool AddToSystemPath(const std::wstring& folder);

}  // namespace cv
