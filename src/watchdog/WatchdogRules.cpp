#include "watchdog/WatchdogRules.h"

#include <algorithm>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/CommandLineQuoting.h"
#include "common/Format.h"
#include "common/Ticks.h"
#include "common/WideString.h"
#include "config/AffinityText.h"
#include "config/ConfigSettings.h"
#include "control/ProcessControl.h"
#include "control/ProcessGuard.h"
#include "control/ServiceLaunch.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/Launch.h"
#include "platform/Registry.h"
#include "platform/Services.h"

namespace cv {

namespace {

constexpr std::uint32_t kThresholdText = 587;
constexpr std::uint32_t kCpuText = 593;
constexpr std::uint32_t kMemoryText = 594;
constexpr std::uint32_t kTrimmedText = 814;
constexpr std::uint32_t kNotifyText = 853;
constexpr std::uint32_t kServiceLaunchRefusedText = 1237;
constexpr wchar_t kLaunchedText[] = L"Launched per watchdog rule";
constexpr wchar_t kLaunchErrorText[] = L"Error launching watchdog rule";
constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
// How long a restart waits for the services of a process to stop, polling every so often.
constexpr std::uint32_t kServiceStopWaitMs = 5000;
constexpr std::uint32_t kServiceStopPollMs = 100;

bool RegistryFlag(const wchar_t* name) {
    return platform::ReadRegistryDword(platform::RegistryRoot::LocalMachine, kCorvaneKey, name)
               .value_or(0) != 0;
}

// A service would start the program in its own session and with its own rights.
bool LaunchesProhibited() {
    return IsServiceInstalled() && !AllowElevatedChildren();
}

// The length of `program` when the command line starts with it as a whole word, else 0.
std::size_t LeadingProgramLength(const std::wstring& commandLine, const std::wstring& program) {
    const std::size_t length = program.size();
    if (length == 0 || commandLine.size() < length ||
        !EqualsIgnoreCase(commandLine.substr(0, length), program)) {
        return 0;
    }
    return commandLine.size() == length || commandLine[length] == L' ' ||
                   commandLine[length] == L'\t'
               ? length
               : 0;
}

}  // namespace

std::wstring WatchdogRestartArguments(const std::wstring& commandLine, const std::wstring& path) {
    std::size_t end = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        end = commandLine.find(L'"', 1);
        end = end == std::wstring::npos ? commandLine.size() : end + 1;
    } else {
        // An unquoted program path may have blanks in it: Windows found the program by trying
        // the blanks in turn, so the process's own path (with or without ".exe") says where the
        // program ends. Otherwise it ends at the first blank.
        std::size_t known = LeadingProgramLength(commandLine, path);
        if (known == 0 && path.size() > 4 &&
            EqualsIgnoreCase(path.substr(path.size() - 4), L".exe")) {
            known = LeadingProgramLength(commandLine, path.substr(0, path.size() - 4));
        }
        end = known != 0 ? known : std::min(commandLine.find(L' '), commandLine.size());
    }
    const std::size_t start = commandLine.find_first_not_of(L" \t", end);
    return start == std::wstring::npos ? std::wstring() : commandLine.substr(start);
}

std::wstring WatchdogLaunchCommandLine(const std::wstring& program, const std::wstring& arguments,
                                       const LaunchSubject& subject) {
    // The texts come from the process, chosen by whoever started it: each stays one argument.
    // The program is the rule's own and takes none of them.
    const std::wstring session = std::to_wstring(subject.sessionId);
    return FormatText(L"\"%s\" ", program) +
           FillArguments(arguments, {{L"%1", std::to_wstring(subject.pid)},
                                     {L"%2", subject.imageName},
                                     {L"%3", subject.path},
                                     {L"%4", subject.commandLine},
                                     {L"%5", session},
                                     {L"%sessionid%", session}});
}

void WatchdogRules::RefreshRules(const FeatureContext& context) {
    const ConfigSettings& settings = context.Settings();
    if (rulesRead_ && rulesStamp_ == settings.loadStamp) {
        return;
    }
    std::lock_guard lock(settings.RuleListMutex);
    previousRules_ = std::move(rules_);
    previousStamp_ = rulesStamp_;
    rules_ = settings.AdvancedRules.WatchdogRules2;
    rulesStamp_ = settings.loadStamp;
    rulesRead_ = true;
}

