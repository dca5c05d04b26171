#pragma once
// Which log record a configuration load calls for. A file that cannot be read is retried every
// cycle; the log gets one record when it stops loading (with the reason) and one when it loads
// again, not one per retry.
#include <string>

#include "config/ConfigStorage.h"

namespace cv {

enum class ConfigLoadRecord {
    None,
    CannotLoad,   // the file stopped loading, or now fails for another reason
    LoadedAgain,  // the first load that succeeded after a failure
};

class ConfigLoadRecords {
  public:
    // Give it every load result, in order, from the first load on.
    ConfigLoadRecord Next(const ConfigLoadResult& result);
    bool Failing() const { return failingCode_ >= 0; }

  private:
    int failingCode_ = -1;  // the code of the failure last recorded; -1 while loads succeed
};

// The texts of those records for the file at path.
std::wstring CannotLoadText(const std::wstring& path, const ConfigLoadResult& result);
std::wstring LoadedAgainText(const std::wstring& path);
// What a load did about a save that was cut short; empty when there is nothing to tell.
std::wstring InterruptedSaveText(const std::wstring& path, InterruptedSave outcome);

}  // namespace cv
