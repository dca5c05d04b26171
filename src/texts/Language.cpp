#include "texts/Language.h"

#include <mutex>
#include <utility>

#include "platform/Registry.h"
#include "platform/System.h"
#include "texts/Messages.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr LanguageEntry kLanguages[] = {
    {1033, L"English", kEnglishModuleName},
    {1049, L"Russian", L"cv_rsrc_russian.dll"},
    {2052, L"Chinese Simplified", L"cv_rsrc_chinese.dll"},
    {1028, L"Chinese Traditional", L"cv_rsrc_chinese_traditional.dll"},
    {1031, L"German", L"cv_rsrc_german.dll"},
    {1034, L"Spanish", L"cv_rsrc_spanish.dll"},
    {1036, L"French", L"cv_rsrc_french.dll"},
    {1040, L"Italian", L"cv_rsrc_italian.dll"},
    {1046, L"Portuguese/Brazilian", L"cv_rsrc_ptbr.dll"},
    {1045, L"Polish", L"cv_rsrc_polish.dll"},
    {1041, L"Japanese", L"cv_rsrc_japanese.dll"},
    {1035, L"Finnish", L"cv_rsrc_finnish.dll"},
    {1060, L"Slovenian", L"cv_rsrc_slovenian.dll"},
    {1055, L"Turkish", L"cv_rsrc_turkish.dll"},
    {1026, L"Bulgarian", L"cv_rsrc_bulgarian.dll"},
    {1042, L"Korean", L"cv_rsrc_korean.dll"},
};

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr wchar_t kCorvaneKeyUpper[] = L"SOFTWARE\\Corvane";

struct LanguageState {
    std::mutex mutex;
    std::uint32_t selected = 0;
    std::wstring moduleName = kEnglishModuleName;
    platform::ModuleHandle module = nullptr;
    bool englishFallbackPending = true;
    std::uint32_t toRemember = kEnglishLanguage;
};

LanguageState& State() {
    static LanguageState state;
    return state;
}

std::uint32_t PrimaryLanguage(std::uint32_t id) {
    return id & 0x3FF;
}

std::wstring ProgramFolder() {
    const std::wstring image = platform::OwnImagePath();
    const auto slash = image.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : image.substr(0, slash);
}

}  // namespace

const LanguageEntry* SupportedLanguages(std::size_t* count) {
    *count = std::size(kLanguages);
    return kLanguages;
}

std::uint32_t ReadLanguageSetting() {
    for (const wchar_t* name : {L"InstallerLanguageDWORD", L"InstallerLanguage", L"Language"}) {
        auto value = platform::ReadRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey, name);
        if (!value) {
            value = platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, name);
        }
        if (value && *value != 0) {
            return *value;
        }
    }
    const std::uint16_t interfaceLanguage = platform::UserDefaultUiLanguage();
    for (const auto& entry : kLanguages) {
        if (PrimaryLanguage(entry.id) == PrimaryLanguage(interfaceLanguage)) {
            return entry.id;
        }
    }
    return 0;
}

bool RememberLanguage() {
    const std::uint32_t id = State().toRemember;
    const std::vector<std::uint8_t> bytes = {
        static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8),
        static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 24)};
    for (const auto root : {RegistryRoot::CurrentUser, RegistryRoot::LocalMachine}) {
        platform::WriteRegistryDword(root, kCorvaneKey, L"Language", id);
        platform::WriteRegistryDword(root, kCorvaneKey, L"InstallerLanguageDWORD", id);
    }
    platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKeyUpper, L"Corvane", bytes);
    return platform::WriteRegistryBinary(RegistryRoot::CurrentUser, kCorvaneKeyUpper, L"Corvane",
                                         bytes);
}

void LoadLanguageModule() {
    LanguageState& state = State();
    std::wstring name = kEnglishModuleName;
    {
        std::lock_guard lock(state.mutex);
        for (const auto& entry : kLanguages) {
            if (state.selected != 0 && entry.id == state.selected) {
                name = entry.module;
                break;
            }
        }
    }
    platform::ModuleHandle module = platform::LoadModule(name);
    if (module == nullptr) {
        name = kEnglishModuleName;
        module = platform::LoadModule(ProgramFolder() + L"\\" + name);
    }
    if (module == nullptr) {
        module = platform::LoadModule(kEnglishModuleName);
        if (module == nullptr) {
            ShowMessage({L"There was an error loading the resource DLL cv_rsrc_english.dll!",
                         L"Corvane", platform::kMbIconError});
            platform::ExitOwnProcess(1);
        }
    }
    std::lock_guard lock(state.mutex);
    state.module = module;
    state.moduleName = name;
}

void SelectLanguage() {
    const std::uint32_t choice = ReadLanguageSetting();
    if (choice != 0) {
        {
            std::lock_guard lock(State().mutex);
            State().toRemember = choice;
        }
        RememberLanguage();
    }
    {
        std::lock_guard lock(State().mutex);
        State().selected = choice;
    }
    LoadLanguageModule();
}

std::wstring LoadResourceString(std::uint32_t id) {
    LanguageState& state = State();
    platform::ModuleHandle module = nullptr;
    {
        std::lock_guard lock(state.mutex);
        module = state.module;
    }
    std::wstring text = module != nullptr ? platform::LoadModuleString(module, id) : L"";
    if (!text.empty()) {
        return text;
    }
    bool loadEnglish = false;
    {
        std::lock_guard lock(state.mutex);
        loadEnglish = std::exchange(state.englishFallbackPending, false);
    }
    if (loadEnglish) {
        platform::LoadModule(kEnglishModuleName);
    }
    platform::ModuleHandle english = platform::LoadedModule(kEnglishModuleName);
    if (english == nullptr) {
        // Loading by name can miss when the program was started from another folder.
        english = platform::LoadedModule(ProgramFolder() + L"\\" + kEnglishModuleName);
    }
    return english != nullptr ? platform::LoadModuleString(english, id) : std::wstring();
}

std::uint32_t SelectedLanguage() {
    std::lock_guard lock(State().mutex);
    return State().selected;
}

platform::ModuleHandle CurrentLanguageModule() {
    std::lock_guard lock(State().mutex);
    return State().module;
}

std::wstring CurrentLanguageModuleName() {
    std::lock_guard lock(State().mutex);
    return State().moduleName;
}

void ResetLanguageState() {
    LanguageState& state = State();
    std::lock_guard lock(state.mutex);
    state.selected = 0;
    state.moduleName = kEnglishModuleName;
    state.module = nullptr;
    state.englishFallbackPending = true;
    state.toRemember = kEnglishLanguage;
}

}  // namespace cv
