#pragma once
// Machine-wide statistics under HKEY_LOCAL_MACHINE\Software\Tarvel\Counters.
#include <cstdint>
#include <string>
#include <vector>

namespace cv {

// Adds to an 8-byte counter value, creating it (and the key) when missing.
void AddToCounter(const std::wstring& valueName, std::uint64_t amount);
std::uint64_t ReadCounter(const std::wstring& valueName);
// The installation's random identifier, created once.
std::vector<std::uint8_t> EnsureInstallationId();

}  // namespace cv