void WatchdogRules::BuildList(const FeatureContext& context, ProcessRecord& record) {
    WatchdogState& state = record.watchdog;
    // A reload that keeps a rule keeps its episode: saving the configuration (or anything else
    // that reloads it) does not run a once-per-episode action again.
    std::vector<WatchdogEpisode> earlier;
    if (state.rulesBuilt && state.rulesStamp == previousStamp_) {
        earlier = std::move(state.episodes);
    }
    state.episodes.clear();
    const auto keptEpisode = [&](const WatchdogRule& rule) -> const WatchdogEpisode* {
        for (const WatchdogEpisode& episode : earlier) {
            if (episode.rule < previousRules_.size()) {
                const WatchdogRule& before = previousRules_[episode.rule];
                if (IsSameWatchdogRule(before, rule) &&
                    EqualsIgnoreCase(before.Pattern.text, rule.Pattern.text)) {
                    return &episode;
                }
            }
        }
        return nullptr;
    };
    const MatchFacts facts = context.Facts(record);
    RuleMatcher matcher(facts, kWatchdogVariant);
    for (std::size_t index = 0; index < rules_.size(); ++index) {
        if (facts.name.empty() || !matcher.Matches(rules_[index].Pattern.text)) {
            continue;
        }
        const bool known =
            std::any_of(state.episodes.begin(), state.episodes.end(), [&](const auto& episode) {
                return IsSameWatchdogRule(rules_[episode.rule], rules_[index]);
            });
        if (!known) {
            WatchdogEpisode episode;
            if (const WatchdogEpisode* kept = keptEpisode(rules_[index])) {
                episode = *kept;
            }
            episode.rule = index;
            state.episodes.push_back(episode);
        }
    }
    state.rulesBuilt = true;
    state.rulesStamp = rulesStamp_;
}

void WatchdogRules::Apply(const FeatureContext& context, ProcessRecord& record) {
    RefreshRules(context);
    WatchdogState& state = record.watchdog;
    if (!state.rulesBuilt || state.rulesStamp != rulesStamp_) {
        BuildList(context, record);
    }
    std::optional<platform::MemoryCounters> memory;
    for (WatchdogEpisode& episode : state.episodes) {
        const WatchdogRule& rule = rules_[episode.rule];
        if (rule.Action == kWatchdogStop) {
            break;
        }
        if (!ConditionHolds(rule, record, memory)) {
            episode.conditionStart = 0;
            episode.actionTaken = false;
            continue;
        }
        const std::uint64_t now = platform::SystemTimeAsFileTime();
        if (episode.conditionStart == 0) {
            episode.conditionStart = now;
        }
        const std::uint64_t held = ElapsedSince(episode.conditionStart, now);
        if (held < static_cast<std::uint64_t>(std::max(0, rule.DurationMs)) * 10'000) {
            continue;
        }
        if (!Act(context, record, rule, episode)) {
            break;
        }
    }
}

bool WatchdogRules::ConditionHolds(const WatchdogRule& rule, ProcessRecord& record,
                                   std::optional<platform::MemoryCounters>& memory) const {
    const auto compare = [&](double value) {
        return (rule.Comparison == 1 && value > rule.Threshold) ||
               (rule.Comparison == 2 && value < rule.Threshold);
    };
    if (rule.Metric == 0) {
        return compare(record.info->CpuPercent());
    }
    if (!memory) {
        memory = record.info->MemoryCounters();
    }
    const double scale = rule.Threshold * 1024 * 1024;
    const auto compareBytes = [&](std::uint64_t bytes) {
        const double value = static_cast<double>(bytes);
        return (rule.Comparison == 1 && value > scale) || (rule.Comparison == 2 && value < scale);
    };
    switch (rule.MemoryCounter) {
        case 0:
            return compareBytes(memory->workingSet);
        case 1:
            return compareBytes(memory->pagefileUsage);
        case 3:
            return compareBytes(memory->workingSet) || compareBytes(memory->pagefileUsage);
        default:
            return compareBytes(0);
    }
}

