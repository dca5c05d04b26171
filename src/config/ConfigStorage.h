#pragma once
// Where corvex.ini lives, and loading and saving it without colliding with the user interface,
// which edits the same file: a re-entrant lock, an optional lock file, change detection, the
// change events and the folder watcher.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Handle.h"

namespace cv {

class ConfigSettings;

inline constexpr wchar_t kConfigFileName[] = L"corvex.ini";
inline constexpr wchar_t kLockFileName[] = L".cv-lock";

struct ConfigLoadResult {
    bool ok = false;
    // 0 loaded, 1 the lock file did not go away, 2 the file was missing and has been created
    // with the defaults, 3 nothing changed.
    int code = 0;
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

    ConfigLoadResult LoadConfig(bool force);
    bool SaveConfig();
    bool HasConfigFileChanged();

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
    void RunWatcher(platform::RawHandle exitEvent, platform::RawHandle stopEvent);
    bool ReadDocumentInto();

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

    platform::UniqueHandle reloadEvent_;
    platform::UniqueHandle watcherStopEvent_;
    platform::RawHandle watcherExitEvent_ = nullptr;
    std::thread watcher_;
};

}  // namespace cv
