#pragma once
// Sampling: at a fixed interval, one CSV row per selected process with its resource use at that
// moment, so that processes can be followed over time outside the engine. The file follows the
// action log's CSV conventions.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/FeatureContext.h"
#include "platform/DateTime.h"
#include "sampling/SamplingFile.h"

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

struct SampleOutcome {
    SamplingFileResult result = SamplingFileResult::kFailed;
    std::wstring file;  // the output path with its placeholders expanded; empty without one
    bool operator==(const SampleOutcome&) const = default;
};

// One row for every selected record, added to the sampling file. kFailed also when the output
// path is empty; a file of the engine's own, or one that is not a sampling file, is refused.
SampleOutcome WriteSample(ProcessTable& table, const ConfigSettings& settings);

// Why no sample goes into the file, for the log and the configuration check; empty for kOk.
std::wstring SamplingFileProblem(SamplingFileResult result, const std::wstring& file);

class SettingsFindings;
// The configuration check's finding about the file SamplingOutputPath names now (placeholders
// expanded with the current UTC time), when the engine would refuse it or cannot read it.
void CheckSamplingOutput(const ConfigSettings& settings, SettingsFindings& findings);

class SamplingOutput {
  public:
    // Once the interval has passed since the last sample: a sample, and its record (made
    // whatever LogDisable says). A failure that repeats, for the same reason and file, is
    // recorded once: when it begins, and again only after a sample was written.
    void WriteIfDue(const FeatureContext& context);

  private:
    std::uint64_t lastTick_ = 0;
    std::optional<SampleOutcome> failure_;  // the failure recorded last, until a sample is written
};

}  // namespace cv
