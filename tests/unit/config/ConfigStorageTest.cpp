#include "SimFixture.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "platform/Files.h"
#include "platform/KernelObjects.h"
#include "platform/sim/SimFiles.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

using namespace std::string_literals;
using platform::RegistryRoot;

const std::wstring kLocalConfig = L"C:\\Users\\Tester\\AppData\\Local\\Corvane\\config";

class ConfigStorageTest : public test::SimTest {
protected:
    ConfigSettings settings;

    static std::string DefaultsFile() {
        ConfigSettings defaults;
        ConfigDocument document;
        defaults.WriteSettings(document);
        return RenderConfigBytes(document);
    }

    static void UseLockFiles() {
        sim::Machine::Get().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane",
                                     L"UseFileSystemLocks", 1);
    }

    // corvex.ini with one key changed from the defaults.
    static std::string FileWith(const std::wstring& key, const std::wstring& value) {
        ConfigSettings defaults;
        ConfigDocument document;
        defaults.WriteSettings(document);
        for (std::size_t i = 0; i < document.keys.size(); ++i) {
            if (document.keys[i] == key) {
                document.values[i] = value;
            }
        }
        return RenderConfigBytes(document);
    }
};

TEST_F(ConfigStorageTest, PathFromOverrideProfileRegistryOrDefault) {
    ConfigStorage storage(settings);
    EXPECT_EQ(storage.ResolveConfigPath(), kLocalConfig + L"\\corvex.ini");
    EXPECT_TRUE(sim::IsFolder(L"C:\\Users\\Tester\\AppData\\Local\\Corvane"));

    platform::WriteRegistryString(RegistryRoot::CurrentUser, L"Software\\Corvane",
                                  L"ConfigFolderEx", L"E:\\Shared\\");
    EXPECT_EQ(storage.ResolveConfigPath(), L"E:\\Shared\\corvex.ini");
    platform::WriteRegistryString(RegistryRoot::LocalMachine, L"Software\\Corvane",
                                  L"ConfigFolderEx", L"F:\\Machine");
    EXPECT_EQ(storage.ResolveConfigPath(), L"F:\\Machine\\corvex.ini");
    EXPECT_EQ(GetDefaultConfigFolder(), L"F:\\Machine\\config");

    storage.SetFolderOverride(L"D:\\Cfg\\");
    EXPECT_EQ(storage.ResolveConfigPath(), L"D:\\Cfg\\corvex.ini");
    storage.SetProfileReader([] { return std::wstring(L"Gaming"); });
    EXPECT_EQ(storage.ResolveConfigPath(), L"D:\\Cfg\\Gaming\\corvex.ini");
    EXPECT_EQ(storage.GetConfigFolder(), L"D:\\Cfg\\Gaming");
}

TEST_F(ConfigStorageTest, ServiceUsesTheMachineWideFolder) {
    machine().CreateKey(RegistryRoot::LocalMachine, L"SYSTEM\\CurrentControlSet\\Services\\Vigilor");
    EXPECT_EQ(GetDefaultConfigFolder(), L"C:\\ProgramData\\Corvane\\config");
}

TEST_F(ConfigStorageTest, MissingFileIsCreatedWithTheDefaults) {
    ConfigStorage storage(settings);
    const auto changed = machine().FindNamedObject(L"Local\\Corvane777");
    ASSERT_NE(changed, nullptr);
    const ConfigLoadResult result = storage.LoadConfig(false);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.code, 2);
    const auto bytes = sim::FileBytes(kLocalConfig + L"\\corvex.ini");
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, DefaultsFile());
    EXPECT_EQ(bytes->substr(0, 2), "\xFF\xFE");
    // The save told the other programs.
    EXPECT_TRUE(changed->signalled);
    EXPECT_TRUE(machine().IsNamedObjectSignalled(L"Local\\Corvane888_2"));
    EXPECT_TRUE(machine().IsNamedObjectSignalled(L"Local\\{49da4c63-c475-4b6c-83f3-c78a9fe813c2}"));
    EXPECT_TRUE(storage.LoadedOnce());
}