std::wstring WatchdogRules::ThresholdText(const WatchdogRule& rule) {
    const bool memory = rule.Metric != 0;
    return FormatText(EngineText(kThresholdText), rule.Threshold,
                      std::wstring(rule.Metric == 1 ? L"MB" : L"%"),
                      EngineText(memory ? kMemoryText : kCpuText),
                      static_cast<std::int32_t>(std::max(0, rule.DurationMs) / 1000));
}

bool WatchdogRules::Act(const FeatureContext& context, ProcessRecord& record,
                        const WatchdogRule& rule, WatchdogEpisode& episode) {
    const bool log = context.LoggingEnabled();
    // Notices and launches leave the process itself alone.
    const bool ends = rule.Action == kWatchdogTerminate || rule.Action == kWatchdogRestart;
    const bool restricts = rule.Action == kWatchdogAffinity || rule.Action == kWatchdogTrim ||
                           rule.Action == kWatchdogPriority || rule.Action == kWatchdogIoPriority;
    if ((ends || restricts) &&
        GuardRefuses(context, record, ends ? GuardedChange::kTerminate : GuardedChange::kRestrict,
                     GuardFamily::kWatchdog)) {
        episode.actionTaken = true;
        return true;
    }
    if (rule.Action == kWatchdogTerminate) {
        // Every cycle while the condition holds; a termination that fails is said when it first
        // fails, and never as done.
        const Termination result = Terminate(context, record);
        if (result != Termination::Failed) {
            episode.failures.End(WatchdogFailure::kTerminate);
            if (log) {
                context.Record(CV_ACTION_TOOK_WATCHDOG_GENERAL_TERMINATE,
                               context.RecordFacts(record, ThresholdText(rule)));
            }
        } else if (episode.failures.Begins(WatchdogFailure::kTerminate) && log) {
            context.Record(
                CV_ACTION_TOOK_PROCESS_CHANGE_ERROR,
                context.RecordFacts(record, L"Could not be ended: " + ThresholdText(rule)));
        }
        const bool ended = result == Termination::Ended;
        if (ended) {
            record.terminatedByEngine = true;
        }
        return !ended;
    }
    const bool continuousTrim =
        rule.Action == kWatchdogTrim && RegistryFlag(L"WatchdogTrimActionContinuous");
    if (episode.actionTaken && !continuousTrim) {
        return true;
    }
    switch (rule.Action) {
        case kWatchdogRestart:
            if (record.path.empty()) {
                return true;  // tried again once the path is known
            }
            episode.actionTaken = true;
            Restart(context, record, rule, episode.failures);
            return true;
        case kWatchdogAffinity: {
            // A failure is said again only after the action has succeeded once: the condition
            // of a busy process may come and go every few cycles.
            const bool set = ChangeAffinity(record.pid, rule.ActionValue);
            if (set) {
                episode.failures.End(WatchdogFailure::kAffinity);
            }
            const bool tell = set || episode.failures.Begins(WatchdogFailure::kAffinity);
            if (log && tell) {
                context.Record(
                    set ? CV_ACTION_TOOK_WATCHDOG_GENERAL_AFFINITY : CV_ACTION_TOOK_AFFINITY_ERROR,
                    context.RecordFacts(record, FormatAffinityText(rule.ActionValue)));
            }
            break;
        }
        case kWatchdogTrim:
            if (TrimWorkingSetById(record.pid) && log) {
                context.Record(CV_ACTION_TOOK_WATCHDOG_GENERAL_TRIM,
                               context.RecordFacts(record, EngineText(kTrimmedText)));
            }
            break;
        case kWatchdogPriority: {
            const auto priorityClass = static_cast<std::uint32_t>(rule.ActionValue);
            const bool set = ChangePriorityClass(record.pid, priorityClass);
            if (set) {
                episode.failures.End(WatchdogFailure::kPriority);
            }
            const bool tell = set || episode.failures.Begins(WatchdogFailure::kPriority);
            if (log && tell) {
                context.Record(
                    CV_ACTION_TOOK_WATCHDOG_GENERAL_PRIORITY,
                    context.RecordFacts(record, set ? PriorityClassText(priorityClass) : L"ERROR"));
            }
            break;
        }
        case kWatchdogIoPriority: {
            const auto io = static_cast<std::uint32_t>(rule.ActionValue);
            if (platform::SetIoPriority(record.pid, io) && log) {
                context.Record(
                    CV_ACTION_TOOK_WATCHDOG_IO_PRIORITY,
                    context.RecordFacts(record, IoPriorityText(static_cast<std::int32_t>(io))));
            }
            break;
        }
        case kWatchdogNotify:
            if (log) {
                context.Record(CV_ACTION_TOOK_WATCHDOG_NOTIFY,
                               context.RecordFacts(record, EngineText(kNotifyText)));
            }
            break;
        case kWatchdogLaunch:
            Launch(context, record, rule, episode.failures);
            break;
        default:
            break;
    }
    episode.actionTaken = true;
    return true;
}

