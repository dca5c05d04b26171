#include <optional>

#include "SimFixture.h"
#include "platform/MessageBox.h"
#include "platform/Resources.h"
#include "texts/Language.h"

namespace cv {
namespace {

using platform::RegistryRoot;
constexpr wchar_t kKey[] = L"Software\\Corvane";

class LanguageTest : public test::SimTest {
protected:
    void InstallModule(const std::wstring& name, std::map<std::uint32_t, std::wstring> strings) {
        machine().installedModules[name].strings = std::move(strings);
    }
};

struct ChoiceCase {
    const char* what;
    std::optional<std::uint32_t> hkcuInstallerDword;
    std::optional<std::uint32_t> hklmInstallerDword;
    std::optional<std::uint32_t> hkcuLanguage;
    std::uint16_t uiLanguage;
    std::uint32_t expected;
};

TEST_F(LanguageTest, ChoiceFollowsRegistryThenInterfaceLanguage) {
    const ChoiceCase cases[] = {
        {"installer value in HKCU", 1031, std::nullopt, std::nullopt, 1033, 1031},
        {"HKCU zero hides HKLM for that name", 0, 1049, std::nullopt, 1033, 1033},
        {"HKCU zero, a later name decides", 0, 1049, 1036, 1033, 1036},
        {"HKLM when HKCU is missing", std::nullopt, 1049, std::nullopt, 1033, 1049},
        {"English (United Kingdom) matches English", std::nullopt, std::nullopt, std::nullopt,
         2057, 1033},
        {"Chinese Traditional matches Simplified first", std::nullopt, std::nullopt,
         std::nullopt, 1028, 2052},
        {"unsupported interface language", std::nullopt, std::nullopt, std::nullopt, 1043, 0},
        {"a value beyond 16 bits is still a choice", 0x10000, std::nullopt, std::nullopt, 1031,
         0x10000},
    };
    for (const auto& c : cases) {
        machine().Reset();
        if (c.hkcuInstallerDword) {
            machine().SetDword(RegistryRoot::CurrentUser, kKey, L"InstallerLanguageDWORD",
                               *c.hkcuInstallerDword);
        }
        if (c.hklmInstallerDword) {
            machine().SetDword(RegistryRoot::LocalMachine, kKey, L"InstallerLanguageDWORD",
                               *c.hklmInstallerDword);
        }
        if (c.hkcuLanguage) {
            machine().SetDword(RegistryRoot::CurrentUser, kKey, L"Language", *c.hkcuLanguage);
        }
        machine().uiLanguage = c.uiLanguage;
        EXPECT_EQ(ReadLanguageSetting(), c.expected) << c.what;
    }
}

TEST_F(LanguageTest, AChoiceIsRememberedInBothRoots) {
    machine().SetDword(RegistryRoot::CurrentUser, kKey, L"InstallerLanguageDWORD", 1031);
    InstallModule(L"cv_rsrc_german.dll", {{214, L"Corvane DE"}});
    SelectLanguage();
    EXPECT_EQ(SelectedLanguage(), 1031);
    EXPECT_EQ(CurrentLanguageModuleName(), L"cv_rsrc_german.dll");
    for (const auto root : {RegistryRoot::CurrentUser, RegistryRoot::LocalMachine}) {
        EXPECT_EQ(machine().GetDword(root, kKey, L"Language"), 1031u);
        EXPECT_EQ(machine().GetDword(root, kKey, L"InstallerLanguageDWORD"), 1031u);
        EXPECT_TRUE(machine().HasValue(root, L"SOFTWARE\\Corvane", L"Corvane"));
    }
    EXPECT_EQ(LoadResourceString(214), L"Corvane DE");
}

TEST_F(LanguageTest, NoChoiceRemembersNothingAndLoadsEnglish) {
    machine().uiLanguage = 1043;
    SelectLanguage();
    EXPECT_EQ(SelectedLanguage(), 0);
    EXPECT_FALSE(machine().HasValue(RegistryRoot::CurrentUser, kKey, L"Language"));
    EXPECT_EQ(CurrentLanguageModuleName(), L"cv_rsrc_english.dll");
    EXPECT_EQ(LoadResourceString(214), L"Corvane");
}

TEST_F(LanguageTest, UnknownSelectedLanguageLoadsEnglish) {
    for (const std::uint32_t unknown : {1043u, 0x10000u, 0x10000u + 1031u}) {
        machine().Reset();
        machine().uiLanguage = 1031;  // would choose German if the value read as no choice
        InstallModule(L"cv_rsrc_german.dll", {{214, L"Corvane DE"}});
        machine().SetDword(RegistryRoot::CurrentUser, kKey, L"Language", unknown);
        SelectLanguage();
        EXPECT_EQ(SelectedLanguage(), unknown);
        EXPECT_EQ(CurrentLanguageModuleName(), L"cv_rsrc_english.dll") << unknown;
        EXPECT_EQ(machine().GetDword(RegistryRoot::LocalMachine, kKey, L"Language"), unknown);
    }
}

TEST_F(LanguageTest, MissingModuleFallsBackToEnglishFromTheProgramFolder) {
    machine().SetDword(RegistryRoot::CurrentUser, kKey, L"Language", 1031);
    SelectLanguage();  // cv_rsrc_german.dll is not installed
    EXPECT_EQ(CurrentLanguageModuleName(), L"cv_rsrc_english.dll");
    ASSERT_GE(machine().moduleLoadAttempts.size(), 2u);
    EXPECT_EQ(machine().moduleLoadAttempts[0], L"cv_rsrc_german.dll");
    EXPECT_EQ(machine().moduleLoadAttempts[1], L"C:\\Program Files\\Corvane\\cv_rsrc_english.dll");
    EXPECT_EQ(LoadResourceString(214), L"Corvane");
}

TEST_F(LanguageTest, MissingEnglishModuleEndsTheProcessWithAMessage) {
    machine().installedModules.clear();
    try {
        SelectLanguage();
        FAIL() << "the process should have ended";
    } catch (const sim::ProcessExitCalled& exit) {
        EXPECT_EQ(exit.exitCode, 1u);
    }
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    EXPECT_EQ(machine().messageBoxes[0].text,
              L"There was an error loading the resource DLL cv_rsrc_english.dll!");
    EXPECT_EQ(machine().messageBoxes[0].caption, L"Corvane");
    EXPECT_EQ(machine().messageBoxes[0].flags, platform::kMbIconError);
}

TEST_F(LanguageTest, StringsMissingInTheModuleComeFromEnglishOrAreEmpty) {
    machine().SetDword(RegistryRoot::CurrentUser, kKey, L"Language", 1049);
    InstallModule(L"cv_rsrc_russian.dll", {{214, L"Korvan"}});
    SelectLanguage();
    EXPECT_EQ(LoadResourceString(214), L"Korvan");
    EXPECT_EQ(LoadResourceString(250), L"all users");  // from English
    EXPECT_EQ(LoadResourceString(59999), L"");
}

TEST_F(LanguageTest, EnglishModuleHasEveryTextTheEngineUses) {
    const auto& english = machine().installedModules.at(L"cv_rsrc_english.dll").strings;
    for (const std::uint32_t id : {214u, 233u, 250u, 307u, 328u, 429u, 430u, 769u, 825u, 911u, 924u,
                                   937u, 944u, 952u, 1254u}) {
        EXPECT_TRUE(english.count(id) != 0 && !english.at(id).empty()) << id;
    }
}

}  // namespace
}  // namespace cv
