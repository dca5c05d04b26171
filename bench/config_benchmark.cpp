// Loading and saving a realistic full corvex.ini: every rule list with 50 entries.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "common/Format.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "platform/sim/SimFiles.h"
#include "platform/sim/SimMachine.h"
#include "runtime/EngineProcess.h"

namespace {

// One entry of each list; %d makes the 50 entries distinct.
const std::map<std::wstring, std::wstring> kEntries = {
    {L"OocExclusions", L"excluded%d.exe"},
    {L"OocHardCodedExclusionOverrides", L"override%d.exe"},
    {L"ForegroundBoostExclusions", L"noboost%d.exe"},
    {L"CullmarkExclusions", L"keep%d.exe"},
    {L"AllowedProcesses", L"allowed%d.exe"},
    {L"DisallowedProcesses", L"c:\\bad\\tool%d.exe"},
    {L"InstanceLimitedProcesses", L"limited%d.exe;2"},
    {L"ProcessThrottles", L"throttled%d.exe;5"},
    {L"OneTimeProcessThrottles", L"once%d.exe;1234;3"},
    {L"CPULimitRules", L"hog%d.exe;25;0x10;010;7"},
    {L"NamedAffinities", L"set%d,0-3"},
    {L"DefaultPriorities", L"prio%d.exe,below normal"},
    {L"DefaultIOPriorities", L"io%d.exe,0"},
    {L"DefaultMemoryPriorities", L"mem%d.exe,2"},
    {L"DisableThreadPriorityBoost", L"noboost%d.exe"},
    {L"DefaultAffinitiesEx", L"aff%d.exe,5000,1/0-3"},
    {L"CPUSets", L"cpuset%d.exe,(0/0-1)(1/4)"},
    {L"KeepRunningProcesses", L"c:\\apps\\agent%d.exe;-minimized;3"},
    {L"EfficiencyMode", L"eco%d.exe,1"},
    {L"ProcessorGroupExtended", L"wide%d.exe"},
    {L"ProhibitInternetExplorerExceptWhenAny", L"corp%d.exe"},
    {L"WatchdogRules2", L"watch%d.exe;0;0;90.5;5000;0;0;1;-;-;-;-"},
    {L"AutomaticGamingModeProcessPaths", L"c:\\games\\game%d\\*"},
    {L"Display", L"video%d.exe"},
    {L"PC", L"backup%d.exe"},
    {L"PowerSaver_Exclusions", L"awake%d.exe"},
};

std::string FullConfiguration() {
    cv::SettingsEnvironment environment;
    environment.processors.activeProcessors = 8;
    cv::ConfigSettings defaults(environment);
    cv::ConfigDocument document;
    defaults.WriteSettings(document);
    for (std::size_t i = 0; i < document.keys.size(); ++i) {
        const auto entry = kEntries.find(document.keys[i]);
        if (entry == kEntries.end()) {
            continue;
        }
        std::wstring value;
        for (int n = 0; n < 50; ++n) {
            value += (n == 0 ? L"" : L",") + cv::FormatText(entry->second, n);
        }
        document.values[i] = value;
    }
    return cv::RenderConfigBytes(document);
}

struct Fixture {
    Fixture() {
        cv::sim::Machine::Get().Reset();
        cv::ResetEngineProcessValues();
        bytes = FullConfiguration();
        cv::sim::PutFile(L"C:\\Cfg\\corvex.ini", bytes);
        settings = std::make_unique<cv::ConfigSettings>();
        storage = std::make_unique<cv::ConfigStorage>(*settings);
        storage->SetFolderOverride(L"C:\\Cfg");
    }
    std::string bytes;
    std::unique_ptr<cv::ConfigSettings> settings;
    std::unique_ptr<cv::ConfigStorage> storage;
};

void BM_LoadFullConfiguration(benchmark::State& state) {
    Fixture fixture;
    for (auto _ : state) {
        const auto result = fixture.storage->LoadConfig(true);
        benchmark::DoNotOptimize(result);
    }
    state.counters["file_bytes"] = static_cast<double>(fixture.bytes.size());
    state.counters["rules"] =
        static_cast<double>(fixture.settings->ProcessAllowances.DisallowedProcesses.size());
}
BENCHMARK(BM_LoadFullConfiguration)->Unit(benchmark::kMillisecond);

void BM_SaveFullConfiguration(benchmark::State& state) {
    Fixture fixture;
    fixture.storage->LoadConfig(true);
    for (auto _ : state) {
        const bool saved = fixture.storage->SaveConfig();
        benchmark::DoNotOptimize(saved);
    }
}
BENCHMARK(BM_SaveFullConfiguration)->Unit(benchmark::kMillisecond);

}  // namespace
