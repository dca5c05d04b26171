#pragma once
// Every named kernel object the engine, the post-update tool and the outside programs share.
// The names are exact: some carry braces and some do not, and two memory-trimming names end in
// ")" on purpose.
#include <string>

namespace cv::names {

// Objects whose namespace depends on whether the engine runs as the Vigilor service.
inline constexpr wchar_t kSingleInstanceMutex[] = L"CVVigilorExists";
inline constexpr wchar_t kExitEvent[] = L"VigilorExitEvent";
inline constexpr wchar_t kRestraintPulseEvent[] = L"cvre99A12";

inline constexpr wchar_t kGlobalPrefix[] = L"Global\\";
inline constexpr wchar_t kLocalPrefix[] = L"Local\\";

// Fixed names.
inline constexpr wchar_t kShutdownRequestEvent[] = L"Global\\{ca662ded-1ba8-4260-8753-2810540ed6dd}";
inline constexpr wchar_t kTerminalServicesReadyEvent[] = L"Global\\TermSrvReadyEvent";
inline constexpr wchar_t kConfigChangedEvent[] = L"Corvane777";
inline constexpr wchar_t kConfigChangedForInterfaceEvent[] = L"Corvane888_2";
inline constexpr wchar_t kConfigSavedEvent[] = L"{49da4c63-c475-4b6c-83f3-c78a9fe813c2}";
inline constexpr wchar_t kReloadNowEvent[] = L"Global\\{0ae2c6c1-b291-4d9e-a73c-b14c257a8122}";
inline constexpr wchar_t kProfileChangedEvent[] = L"Global\\{2409cafa-6caa-47e3-9ab6-98710bd57a57}";
inline constexpr wchar_t kProfileRulesChangedEvent[] =
    L"Global\\{b9d44c96-d8c9-406d-b449-50c5f208e367}";
inline constexpr wchar_t kActionLogMutex[] = L"Global\\{0ecca2f1-bb26-401e-8495-a7c70449e863}";
inline constexpr wchar_t kLevelonNotifyEvent[] = L"Global\\Corvane_LevelonEvent9";
inline constexpr wchar_t kEquiloEvent[] = L"Global\\EquiloEvent";
inline constexpr wchar_t kPreventSleepEvent[] = L"Global\\{b91c2f04-fb73-47d0-adb5-02a7a81208ac}";
inline constexpr wchar_t kPreventDisplaySleepEvent[] =
    L"Global\\{2faa5a35-5473-4c53-b1b2-1a9acf965e87}";
inline constexpr wchar_t kPerformanceModeActiveEvent[] =
    L"Global\\4f90aefd-30ca-4121-afec-106c3903fc0f";
inline constexpr wchar_t kPerformanceModeAutomaticEvent[] =
    L"Global\\9c224aec-cdc4-4176-abd1-b18a3f68cb75";
inline constexpr wchar_t kPerformanceModeManualEvent[] =
    L"Global\\a7f0ef70-3b73-4d1f-b9ff-c776d4c37ea7";
inline constexpr wchar_t kPerformanceModeToggleEvent[] =
    L"Global\\6fe25ac7-8142-404c-8dea-b29d40a4fde9";
inline constexpr wchar_t kCullmarkStopEvent[] = L"Global\\{70c1ea09a4344e9abd207e05cb1525bc}";
inline constexpr wchar_t kCullmarkSettingsChangedEvent[] =
    L"Global\\{c119b9c8c98b4117ad436326431b4364)";
inline constexpr wchar_t kCullmarkRunNowEvent[] = L"Global\\{42f2731a-1cc1-4566-868b-428d23a0c644)";

// The per-session agent publishes its state in its own command line.
inline constexpr wchar_t kSessionAgentImageName[] = L"tarvelsessionagent.exe";

// The namespaced name of an object that follows the service rule.
inline std::wstring EngineObjectName(const wchar_t* baseName, bool global) {
    return std::wstring(global ? kGlobalPrefix : kLocalPrefix) + baseName;
}

}  // namespace cv::names
