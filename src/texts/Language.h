#pragma once
// Choosing the language module, loading it and reading its numbered texts with English as the
// fallback. Shared by the engine and the post-update tool.
#include <cstdint>
#include <string>

#include "platform/Resources.h"

namespace cv {

constexpr std::uint32_t kEnglishLanguage = 1033;
inline constexpr wchar_t kEnglishModuleName[] = L"cv_rsrc_english.dll";

struct LanguageEntry {
    std::uint16_t id;
    const wchar_t* name;
    const wchar_t* module;
};

// The supported languages in matching order; English first.
const LanguageEntry* SupportedLanguages(std::size_t* count);

// The first non-zero of InstallerLanguageDWORD, InstallerLanguage and Language under
// Software\Corvane (HKCU first, HKLM only when the HKCU value is missing), else the supported
// language whose primary language matches the user's interface language, else 0. Registry
// values are read in full: a value beyond 16 bits is a choice (of no supported language).
std::uint32_t ReadLanguageSetting();
// Writes the identifier to remember; true when the last key (HKCU SOFTWARE\Corvane) opened.
bool RememberLanguage();
// Loads the module of the selected language, falling back to English in the program's folder.
// Without any English module it shows an error and ends the process with exit code 1.
void LoadLanguageModule();
void SelectLanguage();
// The text with the given id from the current module, else from English, else empty.
std::wstring LoadResourceString(std::uint32_t id);

std::uint32_t SelectedLanguage();
platform::ModuleHandle CurrentLanguageModule();
std::wstring CurrentLanguageModuleName();
// Forgets the process-wide language state, as at program start (for tests).
void ResetLanguageState();

}  // namespace cv
