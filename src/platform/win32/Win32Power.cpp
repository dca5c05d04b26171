// Power schemes with the powrprof entry points, looked up once per process.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/Power.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

namespace {

constexpr int kAccessScheme = 16;  // POWER_DATA_ACCESSOR ACCESS_SCHEME

using SetActiveSchemeFn = DWORD(WINAPI*)(HKEY, const GUID*);
using GetActiveSchemeFn = DWORD(WINAPI*)(HKEY, GUID**);
using EnumerateFn = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, int, ULONG, UCHAR*, DWORD*);
using ReadFriendlyNameFn = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*, UCHAR*,
                                          DWORD*);
using DuplicateSchemeFn = DWORD(WINAPI*)(HKEY, const GUID*, GUID**);
using WriteTextFn = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*, UCHAR*, DWORD);
using DeleteSchemeFn = DWORD(WINAPI*)(HKEY, const GUID*);
using ReadValueIndexFn = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*, DWORD*);
using WriteValueIndexFn = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*, DWORD);
using ReadPossibleValueFn = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, ULONG*, ULONG, UCHAR*,
                                           DWORD*);
using WriteSettingAttributesFn = DWORD(WINAPI*)(const GUID*, const GUID*, DWORD);
using GetActualOverlaySchemeFn = DWORD(WINAPI*)(GUID*);
using SetActiveOverlaySchemeFn = DWORD(WINAPI*)(GUID);

template <typename Function>
Function PowrProf(const char* name) {
    return win32::LookUp<Function>(L"powrprof.dll", name);
}

struct PowrProfFunctions {
    SetActiveSchemeFn setActiveScheme = PowrProf<SetActiveSchemeFn>("PowerSetActiveScheme");
    GetActiveSchemeFn getActiveScheme = PowrProf<GetActiveSchemeFn>("PowerGetActiveScheme");
    EnumerateFn enumerate = PowrProf<EnumerateFn>("PowerEnumerate");
    ReadFriendlyNameFn readFriendlyName = PowrProf<ReadFriendlyNameFn>("PowerReadFriendlyName");
    DuplicateSchemeFn duplicateScheme = PowrProf<DuplicateSchemeFn>("PowerDuplicateScheme");
    WriteTextFn writeFriendlyName = PowrProf<WriteTextFn>("PowerWriteFriendlyName");
    WriteTextFn writeDescription = PowrProf<WriteTextFn>("PowerWriteDescription");
    DeleteSchemeFn deleteScheme = PowrProf<DeleteSchemeFn>("PowerDeleteScheme");
    ReadValueIndexFn readAcValueIndex = PowrProf<ReadValueIndexFn>("PowerReadACValueIndex");
    ReadValueIndexFn readDcValueIndex = PowrProf<ReadValueIndexFn>("PowerReadDCValueIndex");
    WriteValueIndexFn writeAcValueIndex = PowrProf<WriteValueIndexFn>("PowerWriteACValueIndex");
    WriteValueIndexFn writeDcValueIndex = PowrProf<WriteValueIndexFn>("PowerWriteDCValueIndex");
    ReadPossibleValueFn readPossibleValue = PowrProf<ReadPossibleValueFn>("PowerReadPossibleValue");
    WriteSettingAttributesFn writeSettingAttributes =
        PowrProf<WriteSettingAttributesFn>("PowerWriteSettingAttributes");
    GetActualOverlaySchemeFn getActualOverlayScheme =
        PowrProf<GetActualOverlaySchemeFn>("PowerGetActualOverlayScheme");
    SetActiveOverlaySchemeFn setActiveOverlayScheme =
        PowrProf<SetActiveOverlaySchemeFn>("PowerSetActiveOverlayScheme");
};

const PowrProfFunctions& Power() {
    static const PowrProfFunctions functions;
    return functions;
}

GUID ToGuid(const PowerGuid& guid) {
    GUID result{};
    result.Data1 = guid.data1;
    result.Data2 = guid.data2;
    result.Data3 = guid.data3;
    std::memcpy(result.Data4, guid.data4.data(), sizeof result.Data4);
    return result;
}