TEST_F(ConfigStorageTest, LoadsOnlyWhatChanged) {
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"2000"));
    ConfigStorage storage(settings);
    auto result = storage.LoadConfig(false);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(settings.Performance.UpdateSpeedCore, 2000);
    ASSERT_TRUE(storage.HasConfigFileChanged());  // the first check learns size and time
    EXPECT_EQ(storage.LoadConfig(false).code, 3);

    // A save followed by a load reads the file again, because the write time moved.
    machine().AdvanceClock(1000);
    settings.Performance.UpdateSpeedCore = 3000;
    ASSERT_TRUE(storage.SaveConfig());
    settings.Performance.UpdateSpeedCore = 1;
    EXPECT_EQ(storage.LoadConfig(false).code, 0);
    EXPECT_EQ(settings.Performance.UpdateSpeedCore, 3000);

    // Two writes within one tick with equal sizes count as one change.
    machine().AdvanceClock(10);
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"4000"));
    EXPECT_TRUE(storage.HasConfigFileChanged());
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"5000"));
    EXPECT_FALSE(storage.HasConfigFileChanged());
    machine().AdvanceClock(10);
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"6000"));
    EXPECT_TRUE(storage.HasConfigFileChanged());
}

TEST_F(ConfigStorageTest, FailedOrDamagedReadKeepsTheSettingsInForce) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    const std::string user = FileWith(L"DisallowedProcesses", L"bad.exe");
    const struct {
        const char* name;
        std::function<void()> fault;
        int code;
    } cases[] = {
        {"look-up fails", [&] { machine().FailCall("GetFileAttributes", path); },
         kConfigUnreadable},
        {"read fails", [&] { machine().FailCall("ReadFile", path); }, kConfigUnreadable},
        {"held open without read sharing",
         [&] { sim::HoldFileOpen(path, platform::kGenericWrite, 0, 100000); }, kConfigUnreadable},
        {"UTF-16 big-endian", [&] { sim::PutFile(path, "\xFE\xFFx\0=\0"s); }, kConfigUnreadable},
        {"emptied", [&] { sim::PutFile(path, ""); }, kConfigNoContent},
        {"NUL-filled", [&] { sim::PutFile(path, std::string(user.size(), '\0')); },
         kConfigNoContent},
        {"UTF-8 mark alone", [&] { sim::PutFile(path, "\xEF\xBB\xBF"); }, kConfigNoContent},
        {"over 16 MB", [&] { sim::PutFile(path, user + std::string(16u << 20, ';')); },
         kConfigTooLarge},
        {"lock file stays",
         [&] {
             UseLockFiles();
             sim::PutFile(kLocalConfig + L"\\.cv-lock", "");
         },
         kConfigLockFileStayed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().Reset();
        sim::PutFile(path, user);
        ConfigSettings loaded;
        ConfigStorage storage(loaded);
        ASSERT_EQ(storage.LoadConfig(false).code, kConfigLoaded);
        ASSERT_EQ(loaded.ProcessAllowances.DisallowedProcesses.size(), 1u);
        EXPECT_FALSE(storage.IsRetryDue());

        machine().AdvanceClock(1000);
        c.fault();
        const ConfigLoadResult failed = storage.LoadConfig(false);
        EXPECT_FALSE(failed.ok);
        EXPECT_EQ(failed.code, c.code);
        EXPECT_FALSE(failed.reason.empty());
        EXPECT_EQ(loaded.ProcessAllowances.DisallowedProcesses.size(), 1u);
        EXPECT_TRUE(storage.IsRetryDue());
        // The same fault at the next cycle: still nothing lost, the file is not replaced, and
        // the retry does not wait for the fault to go.
        const std::uint64_t before = machine().Now();
        EXPECT_EQ(storage.LoadConfig(false).code, c.code);
        EXPECT_EQ(machine().Now(), before);
        EXPECT_EQ(loaded.ProcessAllowances.DisallowedProcesses.size(), 1u);
        EXPECT_NE(sim::FileBytes(path), DefaultsFile());

        machine().ClearFailures();
        machine().AdvanceClock(200000);
        platform::DeleteFileAt(kLocalConfig + L"\\.cv-lock");
        sim::PutFile(path, FileWith(L"UpdateSpeedCore", L"2000"));
        const ConfigLoadResult again = storage.LoadConfig(false);
        EXPECT_TRUE(again.ok);
        EXPECT_EQ(again.code, kConfigLoaded);
        EXPECT_EQ(loaded.Performance.UpdateSpeedCore, 2000);
        EXPECT_TRUE(loaded.ProcessAllowances.DisallowedProcesses.empty());
        EXPECT_FALSE(storage.IsRetryDue());
    }
}

