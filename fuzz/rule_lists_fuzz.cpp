// Any text as the value of a rule list (the first character of the input chooses the list,
// 'A' the first of Checks()): its reader reads it without crashing; what its writer makes of
// the rules reads back as the same rules; what the writer wrote reads without a single finding;
// and reading with a sink gives the same rules as reading without one. The affinity and number
// forms the lists share must read back what they write, too.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/WideString.h"
#include "config/AffinityText.h"
#include "config/RuleListText.h"
#include "config/RuleLists.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Counts what a reader reports.
class CountingSink final : public cv::FindingSink {
  public:
    void Report(cv::FindingKind /*kind*/, std::wstring /*message*/) override { ++count; }
    std::size_t count = 0;
};

// As the INI document hands a value over and takes it back: trimmed.
std::wstring Value(std::wstring_view text) {
    return cv::Trim(text);
}

// read, write, read: the same rules, and the written text reads without findings (but for
// what the list keeps on purpose although it cannot use it).
template <typename Read, typename Write>
void RoundTrip(const std::wstring& value, Read read, Write write, bool keepsUnusable = false) {
    CountingSink findings;
    const auto rules = read(value, nullptr);
    Check(read(value, &findings) == rules);
    const std::wstring written = Value(write(rules));
    CountingSink again;
    const auto reread = read(written, &again);
    Check(reread == rules);
    Check(again.count == 0 || keepsUnusable);
    Check(Value(write(reread)) == written);
}

// Every name is a plan, named as it was first asked for in lower case.
cv::PowerPlanResolver AnyPlan() {
    static std::map<std::uint32_t, std::wstring> names;
    cv::PowerPlanResolver plans;
    plans.findPlan = [](const std::wstring& name) -> std::optional<cv::PlanGuid> {
        if (name.empty()) {
            return std::nullopt;
        }
        const std::wstring lower = cv::ToLower(name);
        const auto id = static_cast<std::uint32_t>(std::hash<std::wstring>()(lower));
        names.emplace(id, lower);
        return cv::PlanGuid{id, 0, 0, {}};
    };
    plans.planName = [](const cv::PlanGuid& plan) -> std::optional<std::wstring> {
        const auto found = names.find(plan.data1);
        return found == names.end() ? std::nullopt : std::optional(found->second);
    };
    plans.available = [] { return true; };
    return plans;
}

cv::PowerPlanResolver Plans() {
    cv::PowerPlanResolver plans;
    plans.findPlan = [](const std::wstring& name) -> std::optional<cv::PlanGuid> {
        if (cv::EqualsIgnoreCase(name, L"balanced")) {
            return cv::PlanGuid{1, 0, 0, {}};
        }
        if (cv::EqualsIgnoreCase(name, L"power saver")) {
            return cv::PlanGuid{2, 0, 0, {}};
        }
        return std::nullopt;
    };
    plans.planName = [](const cv::PlanGuid& plan) -> std::optional<std::wstring> {
        if (plan.data1 == 1) {
            return L"Balanced";
        }
        if (plan.data1 == 2) {
            return L"Power saver";
        }
        return std::nullopt;
    };
    plans.available = [] { return true; };
    return plans;
}

auto NameListCheck(const cv::NameListFormat& format) {
    return [&format](const std::wstring& value) {
        RoundTrip(
            value,
            [&](std::wstring_view text, cv::FindingSink* sink) {
                cv::NameList names;
                cv::ReadNameList(text, format, names, sink);
                if (format.dedupeOnRead) {
                    cv::RemoveDuplicateNames(names, sink);
                }
                return names;
            },
            [&](const cv::NameList& names) { return cv::WriteNameList(names, format); });
    };
}

auto NameSetCheck(const cv::NameListFormat& format) {
    return [&format](const std::wstring& value) {
        RoundTrip(
            value,
            [&](std::wstring_view text, cv::FindingSink* sink) {
                return cv::ReadNameSet(text, format, sink);
            },
            [&](const cv::NameSet& names) { return cv::WriteNameSet(names, format); });
    };
}

template <typename Read, typename Write>
auto ListCheck(Read read, Write write) {
    return [read, write](const std::wstring& value) { RoundTrip(value, read, write); };
}

const cv::PriorityClassNames kPriorityNames = {L"Realtime", L"High",         L"Above normal",
                                               L"Normal",   L"Below normal", L"Low"};

void SharedForms(const std::wstring& value) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < value.size() && i < 8; ++i) {
        mask = mask << 8 | (static_cast<std::uint64_t>(value[i]) & 0xFF);
    }
    Check(cv::ParseAffinityText(cv::FormatAffinityText(mask)) == mask);
    const std::uint64_t parsed = cv::ParseAffinityText(value);
    Check(cv::ParseAffinityText(cv::FormatAffinityText(parsed)) == parsed);
    const cv::GroupAffinity group = cv::ParseGroupAffinity(value);
    Check(cv::ParseGroupAffinity(cv::FormatGroupAffinity(group)) == group);
    const auto sets = cv::ParseCpuSetText(value);
    Check(cv::ParseCpuSetText(cv::FormatCpuSetText(sets)) == sets);
    const auto unsignedValue = static_cast<std::uint32_t>(mask);
    Check(cv::DecimalToUnsigned(cv::FormatUnsignedDecimal(unsignedValue)) == unsignedValue);
    const std::uint32_t read = cv::DecimalToUnsigned(value);
    Check(cv::DecimalToUnsigned(cv::FormatUnsignedDecimal(read)) == read);
}

