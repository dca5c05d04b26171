#include "sampling/SamplingOutput.h"

#include <algorithm>

#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/EngineTexts.h"
#include "actionlog/LogFile.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "platform/Clock.h"
#include "platform/ProcessControl.h"
#include "processes/HandleCache.h"

namespace cv {

namespace {

constexpr std::uint32_t kSamplingText = 924;

void ReplaceAll(std::wstring& text, std::wstring_view placeholder, const std::wstring& value) {
    for (auto at = text.find(placeholder); at != std::wstring::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
}

std::string SampleRow(ProcessRecord& record) {
    ProcessInfo& info = *record.info;
    const std::uint64_t utc = platform::SystemTimeAsFileTime();
    const std::wstring& imageName = info.ImageName();
    const auto dot = imageName.find_last_of(L'.');
    const platform::RawHandle handle = ProcessHandleCache::Instance().GetHandle(record.pid);
    const std::uint32_t priorityClass =
        handle != nullptr ? platform::GetProcessPriorityClass(handle) : 0;
    const std::uint64_t affinity = handle != nullptr ? platform::GetProcessAffinity(handle) : 0;
    const platform::MemoryCounters memory = info.MemoryCounters();
    const std::wstring values[] = {
        FormatText(L"%llu", utc),
        platform::FormatSystemLocaleDateTime(utc),
        dot == std::wstring::npos ? imageName : imageName.substr(0, dot),
        imageName,
        FormatText(L"%lu", record.pid),
        FormatText(L"%lu", info.SessionId()),
        FormatText(L"%s\\%s", info.DomainName(), record.user),
        PriorityClassName(priorityClass),
        FormatText(L"%llu", affinity),
        FormatText(L"0x%08X%08X", static_cast<std::uint32_t>(affinity >> 32),
                   static_cast<std::uint32_t>(affinity)),
        AffinityRanges(affinity),
        FormatText(L"%.02f", info.CpuPercent()),
        FormatText(L"%llu", memory.pagefileUsage),
        FormatText(L"%llu", memory.workingSet),
        FormatText(L"%lu", info.ThreadCount()),
        FormatText(L"%lu", info.HandleCount()),
        FormatText(L"%llu", info.IoTransferBytes()),
        record.path,
        record.commandLine};
    return ToUtf8(FormatCsvLine(values, std::size(values)));
}

}  // namespace

std::wstring ExpandSamplingPath(const std::wstring& path, const platform::CalendarTime& utc) {
    std::wstring expanded = path;
    ReplaceAll(expanded, L"%dd%", FormatText(L"%02d", utc.day));
    ReplaceAll(expanded, L"%mm%", FormatText(L"%02d", utc.month));
    ReplaceAll(expanded, L"%yyyy%", FormatText(L"%04d", utc.year));
    ReplaceAll(expanded, L"%hh%", FormatText(L"%02d", utc.hour));
    ReplaceAll(expanded, L"%ss%", FormatText(L"%02d", utc.second));
    return expanded;
}

std::wstring AffinityRanges(std::uint64_t mask) {
    std::wstring text;
    for (int bit = 0; bit < 64;) {
        if ((mask >> bit & 1) == 0) {
            ++bit;
            continue;
        }
        int last = bit;
        while (last + 1 < 64 && (mask >> (last + 1) & 1) != 0) {
            ++last;
        }
        if (!text.empty()) {
            text += L';';
        }
        text += last == bit ? FormatText(L"%d", bit) : FormatText(L"%d-%d", bit, last);
        bit = last + 1;
    }
    return text;
}

std::wstring PriorityClassName(std::uint32_t priorityClass) {
    switch (priorityClass) {
        case platform::kNormalPriorityClass:
            return L"Normal";
        case platform::kIdlePriorityClass:
            return L"Idle";
        case platform::kHighPriorityClass:
            return L"High";
        case platform::kRealtimePriorityClass:
            return L"RealTime";
        case platform::kBelowNormalPriorityClass:
            return L"BelowNormal";
        case platform::kAboveNormalPriorityClass:
            return L"AboveNormal";
        default:
            return L"unknown";
    }
}

std::vector<std::wstring> SplitSamplingPatterns(const std::wstring& list) {
    std::vector<std::wstring> patterns;
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto end = std::min(list.find(L';', start), list.size());
        if (end > start) {
            patterns.push_back(ToLower(std::wstring_view(list).substr(start, end - start)));
        }
        start = end + 1;
    }
    return patterns;
}

bool IsSampled(const std::wstring& imageName, const std::vector<std::wstring>& include,
               const std::vector<std::wstring>& exclude) {
    const std::wstring name = ToLower(imageName);
    const auto matches = [&name](const std::wstring& pattern) {
        return MatchPattern(pattern, name);
    };
    return std::any_of(include.begin(), include.end(), matches) &&
           std::none_of(exclude.begin(), exclude.end(), matches);
}

bool WriteSample(ProcessTable& table, const ConfigSettings& settings) {
    const auto& sampling = settings.Sampling;
    if (sampling.SamplingOutputPath.empty()) {
        return false;
    }
    const std::wstring path =
        ExpandSamplingPath(sampling.SamplingOutputPath, platform::SystemCalendarTime());
    const auto include = SplitSamplingPatterns(sampling.SamplingIncludePattern);
    const auto exclude = SplitSamplingPatterns(sampling.SamplingExcludePattern);
    std::vector<std::string> rows;
    for (auto& [pid, record] : table) {
        if (IsSampled(record->info->ImageName(), include, exclude)) {
            rows.push_back(SampleRow(*record));
        }
    }
    return AppendCsvLines(path, kSamplingHeader, rows);
}

void SamplingOutput::WriteIfDue(const FeatureContext& context) {
    const auto& sampling = context.Settings().Sampling;
    if (!sampling.SamplingEnabled || sampling.SamplingIntervalSeconds == 0 ||
        sampling.SamplingOutputPath.empty()) {
        return;
    }
    const std::uint64_t now = platform::TickCount64();
    if ((now - lastTick_) / 1000 < sampling.SamplingIntervalSeconds) {
        return;
    }
    lastTick_ = now;
    const bool written = WriteSample(context.Table(), context.Settings());
    if (written || failedPath_ != sampling.SamplingOutputPath) {
        failures_.EndAll();
    }
    failedPath_ = written ? std::wstring() : sampling.SamplingOutputPath;
    if (!written && !failures_.Begins(0)) {
        return;
    }
    ActionFacts facts = context.EngineFacts(
        FormatText(EngineText(kSamplingText), sampling.SamplingOutputPath), false);
    facts.path = sampling.SamplingOutputPath;
    context.Record(written ? CV_ACTION_TOOK_SAMPLING_SUCCESS : CV_ACTION_TOOK_SAMPLING_ERROR,
                   facts);
}

}  // namespace cv