PowerGuid FromGuid(const GUID& guid) {
    PowerGuid result;
    result.data1 = guid.Data1;
    result.data2 = guid.Data2;
    result.data3 = guid.Data3;
    std::memcpy(result.data4.data(), guid.Data4, result.data4.size());
    return result;
}

// The text up to its first null character.
std::wstring TextOfBuffer(const std::vector<UCHAR>& buffer, DWORD bytes) {
    const std::size_t count = std::min<std::size_t>(bytes, buffer.size()) / sizeof(wchar_t);
    std::wstring text(count, L'\0');
    if (count != 0) {
        std::memcpy(text.data(), buffer.data(), count * sizeof(wchar_t));
    }
    text.resize(std::wcslen(text.c_str()));
    return text;
}

std::uint32_t WriteText(WriteTextFn write, const PowerGuid& scheme, const std::wstring& text,
                        std::uint32_t bufferBytes) {
    if (write == nullptr) {
        return kPowerEntryPointMissing;
    }
    std::vector<UCHAR> buffer(std::max<std::size_t>(bufferBytes, sizeof(wchar_t)), 0);
    std::memcpy(buffer.data(), text.c_str(),
                std::min(buffer.size() - sizeof(wchar_t), text.size() * sizeof(wchar_t)));
    const GUID guid = ToGuid(scheme);
    return write(nullptr, &guid, nullptr, nullptr, buffer.data(), bufferBytes);
}

