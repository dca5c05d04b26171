#include "enginehost/EngineHost.h"

#include <atomic>

#include "common/WideString.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "texts/Language.h"
#include "texts/Messages.h"

namespace cv {

namespace {

constexpr wchar_t kServiceName[] = L"Vigilor";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Vigilor";
constexpr std::uint32_t kMediumIntegrity = 0x2000;
constexpr std::uint32_t kDeleteFlagWarningText = 769;

std::atomic<int> cachedVista{-1};
std::atomic<bool> deleteFlagWarned{false};

}  // namespace

bool IsVistaOrLater() {
    int cached = cachedVista.load();
    if (cached < 0) {
        cached = platform::OsVersionAtLeast(6, 0, 0) ? 1 : 0;
        cachedVista.store(cached);
    }
    return cached == 1;
}

bool IsServiceInstalled() {
    using platform::RegistryRoot;
    if (!platform::RegistryKeyExists(RegistryRoot::LocalMachine, kServiceKey)) {
        return false;
    }
    const auto deleteFlag =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kServiceKey, L"DeleteFlag");
    if (!deleteFlag || *deleteFlag == 0) {
        return true;
    }
    if (!deleteFlagWarned.exchange(true)) {
        ShowMessage({LoadResourceString(kDeleteFlagWarningText), L"Corvane",
                     platform::kMbIconWarning});
    }
    return false;
}

bool StopEngineService() {
    const auto state = platform::QueryServiceState(kServiceName);
    if (state && *state != platform::ServiceState::Running) {
        return true;
    }
    if (!platform::SendServiceStop(kServiceName)) {
        return false;
    }
    platform::SleepMs(250);
    for (int poll = 0; poll < 20; ++poll) {
        const auto now = platform::QueryServiceState(kServiceName);
        if (!now || *now == platform::ServiceState::Stopped) {
            return true;
        }
        if (poll < 19) {
            platform::SleepMs(250);
        }
    }
    return false;
}

bool IsServiceAccountName(const std::wstring& userName) {
    const std::wstring lower = ToLower(userName);
    return lower == L"system" || lower == L"local service" || lower == L"network service";
}

bool RunsUnderServiceAccount() {
    const auto user = platform::OwnUserName();
    return user && IsServiceAccountName(*user);
}

platform::FolderSecurity OwnFolderSecurity() {
    return RunsUnderServiceAccount() ? platform::FolderSecurity::AdministratorsOnly
                                     : platform::FolderSecurity::Inherited;
}

bool IsAboveMediumIntegrity() {
    if (!IsVistaOrLater()) {
        return true;
    }
    const auto level = platform::OwnIntegrityLevel();
    return !level || *level > kMediumIntegrity;
}

void ResetEngineHostValues() {
    cachedVista = -1;
    deleteFlagWarned = false;
}

}  // namespace cv
