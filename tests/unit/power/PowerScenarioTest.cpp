// Power automation in running engine cycles on the simulated machine: which programs engage
// performance mode, the manual switch, application plans, prevent-sleep, the start-with plan,
// the idle-time plan and the timer, and that the user's plan comes back after a stop or a crash
// whatever held a plan.
#include <cctype>
#include <functional>
#include <set>
#include <string>

#include "EngineScenario.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;
using platform::PowerGuid;
using platform::RegistryRoot;

const PowerGuid kBalanced = ToPowerGuid(kBalancedPlan);
const PowerGuid kHighPerformance = ToPowerGuid(kHighPerformancePlan);
constexpr PowerGuid kPowerSaver{
    0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};

constexpr PowerGuid kUsersPlan{
    0x12345678, 0x1234, 0x4abc, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr const wchar_t* kRecoveryValues[] = {L"DrowselRecoveryGUID", L"TarvelHighPerfRecoveryGUID",
                                              L"AppPowerProfileRecoveryGUID"};

class PowerScenario : public test::EngineScenario {
  protected:
    // A fresh machine for the next case of a table.
    void Fresh() {
        loop_.reset();
        ProcessHandleCache::Instance().Clear();
        machine().Reset();
        ResetEngineProcessValues();
        ProcessValues().ConfigFolderOverride = kConfigFolder;
        ProcessValues().LogFolderOverride = kLogFolder;
        sim::PutFolder(kLogFolder);
    }
    // The defaults with the given keys; keys the default file leaves out are added.
    void StartWith(Keys keys) {
        keys.emplace(L"TargetPowerPlan", L"High performance");
        WriteKeys(keys);
        StartWithoutFile();
    }
    void WriteKeys(const Keys& keys) {
        SettingsEnvironment environment;
        environment.processors.activeProcessors = machine().activeProcessorsAllGroups;
        ConfigSettings defaults(environment);
        ConfigDocument document;
        defaults.WriteSettings(document);
        for (const auto& [key, value] : keys) {
            bool found = false;
            for (std::size_t i = 0; i < document.keys.size(); ++i) {
                if (document.keys[i] == key) {
                    document.values[i] = value;
                    found = true;
                }
            }
            if (!found) {
                AddEntry(document, L"Extra", key, value);
            }
        }
        sim::PutFile(ConfigPath(), RenderConfigBytes(document));
    }
    // The configuration changed: the next cycle reloads it.
    void Reload(const Keys& keys) {
        Keys all = keys;
        all.emplace(L"TargetPowerPlan", L"High performance");
        // A file written later than the one loaded.
        machine().AdvanceClock(5000);
        WriteKeys(all);
        machine().SetNamedEvent(names::kReloadNowEvent);
        Cycles(1);
    }
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image, std::uint32_t parent = 4,
                           const std::wstring& path = L"") {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = parent;
        process.user = L"Tester";
        process.imagePath = path.empty() ? L"C:\\Apps\\" + image : path;
        return process;
    }
    void End(std::uint32_t pid) {
        machine().EndProcess(pid);
        Cycles(1);
    }
    void Toggle() {
        machine().SetNamedEvent(names::kPerformanceModeToggleEvent);
        Cycles(1);
    }
    static PowerGuid Active() { return machine().activePowerPlan; }
    static bool On(const wchar_t* name) { return machine().IsNamedObjectSignalled(name); }
    static bool RecoveryValueLeft() {
        for (const wchar_t* value : kRecoveryValues) {
            if (platform::RegistryValuePresent(RegistryRoot::LocalMachine, kCorvaneKey, value)) {
                return true;
            }
        }
        return false;
    }
    std::vector<std::uint32_t> LoggedIds() { return Ids(StopAndReadLog()); }
    static int Count(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
        return static_cast<int>(std::count(ids.begin(), ids.end(), id));
    }
};

