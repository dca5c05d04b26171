#include "restraint/CoreParking.h"

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "config/ConfigSettings.h"
#include "platform/Registry.h"
#include "powerplans/PowerPlanService.h"
#include "services/EngineProcess.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kKey[] = L"Software\\Corvane";
constexpr wchar_t kPending[] = L"CVCPRN";
constexpr wchar_t kScheme[] = L"CVCPPWRGUID";
constexpr const wchar_t* kValueNames[] = {L"CVACR", L"CVDCR", L"CVACR_1", L"CVDCR_1"};
constexpr std::uint32_t kDisabledText = 868;
constexpr std::uint32_t kRestoredText = 870;
constexpr std::uint32_t kFailedText = 897;
constexpr std::uint32_t kUnparked = 100;

// The four settings in the order of the saved values.
struct Setting {
    MinCoresKind kind;
    bool ac;
};
constexpr Setting kSettings[] = {{MinCoresKind::AllCores, true},
                                 {MinCoresKind::AllCores, false},
                                 {MinCoresKind::EfficiencyClass1, true},
                                 {MinCoresKind::EfficiencyClass1, false}};

void DeleteRecoveryValues() {
    platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kKey, kPending);
    platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kKey, kScheme);
    for (const wchar_t* name : kValueNames) {
        platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kKey, name);
    }
}

void RecordParking(const FeatureContext& context, std::uint32_t actionId, std::uint32_t text) {
    const ConfigSettings& settings = context.Settings();
    if (context.LogOn(settings.Logging.LogLevelonParkingChanges)) {
        context.Record(actionId, context.EngineFacts(EngineText(text), false));
    }
}

}  // namespace

void CoreParking::RecoverAtStartup(PowerPlanService& service) {
    if (!platform::ReadRegistryDword(RegistryRoot::LocalMachine, kKey, kPending)) {
        return;
    }
    const std::wstring scheme =
        platform::ReadRegistryString(RegistryRoot::LocalMachine, kKey, kScheme).value_or(L"");
    if (!scheme.empty()) {
        // AC and DC of the first setting, then of the efficiency-class-1 variant.
        for (std::size_t pair = 0; pair < 4; pair += 2) {
            const auto ac =
                platform::ReadRegistryDword(RegistryRoot::LocalMachine, kKey, kValueNames[pair]);
            const auto dc = platform::ReadRegistryDword(RegistryRoot::LocalMachine, kKey,
                                                        kValueNames[pair + 1]);
            if (ac && dc) {
                service.WriteMinCores(scheme, kSettings[pair].kind, *ac, true);
                service.WriteMinCores(scheme, kSettings[pair].kind, *dc, false);
                service.ReapplyActiveScheme();
            }
        }
    }
    DeleteRecoveryValues();
}

void CoreParking::Disable(const FeatureContext& context) {
    if (disabled_ || counter_ != 0 || !IsVistaOrLater() || service_ == nullptr) {
        return;
    }
    const auto scheme = service_->ActivePlanName();
    if (!scheme) {
        // Not tried again while the engine runs.
        counter_ = 1;
        return;
    }
    scheme_ = *scheme;
    disabled_ = true;
    for (std::size_t i = 0; i < 4; ++i) {
        saved_[i] = service_->ReadMinCores(scheme_, kSettings[i].kind, kSettings[i].ac).value;
    }
    // Saved before anything changes, so a crash can be repaired at the next start.
    platform::WriteRegistryDword(RegistryRoot::LocalMachine, kKey, kPending, 1);
    platform::WriteRegistryString(RegistryRoot::LocalMachine, kKey, kScheme, scheme_);
    for (std::size_t i = 0; i < 4; ++i) {
        platform::WriteRegistryDword(RegistryRoot::LocalMachine, kKey, kValueNames[i], saved_[i]);
    }
    // Recorded as done only when every setting was written and the plan applied again.
    bool written = true;
    for (const Setting& setting : kSettings) {
        written = service_->WriteMinCores(scheme_, setting.kind, kUnparked, setting.ac) && written;
    }
    const bool applied = service_->ReapplyActiveScheme() && written;
    RecordParking(context,
                  applied ? CV_ACTION_TOOK_LEVELON_BEGIN_DISABLE_CORE_PARKING
                          : CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING_ERROR,
                  applied ? kDisabledText : kFailedText);
    counter_ = 1;
}

void CoreParking::Restore(const FeatureContext& context, bool stopping) {
    if (!disabled_ || (!stopping && counter_ == 0) || service_ == nullptr) {
        return;
    }
    disabled_ = false;
    if (!scheme_.empty() && counter_ == 1) {
        bool written = true;
        for (std::size_t i = 0; i < 4; ++i) {
            written =
                service_->WriteMinCores(scheme_, kSettings[i].kind, saved_[i], kSettings[i].ac) &&
                written;
        }
        DeleteRecoveryValues();
        const bool applied = service_->ReapplyActiveScheme() && written;
        RecordParking(context,
                      applied ? CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING
                              : CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING_ERROR,
                      applied ? kRestoredText : kFailedText);
    }
    --counter_;
}

}  // namespace cv
