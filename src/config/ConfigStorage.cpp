#include "config/ConfigStorage.h"

#include "common/Ticks.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"
#include "platform/KernelObjects.h"
#include "platform/Registry.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr std::size_t kMaxFolderValue = 1024;
constexpr int kLockSleeps = 80;
constexpr std::uint32_t kLockSleepMs = 50;

// The file size seen at the last change check, shared by every configuration object of the
// process.
std::uint32_t lastSeenSize = 0;

void RemoveOneTrailingSeparator(std::wstring& folder) {
    if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) {
        folder.pop_back();
    }
}

std::wstring ConfigFolderFromRegistry() {
    for (const auto root : {RegistryRoot::LocalMachine, RegistryRoot::CurrentUser}) {
        if (auto value = platform::ReadRegistryString(root, kCorvaneKey, L"ConfigFolderEx")) {
            if (value->size() > kMaxFolderValue - 1) {
                value->resize(kMaxFolderValue - 1);
            }
            return *value;
        }
    }
    return {};
}

bool HasConfigFolderValue() {
    for (const auto root : {RegistryRoot::LocalMachine, RegistryRoot::CurrentUser}) {
        if (platform::ReadRegistryString(root, kCorvaneKey, L"ConfigFolderEx")) {
            return true;
        }
    }
    return false;
}

}  // namespace

// What the polling watcher sees of the file. It keeps its own record rather than asking
// HasConfigFileChanged, whose record the load that the watcher asks for must still find behind.
struct ConfigFileGlance {
    bool opened = false;
    std::uint64_t writeTime = 0;
    std::uint64_t size = 0;
    bool operator==(const ConfigFileGlance&) const = default;
};

static ConfigFileGlance GlanceAt(const std::wstring& path) {
    ConfigFileGlance glance;
    const auto file = platform::OpenFile(
        path, platform::kGenericRead,
        platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
        platform::FileCreation::OpenExisting, 0);
    if (file.handle) {
        glance.opened = true;
        glance.writeTime = platform::FileLastWriteTime(file.handle.Get()).value_or(0);
        glance.size = platform::FileSize(file.handle.Get()).value_or(0);
    }
    return glance;
}

std::wstring GetDefaultConfigFolder() {
    std::wstring folder;
    if (HasConfigFolderValue()) {
        folder = ConfigFolderFromRegistry();
        if (folder.find(L"\\config") == std::wstring::npos) {
            folder += L"\\config";
        }
    } else {
        const auto special = IsServiceInstalled() ? platform::SpecialFolder::CommonAppData
                                                  : platform::SpecialFolder::LocalAppData;
        folder = platform::SpecialFolderPath(special, true);
        if (folder.empty()) {
            return {};
        }
        platform::CreateFolderTree(folder);
        folder += L"\\Corvane";
        platform::CreateFolderTree(folder, OwnFolderSecurity());
        folder += L"\\config";
    }
    RemoveOneTrailingSeparator(folder);
    return folder;
}

bool MigrateConfigFolder() {
    for (const auto root : {RegistryRoot::CurrentUser, RegistryRoot::LocalMachine}) {
        const auto done =
            platform::ReadRegistryDword(root, kCorvaneKey, L"ConfigPathMigrationComplete");
        if (done && *done != 0) {
            return true;
        }
    }
    platform::WriteRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey,
                                 L"ConfigPathMigrationComplete", 1);
    if (HasConfigFolderValue()) {
        return false;
    }
    std::wstring roaming =
        platform::SpecialFolderPath(platform::SpecialFolder::RoamingAppData, false);
    std::wstring local = platform::SpecialFolderPath(platform::SpecialFolder::LocalAppData, false);
    if (roaming.empty() || local.empty()) {
        return false;
    }
    roaming += L"\\Corvane";
    local += L"\\Corvane";
    platform::CreateFolderTree(roaming);
    platform::CreateFolderTree(local);
    roaming += L"\\config";
    local += L"\\config";
    if (!platform::PathExists(roaming)) {
        return true;
    }
    return platform::MovePath(roaming, local);
}

bool IsNetworkLocation(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    if (path[0] == L'\\') {
        return true;
    }
    return !platform::HasVolumeName(std::wstring(1, path[0]) + L":\\");
}