TEST_F(PowerScenario, WhichProgramsEngagePerformanceMode) {
    const struct {
        const char* what;
        bool underSteam;
        const wchar_t* image;
        const wchar_t* path;
        Keys keys;
        bool engages;
    } cases[] = {
        {"a game under the launcher",
         true,
         L"game.exe",
         L"D:\\Steam\\steamapps\\common\\Game\\game.exe",
         {},
         true},
        {"the launcher's web helper",
         true,
         L"steamwebhelper.exe",
         L"D:\\Steam\\bin\\cef\\steamwebhelper.exe",
         {},
         false},
        {"a browser the launcher opened",
         true,
         L"chrome.exe",
         L"C:\\Chrome\\chrome.exe",
         {},
         false},
        {"launcher games off",
         true,
         L"game.exe",
         L"D:\\Steam\\steamapps\\common\\Game\\game.exe",
         {{L"GamingModeEngageForSteam", L"false"}},
         false},
        {"a listed program",
         false,
         L"render.exe",
         L"",
         {{L"AutomaticGamingModeProcessPaths", L"render.exe"}},
         true},
        {"listed by its path",
         false,
         L"tool.exe",
         L"C:\\Studio\\tool.exe",
         {{L"AutomaticGamingModeProcessPaths", L"c:\\studio\\*"}},
         true},
        {"a listed launcher component",
         false,
         L"gameerrorreporter.exe",
         L"",
         {{L"AutomaticGamingModeProcessPaths", L"*reporter.exe"}},
         false},
        {"an unlisted program", false, L"notepad.exe", L"", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        Spawn(100, L"steam.exe");
        Spawn(200, c.image, c.underSteam ? 100 : 4, c.path);
        StartWith(c.keys);
        Cycles(1);
        EXPECT_EQ(Active() == kHighPerformance, c.engages);
        EXPECT_EQ(On(names::kPerformanceModeActiveEvent), c.engages);
        EXPECT_EQ(On(names::kPerformanceModeAutomaticEvent), c.engages);
        EXPECT_EQ(loop_->Power().PerformanceModeActive(), c.engages);
        End(200);
        EXPECT_EQ(Active(), kBalanced);
        EXPECT_FALSE(On(names::kPerformanceModeActiveEvent));
        EXPECT_FALSE(RecoveryValueLeft());
        const auto ids = LoggedIds();
        EXPECT_EQ(Count(ids, 25), c.engages ? 1 : 0);
        EXPECT_EQ(Count(ids, 26), c.engages ? 1 : 0);
    }
}

TEST_F(PowerScenario, TheTargetFallsBackToTheProductPlanAndWithoutOneNothingSwitches) {
    Spawn(200, L"render.exe");
    const Keys keys = {{L"AutomaticGamingModeProcessPaths", L"render.exe"},
                       {L"TargetPowerPlan", L"No such plan"}};
    WriteKeys(keys);
    StartWithoutFile();
    Cycles(1);
    const sim::SimPowerPlan* plan = machine().FindPowerPlan(Active());
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(plan->friendlyName, L"Tarvel Highest Performance");
    End(200);
    EXPECT_EQ(Active(), kBalanced);
    loop_->Shutdown();
    loop_.reset();

    // The user removed the product's plan: nothing is switched, and leaving changes nothing.
    Fresh();
    platform::WriteRegistryDword(RegistryRoot::LocalMachine, L"Software\\Hobrell",
                                 L"THPUninstalled", 1);
    Spawn(200, L"render.exe");
    WriteKeys(keys);
    StartWithoutFile();
    Cycles(1);
    EXPECT_EQ(Active(), kBalanced);
    EXPECT_TRUE(On(names::kPerformanceModeActiveEvent));
    EXPECT_FALSE(RecoveryValueLeft());
    machine().activePowerPlan = kPowerSaver;  // the user's own change stays
    End(200);
    EXPECT_EQ(Active(), kPowerSaver);
}

TEST_F(PowerScenario, ManualModeSurvivesTheGameAndEndsOnlyByHand) {
    Spawn(100, L"steam.exe");
    StartWith({});
    Cycles(1);
    Toggle();
    EXPECT_TRUE(On(names::kPerformanceModeManualEvent));
    EXPECT_EQ(Active(), kHighPerformance);
    Spawn(200, L"game.exe", 100);
    Cycles(1);
    End(200);
    // The game's end leaves the plan and the events in place.
    EXPECT_EQ(Active(), kHighPerformance);
    EXPECT_TRUE(On(names::kPerformanceModeActiveEvent));
    Toggle();
    EXPECT_EQ(Active(), kBalanced);
    EXPECT_FALSE(On(names::kPerformanceModeActiveEvent));
    EXPECT_FALSE(RecoveryValueLeft());
    const auto ids = LoggedIds();
    EXPECT_EQ(Count(ids, 94), 1);
    EXPECT_EQ(Count(ids, 25), 1);  // by hand; the game found it on already
    EXPECT_EQ(Count(ids, 26), 1);
}

TEST_F(PowerScenario, ManualModeTurnedOffWhileAGameRunsKeepsThePlanUntilTheGameEnds) {
    Spawn(100, L"steam.exe");
    StartWith({});
    Cycles(1);
    Toggle();
    Spawn(200, L"game.exe", 100);
    Cycles(1);
    Toggle();
    EXPECT_FALSE(On(names::kPerformanceModeActiveEvent));
    EXPECT_FALSE(On(names::kPerformanceModeManualEvent));
    EXPECT_EQ(Active(), kHighPerformance);
    End(200);
    EXPECT_EQ(Active(), kBalanced);
    EXPECT_FALSE(RecoveryValueLeft());
    const auto ids = LoggedIds();
    EXPECT_EQ(Count(ids, 94), 0);
    EXPECT_EQ(Count(ids, 26), 1);
}

// An engine that ended abnormally may leave the shared events set while another program keeps
// them open; a new engine starts them reset and believes only the programs it sees.
TEST_F(PowerScenario, EventsLeftSetByAnEngineThatEndedAbnormallyStartReset) {
    for (const wchar_t* name :
         {names::kPerformanceModeActiveEvent, names::kPerformanceModeAutomaticEvent,
          names::kPerformanceModeManualEvent, names::kPreventSleepEvent,
          names::kPreventDisplaySleepEvent}) {
        machine().SetNamedEvent(name);
    }
    Spawn(100, L"notepad.exe");
    StartWith({});
    Cycles(2);
    EXPECT_FALSE(loop_->Power().PerformanceModeActive());
    for (const wchar_t* name :
         {names::kPerformanceModeActiveEvent, names::kPerformanceModeAutomaticEvent,
          names::kPerformanceModeManualEvent, names::kPreventSleepEvent,
          names::kPreventDisplaySleepEvent}) {
        EXPECT_FALSE(On(name));
    }
}

TEST_F(PowerScenario, PreventSleepKeepsTheMachineAwakeWhileItsProgramsRun) {
    const struct {
        const char* what;
        Keys keys;
        std::uint32_t flags;
        bool displayEvent;
    } cases[] = {
        {"machine list", {{L"PC", L"render.exe"}}, platform::kExecutionSystemRequired, false},
        {"display list",
         {{L"Display", L"render.exe"}},
         platform::kExecutionSystemRequired | platform::kExecutionDisplayRequired,
         true},
        {"both lists: the machine's wins, both events",
         {{L"PC", L"render.exe"}, {L"Display", L"render.exe"}},
         platform::kExecutionSystemRequired,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        Spawn(200, L"render.exe");
        Spawn(201, L"render.exe");
        StartWith(c.keys);
        Cycles(2);
        ASSERT_FALSE(machine().executionStates.empty());
        EXPECT_EQ(machine().executionStates.back(), c.flags);
        EXPECT_EQ(machine().executionStates.size(), 4u);  // each process, each cycle
        EXPECT_TRUE(On(names::kPreventSleepEvent));
        EXPECT_EQ(On(names::kPreventDisplaySleepEvent), c.displayEvent);
        End(200);
        EXPECT_TRUE(On(names::kPreventSleepEvent));
        End(201);
        EXPECT_FALSE(On(names::kPreventSleepEvent));
        EXPECT_FALSE(On(names::kPreventDisplaySleepEvent));
        const std::size_t calls = machine().executionStates.size();
        Cycles(1);
        EXPECT_EQ(machine().executionStates.size(), calls);
        const auto ids = LoggedIds();
        EXPECT_EQ(Count(ids, 16), 2);
        EXPECT_EQ(Count(ids, 18), 1);
        EXPECT_EQ(Count(ids, 17), 1);
    }
}

TEST_F(PowerScenario, AnApplicationPlanIsHeldWhileItsProgramRuns) {
    Spawn(200, L"render.exe");
    Spawn(201, L"other.exe");
    StartWith({{L"DefaultPowerSchemes", L"render.exe;Power saver,other.exe;No such plan"}});
    Cycles(1);
    EXPECT_EQ(Active(), kPowerSaver);
    EXPECT_EQ(loop_->Power().PlanHolders(), 1u);
    EXPECT_TRUE(platform::RegistryValuePresent(RegistryRoot::LocalMachine, kCorvaneKey,
                                               L"AppPowerProfileRecoveryGUID"));
    End(200);
    EXPECT_EQ(Active(), kBalanced);
    EXPECT_EQ(loop_->Power().PlanHolders(), 0u);
    EXPECT_FALSE(RecoveryValueLeft());
    const auto ids = LoggedIds();
    EXPECT_EQ(Count(ids, 28), 1);  // the plan that does not resolve was dropped at load
    EXPECT_EQ(Count(ids, 30), 1);
}

TEST_F(PowerScenario, TheStartWithPlanUndoesAHandChange) {
    StartWith({{L"StartWithPowerPlan", L"Power saver"}});
    Cycles(1);
    EXPECT_EQ(Active(), kPowerSaver);
    machine().activePowerPlan = kBalanced;
    Cycles(1);
    EXPECT_EQ(Active(), kPowerSaver);
    Cycles(1);
    EXPECT_EQ(Count(LoggedIds(), 96), 2);
}

class IdlePlanScenario : public PowerScenario {
  protected:
    static Keys IdleKeys(Keys extra = {}) {
        Keys keys = {{L"EnergySaverEnabled", L"true"},
                     {L"PowerSaver_IdleTime", L"60"},
                     {L"PowerSaver_TargetGUID", L"Power saver"},
                     {L"AutomaticGamingModeProcessPaths", L"game.exe"}};
        keys.insert(extra.begin(), extra.end());
        return keys;
    }
    void Input() { machine().lastInputTick = static_cast<std::uint32_t>(machine().Now()); }
    void Away() {
        machine().AdvanceClock(61'000);
        Cycles(1);
    }
};

TEST_F(IdlePlanScenario, TheIdlePlanFollowsTheUserUnlessSomethingKeepsItOff) {
    const struct {
        const char* what;
        const wchar_t* running;  // a process started before the engine, or none
        Keys keys;
        PowerGuid before;
        bool switches;
        bool engages;
    } cases[] = {
        {"the user is away", nullptr, {}, kBalanced, true, true},
        {"the target is already active", nullptr, {}, kPowerSaver, false, true},
        {"an exclusion runs",
         L"render.exe",
         {{L"PowerSaver_Exclusions", L"render.exe"}},
         kBalanced,
         false,
         false},
        {"performance mode is on", L"game.exe", {}, kHighPerformance, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        machine().activePowerPlan = c.before == kHighPerformance ? kBalanced : c.before;
        if (c.running != nullptr) {
            Spawn(200, c.running);
        }
        Input();
        StartWith(IdleKeys(c.keys));
        Cycles(1);
        EXPECT_EQ(Active(), c.before);
        Away();
        EXPECT_EQ(loop_->Power().IdlePlanEngaged(), c.engages);
        EXPECT_EQ(Active(), c.switches ? kPowerSaver : c.before);
        EXPECT_EQ(platform::RegistryValuePresent(RegistryRoot::LocalMachine, kCorvaneKey,
                                                 L"DrowselRecoveryGUID"),
                  c.switches);
        Input();
        Cycles(1);
        EXPECT_FALSE(loop_->Power().IdlePlanEngaged());
        EXPECT_EQ(Active(), c.before);
        EXPECT_EQ(Count(LoggedIds(), 62), c.switches ? 2 : (c.engages ? 1 : 0));
    }
}

TEST_F(PowerScenario, TheTimerResolutionIsRequestedAndReleased) {
    StartWith({{L"SetTimerResolutionAtStartup", L"5000"}});
    Cycles(1);
    EXPECT_EQ(machine().ownTimerRequest, 5000u);
    EXPECT_EQ(
        machine().GetDword(RegistryRoot::LocalMachine, kCorvaneKey, L"LastSetTimerResolution"),
        5000u);
    Reload({{L"SetTimerResolutionAtStartup", L"0"}});
    EXPECT_FALSE(machine().ownTimerRequest.has_value());
    EXPECT_FALSE(
        machine().HasValue(RegistryRoot::LocalMachine, kCorvaneKey, L"LastSetTimerResolution"));
    const auto actions = Only(StopAndReadLog(), 106);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].info, L"0.500 ms");
    EXPECT_EQ(actions[1].info, L"15.625 ms");
}

// Whatever holds a plan, and in whatever order, a stop gives back the user's plan and leaves no
// recovery value; a crash in the same state is repaired by the next start.
TEST_F(IdlePlanScenario, NothingIsLeftBehindByAStopOrACrash) {
    const struct {
        const char* what;
        std::vector<const wchar_t*> started;  // in this order, one cycle each
        bool away;                            // then the user goes away
        PowerGuid engaged;
    } cases[] = {
        {"performance mode", {L"game.exe"}, false, kHighPerformance},
        {"an application plan", {L"editor.exe"}, false, kPowerSaver},
        {"the idle plan", {}, true, kPowerSaver},
        {"performance mode, then an application plan",
         {L"game.exe", L"editor.exe"},
         false,
         kPowerSaver},
        {"an application plan, then performance mode",
         {L"editor.exe", L"game.exe"},
         false,
         kHighPerformance},
        {"an application plan, then the idle plan", {L"editor.exe"}, true, kPowerSaver},
        {"a game with its own plan", {L"ownplan.exe"}, false, kBalanced},
    };
    const Keys keys =
        IdleKeys({{L"AutomaticGamingModeProcessPaths", L"game.exe,ownplan.exe"},
                  {L"DefaultPowerSchemes", L"editor.exe;Power saver,ownplan.exe;Balanced"}});
    for (const bool crash : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (crash ? ", crash" : ", stop"));
            Fresh();
            // The user's own plan is none of the features' plans.
            machine().AddPowerPlan(kUsersPlan, L"My plan");
            machine().activePowerPlan = kUsersPlan;
            const PowerGuid users = kUsersPlan;
            Input();
            StartWith(keys);
            Cycles(1);
            std::uint32_t pid = 200;
            for (const wchar_t* image : c.started) {
                Spawn(pid++, image);
                Cycles(1);
            }
            if (c.away) {
                Away();
            }
            EXPECT_EQ(Active(), c.engaged);
            if (!crash) {
                loop_->Shutdown();
                loop_.reset();
                EXPECT_EQ(Active(), users);
                EXPECT_FALSE(RecoveryValueLeft());
                continue;
            }
            // A crash leaves the machine as it is: the plan switched and the recovery values.
            auto saved = machine().registry;
            loop_->Shutdown();
            loop_.reset();
            machine().registry = saved;
            machine().activePowerPlan = c.engaged;
            for (std::uint32_t p = 200; p < pid; ++p) {
                machine().EndProcess(p);
            }
            StartWithoutFile();
            EXPECT_EQ(Active(), users);
            EXPECT_FALSE(RecoveryValueLeft());
        }
    }
}

