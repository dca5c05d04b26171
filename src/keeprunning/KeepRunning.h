#pragma once
// Programs that must keep running: each cycle notes which rules have a live process and starts
// again the programs that have none.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace cv {

class ActionLog;
class ConfigSettings;
struct RuleSet;

// A rule is satisfied by a live process of its path whose command line is empty, the
// arguments alone, or the (quoted) path followed by the arguments.
class KeepRunningTracker {
  public:
    // Rebuilt from KeepRunningProcesses at start and after every reload: every rule starts as
    // not running.
    void Load(const RuleSet& rules);
    void MarkRunning(const std::wstring& name, const std::wstring& path,
                     const std::wstring& commandLine);
    // Whether any rule names the path (whatever its case).
    bool HasRuleFor(const std::wstring& path) const;
    // The settings' rule generation the rules were loaded under.
    std::uint64_t LoadedGeneration() const { return loadedGeneration_; }
    void ClearMarks();
    void Clear();

    struct Missing {
        std::wstring key;
        std::wstring path;
        std::wstring arguments;
    };
    // The rules without a live process, in key order.
    std::vector<Missing> NotRunning() const;
    std::size_t RuleCount() const { return rules_.size(); }

  private:
    std::multimap<std::wstring, std::wstring> rules_;  // path -> arguments
    std::map<std::wstring, bool> states_;              // path + U+25A0 + arguments -> running
    std::uint64_t loadedGeneration_ = 0;
};

// The key of a rule.
std::wstring KeepRunningKey(const std::wstring& path, const std::wstring& arguments);

// Where and how a missing program is started again.
struct RestartPlan {
    std::wstring directory;
    std::wstring commandLine;
};
RestartPlan PlanRestart(const std::wstring& path, const std::wstring& arguments);

}  // namespace cv