ConfigStorage::ConfigStorage(ConfigSettings& settings) : settings_(settings) {
    EnsureEvents();
}

ConfigStorage::~ConfigStorage() {
    StopConfigWatcher();
    ReleaseLockFile();
}

void ConfigStorage::SetFolderOverride(const std::wstring& folder) {
    std::lock_guard lock(pathMutex_);
    folderOverride_ = folder;
}

void ConfigStorage::SetProfileReader(std::function<std::wstring()> reader) {
    std::lock_guard lock(pathMutex_);
    profileReader_ = std::move(reader);
}

void ConfigStorage::SetChangeListener(std::function<void()> listener) {
    changeListener_ = std::move(listener);
}

void ConfigStorage::EnsureEvents() {
    std::lock_guard lock(eventsMutex_);
    if (!changedEvent_) {
        changedEvent_ = platform::CreateEventObject(names::kConfigChangedEvent, false, false,
                                                    platform::ObjectSecurity::Default);
        changedEventCreated_ = changedEvent_.IsValid();
    }
    if (!changedForInterfaceEvent_) {
        changedForInterfaceEvent_ =
            platform::CreateEventObject(names::kConfigChangedForInterfaceEvent, false, false,
                                        platform::ObjectSecurity::Default);
    }
    if (!savedEvent_) {
        savedEvent_ = platform::CreateEventObject(names::kConfigSavedEvent, false, false,
                                                  platform::ObjectSecurity::Default);
    }
}

platform::RawHandle ConfigStorage::ConfigChangedEvent() {
    return changedEvent_.Get();
}

bool ConfigStorage::LoadedOnce() const {
    return settings_.loadedOnce;
}

std::uint32_t ConfigStorage::LoadStamp() const {
    return settings_.loadStamp;
}

std::wstring ConfigStorage::ResolveConfigPath() {
    std::lock_guard lock(pathMutex_);
    std::wstring profile;
    if (profileReader_) {
        profile = profileReader_();
        if (!EqualsIgnoreCase(profile, profileName_)) {
            profileName_ = profile;
        }
    }
    std::wstring folder = folderOverride_;
    if (folder.empty()) {
        folder = ConfigFolderFromRegistry();
    }
    if (folder.empty()) {
        folder = GetDefaultConfigFolder();
    }
    RemoveOneTrailingSeparator(folder);
    filePath_ = profile.empty() ? folder + L"\\" + kConfigFileName
                                : folder + L"\\" + profile + L"\\" + kConfigFileName;
    return filePath_;
}

std::wstring ConfigStorage::FilePath() {
    std::lock_guard lock(pathMutex_);
    return filePath_;
}

std::wstring ConfigStorage::GetConfigFolder() {
    const std::wstring path = ResolveConfigPath();
    const auto slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool ConfigStorage::HasConfigFileChanged() {
    std::lock_guard lock(configLock_);
    const std::wstring path = FilePath();
    if (!settings_.loadedOnce || path.empty()) {
        return true;
    }
    auto file = platform::OpenFile(path, platform::kGenericRead,
                                   platform::kFileShareRead | platform::kFileShareWrite,
                                   platform::FileCreation::OpenExisting, 0);
    if (!file.handle) {
        return true;
    }
    const auto writeTime = platform::FileLastWriteTime(file.handle.Get());
    const std::uint32_t size = platform::FileSizeLow(file.handle.Get()).value_or(0);
    file.handle.Reset();
    if (!writeTime) {
        return true;
    }
    const std::uint64_t previous = lastWriteTime_;
    lastWriteTime_ = *writeTime;
    if (size != lastSeenSize) {
        lastSeenSize = size;
        return true;
    }
    return *writeTime != previous;
}

bool ConfigStorage::UseFileSystemLocks() {
    return platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey,
                                       L"UseFileSystemLocks") == 1u;
}

bool ConfigStorage::IsLockFilePresent() {
    return platform::PathExists(GetConfigFolder() + L"\\" + kLockFileName);
}

