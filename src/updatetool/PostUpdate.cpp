#include "updatetool/PostUpdate.h"

#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "actionlog/ActionLog.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "control/ProcessorTopology.h"
#include "enginehost/EngineHost.h"
#include "platform/Files.h"
#include "platform/Launch.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "platform/TaskScheduler.h"
#include "powerplans/HighPerformancePlan.h"
#include "powerplans/MachineEnvironment.h"
#include "powerplans/PowerPlanService.h"
#include "profiles/ActiveProfile.h"
#include "profiles/ProfileSwitcher.h"
#include "texts/Language.h"
#include "texts/Messages.h"
#include "updatetool/EventSourceRegistration.h"
#include "updatetool/LogMigration.h"
#include "updatetool/SystemPath.h"
#include "updatetool/TaskScheduling.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kProductKey[] = L"Software\\Corvane";
constexpr wchar_t kLanguageKey[] = L"Software\\Tarvel\\Language";
constexpr std::uint32_t kDefaultProfileText = 1165;
constexpr std::array<const wchar_t*, 5> kProductWords = {L"corvane", L"tarvel", L"vigilor",
                                                         L"trellion", L"rapidor"};

constexpr RegistryRoot kBothRoots[] = {RegistryRoot::LocalMachine, RegistryRoot::CurrentUser};

void DeleteValueIfPresent(RegistryRoot root, const std::wstring& key, const std::wstring& value) {
    platform::DeleteRegistryValue(root, key, value);
}

void ResetIconSet() {
    const auto iconSet =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kProductKey, L"IconSetNumber");
    if (iconSet && *iconSet == 0) {
        return;
    }
    platform::WriteRegistryDword(RegistryRoot::LocalMachine, kProductKey, L"IconSetNumber", 0);
    platform::NotifyShellAssociationsChanged();
}

void MigrateConfigFolderValues() {
    const auto folderEx =
        platform::ReadRegistryString(RegistryRoot::LocalMachine, kProductKey, L"ConfigFolderEx");
    if (!folderEx || folderEx->empty()) {
        const auto folder =
            platform::ReadRegistryString(RegistryRoot::LocalMachine, kProductKey, L"ConfigFolder");
        if (folder && !folder->empty()) {
            platform::WriteRegistryString(RegistryRoot::LocalMachine, kProductKey,
                                          L"ConfigFolderEx", *folder);
            for (const RegistryRoot root : kBothRoots) {
                DeleteValueIfPresent(root, kProductKey, L"ConfigFolder");
            }
        }
    }
    MigrateConfigFolder();
}

// Loads the configuration the engine would load (the active profile's), upgrades it on a hybrid
// processor and saves it, which also tells a running engine to reload. A configuration that does
// not load is left alone.
void UpgradeConfiguration() {
    ConfigSettings settings(MachineSettingsEnvironment());
    ConfigStorage storage(settings);
    ProfileChangeTracker::Attach(storage);
    if (!storage.LoadConfig(true).ok) {
        return;
    }
    ApplyHybridThresholdUpgrade(settings);
    storage.SaveConfig();
}

void WriteVersionValues() {
    const std::pair<const wchar_t*, std::wstring> values[] = {
        {L"DisplayVersion", kInstalledVersion},
        {L"Version", kInstalledVersion},
        {L"VersionMajor", L"14"},
        {L"VersionMinor", L"0"},
    };
    for (const auto& [name, text] : values) {
        platform::CreateRegistryKey(RegistryRoot::LocalMachine, kUninstallKey);
        platform::WriteRegistryString(RegistryRoot::LocalMachine, kUninstallKey, name, text);
    }
}

// The updater cannot replace itself while it runs, so the installer leaves its new copy beside
// it; the copy is dropped only once it is in place.
void ReplaceUpdater(const std::wstring& folder) {
    const std::wstring replacement = folder + L"\\Rapidor.exe.Replacement";
    if (!platform::PathExists(replacement)) {
        return;
    }
    if (platform::CopyFileReplacing(replacement, folder + L"\\Rapidor.exe")) {
        platform::DeleteFileAt(replacement);
    }
}

void DeleteObsoleteFiles(const std::wstring& folder) {
    for (const auto& name : ObsoleteInstallationFiles()) {
        const std::wstring path = FormatText(L"%s\\%s", folder, name);
        if (platform::PathExists(path)) {
            platform::DeleteFileAt(path);
        }
    }
}

void DeleteObsoleteValues() {
    for (const auto& value : ObsoleteProductValues()) {
        for (const RegistryRoot root : kBothRoots) {
            DeleteValueIfPresent(root, kProductKey, value);
        }
    }
    for (const wchar_t* key :
         {L"Software\\Corvane\\listview_sizes", L"Software\\Corvane\\listview_orders"}) {
        DeleteValueIfPresent(RegistryRoot::CurrentUser, key, L"LogViewerCols");
        DeleteValueIfPresent(RegistryRoot::CurrentUser, key, L"LogViewerColsFilter");
    }
    DeleteValueIfPresent(RegistryRoot::LocalMachine, L"Software\\Corvane\\Counters\\Dates",
                         L"LevelonToday");
    for (const RegistryRoot root : kBothRoots) {
        DeleteValueIfPresent(root, kLanguageKey, L"Corvane");
    }
}

