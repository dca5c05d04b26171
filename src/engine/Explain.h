#pragma once
// Why a rule applies to a program, or does not: for every rule family, in the order the engine
// applies them, the first rule that matches and what the engine does with it. The look-ups are
// the engine's own (the same matcher, the same kept-result path), so the answer is the one the
// engine acts on.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/MatchMemo.h"

namespace cv {

class ConfigSettings;
class ParentLookup;
class ParentTree;

// The program asked about: a running process, or a name or path with an optional command line.
struct ExplainSubject {
    std::wstring name;  // display name, lower case
    std::wstring path;  // full image path, lower case; empty when not known
    std::wstring commandLine;
    std::wstring user;
    std::uint32_t pid = 0;  // 0: not a running process
    const ParentLookup* parents = nullptr;
    bool markedCritical = false;
    // Set when the engine leaves the process alone altogether (a system or protected process,
    // another user's process): the reason.
    std::wstring notManaged;
};

struct ExplainLine {
    std::wstring title;  // the rule family, as a user knows it
    std::optional<RuleFamily> family;  // the kept-result family, when the engine keeps one
    std::wstring section;
    std::wstring key;
    std::size_t entry = 0;  // 1-based position in the list as the engine holds it; 0: no rule
    std::wstring entryText;
    std::wstring outcome;  // what the engine does; "no rule" when nothing matches
};

struct Explanation {
    std::vector<std::wstring> exclusions;  // what stops rules: the engine itself, protection
    std::vector<ExplainLine> lines;
};

// The subject from the text after "/explain=": "pid:<id>" is returned as the id in *pid with
// nothing else filled; otherwise a full image path or a bare name, optionally quoted, optionally
// followed by "/commandline=<text>" (the rest of the line).
ExplainSubject ParseExplainTarget(std::wstring_view text, std::optional<std::uint32_t>* pid);

// The facts of a running process as the engine takes them, and the tree of the processes the
// engine manages, for childof: rules. False when no process has the id.
bool DescribeRunningProcess(std::uint32_t pid, const ConfigSettings& settings,
                            const std::wstring& engineUser, ExplainSubject& subject,
                            ParentTree& tree);

Explanation ExplainProcess(const ConfigSettings& settings, const ExplainSubject& subject);

std::wstring FormatExplanation(const ExplainSubject& subject, const Explanation& explanation);

}  // namespace cv
