#include "actionlog/Statistics.h"

#include "platform/Registry.h"
#include "platform/System.h"

namespace cv {

namespace {
using platform::RegistryRoot;
constexpr wchar_t kCountersKey[] = L"Software\\Tarvel\\Counters";
}  // namespace

namespace {

std::wstring CountersKey(const std::wstring& subkey) {
    return subkey.empty() ? std::wstring(kCountersKey)
                          : std::wstring(kCountersKey) + L"\\" + subkey;
}

}  // namespace

std::uint64_t ReadCounter(const std::wstring& valueName, const std::wstring& subkey) {
    const auto bytes =
        platform::ReadRegistryBinary(RegistryRoot::LocalMachine, CountersKey(subkey), valueName);
    std::uint64_t value = 0;
    if (bytes && bytes->size() == 8) {
        for (int i = 7; i >= 0; --i) {
            value = (value << 8) | (*bytes)[static_cast<std::size_t>(i)];
        }
    }
    return value;
}

void SetCounter(const std::wstring& valueName, std::uint64_t value, const std::wstring& subkey) {
    std::vector<std::uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    platform::WriteRegistryBinary(RegistryRoot::LocalMachine, CountersKey(subkey), valueName,
                                  bytes);
}

void AddToCounter(const std::wstring& valueName, std::uint64_t amount, const std::wstring& subkey) {
    SetCounter(valueName, ReadCounter(valueName, subkey) + amount, subkey);
}

std::vector<std::uint8_t> EnsureInstallationId() {
    auto id = platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kCountersKey, L"UUID");
    if (id && id->size() == 16) {
        return *id;
    }
    const std::vector<std::uint8_t> fresh = platform::NewUuid();
    if (fresh.size() == 16) {
        platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kCountersKey, L"UUID", fresh);
    }
    return platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kCountersKey, L"UUID")
        .value_or(std::vector<std::uint8_t>());
}

}  // namespace cv