bool WatchdogRules::StopServices(const std::vector<platform::ServiceStatusRow>& services) {
    bool allStopped = true;
    for (const auto& service : services) {
        allStopped = platform::SendServiceStop(service.name) && allStopped;
    }
    return allStopped;
}

WatchdogRules::Termination WatchdogRules::Terminate(const FeatureContext& context,
                                                    ProcessRecord& record) {
    std::vector<platform::ServiceStatusRow> services;
    if (services_ != nullptr && services_->ServicesOfProcess(record.pid, &services)) {
        if (!StopServices(services)) {
            return TerminateById(record.pid) ? Termination::Ended : Termination::Failed;
        }
        // The process ends when its services have stopped.
        return Termination::ServicesStopping;
    }
    return CloseGracefully(record.pid, context.Settings().Performance.GracefulWaitTimeInMs)
               ? Termination::Ended
               : Termination::Failed;
}

bool WatchdogRules::Restart(const FeatureContext& context, ProcessRecord& record,
                            const WatchdogRule& rule, FailureEpisodes& failures) {
    const bool log = context.LoggingEnabled();
    std::vector<platform::ServiceStatusRow> services;
    bool restarted = false;
    if (services_ != nullptr && services_->ServicesOfProcess(record.pid, &services)) {
        if (!StopServices(services)) {
            TerminateById(record.pid);
        }
        // A service can only be started again once it has stopped; the wait is bounded and
        // ends with the engine.
        for (std::uint32_t waited = 0; waited < kServiceStopWaitMs; waited += kServiceStopPollMs) {
            const bool stopped = std::all_of(services.begin(), services.end(), [](const auto& s) {
                const auto state = platform::QueryServiceState(s.name);
                return !state || *state == platform::ServiceState::Stopped;
            });
            if (stopped ||
                (exitEvent_ != nullptr && platform::WaitForObject(exitEvent_, kServiceStopPollMs) !=
                                              platform::WaitResult::TimedOut)) {
                break;
            }
            if (exitEvent_ == nullptr) {
                platform::SleepMs(kServiceStopPollMs);
            }
        }
        restarted = true;
        for (const auto& service : services) {
            restarted = platform::StartServiceByName(service.name) && restarted;
        }
    } else if (LaunchesProhibited()) {
        const bool tell = failures.Begins(WatchdogFailure::kLaunchesProhibited);
        if (tell && log) {
            context.Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED,
                           context.RecordFacts(record, EngineText(kServiceLaunchRefusedText)));
        }
        return false;
    } else {
        failures.End(WatchdogFailure::kLaunchesProhibited);
        const std::size_t slash = record.path.find_last_of(L"\\/");
        const std::wstring directory =
            slash == std::wstring::npos ? std::wstring() : record.path.substr(0, slash);
        const std::wstring commandLine = FormatText(
            L"\"%s\" %s", record.path, WatchdogRestartArguments(record.commandLine, record.path));
        std::optional<platform::LaunchedProcess> launched;
        if (!IsServiceInstalled()) {
            CloseGracefully(record.pid, context.Settings().Performance.GracefulWaitTimeInMs);
            launched = platform::LaunchProcess(commandLine, directory, !AllowElevatedChildren());
        } else {
            // As SYSTEM: the program starts again as the user it ran as, in its session. The
            // token is taken while the process still runs; without it the process is left be.
            ServiceLaunchUser as = UserToLaunchAs(record.pid, record.createTime, record.path);
            if (as.untrustedProgram) {
                if (failures.Begins(WatchdogFailure::kUntrustedProgram) && log) {
                    context.Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED,
                                   context.RecordFacts(record, kUserMayChangeProgramText));
                }
                return false;
            }
            failures.End(WatchdogFailure::kUntrustedProgram);
            if (as.user) {
                CloseGracefully(record.pid, context.Settings().Performance.GracefulWaitTimeInMs);
                launched = platform::LaunchProcessAsUser(*as.user, commandLine, directory);
            }
        }
        if (launched) {
            platform::SetProcessPriorityClass(launched->process.Get(),
                                              platform::kNormalPriorityClass);
        }
        restarted = launched.has_value();
    }
    if (restarted) {
        failures.End(WatchdogFailure::kRestart);
    }
    const bool tell = restarted || failures.Begins(WatchdogFailure::kRestart);
    if (log && tell) {
        context.Record(restarted ? CV_ACTION_TOOK_WATCHDOG_GENERAL_RESTART
                                 : CV_ACTION_TOOK_WATCHDOG_GENERAL_RESTART_ERROR,
                       context.RecordFacts(record, ThresholdText(rule)));
    }
    return restarted;
}