bool ConfigStorage::AcquireLockFile() {
    auto result =
        platform::OpenFile(GetConfigFolder() + L"\\" + kLockFileName, platform::kGenericWrite, 0,
                           platform::FileCreation::CreateAlways,
                           platform::kFileAttributeHidden | platform::kFileAttributeSystem |
                               platform::kFileAttributeTemporary);
    if (!result.handle) {
        return false;
    }
    lockFile_ = std::move(result.handle);
    return true;
}

void ConfigStorage::ReleaseLockFile() {
    if (!lockFile_) {
        return;
    }
    lockFile_.Reset();
    platform::DeleteFileAt(GetConfigFolder() + L"\\" + kLockFileName);
}

bool ConfigStorage::AcquireLockFileWithRetries() {
    bool acquired = AcquireLockFile();
    for (int attempt = 0; !acquired && patient_ && attempt < kLockSleeps; ++attempt) {
        platform::SleepMs(kLockSleepMs);
        acquired = AcquireLockFile();
    }
    return acquired;
}

ConfigLoadResult ConfigStorage::Retry(ConfigLoadResult result, int code, std::wstring reason,
                                      std::uint64_t dueAt) {
    result.ok = false;
    result.code = code;
    result.reason = std::move(reason);
    retryPending_ = true;
    retryDueAt_ = dueAt;
    return result;
}

bool ConfigStorage::IsRetryDue() {
    std::lock_guard lock(configLock_);
    return retryPending_ && platform::TickCount64() >= retryDueAt_;
}

ConfigLoadResult ConfigStorage::LoadConfig(bool force) {
    std::lock_guard lock(configLock_);
    const bool signalled = changeSignalled_.exchange(false);
    if (!force && !HasConfigFileChanged() && !signalled && !retryPending_) {
        return {true, kConfigUnchanged, {}, InterruptedSave::None};
    }
    const std::wstring path = ResolveConfigPath();
    if (path != lastParsedPath_) {
        lastParsedPath_ = path;
        networkPath_ = IsNetworkLocation(path);
    }
    const std::uint64_t now = platform::TickCount64();
    if (!folderPath_.empty() && folderPath_ == path &&
        ElapsedSince(folderSeenAt_, now) < kFolderRetryMs) {
        return folderResult_;
    }
    // A retry looks once: it comes again at the next cycle, and waiting at every cycle for a
    // file that stays held would slow every cycle down.
    patient_ = !retryPending_;
    struct PatienceReset {
        bool& patient;
        ~PatienceReset() { patient = true; }
    } patienceReset{patient_};
    folderPath_.clear();
    ConfigLoadResult result{true, kConfigLoaded, {}, InterruptedSave::None};
    const bool useLockFiles = UseFileSystemLocks();
    if (useLockFiles) {
        int sleeps = 0;
        while (IsLockFilePresent()) {
            if (patient_) {
                platform::SleepMs(kLockSleepMs);
            }
            if (!patient_ || ++sleeps == kLockSleeps) {
                return Retry(result, kConfigLockFileStayed,
                             L"the lock file .cv-lock did not go away", now);
            }
        }
    }
    if (HasSaveSideFiles(path)) {
        if (useLockFiles && !AcquireLockFileWithRetries()) {
            return Retry(result, kConfigUnreadable,
                         L"a save that was cut short waits for the lock file to finish it", now);
        }
        result.interruptedSave = FinishInterruptedSave(path, patient_);
        ReleaseLockFile();
        if (result.interruptedSave == InterruptedSave::Unfinished) {
            return Retry(result, kConfigUnreadable,
                         L"a save that was cut short could not be finished yet", now);
        }
    }
    return LoadFile(path, now, result);
}

