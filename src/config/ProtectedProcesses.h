#pragma once
// The processes no rule may end or suspend, by name, shared by the guard that refuses at run time
// (control/ProcessGuard.h) and by the configuration check that warns about such rules.
#include <span>
#include <string_view>

namespace cv {

// The engine's own image, as the check names it; at run time the engine is known by its id.
inline constexpr std::wstring_view kEngineImageName = L"vigilor.exe";

// smss.exe, csrss.exe, wininit.exe, winlogon.exe, services.exe and lsass.exe.
std::span<const std::wstring_view> SessionCriticalImageNames();
// One of them, case ignored.
bool IsSessionCriticalImageName(std::wstring_view imageName);

}  // namespace cv
