#pragma once
// Machine-wide statistics under HKEY_LOCAL_MACHINE\Software\Tarvel\Counters.
#include <cstdint>
#include <string>
#include <vector>

namespace cv {

// Adds to an 8-byte counter value, creating it (and the key) when missing. A subkey names a key
// below the counters key.
void AddToCounter(const std::wstring& valueName, std::uint64_t amount,
                  const std::wstring& subkey = L"");
// Writes an 8-byte value, such as a FILETIME.
void SetCounter(const std::wstring& valueName, std::uint64_t value,
                const std::wstring& subkey = L"");
std::uint64_t ReadCounter(const std::wstring& valueName, const std::wstring& subkey = L"");
// The installation's random identifier, created once.
std::vector<std::uint8_t> EnsureInstallationId();

}  // namespace cv
