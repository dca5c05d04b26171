#include "config/ConfigLoadRecords.h"

#include "common/Format.h"

namespace cv {

ConfigLoadRecord ConfigLoadRecords::Next(const ConfigLoadResult& result) {
    switch (result.code) {
        case kConfigLoaded:
        case kConfigCreatedWithDefaults:
            if (failingCode_ < 0) {
                return ConfigLoadRecord::None;
            }
            failingCode_ = -1;
            return ConfigLoadRecord::LoadedAgain;
        case kConfigUnchanged:
        case kConfigMissingForNow:
            // Nothing read, nothing lost: a missing file gets its grace before it counts.
            return ConfigLoadRecord::None;
        default:
            if (result.code == failingCode_) {
                return ConfigLoadRecord::None;
            }
            failingCode_ = result.code;
            return ConfigLoadRecord::CannotLoad;
    }
}

std::wstring CannotLoadText(const std::wstring& path, const ConfigLoadResult& result) {
    return FormatText(
        L"Configuration %s cannot be loaded (code %d): %s; the settings in force stay", path,
        result.code, result.reason);
}

std::wstring LoadedAgainText(const std::wstring& path) {
    return FormatText(L"Configuration loaded again from %s", path);
}

std::wstring InterruptedSaveText(const std::wstring& path, InterruptedSave outcome) {
    switch (outcome) {
        case InterruptedSave::Finished:
            return FormatText(L"Configuration %s: finished a save that was cut short", path);
        case InterruptedSave::Superseded:
            return FormatText(
                L"Configuration %s: dropped a save that was cut short, as another program has "
                L"rewritten the file since",
                path);
        case InterruptedSave::None:
        case InterruptedSave::Unfinished:
            break;
    }
    return {};
}

}  // namespace cv