TEST_F(ConfigStorageTest, FolderInTheFilesPlaceIsLookedAtOnceAMinute) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    sim::PutFolder(path);
    ConfigStorage storage(settings);
    const ConfigLoadResult first = storage.LoadConfig(false);
    EXPECT_FALSE(first.ok);
    EXPECT_EQ(first.code, kConfigIsFolder);
    EXPECT_EQ(settings.Performance.UpdateSpeedCore, 1000);
    EXPECT_FALSE(storage.IsRetryDue());

    // Replaced by a file within the minute: not looked at yet.
    machine().AdvanceClock(30000);
    EXPECT_FALSE(storage.IsRetryDue());
    ASSERT_TRUE(platform::MovePath(path, kLocalConfig + L"\\moved"));
    sim::PutFile(path, FileWith(L"UpdateSpeedCore", L"2000"));
    EXPECT_EQ(storage.LoadConfig(true).code, kConfigIsFolder);
    machine().AdvanceClock(30000);
    EXPECT_TRUE(storage.IsRetryDue());
    EXPECT_EQ(storage.LoadConfig(false).code, kConfigLoaded);
    EXPECT_EQ(settings.Performance.UpdateSpeedCore, 2000);
}

TEST_F(ConfigStorageTest, LoadThatCreatesNothingSaysSo) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    sim::PutFolder(kLocalConfig);
    // A folder nobody may create files in.
    machine().FailCall("CreateFile", path + L".cv-new");
    machine().FailCall("CreateFile", path);
    ConfigStorage storage(settings);
    const ConfigLoadResult result = storage.LoadConfig(false);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.code, kConfigNotCreated);
    EXPECT_FALSE(sim::FileBytes(path).has_value());
    EXPECT_FALSE(sim::FileBytes(path + L".cv-save").has_value());
    EXPECT_TRUE(storage.IsRetryDue());

    machine().ClearFailures();
    EXPECT_EQ(storage.LoadConfig(false).code, kConfigCreatedWithDefaults);
    EXPECT_EQ(sim::FileBytes(path), DefaultsFile());
}

TEST_F(ConfigStorageTest, EmptyFileIsRepairedAtTheFirstLoadOnly) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    sim::PutFile(path, "");
    ConfigStorage storage(settings);
    const ConfigLoadResult first = storage.LoadConfig(false);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.code, kConfigCreatedWithDefaults);
    EXPECT_EQ(sim::FileBytes(path), DefaultsFile());

    machine().AdvanceClock(1000);
    sim::PutFile(path, FileWith(L"DisallowedProcesses", L"bad.exe"));
    ASSERT_EQ(storage.LoadConfig(false).code, kConfigLoaded);
    machine().AdvanceClock(1000);
    sim::PutFile(path, "");
    EXPECT_EQ(storage.LoadConfig(false).code, kConfigNoContent);
    EXPECT_EQ(settings.ProcessAllowances.DisallowedProcesses.size(), 1u);
    EXPECT_EQ(sim::FileBytes(path), "");
}

