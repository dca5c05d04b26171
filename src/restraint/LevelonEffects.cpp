#include "restraint/LevelonEffects.h"

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "actionlog/Statistics.h"
#include "common/Format.h"
#include "config/ConfigSettings.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Sound.h"

namespace cv {

namespace {

constexpr std::uint32_t kRestrainedText = 1260;
constexpr std::uint32_t kRestraintEndedText = 223;

// "month.day.year" of a local FILETIME, without leading zeros.
std::wstring DateKey(std::uint64_t localFileTime) {
    // Days since 1601-01-01, then the civil date (proleptic Gregorian).
    const std::int64_t days = static_cast<std::int64_t>(localFileTime / 864'000'000'000ull);
    // Days since 0000-03-01: 134774 days from 1601 to 1970, 719468 from 0000-03-01 to 1970.
    const std::int64_t z = days - 134'774 + 719'468;
    const std::int64_t era = z / 146'097;
    const std::int64_t dayOfEra = z - era * 146'097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return FormatText(L"%d.%d.%d", static_cast<int>(month), static_cast<int>(day),
                      static_cast<int>(year));
}

std::wstring ImageNameOf(const ProcessRecord& record) {
    const std::wstring& image = record.info->ImageName();
    return image.empty() ? record.name : image;
}

}  // namespace

void CountRestraintBegin(const FeatureContext& context, const ProcessRecord& record) {
    if (context.LogOn(context.Settings().Logging.LogLevelonBegin)) {
        context.Record(CV_ACTION_TOOK_LEVELON_BEGIN,
                       context.RecordFacts(record, EngineText(kRestrainedText)));
    }
    const std::uint64_t now = platform::SystemTimeAsFileTime();
    const std::wstring image = ImageNameOf(record);
    AddToCounter(L"Levelon", 1);
    AddToCounter(image, 1, L"Levelon_Processes");
    SetCounter(L"LastRestraintBeginTime", now);
    SetCounter(image, now, L"Levelon_TimeStamps");
    AddToCounter(L"LevelonToday", 1, L"Dates\\" + DateKey(platform::ToLocalFileTime(now)));
}

void CountRestraintEnd(const FeatureContext& context, const ProcessRecord& record,
                       std::uint64_t durationMs) {
    const LoggingSection& logging = context.Settings().Logging;
    if (context.LogOn(logging.LogLevelonBegin && logging.LogLevelonEnd)) {
        context.Record(CV_ACTION_TOOK_LEVELON_END,
                       context.RecordFacts(record, EngineText(kRestraintEndedText)));
    }
    AddToCounter(L"TotalRestraintTime", durationMs);
    AddToCounter(ImageNameOf(record), durationMs, L"Levelon_Durations");
}

void LevelonSounds::Reload(const FeatureContext& context) {
    const ConfigSettings& settings = context.Settings();
    const auto& ooc = settings.OutOfControlProcessRestraint;
    if (!settings.Performance.SoundsOff && (ooc.PlaySoundOnRestraint || ooc.PlaySoundOnRestore)) {
        platform::LoadSoundSupport();
    } else {
        platform::UnloadSoundSupport();
    }
}

void LevelonSounds::PlayRestraint(const FeatureContext& context) {
    const ConfigSettings& settings = context.Settings();
    const auto& ooc = settings.OutOfControlProcessRestraint;
    if (!settings.Performance.SoundsOff && ooc.PlaySoundOnRestraint &&
        !ooc.PlayOnRestraint.empty()) {
        platform::PlaySoundFile(ooc.PlayOnRestraint);
    }
}

void LevelonSounds::PlayRestore(const FeatureContext& context) {
    const ConfigSettings& settings = context.Settings();
    const auto& ooc = settings.OutOfControlProcessRestraint;
    if (!settings.Performance.SoundsOff && ooc.PlaySoundOnRestore && !ooc.PlayOnRestore.empty()) {
        platform::PlaySoundFile(ooc.PlayOnRestore);
    }
}

}  // namespace cv
