#pragma once
// Power schemes through powrprof.dll. The real backend loads the library and looks up its entry
// points once per process; a missing entry point makes its call fail with kPowerEntryPointMissing.
// Every call returns a Windows error code (kPowerOk on success), as powrprof itself does.
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace cv::platform {

// A GUID laid out as Windows lays it out.
struct PowerGuid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    auto operator<=>(const PowerGuid&) const = default;
};

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case, without braces, as the registry names
// scheme keys.
inline std::wstring FormatPowerGuid(const PowerGuid& guid) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    const auto put = [&](std::uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
            text += kDigits[(value >> shift) & 0xF];
        }
    };
    put(guid.data1, 8);
    text += L'-';
    put(guid.data2, 4);
    text += L'-';
    put(guid.data3, 4);
    text += L'-';
    for (std::size_t i = 0; i < guid.data4.size(); ++i) {
        if (i == 2) {
            text += L'-';
        }
        put(guid.data4[i], 2);
    }
    return text;
}

constexpr std::uint32_t kPowerOk = 0;
constexpr std::uint32_t kPowerFileNotFound = 2;         // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kPowerInvalidParameter = 87;    // ERROR_INVALID_PARAMETER
constexpr std::uint32_t kPowerNotImplemented = 120;     // ERROR_CALL_NOT_IMPLEMENTED
constexpr std::uint32_t kPowerEntryPointMissing = 127;  // ERROR_PROC_NOT_FOUND
constexpr std::uint32_t kPowerMoreData = 234;           // ERROR_MORE_DATA
constexpr std::uint32_t kPowerNoMoreItems = 259;        // ERROR_NO_MORE_ITEMS

// Which powrprof entry points were found.
struct PowerEntryPoints {
    // PowerSetActiveScheme, PowerGetActiveScheme, PowerEnumerate, PowerReadFriendlyName,
    // PowerDuplicateScheme, PowerWriteFriendlyName, PowerWriteDescription, PowerDeleteScheme,
    // PowerRead/WriteACValueIndex, PowerRead/WriteDCValueIndex, PowerReadPossibleValue and
    // PowerWriteSettingAttributes, every one of them.
    bool required = false;
    bool getActualOverlay = false;  // PowerGetActualOverlayScheme
    bool setActiveOverlay = false;  // PowerSetActiveOverlayScheme
};
PowerEntryPoints FindPowerEntryPoints();

// PowerSetActiveScheme.
std::uint32_t SetActivePowerScheme(const PowerGuid& scheme);
// PowerGetActiveScheme; the buffer it hands back is released with LocalFree.
std::uint32_t ReadActivePowerScheme(PowerGuid& scheme);
// PowerEnumerate of the index-th scheme: a size query, which answers ERROR_MORE_DATA while there
// are schemes, then the read into a buffer 256 bytes larger than asked. The first failing call's
// error ends the enumeration.
std::uint32_t EnumeratePowerScheme(std::uint32_t index, PowerGuid& scheme);
// PowerReadFriendlyName of a scheme: a size query accepting ERROR_MORE_DATA, then the read into a
// buffer 1024 bytes larger.
std::uint32_t ReadPowerSchemeName(const PowerGuid& scheme, std::wstring& name);
// PowerDuplicateScheme; the new scheme's buffer is released with LocalFree.
std::uint32_t DuplicatePowerScheme(const PowerGuid& source, PowerGuid& copy);
// PowerWriteFriendlyName and PowerWriteDescription with a buffer of bufferBytes bytes: the text,
// its terminating null character and zeros up to that size.
std::uint32_t WritePowerSchemeName(const PowerGuid& scheme, const std::wstring& name,
                                   std::uint32_t bufferBytes);
std::uint32_t WritePowerSchemeDescription(const PowerGuid& scheme, const std::wstring& description,
                                          std::uint32_t bufferBytes);
// PowerDeleteScheme.
std::uint32_t DeletePowerScheme(const PowerGuid& scheme);
// PowerReadACValueIndex or PowerReadDCValueIndex, and their write counterparts.
std::uint32_t ReadPowerSettingValue(bool ac, const PowerGuid& scheme, const PowerGuid& subgroup,
                                    const PowerGuid& setting, std::uint32_t& value);
std::uint32_t WritePowerSettingValue(bool ac, const PowerGuid& scheme, const PowerGuid& subgroup,
                                     const PowerGuid& setting, std::uint32_t value);
// PowerReadPossibleValue of a setting as a 4-byte value.
std::uint32_t ReadPowerSettingPossibleValue(const PowerGuid& subgroup, const PowerGuid& setting,
                                            std::uint32_t index, std::uint32_t& value);
// PowerWriteSettingAttributes.
std::uint32_t WritePowerSettingAttributes(const PowerGuid& subgroup, const PowerGuid& setting,
                                          std::uint32_t attributes);
// PowerGetActualOverlayScheme and PowerSetActiveOverlayScheme (zero: no overlay).
std::uint32_t ReadActualOverlayScheme(PowerGuid& overlay);
std::uint32_t SetActiveOverlayScheme(const PowerGuid& overlay);

// Where Windows keeps the power schemes in the registry (HKEY_LOCAL_MACHINE).
inline constexpr wchar_t kPowerSchemesKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Power\\User\\PowerSchemes";
// The names of the subkeys of kPowerSchemesKey, one per scheme the system keeps; empty when the
// key cannot be read.
std::vector<std::wstring> ListPowerSchemeKeys();
// Whether the value exists, whatever its type: the markers a product leaves to say what the user
// chose.
bool RegistryValuePresent(RegistryRoot root, const std::wstring& key, const std::wstring& value);

// "<system directory>\powercfg.exe"; empty when the system directory cannot be read.
std::wstring PowercfgPath();

// SetThreadExecutionState for the calling thread: keeps the system (and with kExecutionDisplay the
// display) from idling into sleep until the idle timer runs out again. False when it failed.
constexpr std::uint32_t kExecutionSystemRequired = 0x00000001;  // ES_SYSTEM_REQUIRED
constexpr std::uint32_t kExecutionDisplayRequired = 0x00000002;  // ES_DISPLAY_REQUIRED
bool SetOwnExecutionState(std::uint32_t flags);

// NtSetTimerResolution (100-ns units), looked up at run time: with `set` it requests the
// resolution and reports the one now in force; without, it releases the program's request. None
// when the call failed or the entry point is missing.
std::optional<std::uint32_t> SetTimerResolution(std::uint32_t resolution, bool set);
struct TimerResolutions {
    std::uint32_t minimum = 0;  // the coarsest
    std::uint32_t maximum = 0;  // the finest
    std::uint32_t current = 0;
};
// NtQueryTimerResolution; none when it failed.
std::optional<TimerResolutions> QueryTimerResolution();

}  // namespace cv::platform
