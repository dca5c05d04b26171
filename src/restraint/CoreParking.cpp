#include "restraint/CoreParking.h"

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "config/ConfigSettings.h"
#include "enginehost/EngineHost.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"
#include "powerplans/PowerPlanService.h"

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
    const std::wstring text =
        platform::ReadRegistryString(RegistryRoot::LocalMachine, kKey, kScheme).value_or(L"");
    // The scheme's GUID; an earlier version wrote its name.
    std::optional<PlanGuid> scheme = ParsePlanGuid(text);
    if (!scheme && !text.empty()) {
        scheme = service.FindPlanByName(text);
    }
    bool back = true;
    if (scheme) {
        bool written = false;
        // AC and DC of the first setting, then of the efficiency-class-1 variant.
        for (std::size_t pair = 0; pair < 4; pair += 2) {
            const auto ac =
                platform::ReadRegistryDword(RegistryRoot::LocalMachine, kKey, kValueNames[pair]);
            const auto dc = platform::ReadRegistryDword(RegistryRoot::LocalMachine, kKey,
                                                        kValueNames[pair + 1]);
            if (ac && dc) {
                back = service.WriteMinCores(*scheme, kSettings[pair].kind, *ac, true) && back;
                back = service.WriteMinCores(*scheme, kSettings[pair].kind, *dc, false) && back;
                written = true;
            }
        }
        if (written) {
            service.ReapplyActiveScheme();
        }
    }
    // Values that could not be written back are kept for the next start.
    if (back) {
        DeleteRecoveryValues();
    }
}

void CoreParking::Disable(const FeatureContext& context) {
    if (disabled_ || counter_ != 0 || !IsVistaOrLater() || service_ == nullptr) {
        return;
    }
    // Not tried again while the engine runs, whatever happens below.
    counter_ = 1;
    const auto scheme = service_->ActiveSettingsScheme();
    if (!scheme) {
        return;
    }
    scheme_ = *scheme;
    std::array<bool, 4> read{};
    for (std::size_t i = 0; i < 4; ++i) {
        const MinCoresReading reading =
            service_->ReadMinCores(scheme_, kSettings[i].kind, kSettings[i].ac);
        saved_[i] = reading.value;
        read[i] = reading.read;
    }
    pairSaved_ = {read[0] && read[1], read[2] && read[3]};
    if (!pairSaved_[0] && !pairSaved_[1]) {
        // Nothing that could be put back is changed.
        RecordParking(context, CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING_ERROR,
                      kFailedText);
        return;
    }
    disabled_ = true;
    // Saved before anything changes, so a crash can be repaired at the next start.
    platform::WriteRegistryDword(RegistryRoot::LocalMachine, kKey, kPending, 1);
    platform::WriteRegistryString(RegistryRoot::LocalMachine, kKey, kScheme,
                                  FormatPlanGuid(scheme_));
    for (std::size_t i = 0; i < 4; ++i) {
        if (pairSaved_[i / 2]) {
            platform::WriteRegistryDword(RegistryRoot::LocalMachine, kKey, kValueNames[i],
                                         saved_[i]);
        }
    }
    bool written = true;
    for (std::size_t i = 0; i < 4; ++i) {
        if (pairSaved_[i / 2]) {
            written =
                service_->WriteMinCores(scheme_, kSettings[i].kind, kUnparked, kSettings[i].ac) &&
                written;
        }
    }
    const bool applied = service_->ReapplyActiveScheme() && written;
    RecordParking(context,
                  applied ? CV_ACTION_TOOK_LEVELON_BEGIN_DISABLE_CORE_PARKING
                          : CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING_ERROR,
                  applied ? kDisabledText : kFailedText);
}

void CoreParking::Restore(const FeatureContext& context, bool stopping) {
    if (!disabled_ || (!stopping && counter_ == 0) || service_ == nullptr) {
        return;
    }
    disabled_ = false;
    if (counter_ == 1) {
        bool back = true;
        for (std::size_t i = 0; i < 4; ++i) {
            if (pairSaved_[i / 2]) {
                back = service_->WriteMinCores(scheme_, kSettings[i].kind, saved_[i],
                                               kSettings[i].ac) &&
                       back;
            }
        }
        // Kept until the values are really back: the next start tries again.
        if (back) {
            DeleteRecoveryValues();
        }
        const bool applied = service_->ReapplyActiveScheme() && back;
        RecordParking(context,
                      applied ? CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING
                              : CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING_ERROR,
                      applied ? kRestoredText : kFailedText);
    }
    --counter_;
}

}  // namespace cv
