// Language modules of the simulated machine. The English module carries the same texts as the
// real cv_rsrc_english.dll, from the same table.
#include "common/WideString.h"
#include "platform/Resources.h"
#include "platform/sim/SimMachine.h"

namespace cv::sim {

namespace {
struct EnglishText {
    std::uint32_t id;
    const wchar_t* text;
};
#define CV_TEXT(id, text) {id, L"" text},
constexpr EnglishText kEnglishTexts[] = {
#include "texts/EnglishStrings.inc"
};
#undef CV_TEXT
}  // namespace

void Machine::InstallEnglishModule() {
    SimModule english;
    for (const auto& entry : kEnglishTexts) {
        english.strings[entry.id] = entry.text;
    }
    installedModules[L"cv_rsrc_english.dll"] = std::move(english);
}

}  // namespace cv::sim

namespace cv::platform {

using sim::Machine;

namespace {

// Module handles are the address of the installed module's entry, which stays put while the
// machine is not reset.
ModuleHandle HandleOf(const std::wstring& lowerName) {
    Machine& machine = Machine::Get();
    const auto it = machine.installedModules.find(lowerName);
    return it == machine.installedModules.end() ? nullptr : static_cast<void*>(&it->second);
}

std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

ModuleHandle LoadModule(const std::wstring& nameOrPath) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    machine.moduleLoadAttempts.push_back(nameOrPath);
    std::wstring lower = ToLower(nameOrPath);
    const auto slash = lower.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        // A full path finds the module only in the program's own folder.
        if (lower.substr(0, slash) != ToLower(FolderOf(machine.ownImagePath))) {
            return nullptr;
        }
        lower = lower.substr(slash + 1);
    }
    if (machine.ShouldFail("LoadLibrary", lower)) {
        return nullptr;
    }
    ModuleHandle module = HandleOf(lower);
    if (module != nullptr) {
        machine.loadedModules.insert(lower);
    }
    return module;
}

ModuleHandle LoadedModule(const std::wstring& name) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    std::wstring lower = ToLower(name);
    const auto slash = lower.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        if (lower.substr(0, slash) != ToLower(FolderOf(machine.ownImagePath))) {
            return nullptr;
        }
        lower = lower.substr(slash + 1);
    }
    return machine.loadedModules.count(lower) != 0 ? HandleOf(lower) : nullptr;
}

std::wstring LoadModuleString(ModuleHandle module, std::uint32_t id) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    for (auto& [name, installed] : machine.installedModules) {
        if (static_cast<void*>(&installed) == module) {
            const auto it = installed.strings.find(id);
            return it == installed.strings.end() ? std::wstring()
                                                 : it->second.substr(0, 1023);
        }
    }
    return {};
}

}  // namespace cv::platform