// A file an editor saved as UTF-8 loads the rules of its UTF-16 twin, and a save (which writes
// UTF-16) keeps every name: the saved file reads back to the same settings.
TEST_F(ConfigStorageTest, Utf8FileKeepsItsNamesThroughALoadAndASave) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    const std::wstring text =
        L"[ProcessAllowances]\r\n"
        L"DisallowedProcesses=\u00FCn\u00EFc\u00F6d\u00E9.exe,\u043F\u0440\u043E\u0433\u0440"
        L"\u0430\u043C\u043C\u0430.exe,\u7A0B\u5E8F.exe\r\n"
        L"CPULimitRules=\u7A0B\u5E8F.exe;5;1;2;3\r\n"
        L"[ProcessDefaults]\r\n"
        L"DefaultAffinitiesEx=\u043F\u0440\u043E\u0433\u0440\u0430\u043C\u043C\u0430.exe,0,0-3\r\n";
    std::string utf16 = "\xFF\xFE";
    for (const char16_t unit : ToUtf16(text)) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    const auto loadFrom = [&](const std::string& bytes) {
        sim::PutFile(path, bytes);
        ConfigSettings loaded;
        ConfigStorage storage(loaded);
        EXPECT_EQ(storage.LoadConfig(false).code, kConfigLoaded);
        return static_cast<const ConfigSections&>(loaded);
    };
    const ConfigSections twin = loadFrom(utf16);
    ASSERT_EQ(twin.ProcessAllowances.DisallowedProcesses.size(), 3u);
    EXPECT_EQ(twin.ProcessAllowances.DisallowedProcesses[1].text,
              L"\u043F\u0440\u043E\u0433\u0440\u0430\u043C\u043C\u0430.exe");
    ASSERT_EQ(twin.ProcessAllowances.CPULimitRules.size(), 1u);
    ASSERT_EQ(twin.ProcessDefaults.DefaultAffinitiesEx.size(), 1u);

    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"UTF-8 with its mark", "\xEF\xBB\xBF" + ToUtf8(text)},
        {"UTF-8 without a mark", ToUtf8(text)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().Reset();
        sim::PutFile(path, c.bytes);
        ConfigSettings loaded;
        ConfigStorage storage(loaded);
        ASSERT_EQ(storage.LoadConfig(false).code, kConfigLoaded);
        EXPECT_TRUE(static_cast<const ConfigSections&>(loaded) == twin);

        machine().AdvanceClock(1000);
        ASSERT_TRUE(storage.SaveConfig());
        const auto saved = sim::FileBytes(path);
        ASSERT_TRUE(saved.has_value());
        EXPECT_EQ(saved->substr(0, 2), "\xFF\xFE");
        EXPECT_TRUE(loadFrom(*saved) == twin);
    }
}

TEST_F(ConfigStorageTest, LeftoverLockFileBlocksLoadsButNotSaves) {
    UseLockFiles();
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"2000"));
    sim::PutFile(kLocalConfig + L"\\.cv-lock", "");
    ConfigStorage storage(settings);
    const std::uint64_t before = machine().Now();
    const auto blocked = storage.LoadConfig(true);
    EXPECT_FALSE(blocked.ok);
    EXPECT_EQ(blocked.code, 1);
    EXPECT_EQ(machine().Now() - before, 4000u);  // 80 sleeps of 50 ms
    EXPECT_EQ(settings.Performance.UpdateSpeedCore, 1000);  // unchanged

    // A save re-creates the lock file with exclusive access and deletes it when done.
    EXPECT_TRUE(storage.SaveConfig());
    EXPECT_FALSE(platform::PathExists(kLocalConfig + L"\\.cv-lock"));
    EXPECT_TRUE(storage.LoadConfig(true).ok);

    // A lock file another program keeps open makes the save give up.
    sim::PutFile(kLocalConfig + L"\\.cv-lock", "");
    sim::HoldFileOpen(kLocalConfig + L"\\.cv-lock", platform::kGenericWrite, 0, 100000);
    EXPECT_FALSE(storage.SaveConfig());
}

TEST_F(ConfigStorageTest, NetworkLocations) {
    sim::AddDrive(L'N', false);
    EXPECT_TRUE(IsNetworkLocation(L"\\\\server\\share\\cfg\\corvex.ini"));
    EXPECT_TRUE(IsNetworkLocation(L"N:\\cfg\\corvex.ini"));
    EXPECT_FALSE(IsNetworkLocation(L"C:\\cfg\\corvex.ini"));

    ConfigStorage storage(settings);
    storage.SetFolderOverride(L"\\\\server\\share\\cfg");
    storage.LoadConfig(true);
    EXPECT_TRUE(storage.IsNetworkPath());
}

TEST_F(ConfigStorageTest, RoamingConfigurationMovesToTheLocalFolderOnce) {
    sim::PutFile(L"C:\\Users\\Tester\\AppData\\Roaming\\Corvane\\config\\corvex.ini", "x=1");
    EXPECT_TRUE(MigrateConfigFolder());
    EXPECT_EQ(sim::FileBytes(kLocalConfig + L"\\corvex.ini"), "x=1");
    EXPECT_EQ(machine().GetDword(RegistryRoot::CurrentUser, L"Software\\Corvane",
                                 L"ConfigPathMigrationComplete"),
              1u);
    sim::PutFile(L"C:\\Users\\Tester\\AppData\\Roaming\\Corvane\\config\\corvex.ini", "x=2");
    EXPECT_TRUE(MigrateConfigFolder());  // done already: nothing moves
    EXPECT_EQ(sim::FileBytes(kLocalConfig + L"\\corvex.ini"), "x=1");
}

