// Configuration profiles: the .profile file, the switch rules, and the switcher moving the engine
// to a game's profile while the game runs and back when it ends.
#include "EngineScenario.h"
#include "config/ConfigStorage.h"
#include "platform/Registry.h"
#include "profiles/ActiveProfile.h"
#include "profiles/ProfileSwitcher.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

std::string Utf16Bytes(const std::wstring& text) {
    std::string bytes;
    for (const char16_t unit : ToUtf16(text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

TEST(SwitchRules, TokensArePairedAndEscapedCommasKept) {
    const struct {
        const wchar_t* text;
        std::vector<SwitchRule> rules;
    } cases[] = {
        {L"game.exe;Gaming;render*.exe,Work",
         {{L"game.exe", L"Gaming"}, {L"render*.exe", L"Work"}}},
        {L"a\\,b.exe;P", {{L"a,b.exe", L"P"}}},
        {L"x.exe;Gaming;y.exe", {{L"x.exe", L"Gaming"}}},
        {L";;Game.EXE,,Gaming;", {{L"game.exe", L"Gaming"}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseSwitchRules(c.text), c.rules) << c.text;
    }
}

class ProfileFile : public test::SimTest {};

TEST_F(ProfileFile, NamesStayOneFolderInsideTheConfigurationFolder) {
    const struct {
        const char* what;
        std::string bytes;
        bool read;
        std::wstring name;
        bool refused;
    } cases[] = {
        {"empty: the default profile", "", true, L"", false},
        {"a plain name", Utf16Bytes(L"Gaming"), true, L"Gaming", false},
        {"a line end and what follows a NUL", Utf16Bytes(L"Work\r\n") + std::string(2, '\0') + "x",
         true, L"Work", false},
        {"dots and backslashes removed", Utf16Bytes(L"..\\..\\Windows"), true, L"Windows", false},
        {"My First Profile", Utf16Bytes(L"my first profile"), true, L"", false},
        {"the localized default name", Utf16Bytes(L"Default"), true, L"", false},
        {"a device name", Utf16Bytes(L"con"), true, L"", true},
        {"a device name with an extension", Utf16Bytes(L"COM1.txt"), true, L"", true},
        {"a trailing dot", Utf16Bytes(L"Gaming."), true, L"", true},
        {"a trailing blank", Utf16Bytes(L"Gaming "), true, L"", true},
        {"a drive colon", Utf16Bytes(L"C:Windows"), true, L"", true},
        {"129 characters", Utf16Bytes(std::wstring(129, L'a')), true, L"", true},
        {"128 characters", Utf16Bytes(std::wstring(128, L'a')), true, std::wstring(128, L'a'),
         false},
        {"5000 bytes", std::string(5000, 'a'), false, L"", false},
    };
    sim::PutFolder(L"C:\\P");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::PutFile(L"C:\\P\\.profile", c.bytes);
        const ActiveProfile profile = ReadActiveProfile(L"C:\\P");
        EXPECT_EQ(profile.read, c.read);
        EXPECT_EQ(profile.name, c.name);
        EXPECT_EQ(!profile.refused.empty(), c.refused);
    }
    sim::PutFolder(L"C:\\Q");
    EXPECT_FALSE(ReadActiveProfile(L"C:\\Q").read);
}

TEST_F(ProfileFile, SettingWritesTheNameAndWakesTheEngine) {
    sim::PutFolder(L"C:\\P");
    const auto reload = platform::CreateEventObject(names::kReloadNowEvent, false, false,
                                                    platform::ObjectSecurity::Open);
    SetActiveProfile(L"C:\\P", L"Gaming");
    EXPECT_EQ(sim::FileBytes(L"C:\\P\\.profile"), Utf16Bytes(L"Gaming"));
    EXPECT_TRUE(platform::IsSignalled(reload.Get()));
    // The shorter name cuts the file; "My First Profile" is the default profile.
    SetActiveProfile(L"C:\\P", L"Work", false);
    EXPECT_EQ(sim::FileBytes(L"C:\\P\\.profile"), Utf16Bytes(L"Work"));
    SetActiveProfile(L"C:\\P", kFirstProfileName, false);
    EXPECT_EQ(sim::FileBytes(L"C:\\P\\.profile"), "");
    EXPECT_FALSE(platform::IsSignalled(reload.Get()));
}

TEST_F(ProfileFile, AMissingFolderIsMadeAndAChoiceThatCannotBeStoredWakesNobody) {
    const auto reload = platform::CreateEventObject(names::kReloadNowEvent, false, false,
                                                    platform::ObjectSecurity::Open);
    sim::PutFolder(L"C:\\Users");
    SetActiveProfile(L"C:\\Users\\Tester\\Corvane\\config", L"Gaming");
    EXPECT_EQ(sim::FileBytes(L"C:\\Users\\Tester\\Corvane\\config\\.profile"),
              Utf16Bytes(L"Gaming"));
    EXPECT_TRUE(platform::IsSignalled(reload.Get()));
    machine().FailCall("CreateFile");
    SetActiveProfile(L"C:\\Users\\Tester\\Corvane\\config", L"Work");
    EXPECT_FALSE(platform::IsSignalled(reload.Get()));
}

class ProfileSwitchScenario : public test::EngineScenario {
  protected:
    static std::wstring ProfileFolder() { return GetDefaultConfigFolder(); }
    static std::wstring ActiveName() { return ReadActiveProfile(ProfileFolder()).name; }
    void SetRules(const std::wstring& rules) {
        platform::WriteRegistryString(platform::RegistryRoot::LocalMachine, L"Software\\Corvane",
                                      L"ConfigSwitcherRules", rules);
    }
    // Cycles until the condition holds; the switcher thread evaluates as the clock passes its
    // interval.
    bool CyclesUntil(const std::function<bool()>& condition, int limit = 10) {
        for (int i = 0; i < limit; ++i) {
            Cycles(1);
            if (machine().WaitUntil(condition, 0.3)) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(ProfileSwitchScenario, AGameSwitchesToItsProfileWhileItRunsAndBackWhenItEnds) {
    sim::PutFolder(ProfileFolder());
    SetRules(L"game.exe;Gaming");
    Start({{L"SamplingIntervalSeconds", L"900"}});
    sim::PutFolder(std::wstring(kConfigFolder) + L"\\Gaming");
    sim::PutFile(std::wstring(kConfigFolder) + L"\\Gaming\\corvex.ini",
                 ConfigWith({{L"SamplingIntervalSeconds", L"123"}}));
    machine().AddProcess(700, L"game.exe");

    ASSERT_TRUE(
        CyclesUntil([this] { return loop_->Settings().Sampling.SamplingIntervalSeconds == 123; }));
    EXPECT_EQ(ActiveName(), L"Gaming");
    EXPECT_EQ(loop_->Storage().FilePath(), std::wstring(kConfigFolder) + L"\\Gaming\\corvex.ini");

    machine().EndProcess(700);
    ASSERT_TRUE(
        CyclesUntil([this] { return loop_->Settings().Sampling.SamplingIntervalSeconds == 900; }));
    EXPECT_EQ(ActiveName(), L"");
    EXPECT_EQ(loop_->Storage().FilePath(), ConfigPath());

    const auto changes = Only(StopAndReadLog(), 85);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].info, L"Corvane config profile changed from default to Gaming");
    EXPECT_EQ(changes[0].path, std::wstring(kConfigFolder) + L"\\Gaming\\corvex.ini");
    EXPECT_EQ(changes[1].info, L"Corvane config profile changed from Gaming to default");
}

// A rule's pattern may be an expression over the match subject, as in the rule lists.
TEST_F(ProfileSwitchScenario, AnExpressionRuleSwitchesOnTheCommandLine) {
    sim::PutFolder(ProfileFolder());
    SetRules(L"/--level=\\d+/;Gaming");
    Start();
    sim::PutFolder(std::wstring(kConfigFolder) + L"\\Gaming");
    sim::PutFile(std::wstring(kConfigFolder) + L"\\Gaming\\corvex.ini", ConfigWith({}));
    machine().AddProcess(700, L"game.exe").commandLine = L"game.exe --level=";
    Cycles(3);
    EXPECT_EQ(ActiveName(), L"");
    machine().AddProcess(704, L"game.exe").commandLine = L"game.exe --level=3";
    ASSERT_TRUE(CyclesUntil([this] { return ActiveName() == L"Gaming"; }));
}

TEST_F(ProfileSwitchScenario, AMissingProfileFileIsMadeFromDefaultsAndOtherProfilesUntouched) {
    sim::PutFolder(ProfileFolder());
    const std::wstring other = std::wstring(kConfigFolder) + L"\\Work\\corvex.ini";
    sim::PutFolder(std::wstring(kConfigFolder) + L"\\Work");
    sim::PutFile(other, "[Performance]\r\nUpdateSpeedCore=777\r\n");
    SetRules(L"game.exe;Gaming");
    Start();
    machine().AddProcess(700, L"game.exe");
    const std::wstring gaming = std::wstring(kConfigFolder) + L"\\Gaming\\corvex.ini";
    ASSERT_TRUE(CyclesUntil([&gaming] { return sim::FileBytes(gaming).has_value(); }));
    EXPECT_EQ(sim::FileBytes(other), "[Performance]\r\nUpdateSpeedCore=777\r\n");
    EXPECT_EQ(loop_->LoadResult(), 2);
}

TEST_F(ProfileSwitchScenario, RulesNamingTheDefaultOrAnUnusableProfileNeverLeaveTheFolder) {
    const struct {
        const char* what;
        std::wstring rules;
        bool refusedRecord;
    } cases[] = {
        {"My First Profile while the default is active", L"game.exe;My First Profile", false},
        {"a device name", L"game.exe;nul", true},
        {"a name that climbs out", L"game.exe;..\\..\\..", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        sim::PutFolder(ProfileFolder());
        SetRules(c.rules);
        Start();
        machine().AddProcess(700, L"game.exe");
        EXPECT_FALSE(CyclesUntil(
            [] { return sim::FileBytes(ProfileFolder() + L"\\.profile").value_or("").size() > 0; },
            3));
        EXPECT_EQ(loop_->Storage().FilePath(), ConfigPath());
        const auto log = StopAndReadLog();
        EXPECT_EQ(Only(log, 85).size(), c.refusedRecord ? 1u : 0u);
        TearDown();
    }
}

}  // namespace
}  // namespace cv
