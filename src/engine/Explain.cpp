#include "engine/Explain.h"

#include <iterator>
#include <memory>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/AffinityText.h"
#include "config/ConfigFindings.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "config/ProtectedProcesses.h"
#include "control/ProcessGuard.h"
#include "keeprunning/KeepRunning.h"
#include "newprocess/NewProcessRules.h"
#include "processes/DisplayName.h"
#include "processes/NewProcess.h"
#include "processes/ParentTree.h"
#include "processes/ProcessSnapshot.h"
#include "restraint/LevelonExclusions.h"

namespace cv {

namespace {

constexpr wchar_t kNoRule[] = L"no rule";

std::wstring BaseName(std::wstring_view path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return std::wstring(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
}

// "25", "12.5": at most two decimals, none that are 0.
std::wstring Number(double value) {
    std::wstring text = FormatText(L"%.2f", value);
    while (!text.empty() && text.back() == L'0') {
        text.pop_back();
    }
    if (!text.empty() && text.back() == L'.') {
        text.pop_back();
    }
    return text;
}

std::wstring IoPriorityName(std::int32_t value) {
    static constexpr const wchar_t* kNames[] = {L"Very Low", L"Low", L"Normal", L"High"};
    return value >= 0 && value < 4 ? kNames[value] : FormatText(L"%d", value);
}

std::wstring WatchdogText(const WatchdogRule& rule) {
    static constexpr const wchar_t* kActions[] = {L"terminate",       L"restart",
                                                  L"set affinity",    L"trim",
                                                  L"set priority",    L"set I/O priority",
                                                  L"action 6",        L"notify",
                                                  L"launch a program"};
    const std::wstring action = rule.Action >= 0 && rule.Action < 9
                                    ? std::wstring(kActions[rule.Action])
                                    : FormatText(L"action %d", rule.Action);
    const std::wstring measure = rule.Metric == 0 ? L"its CPU use" : L"its memory";
    const std::wstring unit = rule.Metric == 0 ? L" %" : L" MB";
    const std::wstring side = rule.Comparison == 2 ? L"below" : L"above";
    return FormatText(L"%s when %s is %s %s%s for %d ms", action, measure, side,
                      Number(rule.Threshold), unit, rule.DurationMs);
}

// Builds the lines in order; every look-up goes through the engine's own functions with a
// memo of its own, whose kept positions name the entries.
class Explainer {
  public:
    Explainer(const ConfigSettings& settings, const ExplainSubject& subject)
        : settings_(settings), set_(settings.Rules()), rules_(*set_), subject_(subject) {
        facts_.pid = subject.pid;
        facts_.name = subject.name;
        facts_.path = subject.path;
        facts_.commandLine = subject.commandLine;
        facts_.user = subject.user;
        facts_.parents = subject.parents;
        facts_.memo = &memo_;
        imageName_ = ImageName();
        // The engine is known by its id at run time; asked about from outside, its image
        // stands in. A program that is not running gets an id that is nobody's in particular.
        guard_.pid = subject.pid != 0 ? subject.pid : 1;
        guard_.enginePid = EqualsIgnoreCase(imageName_, kEngineImageName) ? guard_.pid : 0;
        guard_.imageName = imageName_;
        guard_.markedCritical = subject.markedCritical;
    }

    Explanation Run();

  private:
    std::wstring ImageName() const {
        return BaseName(subject_.path.empty() ? subject_.name : subject_.path);
    }

    // The entry the family kept, with its text read from the set's list.
    template <typename List>
    void Entry(ExplainLine& line, RuleFamily family, const List& list) {
        line.family = family;
        const auto kept = memo_.Find(family, rules_.generation);
        if (!kept || *kept == MatchMemo::kNoRule) {
            return;
        }
        if (*kept >= std::size(list)) {
            return;
        }
        line.entry = *kept + 1;
        line.entryText = PatternText(*std::next(std::begin(list), *kept));
    }

    ExplainLine& Add(std::wstring title, std::wstring section, std::wstring key) {
        ExplainLine line;
        line.title = std::move(title);
        line.section = std::move(section);
        line.key = std::move(key);
        line.outcome = kNoRule;
        explanation_.lines.push_back(std::move(line));
        return explanation_.lines.back();
    }

    // The outcome, or why the guard refuses it.
    std::wstring Guarded(std::wstring outcome, GuardedChange change, GuardFamily family) const {
        const Protection protection = ProtectionOf(guard_, change);
        return protection == Protection::kNone ? outcome : RefusalText(family, protection);
    }

    void NewProcessRules();
    void Throttles();
    void Levelon();
    void Defaults();
    void Limits();
    void Watchdog();
    void Others();

    const ConfigSettings& settings_;
    // The set the engine reads, held for the whole explanation.
    std::shared_ptr<const RuleSet> set_;
    const RuleSet& rules_;
    const ExplainSubject& subject_;
    MatchMemo memo_;
    MatchFacts facts_;
    GuardFacts guard_;
    std::wstring imageName_;
    Explanation explanation_;
};

Explanation Explainer::Run() {
    const Protection ends = ProtectionOf(guard_, GuardedChange::kTerminate);
    if (ends == Protection::kEngine) {
        explanation_.exclusions.push_back(
            L"the engine itself: no rule changes, suspends or ends it");
    } else if (ends != Protection::kNone) {
        explanation_.exclusions.push_back(
            L"a process Windows cannot run without: no rule suspends or ends it");
    }
    if (!subject_.notManaged.empty()) {
        explanation_.exclusions.push_back(L"not managed: " + subject_.notManaged +
                                          L"; no rule is applied to it");
    }
    NewProcessRules();
    Throttles();
    Levelon();
    Defaults();
    Limits();
    Watchdog();
    Others();
    return std::move(explanation_);
}

// A new process is judged against the instance limits; the Internet Explorer restriction and
// the balancer run over the whole table; the disallowed check opens each record's own step.
void Explainer::NewProcessRules() {
    const auto& allowances = rules_.ProcessAllowances;
    ExplainLine& limit =
        Add(L"Instance limits", L"ProcessAllowances", L"InstanceLimitedProcesses");
    {
        const auto& limits = allowances.InstanceLimitedProcesses;
        for (std::size_t i = 0; i < limits.size(); ++i) {
            if (MatchPattern(limits[i].pattern.text, subject_.name)) {
                limit.entry = i + 1;
                limit.entryText = limits[i].pattern.text;
                limit.outcome = Guarded(
                    FormatText(L"at most %d instance(s)%s; a newer one over the limit is closed",
                               limits[i].count,
                               allowances.ApplyInstanceCountLimitsToAllUsers ? L" of all users"
                                                                             : L" per user"),
                    GuardedChange::kTerminate, GuardFamily::kInstanceLimit);
                break;
            }
        }
    }

    const bool exempts = MatchesInternetExplorerExemptions(rules_, facts_);
    ExplainLine& ie = Add(L"Internet Explorer restriction", L"AdvancedRules",
                          L"ProhibitInternetExplorerExceptWhenAny");
    Entry(ie, RuleFamily::kInternetExplorerExemptions,
          rules_.AdvancedRules.ProhibitInternetExplorerExceptWhenAny);
    if (exempts) {
        ie.outcome = L"while it runs, Internet Explorer may run";
    }

    const auto balancer = FindInstanceBalancerRule(rules_, facts_);
    ExplainLine& balance = Add(L"Instance balancer", L"ProcessAllowances",
                               L"InstanceManagedCPUAffinities");
    balance.family = RuleFamily::kInstanceBalancer;
    if (balancer) {
        balance.entry = balancer->index + 1;
        balance.entryText = balancer->rule->pattern.text;
        balance.outcome = Guarded(
            FormatText(L"its instances are spread over the processors, %d per instance from "
                       L"processor %d",
                       balancer->rule->processorsPerInstance, balancer->rule->firstProcessor),
            GuardedChange::kRestrict, GuardFamily::kInstanceBalancer);
    }

    const bool disallowed = IsDisallowedProcess(rules_, facts_);
    ExplainLine& closed = Add(L"Disallowed processes", L"ProcessAllowances", L"DisallowedProcesses");
    Entry(closed, RuleFamily::kDisallowedProcesses, allowances.DisallowedProcesses);
    if (disallowed) {
        closed.outcome = Guarded(L"closed as disallowed", GuardedChange::kTerminate,
                                 GuardFamily::kDisallowed);
    } else if (closed.entry != 0) {
        closed.outcome = L"not closed: AllowedProcesses allows it";
    }
    const bool allows = MatchesAllowedProcesses(rules_, facts_);
    ExplainLine& allowed = Add(L"Allowed processes", L"ProcessAllowances", L"AllowedProcesses");
    Entry(allowed, RuleFamily::kAllowedProcesses, allowances.AllowedProcesses);
    if (allows) {
        allowed.outcome = L"allowed: no disallowed rule closes it";
    }
}

void Explainer::Throttles() {
    ExplainLine& once = Add(L"One-time throttle", L"ProcessAllowances", L"OneTimeProcessThrottles");
    if (const auto level = FindOneTimeThrottleLevel(rules_, facts_)) {
        once.outcome = Guarded(FormatText(L"throttled at level %d (this process only)", *level),
                               GuardedChange::kSuspend, GuardFamily::kThrottle);
        once.entryText = FormatText(L"process %u", subject_.pid);
    }
    const auto level = FindThrottleLevel(rules_, facts_);
    ExplainLine& throttle = Add(L"Throttle", L"ProcessAllowances", L"ProcessThrottles");
    Entry(throttle, RuleFamily::kProcessThrottles, rules_.ProcessAllowances.ProcessThrottles);
    if (level) {
        throttle.outcome = Guarded(FormatText(L"throttled at level %d", *level),
                                   GuardedChange::kSuspend, GuardFamily::kThrottle);
    }
}

void Explainer::Levelon() {
    const auto& ooc = rules_.OutOfControlProcessRestraint;
    // Read first, as the engine does, so that the kept positions exist.
    const bool builtIn = IsBuiltInLevelonExclusion(imageName_);
    const bool overridden = builtIn && MatchesOocHardCodedExclusionOverrides(rules_, facts_);
    const bool excludedByList = MatchesOocExclusions(rules_, facts_);

    ExplainLine& line = Add(L"Levelon restraint", L"OutOfControlProcessRestraint", L"OocExclusions");
    Entry(line, RuleFamily::kOocExclusions, ooc.OocExclusions);
    if (builtIn && !overridden) {
        line.outcome = L"excluded from Levelon: built-in list";
    } else if (ooc.ExcludeServices && IsServiceProcess(imageName_, subject_.user)) {
        line.outcome = L"excluded from Levelon: a service process (ExcludeServices)";
    } else if (excludedByList) {
        line.outcome = L"excluded from Levelon: OocExclusions";
    } else if (!ooc.OocOn) {
        line.outcome = L"no restraint: Levelon is off (OocOn)";
    } else {
        line.outcome = Guarded(
            FormatText(L"restrained only after %s s over %u %% while the whole machine is over "
                       L"%d %%%s",
                       Number(ooc.TimeOverQuotaBeforeRestraint / 1000.0),
                       ooc.PerProcessUsageBeforeRestraint, ooc.TotalProcessorUsageBeforeRestraint,
                       overridden ? L" (its built-in exclusion is overridden by "
                                    L"OocHardCodedExclusionOverrides)"
                                  : L""),
            GuardedChange::kRestrict, GuardFamily::kRestraint);
    }
}

void Explainer::Defaults() {
    const auto& defaults = rules_.ProcessDefaults;
    const auto efficiency = FindEfficiencyMode(rules_, facts_);
    ExplainLine& eco = Add(L"Efficiency mode", L"ProcessAllowances", L"EfficiencyMode");
    Entry(eco, RuleFamily::kEfficiencyMode, rules_.ProcessAllowances.EfficiencyMode);
    if (efficiency) {
        eco.outcome = Guarded(efficiency->value != 0 ? L"efficiency mode on" : L"efficiency mode off",
                              GuardedChange::kRestrict, GuardFamily::kDefaults);
    }

    const auto affinity = FindDefaultAffinity(rules_, facts_);
    ExplainLine& cores = Add(L"Default affinity", L"ProcessDefaults", L"DefaultAffinitiesEx");
    Entry(cores, RuleFamily::kDefaultAffinities, defaults.DefaultAffinitiesEx);
    if (affinity) {
        cores.outcome = Guarded(L"affinity " + FormatGroupAffinity(affinity->affinity),
                                GuardedChange::kRestrict, GuardFamily::kDefaults);
    }

    const auto priority = FindDefaultPriority(rules_, facts_);
    ExplainLine& cls = Add(L"Default priority", L"ProcessDefaults", L"DefaultPriorities");
    Entry(cls, RuleFamily::kDefaultPriorities, defaults.DefaultPriorities);
    if (priority) {
        cls.outcome = Guarded(L"priority " + PriorityClassDisplayName(priority->priorityClass, {}),
                              GuardedChange::kRestrict, GuardFamily::kDefaults);
    }

    const bool noBoost = MatchesDisableThreadPriorityBoost(rules_, facts_);
    ExplainLine& boost =
        Add(L"Thread priority boost", L"ProcessDefaults", L"DisableThreadPriorityBoost");
    Entry(boost, RuleFamily::kDisableThreadPriorityBoost, defaults.DisableThreadPriorityBoost);
    if (noBoost) {
        boost.outcome = Guarded(L"thread priority boost off", GuardedChange::kRestrict,
                                GuardFamily::kDefaults);
    }

    const auto memory = FindDefaultMemoryPriority(rules_, facts_);
    ExplainLine& mem = Add(L"Memory priority", L"ProcessDefaults", L"DefaultMemoryPriorities");
    Entry(mem, RuleFamily::kDefaultMemoryPriorities, defaults.DefaultMemoryPriorities);
    if (memory && memory->value >= 0) {
        mem.outcome = Guarded(FormatText(L"memory priority %d", memory->value),
                              GuardedChange::kRestrict, GuardFamily::kDefaults);
    }

    const auto io = FindDefaultIoPriority(rules_, facts_);
    ExplainLine& disk = Add(L"I/O priority", L"ProcessDefaults", L"DefaultIOPriorities");
    Entry(disk, RuleFamily::kDefaultIoPriorities, defaults.DefaultIOPriorities);
    if (io) {
        disk.outcome = Guarded(L"I/O priority " + IoPriorityName(io->value),
                               GuardedChange::kRestrict, GuardFamily::kDefaults);
    }
}

void Explainer::Limits() {
    const auto limit = FindCpuLimitRule(rules_, facts_);
    ExplainLine& cpu = Add(L"CPU limit", L"ProcessAllowances", L"CPULimitRules");
    Entry(cpu, RuleFamily::kCpuLimits, rules_.ProcessAllowances.CPULimitRules);
    if (limit) {
        cpu.outcome = Guarded(
            FormatText(L"after %u ms over %s %%, %u processor(s) taken away %s", limit->timeOverMs,
                       Number(limit->threshold),
                       limit->processors,
                       limit->durationMs == 0 ? std::wstring(L"until it drops below")
                                              : FormatText(L"for %u ms", limit->durationMs)),
            GuardedChange::kRestrict, GuardFamily::kCpuLimit);
    }

    const bool extended = MatchesProcessorGroupExtended(rules_, facts_);
    ExplainLine& groups =
        Add(L"Processor group extender", L"AdvancedRules", L"ProcessorGroupExtended");
    Entry(groups, RuleFamily::kProcessorGroupExtended, rules_.AdvancedRules.ProcessorGroupExtended);
    if (extended) {
        groups.outcome = Guarded(L"its threads are spread over every processor group",
                                 GuardedChange::kRestrict, GuardFamily::kGroupExtender);
    }

    const auto sets = FindCpuSets(rules_, facts_);
    ExplainLine& cpuSets = Add(L"CPU sets", L"ProcessDefaults", L"CPUSets");
    Entry(cpuSets, RuleFamily::kCpuSets, rules_.ProcessDefaults.CPUSets);
    if (sets) {
        cpuSets.outcome = Guarded(L"CPU sets " + FormatCpuSetText(sets->sets),
                                  GuardedChange::kRestrict, GuardFamily::kDefaults);
    }
}

void Explainer::Watchdog() {
    // Every matching rule applies, each in its turn.
    std::size_t from = 0;
    bool any = false;
    while (const auto rule = FindNextWatchdogRule(rules_, facts_, from)) {
        any = true;
        ExplainLine& line = Add(L"Watchdog rule", L"AdvancedRules", L"WatchdogRules2");
        line.entry = rule->index + 1;
        line.entryText = rule->rule->Pattern.text;
        line.outcome = WatchdogText(*rule->rule);
        from = rule->index + 1;
    }
    if (!any) {
        Add(L"Watchdog rule", L"AdvancedRules", L"WatchdogRules2");
    }
}

void Explainer::Others() {
    KeepRunningTracker keepRunning;
    keepRunning.Load(rules_);
    ExplainLine& keep = Add(L"Keep running", L"ProcessDefaults", L"KeepRunningProcesses");
    if (!subject_.path.empty() && keepRunning.HasRuleFor(subject_.path)) {
        keep.entryText = subject_.path;
        keep.outcome = L"started again when it is not running";
    }

    const bool noBoost = MatchesForegroundBoostExclusions(rules_, facts_);
    ExplainLine& fore =
        Add(L"Foreground boost", L"ForegroundBoosting", L"ForegroundBoostExclusions");
    Entry(fore, RuleFamily::kForegroundBoostExclusions,
          rules_.ForegroundBoosting.ForegroundBoostExclusions);
    if (noBoost) {
        fore.outcome = L"never boosted in the foreground";
    }

    ExplainLine& plan = Add(L"Application power plan", L"ProcessDefaults", L"DefaultPowerSchemes");
    if (const auto guid = FindPowerScheme(rules_, facts_)) {
        const auto name = settings_.environment.powerPlans.NameOf(*guid);
        plan.outcome = L"power plan " + (name ? *name : std::wstring(L"(unnamed)")) +
                       L" while it runs";
    }

    const bool display = MatchesPreventDisplaySleep(rules_, facts_);
    ExplainLine& screen = Add(L"Keep the display on", L"PowerManagement", L"Display");
    Entry(screen, RuleFamily::kPreventDisplaySleep, rules_.PowerManagement.Display);
    if (display) {
        screen.outcome = L"the display stays on while it runs";
    }
    const bool pc = MatchesPreventSystemSleep(rules_, facts_);
    ExplainLine& sleep = Add(L"Keep the computer awake", L"PowerManagement", L"PC");
    Entry(sleep, RuleFamily::kPreventSystemSleep, rules_.PowerManagement.PC);
    if (pc) {
        sleep.outcome = L"the computer does not sleep while it runs";
    }
    const bool idle = MatchesPowerSaverExclusions(rules_, facts_);
    ExplainLine& saver = Add(L"Idle-time plan", L"PowerSaver", L"PowerSaver_Exclusions");
    Entry(saver, RuleFamily::kPowerSaverExclusions, rules_.PowerSaver.PowerSaver_Exclusions);
    if (idle) {
        saver.outcome = L"while it runs, the idle-time plan is not used";
    }
}

}  // namespace

ExplainSubject ParseExplainTarget(std::wstring_view text, std::optional<std::uint32_t>* pid) {
    ExplainSubject subject;
    std::wstring_view rest = text;
    constexpr std::wstring_view kCommandLine = L"/commandline=";
    std::wstring_view program = rest;
    std::wstring_view commandLine;
    // The command line is the rest of the line, whatever it holds.
    const std::wstring lower = ToLower(rest);
    if (const std::size_t at = lower.find(kCommandLine); at != std::wstring::npos) {
        program = rest.substr(0, at);
        commandLine = rest.substr(at + kCommandLine.size());
    }
    std::wstring name = Trim(program);
    // Quoted whole ("/explain=C:\a b\x.exe" inside quotes leaves one at the end) or on its own.
    if (!name.empty() && name.front() == L'"') {
        name.erase(0, 1);
    }
    if (const std::size_t quote = name.find(L'"'); quote != std::wstring::npos) {
        name.erase(quote);
    }
    name = Trim(name);
    std::wstring command = Trim(commandLine);
    if (command.size() >= 2 && command.front() == L'"' && command.back() == L'"' &&
        command.find(L'"', 1) == command.size() - 1) {
        command = command.substr(1, command.size() - 2);
    }
    if (pid != nullptr && StartsWith(ToLower(name), L"pid:")) {
        const std::wstring digits = Trim(std::wstring_view(name).substr(4));
        const long value = WideToLong(digits);
        if (!digits.empty() && value > 0 &&
            digits.find_first_not_of(L"0123456789") == std::wstring::npos) {
            *pid = static_cast<std::uint32_t>(value);
            return subject;
        }
    }
    const bool isPath = name.find_first_of(L"\\/") != std::wstring::npos;
    subject.path = isPath ? ToLower(name) : std::wstring();
    subject.name = ToLower(BaseName(name));
    subject.commandLine = command;
    return subject;
}

bool DescribeRunningProcess(std::uint32_t pid, const ConfigSettings& settings,
                            const std::wstring& engineUser, ExplainSubject& subject,
                            ParentTree& tree) {
    JudgeOptions options;
    options.ignoreProblematicProcesses = settings.Performance.IgnoreProblematicProcesses;
    options.manageOnlyCurrentUser = settings.Performance.ManageOnlyCurrentUser;
    options.engineUser = engineUser;
    ProcessSnapshot snapshot;
    snapshot.Take(false);
    bool found = false;
    snapshot.ForEachEntry([&](const std::uint8_t* entry, std::size_t size) {
        ProcessInfo info;
        info.FillFromEntry(entry, size);
        std::wstring user;
        const Verdict verdict = JudgeProcess(info, options, user);
        const std::wstring commandLine = info.CommandLine();
        const std::wstring name = ToLower(DisplayName(info.ImageName(), commandLine));
        // The engine's tree holds the processes it manages.
        if (verdict == Verdict::Managed) {
            tree.AddProcess(info.Pid(), name, info.ParentPid(), info.CreateTime());
        }
        if (info.Pid() != pid) {
            return;
        }
        found = true;
        subject.pid = pid;
        subject.name = name;
        subject.path = ToLower(info.Path());
        subject.commandLine = commandLine;
        subject.user = user;
        if (verdict == Verdict::IgnoredForLife) {
            subject.notManaged = L"a system or protected process, or another user's process "
                                 L"while only the engine's user is managed";
        } else if (verdict == Verdict::NotYet) {
            subject.notManaged = L"it cannot be opened, named or its user told now";
        }
    });
    subject.parents = &tree;
    return found;
}

Explanation ExplainProcess(const ConfigSettings& settings, const ExplainSubject& subject) {
    Explainer explainer(settings, subject);
    return explainer.Run();
}

std::wstring FormatExplanation(const ExplainSubject& subject, const Explanation& explanation) {
    std::wstring text = L"Explaining " + (subject.path.empty() ? subject.name : subject.path);
    if (subject.pid != 0) {
        text += FormatText(L" (process %u)", subject.pid);
    }
    if (!subject.commandLine.empty()) {
        text += L" with command line " + Quoted(subject.commandLine);
    }
    if (!subject.user.empty()) {
        text += L", user " + subject.user;
    }
    text += L"\r\n";
    for (const std::wstring& exclusion : explanation.exclusions) {
        text += L"  Excluded: " + exclusion + L"\r\n";
    }
    for (const ExplainLine& line : explanation.lines) {
        text += L"  " + line.title + L": ";
        if (line.entry != 0 || !line.entryText.empty()) {
            text += L"[" + line.section + L"] " + line.key;
            if (line.entry != 0) {
                text += FormatText(L" entry %u", static_cast<unsigned>(line.entry));
            }
            text += L" (`" + line.entryText + L"`): ";
        }
        text += line.outcome + L"\r\n";
    }
    return text;
}

}  // namespace cv