TEST_F(ConfigStorageTest, WatcherSignalsChangesOfTheFolder) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    sim::PutFile(path, FileWith(L"UpdateSpeedCore", L"2000"));
    auto exitEvent = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    ConfigStorage storage(settings);
    ASSERT_TRUE(storage.LoadConfig(false).ok);
    storage.StartConfigWatcher(exitEvent.Get());
    // Let the watcher arm its notification, then change the file as other programs would.
    ASSERT_TRUE(machine().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    const struct {
        const char* name;
        std::function<bool()> change;
    } changes[] = {
        {"rewritten in place",
         [&] {
             sim::PutFile(path, FileWith(L"UpdateSpeedCore", L"3000"));
             return true;
         }},
        {"renamed away", [&] { return platform::MovePath(path, path + L".old"); }},
        {"renamed back", [&] { return platform::MovePath(path + L".old", path); }},
        {"deleted", [&] { return platform::DeleteFileAt(path); }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        machine().AdvanceClock(1000);  // past the watcher's pause
        ASSERT_TRUE(c.change());
        // The watcher thread may reach its pause only now, on a busy machine: the clock keeps
        // moving until it has seen the change.
        bool signalled = false;
        for (int attempt = 0; attempt < 250 && !signalled; ++attempt) {
            signalled = machine().WaitUntil(
                [&] { return platform::IsSignalled(storage.ConfigReloadEvent()); }, 0.02);
            if (!signalled) {
                machine().AdvanceClock(1000);
            }
        }
        EXPECT_TRUE(signalled);
    }
    platform::SetEventObject(exitEvent.Get());
    storage.StopConfigWatcher();
}

TEST_F(ConfigStorageTest, WatcherPollsWhenTheFolderCannotBeWatched) {
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"2000"));
    machine().FailCall("FindFirstChangeNotification");
    auto exitEvent =
        platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    ConfigStorage storage(settings);
    ASSERT_TRUE(storage.LoadConfig(false).ok);
    storage.HasConfigFileChanged();
    storage.StartConfigWatcher(exitEvent.Get());
    machine().AdvanceClock(10);
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"30000"));
    bool seen = false;
    for (int i = 0; i < 10 && !seen; ++i) {
        machine().AdvanceClock(7000);
        seen = machine().WaitUntil(
            [&] { return platform::IsSignalled(storage.ConfigReloadEvent()); }, 1.0);
    }
    EXPECT_TRUE(seen);
    // The load it asks for reads the change, though the watcher has looked at the file since.
    EXPECT_EQ(storage.LoadConfig(false).code, kConfigLoaded);
    EXPECT_EQ(settings.Performance.UpdateSpeedCore, 30000);
    // A restart (after a profile switch) ends the polling watcher instead of waiting for exit.
    storage.RestartConfigWatcher();
    platform::SetEventObject(exitEvent.Get());
    storage.StopConfigWatcher();
}

TEST_F(ConfigStorageTest, MissingFileGetsAGraceBeforeTheDefaults) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    const struct {
        const char* name;
        std::optional<std::uint64_t> recreatedAfter;
        int code;
        std::size_t disallowed;
    } cases[] = {
        {"replaced by delete and create", 1500, kConfigLoaded, 2},
        {"deleted for good", std::nullopt, kConfigCreatedWithDefaults, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().Reset();
        sim::PutFile(path, FileWith(L"DisallowedProcesses", L"bad.exe"));
        ConfigSettings loaded;
        ConfigStorage storage(loaded);
        ASSERT_TRUE(storage.LoadConfig(false).ok);
        ASSERT_TRUE(platform::DeleteFileAt(path));
        machine().AdvanceClock(500);
        for (std::uint64_t waited = 0; waited < kMissingFileGraceMs; waited += 500) {
            if (waited == c.recreatedAfter) {
                sim::PutFile(path, FileWith(L"DisallowedProcesses", L"bad.exe,worse.exe"));
                break;
            }
            const ConfigLoadResult early = storage.LoadConfig(false);
            EXPECT_FALSE(early.ok);
            EXPECT_EQ(early.code, kConfigMissingForNow);
            EXPECT_EQ(loaded.ProcessAllowances.DisallowedProcesses.size(), 1u);
            machine().AdvanceClock(500);
            EXPECT_EQ(storage.IsRetryDue(), waited + 500 >= kMissingFileGraceMs);
        }
        EXPECT_EQ(storage.LoadConfig(false).code, c.code);
        EXPECT_EQ(loaded.ProcessAllowances.DisallowedProcesses.size(), c.disallowed);
        EXPECT_FALSE(storage.IsRetryDue());
    }
}