void CopyLanguageChoice() {
    const auto language = platform::ReadRegistryDword(RegistryRoot::CurrentUser, kProductKey,
                                                      L"InstallerLanguageDWORD");
    if (language && *language != 0) {
        platform::WriteRegistryDword(RegistryRoot::LocalMachine, kProductKey,
                                     L"InstallerLanguageDWORD", *language);
    }
}

// The active profile moved from the registry into the .profile file beside the configuration.
// Written here as the profile file holds it; the engine is not signalled, the saved
// configuration already tells it to reload. The registry value goes only once the file holds
// the choice, so a failed write is tried again by the next run.
void MigrateActiveProfile() {
    auto profile =
        platform::ReadRegistryString(RegistryRoot::CurrentUser, kProductKey, L"ActiveProfile");
    if (!profile) {
        return;
    }
    if (profile->size() > 2048) {
        profile->resize(2048);
    }
    if (EqualsIgnoreCase(*profile, L"My First Profile") ||
        EqualsIgnoreCase(*profile, LoadResourceString(kDefaultProfileText))) {
        profile->clear();
    }
    if (WriteActiveProfileFile(GetDefaultConfigFolder(), *profile)) {
        platform::DeleteRegistryValue(RegistryRoot::CurrentUser, kProductKey, L"ActiveProfile");
    }
}

bool FlagSet(const wchar_t* name) {
    return platform::ReadRegistryDword(RegistryRoot::LocalMachine, kProductKey, name).value_or(0) !=
           0;
}

void StartProduct(const std::wstring& folder) {
    if (IsVistaOrLater()) {
        RunTaskByName(kSessionAgentTaskName);
        RunTaskByName(kEngineTaskName);
        if (RunTaskByName(kInterfaceTaskName)) {
            return;
        }
    }
    platform::UniqueHandle ui = platform::CreateProcessWithFlags(
        folder + L"\\corvane.exe", L"/trellion",
        platform::kDetachedProcess | platform::kCreateNewProcessGroup, L"");
}

std::wstring InstallationFolder() {
    const std::wstring image = platform::OwnImagePath();
    const std::size_t slash = image.find_last_of(L'\\');
    return slash == std::wstring::npos ? image : image.substr(0, slash);
}

// The tool's own log, "trellion.log" in the log folder: one line a text, as UTF-8. Texts written
// before the path is known are kept and written when it is.
class ToolLog {
  public:
    void Open(const std::wstring& path) {
        std::lock_guard lock(mutex_);
        path_ = path;
        for (const auto& text : waiting_) {
            Append(text);
        }
        waiting_.clear();
    }
    void Write(const std::wstring& text) {
        std::lock_guard lock(mutex_);
        if (path_.empty()) {
            waiting_.push_back(text);
        } else {
            Append(text);
        }
    }

  private:
    void Append(const std::wstring& text) {
        platform::FileOpenResult file =
            platform::OpenFile(path_, platform::kGenericWrite, platform::kFileShareRead,
                               platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
        if (file.handle && platform::SeekToFileEnd(file.handle.Get())) {
            const std::string line = ToUtf8(text) + "\r\n";
            platform::WriteToFile(file.handle.Get(), line.data(),
                                  static_cast<std::uint32_t>(line.size()));
        }
    }

    std::mutex mutex_;
    std::wstring path_;
    std::vector<std::wstring> waiting_;
};

}  // namespace

const std::vector<std::wstring>& ObsoleteProductValues() {
    static const std::vector<std::wstring> values = {L"ColorScheme",
                                                     L"ColorScheme8",
                                                     L"ColorScheme9",
                                                     L"VglServiceUser",
                                                     L"VglServicePassword",
                                                     L"LevelonToday",
                                                     L"UpdateCheckInterval",
                                                     L"fx1",
                                                     L"fx2",
                                                     L"ActionLogColumnSizes2",
                                                     L"ActionLogColumnOrders2",
                                                     L"AlreadyAddedToSystemPath",
                                                     L"AlreadyAddedSessionAgentTask",
                                                     L"slv",
                                                     L"LogDisabled",
                                                     L"active_column_sort_info",
                                                     L"active_column_order",
                                                     L"active_column_widths",
                                                     L"process_listview_column_order06070003",
                                                     L"process_listview_column_widths06070003",
                                                     L"action_log_column_orders",
                                                     L"action_log_column_widths",
                                                     L"MaxCSVLogFileSize",
                                                     L"ForegroundBoostPriorityClass",
                                                     L"LogViewerCols",
                                                     L"LogViewerColsFilter",
                                                     L"DarkMenubar",
                                                     L"DarkStatusbarEnabled",
                                                     L"AddedSessionAgentTask-0",
                                                     L"SetTimerResolutionAtStartup"};
    return values;
}

