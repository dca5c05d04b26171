#include "keeprunning/KeepRunning.h"

#include <algorithm>

#include <mutex>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"

namespace cv {

namespace {
constexpr wchar_t kKeySeparator = L'\u25A0';
}  // namespace

std::wstring KeepRunningKey(const std::wstring& path, const std::wstring& arguments) {
    return path + kKeySeparator + arguments;
}

void KeepRunningTracker::Load(const RuleSet& rules) {
    Clear();
    loadedGeneration_ = rules.generation;
    for (const KeepRunningRule& rule : rules.ProcessDefaults.KeepRunningProcesses) {
        // Lower-cased the same way as the live paths, whatever the list did with them.
        std::wstring path = ToLower(rule.pattern.text);
        std::wstring arguments = ToLower(rule.command);
        states_[KeepRunningKey(path, arguments)] = false;
        rules_.emplace(std::move(path), std::move(arguments));
    }
}

bool KeepRunningTracker::HasRuleFor(const std::wstring& path) const {
    if (rules_.count(path) != 0) {
        return true;
    }
    const bool alreadyLower =
        std::all_of(path.begin(), path.end(), [](wchar_t c) { return ToLowerChar(c) == c; });
    return !alreadyLower && rules_.count(ToLower(path)) != 0;
}

void KeepRunningTracker::MarkRunning(const std::wstring& /*name*/, const std::wstring& path,
                                     const std::wstring& commandLine) {
    // A record's path is lower-cased once, when the record is made; most processes match no
    // rule, so nothing is copied for them and their command lines are never looked at.
    auto range = rules_.equal_range(path);
    std::wstring lowered;
    if (range.first == range.second) {
        const bool alreadyLower =
            std::all_of(path.begin(), path.end(), [](wchar_t c) { return ToLowerChar(c) == c; });
        if (alreadyLower) {
            return;
        }
        lowered = ToLower(path);
        range = rules_.equal_range(lowered);
    }
    const std::wstring& livePath = lowered.empty() ? path : lowered;
    for (auto it = range.first; it != range.second; ++it) {
        const std::wstring& arguments = it->second;
        if (!commandLine.empty() && !arguments.empty()) {
            const bool satisfied =
                EqualsIgnoreCase(commandLine, arguments) ||
                EqualsIgnoreCase(commandLine, FormatText(L"\"%s\" %s", livePath, arguments)) ||
                EqualsIgnoreCase(commandLine, FormatText(L"%s %s", livePath, arguments));
            if (!satisfied) {
                continue;
            }
        }
        states_[KeepRunningKey(livePath, arguments)] = true;
    }
}

void KeepRunningTracker::ClearMarks() {
    for (auto& [key, running] : states_) {
        running = false;
    }
}

void KeepRunningTracker::Clear() {
    rules_.clear();
    states_.clear();
}

std::vector<KeepRunningTracker::Missing> KeepRunningTracker::NotRunning() const {
    std::vector<Missing> missing;
    for (const auto& [key, running] : states_) {
        if (running) {
            continue;
        }
        const std::size_t separator = key.find(kKeySeparator);
        missing.push_back({key, key.substr(0, separator), key.substr(separator + 1)});
    }
    return missing;
}

RestartPlan PlanRestart(const std::wstring& path, const std::wstring& arguments) {
    RestartPlan plan;
    const std::size_t slash = path.find_last_of(L"\\/");
    plan.directory = (slash == std::wstring::npos || slash == 0) ? path : path.substr(0, slash);
    plan.commandLine = arguments.find(path) != std::wstring::npos
                           ? arguments
                           : FormatText(L"\"%s\" %s", path, arguments);
    return plan;
}

}  // namespace cv