// One check per kind of list, chosen by the first character of the input ('A' the first).
// The name lists that share a format read and write alike, so one of each format stands for
// them.
const std::vector<std::function<void(const std::wstring&)>>& Checks() {
    static const cv::PowerPlanResolver plans = Plans();
    static const cv::PowerPlanResolver anyPlan = AnyPlan();
    static const std::vector<std::function<void(const std::wstring&)>> checks = {
        NameListCheck(cv::kOocExclusionsFormat),
        NameListCheck(cv::kOocHardCodedExclusionOverridesFormat),
        NameListCheck(cv::kProcessorGroupExtendedFormat),
        NameListCheck(cv::kForegroundBoostExclusionsFormat),
        NameListCheck(cv::kAllowedProcessesFormat),
        NameListCheck(cv::kDisallowedProcessesFormat),
        NameSetCheck(cv::kOocExclusionsFormat),
        NameSetCheck(cv::kProcessorGroupExtendedFormat),
        ListCheck(cv::ReadInstanceLimits, cv::WriteInstanceLimits),
        ListCheck(cv::ReadThrottles, cv::WriteThrottles),
        ListCheck(cv::ReadOneTimeThrottles, cv::WriteOneTimeThrottles),
        ListCheck([](std::wstring_view text,
                     cv::FindingSink* sink) { return cv::ReadKeepRunning(text, nullptr, sink); },
                  cv::WriteKeepRunning),
        // Power schemes with two plans, the entries naming others kept as text.
        [](const std::wstring& value) {
            using Read = std::pair<std::vector<cv::PowerSchemeRule>, std::vector<std::wstring>>;
            RoundTrip(
                value,
                [](std::wstring_view text, cv::FindingSink* sink) {
                    Read read;
                    read.first = cv::ReadPowerSchemes(text, L"", plans, nullptr, sink, nullptr,
                                                      &read.second);
                    return read;
                },
                [](const Read& read) {
                    return cv::WritePowerSchemes(read.first, plans, read.second).value_or(L"");
                },
                true);
        },
        ListCheck(cv::ReadInstanceBalancer, cv::WriteInstanceBalancer),
        ListCheck(cv::ReadCpuLimitRules, cv::WriteCpuLimitRules),
        ListCheck(cv::ReadWatchdogRules, cv::WriteWatchdogRules),
        ListCheck(cv::ReadNamedAffinities, cv::WriteNamedAffinities),
        ListCheck(
            [](std::wstring_view text, cv::FindingSink* sink) {
                return cv::ReadDefaultPriorities(text, kPriorityNames, sink);
            },
            [](const std::vector<cv::PriorityRule>& rules) {
                return cv::WriteDefaultPriorities(rules, kPriorityNames);
            }),
        ListCheck(cv::ReadDefaultIoPriorities, cv::WriteDefaultValueRules),
        ListCheck(cv::ReadDefaultMemoryPriorities, cv::WriteDefaultValueRules),
        ListCheck(cv::ReadEfficiencyModes, cv::WriteEfficiencyModes),
        ListCheck(
            [](std::wstring_view text, cv::FindingSink* sink) {
                return cv::ReadDefaultAffinities(L"", text, nullptr, sink);
            },
            cv::WriteDefaultAffinities),
        // The older key's entries are written under the newer key and read back alike.
        [](const std::wstring& value) {
            const auto older = cv::ReadDefaultAffinities(value, L"");
            Check(cv::ReadDefaultAffinities(L"", Value(cv::WriteDefaultAffinities(older))) ==
                  older);
        },
        ListCheck(cv::ReadCpuSets, cv::WriteCpuSets),
        SharedForms,
        // Power schemes where every name is a plan: the names a save writes read back as plans.
        ListCheck(
            [](std::wstring_view text, cv::FindingSink* sink) {
                return cv::ReadPowerSchemes(text, L"", anyPlan, nullptr, sink);
            },
            [](const std::vector<cv::PowerSchemeRule>& rules) {
                return cv::WritePowerSchemes(rules, anyPlan).value_or(L"");
            }),
    };
    return checks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Longer values only slow the search down: every entry is read on its own.
    if (size == 0 || size > 1024) {
        return 0;
    }
    const auto& checks = Checks();
    const std::size_t check = static_cast<std::uint8_t>(data[0] - 'A') % checks.size();
    checks[check](
        Value(cv::FromUtf8(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1))));
    return 0;
}