TEST_F(ConfigStorageTest, GraceOfADeletedFileCountsFromTheWatchersNotice) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    sim::PutFile(path, FileWith(L"DisallowedProcesses", L"bad.exe"));
    auto exitEvent =
        platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    ConfigStorage storage(settings);
    ASSERT_TRUE(storage.LoadConfig(false).ok);
    storage.StartConfigWatcher(exitEvent.Get());
    ASSERT_TRUE(machine().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    machine().AdvanceClock(1000);
    ASSERT_TRUE(platform::DeleteFileAt(path));
    ASSERT_TRUE(
        machine().WaitUntil([&] { return platform::IsSignalled(storage.ConfigReloadEvent()); }, 5));
    // The control loop's pause before it reloads, then one cycle.
    machine().AdvanceClock(500);
    EXPECT_EQ(storage.LoadConfig(false).code, kConfigMissingForNow);
    machine().AdvanceClock(1000);
    EXPECT_FALSE(storage.IsRetryDue());
    machine().AdvanceClock(500);
    EXPECT_TRUE(storage.IsRetryDue());
    EXPECT_EQ(storage.LoadConfig(false).code, kConfigCreatedWithDefaults);
    EXPECT_TRUE(settings.ProcessAllowances.DisallowedProcesses.empty());
    platform::SetEventObject(exitEvent.Get());
    storage.StopConfigWatcher();
}

TEST_F(ConfigStorageTest, SaveCutShortIsFinishedByTheNextLoad) {
    const std::wstring path = kLocalConfig + L"\\corvex.ini";
    const std::string old = FileWith(L"DisallowedProcesses", L"bad.exe");
    sim::PutFile(path, old);
    std::uint64_t changes = 0;
    {
        ConfigSettings saving;
        ConfigStorage storage(saving);
        ASSERT_TRUE(storage.LoadConfig(false).ok);
        saving.Performance.UpdateSpeedCore = 3000;
        sim::CutWritesAfter(std::nullopt);
        ASSERT_TRUE(storage.SaveConfig());
        changes = sim::WriteChangesMade();
    }
    const auto saved = sim::FileBytes(path);
    for (const bool powerLoss : {false, true}) {
        for (std::uint64_t cut = 0; cut <= changes; cut += cut + 3 >= changes ? 1 : changes / 40) {
            SCOPED_TRACE((powerLoss ? "power lost after " : "killed after ") + std::to_string(cut));
            sim::PutFile(path, old);
            {
                ConfigSettings saving;
                ConfigStorage storage(saving);
                ASSERT_TRUE(storage.LoadConfig(false).ok);
                saving.Performance.UpdateSpeedCore = 3000;
                sim::CutWritesAfter(cut);
                storage.SaveConfig();
            }
            const bool sideFileLeft = sim::FileBytes(path + L".cv-save").has_value();
            if (powerLoss) {
                sim::LosePower();
            } else {
                sim::CutWritesAfter(std::nullopt);
            }
            ConfigSettings loaded;
            ConfigStorage storage(loaded);
            const ConfigLoadResult result = storage.LoadConfig(false);
            EXPECT_TRUE(result.ok);
            EXPECT_EQ(result.interruptedSave,
                      sideFileLeft ? InterruptedSave::Finished : InterruptedSave::None);
            const auto bytes = sim::FileBytes(path);
            EXPECT_TRUE(bytes == old || bytes == saved);
            EXPECT_EQ(loaded.Performance.UpdateSpeedCore, bytes == old ? 1000 : 3000);
            EXPECT_EQ(loaded.ProcessAllowances.DisallowedProcesses.size(), 1u);
            EXPECT_FALSE(sim::FileBytes(path + L".cv-save").has_value());
        }
    }
}

}  // namespace
}  // namespace cv
