#pragma once
// Where corvex.ini lives, and loading and saving it without colliding with the user interface,
// which edits the same file: a re-entrant lock, an optional lock file, change detection, the
// change events and the folder watcher.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "config/ConfigFile.h"
#include "platform/Threads.h"
#include "platform/Handle.h"

namespace cv {

class ConfigSettings;
struct ConfigFileGlance;

inline constexpr wchar_t kConfigFileName[] = L"corvex.ini";
inline constexpr wchar_t kLockFileName[] = L".cv-lock";

// Result codes of LoadConfig; 0 to 3 keep the meanings the other programs know.
inline constexpr int kConfigLoaded = 0;
// The lock file did not go away. The settings in force stay; tried again at the next cycle.
inline constexpr int kConfigLockFileStayed = 1;
// The file was missing (or, at the first load, empty) and has been created with the defaults.
inline constexpr int kConfigCreatedWithDefaults = 2;
inline constexpr int kConfigUnchanged = 3;
// The file is there, or may be, but could not be read: another program holds it open, looking
// for it or reading it failed, its text is of a kind this program does not read (UTF-16
// big-endian), or a save that was cut short could not be finished yet. The settings in force
// stay; tried again at the next cycle.
inline constexpr int kConfigUnreadable = 4;
// Empty or nothing but NUL bytes, after an earlier load succeeded (at the first load such a file
// is rewritten with the defaults: code 2). The settings in force stay; tried again at the next
// cycle.
inline constexpr int kConfigNoContent = 5;
// A folder has the file's name. The settings in force stay; looked at again once a minute.
inline constexpr int kConfigIsFolder = 6;
// Bigger than kMaxConfigFileBytes. The settings in force stay; tried again at the next cycle.
inline constexpr int kConfigTooLarge = 7;
// Missing, and the defaults could not be written (a read-only folder, say): nothing was created.
// The settings in force stay (the defaults, at the first load); tried again at the next cycle.
inline constexpr int kConfigNotCreated = 8;
// Missing for less than kMissingFileGraceMs after a change in its folder: a program that replaces
// the file by deleting and re-creating it may not be done. The settings in force stay; a file
// still missing when the grace is over is created with the defaults (code 2).
inline constexpr int kConfigMissingForNow = 9;

inline constexpr std::uint64_t kMissingFileGraceMs = 2000;
inline constexpr std::uint64_t kFolderRetryMs = 60000;

struct ConfigLoadResult {
    bool ok = false;  // the settings in force are what the file holds now
    int code = kConfigLoaded;
    std::wstring reason;  // codes 1 and 4 to 9: what went wrong, for the log
    // What this load did about a save that was cut short; it finishes one before reading.
    InterruptedSave interruptedSave = InterruptedSave::None;
};

// The default folder of the configuration: ConfigFolderEx plus "\config", else the application
// data folder (machine-wide for the service, per user otherwise) plus "Corvane\config".
std::wstring GetDefaultConfigFolder();
// Moves a configuration left in the roaming AppData folder to the local one, once per user.
bool MigrateConfigFolder();
// A UNC path, or a drive without a volume name (a mapped network drive).
bool IsNetworkLocation(const std::wstring& path);

class ConfigStorage {
public:
    explicit ConfigStorage(ConfigSettings& settings);
    ConfigStorage(const ConfigStorage&) = delete;
    ConfigStorage& operator=(const ConfigStorage&) = delete;
    ~ConfigStorage();

    void SetFolderOverride(const std::wstring& folder);
    // The active profile's name (empty for the default profile); read at every path resolution.
    void SetProfileReader(std::function<std::wstring()> reader);
    // Told after every change the folder watcher sees (the memory trimmer listens).
    void SetChangeListener(std::function<void()> listener);

    std::wstring ResolveConfigPath();
    std::wstring GetConfigFolder();
    std::wstring FilePath();

    // Reads the file into the settings. A file that cannot be read, or is damaged, changes
    // nothing; IsRetryDue then says when to try again.
    ConfigLoadResult LoadConfig(bool force);
    bool SaveConfig();
    bool HasConfigFileChanged();
    // The last load could not read the file and it is time to try again: at once after most
    // failures, once a minute for a folder, when the grace of a missing file is over.
    bool IsRetryDue();

    // The folder watcher thread; it ends when the exit event is set.
    void StartConfigWatcher(platform::RawHandle exitEvent);
    void RestartConfigWatcher();
    void StopConfigWatcher();
    platform::RawHandle ConfigReloadEvent() const { return reloadEvent_.Get(); }

    // Corvane777, tested once per cycle by the control thread.
    platform::RawHandle ConfigChangedEvent();
    bool ConfigChangedEventCreated() const { return changedEventCreated_; }
    bool IsNetworkPath() const { return networkPath_; }
    bool LoadedOnce() const;
    std::uint32_t LoadStamp() const;

    // Lock file operations (only with UseFileSystemLocks = 1).
    static bool UseFileSystemLocks();
    bool IsLockFilePresent();
    bool AcquireLockFile();
    void ReleaseLockFile();

private:
    void EnsureEvents();
    void SignalChange();
    void RunWatcher(platform::RawHandle exitEvent, platform::RawHandle stopEvent,
                    ConfigFileGlance seen);
    bool AcquireLockFileWithRetries();
    // Under the lock file when in use; none when that could not be had.
    std::optional<bool> WriteLocked(const std::wstring& path, const std::string& bytes);
    void SignalSaved();
    ConfigLoadResult LoadFile(const std::wstring& path, std::uint64_t now, ConfigLoadResult result);
    ConfigLoadResult CreateWithDefaults(const std::wstring& path, ConfigLoadResult result,
                                        std::wstring reason);
    ConfigLoadResult LoadSucceeded(ConfigLoadResult result);
    ConfigLoadResult Retry(ConfigLoadResult result, int code, std::wstring reason,
                           std::uint64_t dueAt);

    ConfigSettings& settings_;
    std::recursive_mutex configLock_;
    std::mutex pathMutex_;
    std::wstring folderOverride_;
    std::wstring profileName_;
    std::wstring filePath_;
    std::wstring lastParsedPath_;
    std::function<std::wstring()> profileReader_;
    std::function<void()> changeListener_;
    bool networkPath_ = false;
    platform::UniqueHandle lockFile_;
    std::mutex eventsMutex_;  // the watcher thread signals through the same handles
    platform::UniqueHandle changedEvent_;
    platform::UniqueHandle changedForInterfaceEvent_;
    platform::UniqueHandle savedEvent_;
    bool changedEventCreated_ = false;
    std::uint64_t lastWriteTime_ = 0;

    // Set by the watcher: a change was signalled that the next load must read, even when the
    // file's time and size were seen already.
    std::atomic<bool> changeSignalled_{false};
    std::atomic<std::uint64_t> lastFolderChangeTick_{0};
    bool retryPending_ = false;
    bool patient_ = true;  // whether this load waits for the lock file and a held file
    std::uint64_t retryDueAt_ = 0;
    std::optional<std::uint64_t> missingSince_;
    // A folder in the file's place is looked at again only once a minute.
    std::wstring folderPath_;
    std::uint64_t folderSeenAt_ = 0;
    ConfigLoadResult folderResult_;

    platform::UniqueHandle reloadEvent_;
    platform::UniqueHandle watcherStopEvent_;
    platform::RawHandle watcherExitEvent_ = nullptr;
    platform::WorkerThread watcher_;
};

}  // namespace cv