ConfigLoadResult ConfigStorage::LoadFile(const std::wstring& path, std::uint64_t now,
                                         ConfigLoadResult result) {
    ConfigFileRead read = ReadConfigFileBytes(path, patient_);
    if (read.status != ConfigReadStatus::NotFound) {
        missingSince_.reset();
    }
    switch (read.status) {
        case ConfigReadStatus::NotFound:
            if (settings_.loadedOnce) {
                // Give a program that replaces the file by deleting and re-creating it time to
                // finish, counted from the change the watcher saw when there was one.
                if (!missingSince_) {
                    const std::uint64_t notice = lastFolderChangeTick_.load();
                    missingSince_ = notice != 0 && notice <= now &&
                                            ElapsedSince(notice, now) < kMissingFileGraceMs
                                        ? notice
                                        : now;
                }
                if (ElapsedSince(*missingSince_, now) < kMissingFileGraceMs) {
                    return Retry(result, kConfigMissingForNow,
                                 L"it is missing; a program replacing it may not be done",
                                 *missingSince_ + kMissingFileGraceMs);
                }
            }
            return CreateWithDefaults(path, result, L"it is missing and could not be created");
        case ConfigReadStatus::Folder:
            result = Retry(result, kConfigIsFolder, std::move(read.reason), now + kFolderRetryMs);
            folderPath_ = path;
            folderSeenAt_ = now;
            folderResult_ = result;
            return result;
        case ConfigReadStatus::Failed:
            return Retry(result, kConfigUnreadable, std::move(read.reason), now);
        case ConfigReadStatus::TooLarge:
            return Retry(result, kConfigTooLarge, std::move(read.reason), now);
        case ConfigReadStatus::NoContent:
            // Before any load succeeded there are no settings to keep: this is the file a failed
            // first save left, and the defaults repair it.
            if (!settings_.loadedOnce) {
                return CreateWithDefaults(path, result,
                                          read.reason + L", and it could not be rewritten");
            }
            return Retry(result, kConfigNoContent, std::move(read.reason), now);
        case ConfigReadStatus::Read:
            break;
    }
    ConfigDocument document;
    if (!ParseConfigBytes(read.bytes, document)) {
        const bool bigEndian = read.bytes.size() >= 3 &&
                               static_cast<unsigned char>(read.bytes[0]) == 0xFE &&
                               static_cast<unsigned char>(read.bytes[1]) == 0xFF;
        return Retry(result, kConfigUnreadable,
                     bigEndian ? L"its text is UTF-16 big-endian, which this program does not read"
                               : L"there was not enough memory to read it",
                     now);
    }
    read.bytes.clear();
    settings_.ReadSettings(document);
    return LoadSucceeded(result);
}

ConfigLoadResult ConfigStorage::CreateWithDefaults(const std::wstring& path,
                                                   ConfigLoadResult result, std::wstring reason) {
    // Written from a copy of the defaults: a file that cannot be created must not take the
    // settings in force with it.
    ConfigSettings defaults(settings_.environment);
    ConfigDocument document;
    defaults.WriteSettings(document);
    const std::string bytes = RenderConfigBytes(document);
    ConfigDocument written;
    std::optional<bool> saved;
    if (!bytes.empty()) {
        saved = WriteLocked(path, bytes);
        if (saved) {
            SignalSaved();
        }
    }
    if (!saved.value_or(false) || !ParseConfigBytes(bytes, written)) {
        return Retry(result, kConfigNotCreated, std::move(reason), platform::TickCount64());
    }
    settings_.ResetToDefaults();
    settings_.ReadSettings(written);
    result.code = kConfigCreatedWithDefaults;
    return LoadSucceeded(result);
}

ConfigLoadResult ConfigStorage::LoadSucceeded(ConfigLoadResult result) {
    settings_.loadedOnce = true;
    settings_.loadStamp = static_cast<std::uint32_t>(platform::TickCount64());
    ReleaseLockFile();
    retryPending_ = false;
    result.ok = true;
    return result;
}

bool ConfigStorage::SaveConfig() {
    const std::wstring path = ResolveConfigPath();
    bool written = false;
    {
        std::lock_guard lock(configLock_);
        ConfigDocument document;
        settings_.WriteSettings(document);
        const std::string bytes = RenderConfigBytes(document);
        if (bytes.empty()) {
            return false;
        }
        const std::optional<bool> saved = WriteLocked(path, bytes);
        if (!saved) {
            return false;
        }
        written = *saved;
    }
    SignalSaved();
    return written;
}

