#include "platform/FileSecurity.h"
#include "platform/win32/WindowsApi.h"

#include <aclapi.h>
#include <sddl.h>

namespace cv::platform {

namespace {

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

}  // namespace

std::optional<PathSecurity> ReadPathSecurity(const std::wstring& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    PathSecurity security;
    security.owner = SidText(owner);
    security.hasAccessList = dacl != nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        security.isProtected = (control & SE_DACL_PROTECTED) != 0;
    }
    for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) {
            security.hasUnknownEntries = true;
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        // A conditional entry allows as much as a plain one when its condition holds.
        const bool conditional = header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && !conditional) {
            security.hasUnknownEntries |= header->AceType != ACCESS_DENIED_ACE_TYPE;
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        security.grants.push_back({SidText(&allowed->SidStart), allowed->Mask,
                                   (header->AceFlags & INHERIT_ONLY_ACE) != 0, conditional});
    }
    LocalFree(descriptor);
    if (security.owner.empty()) {
        return std::nullopt;
    }
    return security;
}

}  // namespace cv::platform
