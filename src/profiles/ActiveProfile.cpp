#include "profiles/ActiveProfile.h"

#include <algorithm>
#include <array>
#include <vector>

#include "actionlog/EngineTexts.h"
#include "common/WideString.h"
#include "config/ConfigStorage.h"
#include "enginehost/EngineHost.h"
#include "platform/Files.h"
#include "platform/KernelObjects.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

constexpr std::uint32_t kDefaultProfileText = 1165;

bool IsDeviceName(std::wstring_view name) {
    // Windows reserves these names with any extension, and ignores blanks before the dot.
    std::wstring base = ToLower(name.substr(0, name.find(L'.')));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    static constexpr std::array<std::wstring_view, 6> kDevices = {L"con", L"prn",    L"aux",
                                                                  L"nul", L"conin$", L"conout$"};
    if (std::find(kDevices.begin(), kDevices.end(), base) != kDevices.end()) {
        return true;
    }
    return base.size() == 4 && (base.starts_with(L"com") || base.starts_with(L"lpt")) &&
           base[3] >= L'0' && base[3] <= L'9';
}

}  // namespace

std::wstring StripProfileName(std::wstring_view raw) {
    std::wstring name;
    for (const wchar_t c : raw) {
        if (c != L'\r' && c != L'\n' && c != L'\t' && c != L'/' && c != L'\\') {
            name.push_back(c);
        }
    }
    for (auto at = name.find(L".."); at != std::wstring::npos; at = name.find(L"..")) {
        name.erase(at, 2);
    }
    return name;
}

bool IsUsableProfileName(std::wstring_view name) {
    if (name.empty()) {
        return true;
    }
    if (name.size() > kMaxProfileNameLength || name.back() == L'.' || name.back() == L' ' ||
        IsDeviceName(name)) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](wchar_t c) {
        return c < 0x20 || std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos;
    });
}

bool IsDefaultProfileName(std::wstring_view name) {
    if (EqualsIgnoreCase(name, kFirstProfileName)) {
        return true;
    }
    const std::wstring localized = EngineText(kDefaultProfileText);
    return !localized.empty() && EqualsIgnoreCase(name, localized);
}

ActiveProfile ReadActiveProfile(const std::wstring& folder) {
    ActiveProfile profile;
    auto opened =
        platform::OpenFile(folder + L"\\" + kProfileFileName, platform::kGenericRead,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenExisting, platform::kFileAttributeNormal);
    if (!opened.handle) {
        return profile;
    }
    const auto size = platform::FileSize(opened.handle.Get());
    if (!size || *size > kMaxProfileFileBytes) {
        return profile;
    }
    std::vector<std::uint8_t> bytes(*size + 2, 0);
    if (*size > 0) {
        const auto got = platform::ReadFromFile(opened.handle.Get(), bytes.data(),
                                                static_cast<std::uint32_t>(*size));
        if (!got) {
            return profile;
        }
    }
    profile.read = true;
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    std::wstring name = StripProfileName(FromUtf16(units));
    if (!IsUsableProfileName(name)) {
        profile.refused = std::move(name);
    } else if (!IsDefaultProfileName(name)) {
        profile.name = std::move(name);
    }
    return profile;
}

ActiveProfile ReadActiveProfile() {
    return ReadActiveProfile(GetDefaultConfigFolder());
}

bool WriteActiveProfileFile(const std::wstring& folder, const std::wstring& text) {
    // A configuration folder given on the command line leaves the default one uncreated; without
    // it the choice could never be stored, and the switcher would ask for it again and again.
    if (!platform::PathExists(folder)) {
        platform::CreateFolderTree(folder, OwnFolderSecurity());
    }
    auto opened =
        platform::OpenFile(folder + L"\\" + kProfileFileName, platform::kGenericWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
    if (!opened.handle) {
        return false;
    }
    const std::u16string units = ToUtf16(text);
    std::string bytes;
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    if (!bytes.empty() && !platform::WriteToFile(opened.handle.Get(), bytes.data(),
                                                 static_cast<std::uint32_t>(bytes.size()))) {
        return false;
    }
    return platform::SetEndOfFileHere(opened.handle.Get());
}

void SetActiveProfile(const std::wstring& folder, const std::wstring& name, bool signal) {
    const std::wstring kept =
        IsDefaultProfileName(name) || !IsUsableProfileName(name) ? std::wstring() : name;
    const bool stored = WriteActiveProfileFile(folder, kept);
    // Nothing changed that a reload could pick up.
    if (!signal || !stored) {
        return;
    }
    for (const wchar_t* eventName : {names::kReloadNowEvent, names::kProfileChangedEvent}) {
        if (const auto event = platform::OpenEventObject(eventName, platform::kEventModifyState)) {
            platform::SetEventObject(event.Get());
        }
    }
}

}  // namespace cv