// Who holds the machine decides its plan: the most recent holder on top, the next one down when
// the top ends, nothing when one below the top ends, the user's plan when the last ends. Steps:
// A/a an editor with its own plan begins/ends, P/p a game (performance mode), I/i the user goes
// away/comes back (the idle plan), m the user picks Balanced by hand. Plans: U the user's, S the
// editor's (Power saver), H the game's (High performance), D the idle plan, B Balanced.
class PlanOrderScenario : public IdlePlanScenario {
  protected:
    static constexpr PowerGuid kIdlePlan{
        0x0badc0de, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
    static constexpr std::uint32_t kEditor = 301;
    static constexpr std::uint32_t kGame = 302;

    static PowerGuid PlanOf(char letter) {
        switch (letter) {
            case 'S':
                return kPowerSaver;
            case 'H':
                return kHighPerformance;
            case 'D':
                return kIdlePlan;
            case 'B':
                return kBalanced;
            default:
                return kUsersPlan;
        }
    }

    // The rule, kept apart from the engine: a stack of plans and the user's plan under it.
    struct Model {
        std::vector<std::pair<char, PowerGuid>> stack;  // the bottom first
        PowerGuid users = kUsersPlan;
        PowerGuid active = kUsersPlan;

        void Step(char step) {
            const char feature = static_cast<char>(std::toupper(step));
            const PowerGuid plan = PlanOf(feature == 'A' ? 'S' : feature == 'P' ? 'H' : 'D');
            if (step == 'm') {
                active = kBalanced;
            } else if (step == feature) {
                if (stack.empty()) {
                    users = active;
                }
                stack.emplace_back(feature, plan);
                active = plan;
            } else {
                const bool top = stack.back().first == feature;
                std::erase_if(stack, [&](const auto& entry) { return entry.first == feature; });
                if (top) {
                    active = stack.empty() ? users : stack.back().second;
                }
            }
        }
        // After a stop, or a crash and the next start.
        PowerGuid AfterStop() const { return stack.empty() ? active : users; }
    };

    void Begin() {
        Fresh();
        machine().AddPowerPlan(kUsersPlan, L"My plan");
        machine().AddPowerPlan(kIdlePlan, L"Idle plan");
        machine().activePowerPlan = kUsersPlan;
        Input();
        Keys keys = IdleKeys({{L"DisableEnergySaverDuringGamingMode", L"false"},
                              {L"DefaultPowerSchemes", L"editor.exe;Power saver"}});
        keys[L"PowerSaver_TargetGUID"] = L"Idle plan";
        StartWith(keys);
        Cycles(1);
        away_ = false;
    }
    void Step(char step) {
        // The user stays at the machine unless the step sends them away.
        if (!away_ && step != 'I') {
            Input();
        }
        switch (step) {
            case 'A':
                Spawn(kEditor, L"editor.exe");
                break;
            case 'a':
                machine().EndProcess(kEditor);
                break;
            case 'P':
                Spawn(kGame, L"game.exe");
                break;
            case 'p':
                machine().EndProcess(kGame);
                break;
            case 'I':
                machine().AdvanceClock(61'000);
                away_ = true;
                break;
            case 'i':
                Input();
                away_ = false;
                break;
            case 'm':
                machine().activePowerPlan = kBalanced;
                break;
        }
        // The plan must hold, not only be reached: the reload after a game ends comes too.
        Cycles(2);
    }
    // Runs the steps on a fresh engine, checking the plan after each against `expected` (or the
    // model), then checks that a stop and a crash followed by a start both end on the plan the
    // rule gives.
    void Run(const std::string& steps, const std::string& expected) {
        SCOPED_TRACE("steps " + steps);
        Begin();
        Model model;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            Step(steps[i]);
            model.Step(steps[i]);
            if (!expected.empty()) {
                ASSERT_EQ(model.active, PlanOf(expected[i])) << "the table, step " << i;
            }
            ASSERT_EQ(Active(), model.active) << "after step " << i << " (" << steps[i] << ")";
        }
        StopAndCrash(model.AfterStop());
    }
    void StopAndCrash(const PowerGuid& expected) {
        // A crash leaves the machine as it is: the plan and the recovery values.
        const auto registry = machine().registry;
        const PowerGuid plan = Active();
        loop_->Shutdown();
        loop_.reset();
        EXPECT_EQ(Active(), expected) << "after a stop";
        EXPECT_FALSE(RecoveryValueLeft()) << "after a stop";
        machine().registry = registry;
        machine().activePowerPlan = plan;
        machine().EndProcess(kEditor);
        machine().EndProcess(kGame);
        StartWithoutFile();
        EXPECT_EQ(Active(), expected) << "after a crash";
        EXPECT_FALSE(RecoveryValueLeft()) << "after a crash";
    }

    bool away_ = false;
};

TEST_F(PlanOrderScenario, TwoHoldersInEveryOrderAndAManualSwitch) {
    const struct {
        const char* steps;
        const char* plans;  // after each step
    } cases[] = {
        {"APpa", "SHSU"},
        {"APap", "SHHU"},
        {"AaPp", "SUHU"},
        {"PAap", "HSHU"},
        {"PApa", "HSSU"},
        {"PpAa", "HUSU"},
        {"AIia", "SDSU"},
        {"AIai", "SDDU"},
        {"AaIi", "SUDU"},
        {"IAai", "DSDU"},
        {"IAia", "DSSU"},
        {"IiAa", "DUSU"},
        {"PIip", "HDHU"},
        {"PIpi", "HDDU"},
        {"PpIi", "HUDU"},
        {"IPpi", "DHDU"},
        {"IPip", "DHHU"},
        {"IiPp", "DUHU"},
        // By hand while a holder holds: it stays until a switch by the rule; the user's plan
        // stays the one from before.
        {"Ama", "SBU"},
        {"APmpa", "SHBSU"},
        {"APmap", "SHBBU"},
        {"ImPip", "DBHHU"},
        // By hand while nothing holds: that is the user's plan from then on.
        {"mAa", "BSB"},
        {"mPIpi", "BHDDB"},
    };
    for (const auto& c : cases) {
        const std::string steps = c.steps;
        // A stop and a crash after every step, not only at the end.
        for (std::size_t length = 1; length <= steps.size(); ++length) {
            Run(steps.substr(0, length), std::string(c.plans).substr(0, length));
        }
    }
}

// Every order in which the three begin and end, checked against the rule.
TEST_F(PlanOrderScenario, ThreeHoldersInEveryOrder) {
    std::vector<std::string> orders;
    const std::function<void(std::string, std::string)> extend = [&](std::string done,
                                                                     std::string left) {
        if (left.empty()) {
            orders.push_back(done);
            return;
        }
        for (std::size_t i = 0; i < left.size(); ++i) {
            const char step = left[i];
            // A feature ends only after it began.
            if (std::islower(step) &&
                done.find(static_cast<char>(std::toupper(step))) == std::string::npos) {
                continue;
            }
            std::string rest = left;
            rest.erase(i, 1);
            extend(done + step, rest);
        }
    };
    extend("", "AaPpIi");
    ASSERT_EQ(orders.size(), 90u);
    // Each prefix once: a stop and a crash after every step of every order.
    std::set<std::string> prefixes;
    for (const std::string& order : orders) {
        for (std::size_t length = 1; length <= order.size(); ++length) {
            prefixes.insert(order.substr(0, length));
        }
    }
    for (const std::string& prefix : prefixes) {
        Run(prefix, "");
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST_F(PlanOrderScenario, TheStartWithPlanHoldsOnlyWhatTheOthersLeave) {
    Fresh();
    machine().AddPowerPlan(kUsersPlan, L"My plan");
    machine().activePowerPlan = kUsersPlan;
    Input();
    StartWith(IdleKeys({{L"StartWithPowerPlan", L"Balanced"},
                        {L"DefaultPowerSchemes", L"editor.exe;Power saver"}}));
    Cycles(1);
    EXPECT_EQ(Active(), kBalanced);
    Step('P');
    EXPECT_EQ(Active(), kHighPerformance);
    Step('A');
    EXPECT_EQ(Active(), kPowerSaver);
    Step('p');
    EXPECT_EQ(Active(), kPowerSaver);
    Step('a');
    EXPECT_EQ(Active(), kBalanced);
    Step('m');  // undone: the start-with plan holds the machine
    EXPECT_EQ(Active(), kBalanced);
    Step('P');
    StopAndCrash(kUsersPlan);
}

TEST_F(PowerScenario, OnAMachineWithOverlaysPerformanceModeTakesTheBestPerformanceOverlay) {
    machine().EnablePowerOverlays();
    Spawn(200, L"game.exe");
    // The default configuration: the product plan's name as the target.
    WriteKeys({{L"AutomaticGamingModeProcessPaths", L"game.exe"}});
    StartWithoutFile();
    Cycles(1);
    EXPECT_EQ(Active(), kBalanced);
    EXPECT_EQ(machine().activePowerOverlay, ToPowerGuid(kOverlayBestPerformance));
    // The product plan is never created where overlays are offered.
    for (const auto& plan : machine().powerPlans) {
        EXPECT_NE(plan.friendlyName, L"Tarvel Highest Performance");
    }
    End(200);
    EXPECT_EQ(Active(), kBalanced);
    EXPECT_EQ(machine().activePowerOverlay, ToPowerGuid(kNoOverlay));
    EXPECT_FALSE(RecoveryValueLeft());
}

// The tick clock wraps every 49.7 days; an idle period across the wrap engages the idle plan,
// and input after it ends it.
TEST_F(IdlePlanScenario, AnIdlePeriodAcrossTheTickWrapEndsWithInput) {
    machine().AdvanceClock((std::uint64_t{1} << 32) - 30'000 - machine().Now());
    Input();
    StartWith(IdleKeys());
    Cycles(1);
    EXPECT_EQ(Active(), kBalanced);
    Away();  // 31 s past the wrap
    ASSERT_LT(static_cast<std::uint32_t>(machine().Now()), 60'000u);
    EXPECT_TRUE(loop_->Power().IdlePlanEngaged());
    EXPECT_EQ(Active(), kPowerSaver);
    Input();
    Cycles(1);
    EXPECT_FALSE(loop_->Power().IdlePlanEngaged());
    EXPECT_EQ(Active(), kBalanced);
    // The user keeps working past the idle time: the plan stays.
    for (int i = 0; i < 70; ++i) {
        Input();
        Cycles(1);
    }
    EXPECT_EQ(Active(), kBalanced);
}

TEST_F(IdlePlanScenario, AnExclusionRunningAtStartKeepsTheIdlePlanOffFromTheFirstCycle) {
    Spawn(200, L"render.exe");
    // The user has been away longer than the idle time when the engine starts.
    machine().AdvanceClock(120'000);
    machine().lastInputTick = 1000;
    StartWith(IdleKeys({{L"PowerSaver_Exclusions", L"render.exe"}}));
    Cycles(3);
    EXPECT_FALSE(loop_->Power().IdlePlanEngaged());
    EXPECT_EQ(Active(), kBalanced);
    End(200);
    Cycles(1);  // the idle plan is judged before the snapshot that sees the end
    EXPECT_TRUE(loop_->Power().IdlePlanEngaged());
    EXPECT_EQ(Active(), kPowerSaver);
}

}  // namespace
}  // namespace cv
