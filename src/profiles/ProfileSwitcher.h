#pragma once
// The profile switcher: rules from the registry value ConfigSwitcherRules name a process pattern
// and a profile; while a matching process runs its profile is active, and when none runs any
// more the profile from before comes back. Its thread evaluates once per refresh interval,
// holding the control lock so that the process table stands still meanwhile.
#include <mutex>
#include <string>
#include <vector>

#include "control/FeatureContext.h"
#include "platform/Threads.h"
#include "platform/Handle.h"

namespace cv {

class ConfigStorage;

struct SwitchRule {
    std::wstring pattern;  // lower case, as rule patterns are kept
    std::wstring profile;
    bool operator==(const SwitchRule&) const = default;
};

// Tokens separated by ";" or "," ("\," a literal comma), empty ones dropped, taken in pairs of
// pattern and profile; an odd last token is ignored.
std::vector<SwitchRule> ParseSwitchRules(const std::wstring& text);
// ConfigSwitcherRules under HKEY_LOCAL_MACHINE; a profile name that cannot be used becomes the
// default profile, and each such name is recorded.
std::vector<SwitchRule> ReadSwitchRules(const FeatureContext& context);

class ProfileSwitcher {
  public:
    ProfileSwitcher() = default;
    ProfileSwitcher(const ProfileSwitcher&) = delete;
    ProfileSwitcher& operator=(const ProfileSwitcher&) = delete;
    ~ProfileSwitcher();

    // The thread ends when the exit event is set or Stop is called.
    void Start(const FeatureContext& context, std::recursive_mutex& controlLock,
               platform::RawHandle exitEvent);
    // Must not be called under the control lock, which the thread takes.
    void Stop();

    // One evaluation of the rules against the process table, under the control lock.
    void Evaluate(const FeatureContext& context, const std::vector<SwitchRule>& rules,
                  const std::wstring& profileFolder);
    bool SetByRule() const { return setByRule_; }

  private:
    void Run(const FeatureContext& context, std::recursive_mutex& controlLock,
             platform::RawHandle exitEvent);

    platform::UniqueHandle stopEvent_;
    platform::WorkerThread thread_;
    bool setByRule_ = false;
    std::wstring returnTo_;
};

// On the control thread, before each reload: notices that the active profile changed, records
// it (85), points the configuration at the profile's file and restarts the folder watcher.
class ProfileChangeTracker {
  public:
    // The configuration path follows the active profile from now on.
    static void Attach(ConfigStorage& storage);
    // True when the profile changed, so that the reload reads the new file whatever its time.
    bool NoteBeforeReload(const FeatureContext& context, ConfigStorage& storage);

  private:
    std::wstring remembered_;
    std::wstring lastRefused_;
};

}  // namespace cv