std::optional<bool> ConfigStorage::WriteLocked(const std::wstring& path, const std::string& bytes) {
    std::lock_guard lock(configLock_);
    if (UseFileSystemLocks() && !AcquireLockFileWithRetries()) {
        return std::nullopt;
    }
    // A first start has no configuration folder yet; without it the defaults would never reach
    // the file.
    const auto slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0 && !platform::PathExists(path.substr(0, slash))) {
        platform::CreateFolderTree(path.substr(0, slash), OwnFolderSecurity());
    }
    const bool written = SaveConfigFileBytes(path, bytes);
    ReleaseLockFile();
    return written;
}

void ConfigStorage::SignalSaved() {
    // The other programs re-read whatever is there, even after a failed write.
    EnsureEvents();
    std::lock_guard lock(eventsMutex_);
    platform::SetEventObject(changedEvent_.Get());
    platform::SetEventObject(changedForInterfaceEvent_.Get());
    platform::SetEventObject(savedEvent_.Get());
}

void ConfigStorage::SignalChange() {
    lastFolderChangeTick_.store(platform::TickCount64());
    changeSignalled_.store(true);
    EnsureEvents();
    {
        std::lock_guard lock(eventsMutex_);
        platform::SetEventObject(changedEvent_.Get());
        platform::SetEventObject(changedForInterfaceEvent_.Get());
    }
    platform::SetEventObject(reloadEvent_.Get());
    if (changeListener_) {
        changeListener_();
    }
}

void ConfigStorage::StartConfigWatcher(platform::RawHandle exitEvent) {
    if (!reloadEvent_) {
        reloadEvent_ =
            platform::CreateEventObject(L"", false, false, platform::ObjectSecurity::Default);
    }
    if (!watcherStopEvent_) {
        watcherStopEvent_ =
            platform::CreateEventObject(L"", false, false, platform::ObjectSecurity::Default);
    }
    watcherExitEvent_ = exitEvent;
    platform::SleepMs(1000);
    // Taken here, so that a change made once this returns is a change to a polling watcher.
    const ConfigFileGlance glance = GlanceAt(ResolveConfigPath());
    watcher_.Start([this, exitEvent, stop = watcherStopEvent_.Get(),
                    glance] { RunWatcher(exitEvent, stop, glance); },
                   platform::kWorkerStackReserve, platform::kThreadPriorityNormal);
}

void ConfigStorage::StopConfigWatcher() {
    if (watcher_.Joinable()) {
        platform::SetEventObject(watcherStopEvent_.Get());
        watcher_.Join();
    }
}

void ConfigStorage::RestartConfigWatcher() {
    StopConfigWatcher();
    watcherStopEvent_.Reset();
    if (watcherExitEvent_ != nullptr) {
        StartConfigWatcher(watcherExitEvent_);
    }
}

void ConfigStorage::RunWatcher(platform::RawHandle exitEvent, platform::RawHandle stopEvent,
                               ConfigFileGlance seen) {
    const std::wstring folder = GetConfigFolder();
    if (folder.empty() || platform::IsSignalled(exitEvent) || platform::IsSignalled(stopEvent)) {
        return;
    }
    // File-name changes too: a deleted or replaced file writes nothing a write watch would see.
    platform::FolderWatch watch = platform::WatchFolderForFileChanges(folder);
    if (!watch) {
        // The folder cannot be watched (a network share, say): look at the file every 7 s.
        for (;;) {
            const platform::RawHandle stopObjects[] = {exitEvent, stopEvent};
            if (platform::WaitForAnyObject(stopObjects, 2, 7000) != platform::kWaitTimedOut) {
                return;
            }
            const ConfigFileGlance glance = GlanceAt(FilePath());
            if (glance != seen) {
                seen = glance;
                SignalChange();
            }
        }
    }
    for (;;) {
        const platform::RawHandle objects[] = {exitEvent, watch.Get(), stopEvent};
        const int signalled = platform::WaitForAnyObject(objects, 3, platform::kInfinite);
        if (signalled != 1) {
            return;  // the exit or stop event, or a failed wait
        }
        // Re-armed first, so that a change made while this one is handled is not lost.
        platform::ContinueFolderWatch(watch);
        SignalChange();
        // A pause that a stop cuts short.
        const platform::RawHandle stopObjects[] = {exitEvent, stopEvent};
        if (platform::WaitForAnyObject(stopObjects, 2, 250) != platform::kWaitTimedOut) {
            return;
        }
    }
}

}  // namespace cv