const std::vector<std::wstring>& ObsoleteInstallationFiles() {
    static const std::vector<std::wstring> files = {
        L"cv_rsrc_norsk.dll",      L"cv_rsrc_latin.dll",      L"cv_rsrc_klingon.dll",
        L"cv_rsrc_esperanto.dll",  L"cv_rsrc_pirate.dll",     L"cv_rsrc_temp.dll",
        L"corvanecheck.exe",       L"corvanedump.exe",        L"tarvelbench.exe",
        L"tarvelmon.exe",          L"rapidorlite.exe",        L"corvane.exe.manifest",
        L"corvane32.exe.manifest", L"corvane64.exe.manifest", L"vigilor.exe.manifest",
        L"vigilor32.exe.manifest", L"vigilor64.exe.manifest", L"corvane_old.chm",
        L"cv_old_install.marker",  L"cv_migrated.marker",     L"cv_firstrun.marker",
        L"tarvelhelp.exe",         L"corvane_setup_tmp.exe"};
    return files;
}

bool DeleteProductKeyTree(bool localMachine, const std::wstring& keyPath) {
    const std::wstring lowered = ToLower(keyPath);
    bool named = false;
    for (const wchar_t* word : kProductWords) {
        named = named || lowered.find(word) != std::wstring::npos;
    }
    if (!named) {
        return false;
    }
    const RegistryRoot root = localMachine ? RegistryRoot::LocalMachine : RegistryRoot::CurrentUser;
    return platform::DeleteRegistryTree(root, lowered);
}

bool EnsureHighPerformancePlanPresent() {
    PowerPlanService service;
    return HighPerformancePlan(service).EnsurePresent();
}

void RunPostUpdate() {
    platform::InitializeComMultithreaded();
    EnsureTaskSchedulerRunning();
    ResetIconSet();
    if (IsVistaOrLater()) {
        EnsureHighPerformancePlanPresent();
    }
    MigrateConfigFolderValues();
    // Before the upgrade, so it reaches the profile the engine will load.
    MigrateActiveProfile();
    UpgradeConfiguration();
    const auto earlierReinit = platform::ReadRegistryDword(RegistryRoot::LocalMachine,
                                                           kEarlierProductKey, L"THPReinitDone");
    if (earlierReinit.value_or(0) != 0) {
        platform::WriteRegistryDword(RegistryRoot::LocalMachine, kProductKey, L"THPReinitDone", 1);
    }
    WriteVersionValues();
    const std::wstring folder = InstallationFolder();
    RegisterEngineEventSource(folder);
    ReplaceUpdater(folder);
    DeleteObsoleteFiles(folder);
    for (const wchar_t* key : {kEarlierProductKey, kEarlierServerKey}) {
        DeleteProductKeyTree(true, key);
        DeleteProductKeyTree(false, key);
    }
    DeleteObsoleteValues();
    CopyLanguageChoice();
    {
        // The same log object as the engine's, only to learn the log folder; no writer runs.
        ActionLog log;
        RetireOldLogs(log.Folder());
    }
    if (!FlagSet(L"InstalledSessionAgent")) {
        InstallSessionAgentTask(folder);
        platform::WriteRegistryDword(RegistryRoot::LocalMachine, kProductKey,
                                     L"InstalledSessionAgent", 1);
    }
    // Marked done only when the folder is really there, so a failed attempt is made again.
    if (!FlagSet(L"AddedToSystemPath") && AddToSystemPath(folder)) {
        platform::WriteRegistryDword(RegistryRoot::LocalMachine, kProductKey, L"AddedToSystemPath",
                                     1);
    }
    DeleteInstallerLeftovers();
    platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kProductKey, L"autoupdated", {0x01});
    platform::DeleteRegistryValue(RegistryRoot::CurrentUser, kProductKey, L"UpdateIsNowAvailable");
    StartProduct(folder);
}

int RunTrellion() {
    if (!platform::HasInteractiveDesktop()) {
        // Run by an installer with nobody there: every message goes to the tool's log.
        SetMessagesSilenced(true);
    }
    // Texts raised before the log folder is known (finding it may warn about the service) wait
    // here and go to the log once it is.
    auto toolLog = std::make_shared<ToolLog>();
    SetMessageLogSink([toolLog](const std::wstring& text) { toolLog->Write(text); });
    {
        // The same log object as the engine's, only to learn the log folder; no writer runs.
        ActionLog log;
        toolLog->Open(log.Folder() + L"\\trellion.log");
    }
    SelectLanguage();
    RunPostUpdate();
    SetMessageLogSink(nullptr);
    return 0;
}

}  // namespace cv