void WatchdogRules::Launch(const FeatureContext& context, const ProcessRecord& record,
                           const WatchdogRule& rule, FailureEpisodes& failures) {
    // Written whatever LogDisable says; a failure when it first fails, and again only after a
    // launch succeeded.
    if (LaunchesProhibited()) {
        if (failures.Begins(WatchdogFailure::kLaunchesProhibited)) {
            context.Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED,
                           context.RecordFacts(record, EngineText(kServiceLaunchRefusedText)));
            context.Record(CV_ACTION_TOOK_WATCHDOG_ACTION_LAUNCH_ERROR,
                           context.RecordFacts(record, kLaunchErrorText));
        }
        return;
    }
    failures.End(WatchdogFailure::kLaunchesProhibited);
    LaunchSubject subject;
    subject.pid = record.pid;
    subject.imageName = record.info->ImageName();
    subject.path = record.path;
    subject.commandLine = record.commandLine;
    subject.sessionId = record.info->SessionId();
    const std::wstring commandLine =
        WatchdogLaunchCommandLine(rule.Program, rule.Arguments, subject);
    std::optional<platform::LaunchedProcess> launched;
    if (!IsServiceInstalled()) {
        launched = platform::LaunchProcess(commandLine, std::wstring(), !AllowElevatedChildren());
    } else {
        // As SYSTEM: the program runs as the user of the process it is about, in its session.
        ServiceLaunchUser as = UserToLaunchAs(record.pid, record.createTime, rule.Program);
        if (as.untrustedProgram) {
            if (failures.Begins(WatchdogFailure::kUntrustedProgram)) {
                context.Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED,
                               context.RecordFacts(record, kUserMayChangeProgramText));
                context.Record(CV_ACTION_TOOK_WATCHDOG_ACTION_LAUNCH_ERROR,
                               context.RecordFacts(record, kLaunchErrorText));
            }
            return;
        }
        failures.End(WatchdogFailure::kUntrustedProgram);
        if (as.user) {
            launched = platform::LaunchProcessAsUser(*as.user, commandLine, std::wstring());
        }
    }
    if (!launched) {
        if (failures.Begins(WatchdogFailure::kLaunch)) {
            context.Record(CV_ACTION_TOOK_WATCHDOG_ACTION_LAUNCH_ERROR,
                           context.RecordFacts(record, kLaunchErrorText));
        }
        return;
    }
    failures.End(WatchdogFailure::kLaunch);
    platform::SetProcessPriorityClass(launched->process.Get(), platform::kNormalPriorityClass);
    context.Record(CV_ACTION_TOOK_WATCHDOG_ACTION_LAUNCH,
                   context.RecordFacts(record, kLaunchedText));
}

}  // namespace cv
