#pragma once
// Sampling: at a fixed interval, one CSV row per selected process with its resource use at that
// moment, so that processes can be followed over time outside the engine. The file follows the
// action log's CSV conventions.
#include <cstdint>
#include <string>
#include <vector>

#include "common/FailureEpisodes.h"
#include "control/FeatureContext.h"
#include "platform/DateTime.h"

namespace cv {

inline constexpr char kSamplingHeader[] =
    "\"UTC\",\"DateTime\",\"ProcessName\",\"FileName\",\"Id\",\"SessionId\",\"UserName\","
    "\"PriorityClass\",\"ProcessorAffinity\",\"ProcessorAffinityHex\","
    "\"ProcessorAffinityFriendly\",\"CPU\",\"VM\",\"WS\",\"Threads\",\"Handles\",\"IO\",\"Path\","
    "\"CommandLine\"";

// %dd%, %mm% (the month), %yyyy%, %hh% and %ss% replaced by the UTC time's fields.
std::wstring ExpandSamplingPath(const std::wstring& path, const platform::CalendarTime& utc);
// Ascending runs of set bits: "0-3;5".
std::wstring AffinityRanges(std::uint64_t mask);
std::wstring PriorityClassName(std::uint32_t priorityClass);
// The ";"-separated patterns, empty ones dropped.
std::vector<std::wstring> SplitSamplingPatterns(const std::wstring& list);
// Matches one of the include patterns and none of the exclude patterns, ignoring case.
bool IsSampled(const std::wstring& imageName, const std::vector<std::wstring>& include,
               const std::vector<std::wstring>& exclude);

// One row for every selected record; false when the output path is empty or the file cannot
// be opened or written.
bool WriteSample(ProcessTable& table, const ConfigSettings& settings);

class SamplingOutput {
  public:
    // Once the interval has passed since the last sample: a sample, and its record (made
    // whatever LogDisable says). A sample that cannot be written is recorded when the failure
    // begins, and again only after a sample was written or the output path changed.
    void WriteIfDue(const FeatureContext& context);

  private:
    std::uint64_t lastTick_ = 0;
    FailureEpisodes failures_;
    std::wstring failedPath_;  // the output path the failures are about
};

}  // namespace cv
