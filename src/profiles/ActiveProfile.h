#pragma once
// Configuration profiles: a profile is a sub-folder of the configuration folder with its own
// corvex.ini; the default profile is the folder itself. The active profile's name lives in the
// file ".profile" beside the configuration, as UTF-16LE without a byte-order mark or line end.
#include <cstddef>
#include <string>
#include <string_view>

namespace cv {

inline constexpr wchar_t kProfileFileName[] = L".profile";
inline constexpr wchar_t kFirstProfileName[] = L"My First Profile";
inline constexpr std::size_t kMaxProfileFileBytes = 4095;
inline constexpr std::size_t kMaxProfileNameLength = 128;

// Removes CR, LF, tab, "/", "\" and every "..", so a name stays one folder name.
std::wstring StripProfileName(std::wstring_view raw);
// A name that is a device name (con, nul, com1 ...), ends in a dot or a blank, is longer than
// kMaxProfileNameLength or holds a character no folder name may hold would not name a folder of
// its own inside the configuration folder.
bool IsUsableProfileName(std::wstring_view name);
// "My First Profile" and the localized name of the default profile mean the default profile.
bool IsDefaultProfileName(std::wstring_view name);

struct ActiveProfile {
    bool read = false;     // false: the file could not be opened or is too large
    std::wstring name;     // empty for the default profile
    std::wstring refused;  // a name that could not be used, so the default profile stands
};
// The profile file in the given folder.
ActiveProfile ReadActiveProfile(const std::wstring& folder);
// Same, for the folder that holds the profile file (GetDefaultConfigFolder).
ActiveProfile ReadActiveProfile();
// Writes the text as the profile file of the folder, creating the folder when it is missing.
// True only when the whole text is in the file.
bool WriteActiveProfileFile(const std::wstring& folder, const std::wstring& text);
// Writes the name (the default profile for its other names) and, when signal is true, sets the
// engine's reload-now event and the user interface's profile event. A file that cannot be
// written is skipped.
void SetActiveProfile(const std::wstring& folder, const std::wstring& name, bool signal = true);

}  // namespace cv
