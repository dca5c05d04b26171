// Power schemes with the real powrprof and registry. Wine carries out little of powrprof, so
// these tests hold on Windows and on Wine alike: what powrprof lacks must fail cleanly, and the
// registry side works everywhere. Which calls this system has is recorded as test properties;
// the service's logic is covered on the simulated machine.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "platform/Power.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"
#include "powerplans/PowerPlanService.h"
#include "powerplans/RecoveryValues.h"

namespace cv {
namespace {

using platform::RegistryRoot;

bool Exported(const char* name) {
    HMODULE powrprof = LoadLibraryW(L"powrprof.dll");
    return powrprof != nullptr && GetProcAddress(powrprof, name) != nullptr;
}

constexpr const char* kRequired[] = {
    "PowerSetActiveScheme",   "PowerGetActiveScheme",       "PowerEnumerate",
    "PowerReadFriendlyName",  "PowerDuplicateScheme",       "PowerWriteFriendlyName",
    "PowerWriteDescription",  "PowerDeleteScheme",          "PowerReadACValueIndex",
    "PowerReadDCValueIndex",  "PowerWriteACValueIndex",     "PowerWriteDCValueIndex",
    "PowerReadPossibleValue", "PowerWriteSettingAttributes"};

// A scheme no system has.
const PlanGuid kNoSuchPlan{0x0badc0de, 0x1111, 0x2222, {3, 4, 5, 6, 7, 8, 9, 10}};

TEST(PowerWin, EntryPointsAsPowrprofExportsThem) {
    bool all = true;
    for (const char* name : kRequired) {
        const bool found = Exported(name);
        ::testing::Test::RecordProperty(name, found ? "yes" : "no");
        all = all && found;
    }
    const platform::PowerEntryPoints found = platform::FindPowerEntryPoints();
    EXPECT_EQ(found.required, all);
    EXPECT_EQ(found.getActualOverlay, Exported("PowerGetActualOverlayScheme"));
    EXPECT_EQ(found.setActiveOverlay, Exported("PowerSetActiveOverlayScheme"));
}

TEST(PowerWin, CallsReportTheirErrorsAndMissingEntryPoints) {
    // Reads only, and writes to a scheme that does not exist: nothing on the machine changes.
    platform::PowerGuid guid;
    std::wstring name;
    std::uint32_t value = 0;
    const platform::PowerGuid none = ToPowerGuid(kNoSuchPlan);
    const platform::PowerGuid subgroup = ToPowerGuid(kProcessorSubgroup);
    const platform::PowerGuid setting = ToPowerGuid(kCoreParkingMinCores);
    const struct {
        const char* function;
        std::uint32_t result;
        bool mayWork;  // the call can succeed with these arguments
    } calls[] = {
        {"PowerGetActiveScheme", platform::ReadActivePowerScheme(guid), true},
        {"PowerEnumerate", platform::EnumeratePowerScheme(0, guid), true},
        {"PowerReadFriendlyName", platform::ReadPowerSchemeName(ToPowerGuid(kBalancedPlan), name),
         true},
        {"PowerReadACValueIndex",
         platform::ReadPowerSettingValue(true, none, subgroup, setting, value), false},
        {"PowerWriteDCValueIndex",
         platform::WritePowerSettingValue(false, none, subgroup, setting, 5), false},
        {"PowerWriteFriendlyName", platform::WritePowerSchemeName(none, L"x", 4), false},
        {"PowerDuplicateScheme", platform::DuplicatePowerScheme(none, guid), false},
        {"PowerDeleteScheme", platform::DeletePowerScheme(none), false},
    };
    for (const auto& call : calls) {
        ::testing::Test::RecordProperty(std::string(call.function) + "_result",
                                        std::to_string(call.result));
        if (!Exported(call.function)) {
            EXPECT_EQ(call.result, platform::kPowerEntryPointMissing) << call.function;
        } else if (!call.mayWork) {
            EXPECT_NE(call.result, platform::kPowerOk) << call.function;
        }
    }
}

TEST(PowerWin, ServiceIsUnavailableOrWorksWithoutSwitching) {
    PowerPlanService service;
    RecordProperty("power_service_available", service.IsAvailable() ? "yes" : "no");
    EXPECT_EQ(service.IsAvailable(), platform::FindPowerEntryPoints().required);
    if (!service.IsAvailable()) {
        EXPECT_TRUE(service.EnumeratePlans().empty());
        EXPECT_FALSE(service.FindPlanByName(L"Balanced"));
        EXPECT_FALSE(service.ActivePlan());
        EXPECT_FALSE(service.ActivePlanName());
        EXPECT_FALSE(service.SetActivePlan(kBalancedPlan));
        EXPECT_FALSE(service.ReadMinCores(L"Balanced", MinCoresKind::AllCores, true).result);
        EXPECT_FALSE(service.ReapplyActiveScheme());
        return;
    }
    const std::optional<PlanGuid> active = service.ActivePlan();
    ASSERT_TRUE(active);
    const std::optional<std::wstring> name = service.ActivePlanName();
    ASSERT_TRUE(name);
    EXPECT_EQ(service.FindPlanByName(*name), active);
    EXPECT_FALSE(service.FindPlanByName(L"no plan has this name"));
    EXPECT_EQ(service.PlanExists(kNoSuchPlan), false);
}

TEST(PowerWin, RecoveryValuesInTheRegistry) {
    const std::wstring key = L"Software\\Corvane";
    const bool keyExisted = platform::RegistryKeyExists(RegistryRoot::LocalMachine, key);
    const std::wstring valueName = L"CvTestRecoveryGUID" + std::to_wstring(GetCurrentProcessId());

    ASSERT_TRUE(StoreRecoveryValue(valueName, kHighPerformancePlan));
    EXPECT_EQ(platform::ReadRegistryBinary(RegistryRoot::LocalMachine, key, valueName),
              PlanGuidBytes(kHighPerformancePlan));
    EXPECT_TRUE(platform::RegistryValuePresent(RegistryRoot::LocalMachine, key, valueName));

    // A plan no system has: nothing is switched, whether or not powrprof works here.
    ASSERT_TRUE(StoreRecoveryValue(valueName, kNoSuchPlan));
    PowerPlanService service;
    EXPECT_EQ(ApplyRecoveryValue(service, valueName),
              service.IsAvailable() ? RecoveryOutcome::Discarded : RecoveryOutcome::Failed);

    EXPECT_TRUE(ClearRecoveryValue(valueName));
    EXPECT_FALSE(platform::RegistryValuePresent(RegistryRoot::LocalMachine, key, valueName));
    EXPECT_TRUE(ClearRecoveryValue(valueName));
    EXPECT_EQ(ApplyRecoveryValue(service, valueName), RecoveryOutcome::None);
    if (!keyExisted) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
    }
}

TEST(PowerWin, ValuesOfAnyTypeArePresent) {
    const std::wstring key =
        L"Software\\CorvaneTests\\Power" + std::to_wstring(GetCurrentProcessId());
    HKEY opened = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &opened, nullptr),
              ERROR_SUCCESS);
    const ULONGLONG quad = 1;
    RegSetValueExW(opened, L"Quad", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&quad),
                   sizeof quad);
    RegSetValueExW(opened, L"Empty", 0, REG_NONE, nullptr, 0);
    RegCloseKey(opened);
    EXPECT_TRUE(platform::RegistryValuePresent(RegistryRoot::CurrentUser, key, L"Quad"));
    EXPECT_TRUE(platform::RegistryValuePresent(RegistryRoot::CurrentUser, key, L"empty"));
    EXPECT_FALSE(platform::RegistryValuePresent(RegistryRoot::CurrentUser, key, L"Missing"));
    EXPECT_FALSE(platform::RegistryValuePresent(RegistryRoot::CurrentUser, key + L"\\No", L"Quad"));
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\CorvaneTests");
}