// A registry key opened for reading, closed when it goes out of scope.
class ReadKey {
  public:
    ReadKey(HKEY root, const std::wstring& path, REGSAM access) {
        if (RegOpenKeyExW(root, path.c_str(), 0, access | KEY_WOW64_64KEY, &key_) !=
            ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }
    ReadKey(const ReadKey&) = delete;
    ReadKey& operator=(const ReadKey&) = delete;
    ~ReadKey() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

}  // namespace

PowerEntryPoints FindPowerEntryPoints() {
    const PowrProfFunctions& f = Power();
    PowerEntryPoints found;
    found.required = f.setActiveScheme != nullptr && f.getActiveScheme != nullptr &&
                     f.enumerate != nullptr && f.readFriendlyName != nullptr &&
                     f.duplicateScheme != nullptr && f.writeFriendlyName != nullptr &&
                     f.writeDescription != nullptr && f.deleteScheme != nullptr &&
                     f.readAcValueIndex != nullptr && f.readDcValueIndex != nullptr &&
                     f.writeAcValueIndex != nullptr && f.writeDcValueIndex != nullptr &&
                     f.readPossibleValue != nullptr && f.writeSettingAttributes != nullptr;
    found.getActualOverlay = f.getActualOverlayScheme != nullptr;
    found.setActiveOverlay = f.setActiveOverlayScheme != nullptr;
    return found;
}

std::uint32_t SetActivePowerScheme(const PowerGuid& scheme) {
    if (Power().setActiveScheme == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID guid = ToGuid(scheme);
    return Power().setActiveScheme(nullptr, &guid);
}

std::uint32_t ReadActivePowerScheme(PowerGuid& scheme) {
    if (Power().getActiveScheme == nullptr) {
        return kPowerEntryPointMissing;
    }
    GUID* active = nullptr;
    const DWORD error = Power().getActiveScheme(nullptr, &active);
    if (active != nullptr) {
        if (error == ERROR_SUCCESS) {
            scheme = FromGuid(*active);
        }
        LocalFree(active);
    }
    return error == ERROR_SUCCESS && active == nullptr ? ERROR_INVALID_DATA : error;
}

std::uint32_t EnumeratePowerScheme(std::uint32_t index, PowerGuid& scheme) {
    if (Power().enumerate == nullptr) {
        return kPowerEntryPointMissing;
    }
    DWORD size = 0;
    const DWORD query =
        Power().enumerate(nullptr, nullptr, nullptr, kAccessScheme, index, nullptr, &size);
    if (query != ERROR_MORE_DATA && !(query == ERROR_SUCCESS && size != 0)) {
        return query;
    }
    // Room to spare, in case a scheme is added between the two calls.
    std::vector<UCHAR> buffer(static_cast<std::size_t>(size) + 256, 0);
    DWORD bufferSize = static_cast<DWORD>(buffer.size());
    const DWORD read = Power().enumerate(nullptr, nullptr, nullptr, kAccessScheme, index,
                                         buffer.data(), &bufferSize);
    if (read != ERROR_SUCCESS) {
        return read;
    }
    GUID guid{};
    std::memcpy(&guid, buffer.data(), sizeof guid);
    scheme = FromGuid(guid);
    return kPowerOk;
}

std::uint32_t ReadPowerSchemeName(const PowerGuid& scheme, std::wstring& name) {
    if (Power().readFriendlyName == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID guid = ToGuid(scheme);
    DWORD size = 0;
    const DWORD query = Power().readFriendlyName(nullptr, &guid, nullptr, nullptr, nullptr, &size);
    if (query != ERROR_SUCCESS && query != ERROR_MORE_DATA) {
        return query;
    }
    std::vector<UCHAR> buffer(static_cast<std::size_t>(size) + 1024, 0);
    DWORD bufferSize = static_cast<DWORD>(buffer.size());
    const DWORD read =
        Power().readFriendlyName(nullptr, &guid, nullptr, nullptr, buffer.data(), &bufferSize);
    if (read != ERROR_SUCCESS) {
        return read;
    }
    name = TextOfBuffer(buffer, bufferSize);
    return kPowerOk;
}

std::uint32_t DuplicatePowerScheme(const PowerGuid& source, PowerGuid& copy) {
    if (Power().duplicateScheme == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID guid = ToGuid(source);
    GUID* created = nullptr;
    const DWORD error = Power().duplicateScheme(nullptr, &guid, &created);
    if (created != nullptr) {
        if (error == ERROR_SUCCESS) {
            copy = FromGuid(*created);
        }
        LocalFree(created);
    }
    return error == ERROR_SUCCESS && created == nullptr ? ERROR_INVALID_DATA : error;
}

std::uint32_t WritePowerSchemeName(const PowerGuid& scheme, const std::wstring& name,
                                   std::uint32_t bufferBytes) {
    return WriteText(Power().writeFriendlyName, scheme, name, bufferBytes);
}

std::uint32_t WritePowerSchemeDescription(const PowerGuid& scheme, const std::wstring& description,
                                          std::uint32_t bufferBytes) {
    return WriteText(Power().writeDescription, scheme, description, bufferBytes);
}

std::uint32_t DeletePowerScheme(const PowerGuid& scheme) {
    if (Power().deleteScheme == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID guid = ToGuid(scheme);
    return Power().deleteScheme(nullptr, &guid);
}

std::uint32_t ReadPowerSettingValue(bool ac, const PowerGuid& scheme, const PowerGuid& subgroup,
                                    const PowerGuid& setting, std::uint32_t& value) {
    const ReadValueIndexFn read = ac ? Power().readAcValueIndex : Power().readDcValueIndex;
    if (read == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID schemeGuid = ToGuid(scheme);
    const GUID subgroupGuid = ToGuid(subgroup);
    const GUID settingGuid = ToGuid(setting);
    DWORD raw = 0;
    const DWORD error = read(nullptr, &schemeGuid, &subgroupGuid, &settingGuid, &raw);
    if (error == ERROR_SUCCESS) {
        value = raw;
    }
    return error;
}

std::uint32_t WritePowerSettingValue(bool ac, const PowerGuid& scheme, const PowerGuid& subgroup,
                                     const PowerGuid& setting, std::uint32_t value) {
    const WriteValueIndexFn write = ac ? Power().writeAcValueIndex : Power().writeDcValueIndex;
    if (write == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID schemeGuid = ToGuid(scheme);
    const GUID subgroupGuid = ToGuid(subgroup);
    const GUID settingGuid = ToGuid(setting);
    return write(nullptr, &schemeGuid, &subgroupGuid, &settingGuid, value);
}

std::uint32_t ReadPowerSettingPossibleValue(const PowerGuid& subgroup, const PowerGuid& setting,
                                            std::uint32_t index, std::uint32_t& value) {
    if (Power().readPossibleValue == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID subgroupGuid = ToGuid(subgroup);
    const GUID settingGuid = ToGuid(setting);
    ULONG type = 0;
    DWORD raw = 0;
    DWORD size = sizeof raw;
    const DWORD error = Power().readPossibleValue(nullptr, &subgroupGuid, &settingGuid, &type,
                                                  index, reinterpret_cast<UCHAR*>(&raw), &size);
    if (error == ERROR_SUCCESS) {
        value = raw;
    }
    return error;
}

std::uint32_t WritePowerSettingAttributes(const PowerGuid& subgroup, const PowerGuid& setting,
                                          std::uint32_t attributes) {
    if (Power().writeSettingAttributes == nullptr) {
        return kPowerEntryPointMissing;
    }
    const GUID subgroupGuid = ToGuid(subgroup);
    const GUID settingGuid = ToGuid(setting);
    return Power().writeSettingAttributes(&subgroupGuid, &settingGuid, attributes);
}

std::uint32_t ReadActualOverlayScheme(PowerGuid& overlay) {
    if (Power().getActualOverlayScheme == nullptr) {
        return kPowerEntryPointMissing;
    }
    GUID guid{};
    const DWORD error = Power().getActualOverlayScheme(&guid);
    if (error == ERROR_SUCCESS) {
        overlay = FromGuid(guid);
    }
    return error;
}

std::uint32_t SetActiveOverlayScheme(const PowerGuid& overlay) {
    if (Power().setActiveOverlayScheme == nullptr) {
        return kPowerEntryPointMissing;
    }
    return Power().setActiveOverlayScheme(ToGuid(overlay));
}

std::vector<std::wstring> ListPowerSchemeKeys() {
    std::vector<std::wstring> names;
    const ReadKey key(HKEY_LOCAL_MACHINE, kPowerSchemesKey, KEY_READ);
    if (key.Get() == nullptr) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = static_cast<DWORD>(std::size(name));
        const LONG error =
            RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_MORE_DATA) {
            continue;  // too long for a scheme key, whose name is a GUID
        }
        if (error != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

bool RegistryValuePresent(RegistryRoot root, const std::wstring& key, const std::wstring& value) {
    const ReadKey opened(
        root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key,
        KEY_QUERY_VALUE);
    if (opened.Get() == nullptr) {
        return false;
    }
    const LONG error =
        RegQueryValueExW(opened.Get(), value.c_str(), nullptr, nullptr, nullptr, nullptr);
    return error == ERROR_SUCCESS || error == ERROR_MORE_DATA;
}

std::wstring PowercfgPath() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        return std::wstring();
    }
    return std::wstring(folder, length) + L"\\powercfg.exe";
}

bool SetOwnExecutionState(std::uint32_t flags) {
    return SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags)) != 0;
}

namespace {
using SetTimerResolutionFn = LONG(NTAPI*)(ULONG, BOOLEAN, PULONG);
using QueryTimerResolutionFn = LONG(NTAPI*)(PULONG, PULONG, PULONG);
}  // namespace

std::optional<std::uint32_t> SetTimerResolution(std::uint32_t resolution, bool set) {
    static const auto function =
        win32::LookUp<SetTimerResolutionFn>(L"ntdll.dll", "NtSetTimerResolution");
    if (function == nullptr) {
        return std::nullopt;
    }
    ULONG current = 0;
    if (function(resolution, set ? TRUE : FALSE, &current) < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(current);
}

std::optional<TimerResolutions> QueryTimerResolution() {
    static const auto function =
        win32::LookUp<QueryTimerResolutionFn>(L"ntdll.dll", "NtQueryTimerResolution");
    if (function == nullptr) {
        return std::nullopt;
    }
    ULONG minimum = 0;
    ULONG maximum = 0;
    ULONG current = 0;
    if (function(&minimum, &maximum, &current) < 0) {
        return std::nullopt;
    }
    return TimerResolutions{minimum, maximum, current};
}

}  // namespace cv::platform
