#include "config/ProtectedProcesses.h"

#include "common/WideString.h"

namespace cv {

namespace {

constexpr std::wstring_view kSessionCritical[] = {L"smss.exe",     L"csrss.exe",    L"wininit.exe",
                                                  L"winlogon.exe", L"services.exe", L"lsass.exe"};

}  // namespace

std::span<const std::wstring_view> SessionCriticalImageNames() {
    return kSessionCritical;
}

bool IsSessionCriticalImageName(std::wstring_view imageName) {
    for (const auto name : kSessionCritical) {
        if (EqualsIgnoreCase(imageName, name)) {
            return true;
        }
    }
    return false;
}

}  // namespace cv