// The outermost key of the path that does not exist yet; empty when the whole path exists.
std::wstring FirstMissingKey(const std::wstring& path) {
    for (std::size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
        const std::wstring key = path.substr(0, end);
        if (!platform::RegistryKeyExists(RegistryRoot::LocalMachine, key)) {
            return key;
        }
        if (end == std::wstring::npos) {
            return std::wstring();
        }
    }
}

TEST(PowerWin, SchemeKeysAndTheirNamesInTheRegistry) {
    const PlanGuid plan = kNoSuchPlan;
    const std::wstring schemeKey =
        std::wstring(platform::kPowerSchemesKey) + L"\\" + FormatPlanGuid(plan);
    // Removed afterwards: the outermost key this test adds.
    std::wstring created = FirstMissingKey(schemeKey);
    if (created.empty()) {
        created = schemeKey;
    }
    if (!platform::WriteRegistryString(RegistryRoot::LocalMachine, schemeKey, L"FriendlyName",
                                       L"Test scheme")) {
        GTEST_SKIP() << "no write access to the power schemes";
    }
    bool listed = false;
    for (const std::wstring& name : platform::ListPowerSchemeKeys()) {
        listed = listed || ParsePlanGuid(name) == plan;
    }
    EXPECT_TRUE(listed);
    EXPECT_EQ(PowerPlanService::FriendlyNameFromRegistry(plan), L"Test scheme");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, created.c_str());
    EXPECT_EQ(PowerPlanService::FriendlyNameFromRegistry(plan), std::nullopt);
}

TEST(PowerWin, PowercfgIsInTheSystemDirectory) {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(platform::PowercfgPath(), std::wstring(system, length) + L"\\powercfg.exe");
}

}  // namespace
}  // namespace cv
