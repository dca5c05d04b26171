#include "SimFixture.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "platform/Files.h"
#include "platform/KernelObjects.h"
#include "platform/sim/SimFiles.h"
#include "services/KernelObjectNames.h"

namespace cv {
namespace {

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

TEST_F(ConfigStorageTest, UnreadableFileKeepsScalarsAndEmptiesLists) {
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"2000"));
    ConfigStorage storage(settings);
    ASSERT_TRUE(storage.LoadConfig(false).ok);
    machine().FailCall("ReadFile");
    const auto result = storage.LoadConfig(true);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(settings.Performance.UpdateSpeedCore, 2000);
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

TEST_F(ConfigStorageTest, WatcherSignalsAChangeOfTheFolder) {
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"2000"));
    auto exitEvent = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    ConfigStorage storage(settings);
    ASSERT_TRUE(storage.LoadConfig(false).ok);
    storage.StartConfigWatcher(exitEvent.Get());
    // Let the watcher arm its notification, then rewrite the file as the interface would.
    ASSERT_TRUE(machine().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"3000"));
    EXPECT_TRUE(machine().WaitUntil(
        [&] { return platform::IsSignalled(storage.ConfigReloadEvent()); }, 5));
    platform::SetEventObject(exitEvent.Get());
    storage.StopConfigWatcher();
}

TEST_F(ConfigStorageTest, WatcherPollsWhenTheFolderCannotBeWatched) {
    sim::PutFile(kLocalConfig + L"\\corvex.ini", FileWith(L"UpdateSpeedCore", L"2000"));
    machine().FailCall("FindFirstChangeNotification");
    auto exitEvent = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
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
    // A restart (after a profile switch) ends the polling watcher instead of waiting for exit.
    storage.RestartConfigWatcher();
    platform::SetEventObject(exitEvent.Get());
    storage.StopConfigWatcher();
}

}  // namespace
}  // namespace cv
