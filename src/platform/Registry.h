#pragma once
// Registry keys and values under HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (64-bit view).
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cv::platform {

enum class RegistryRoot { LocalMachine, CurrentUser };

bool RegistryKeyExists(RegistryRoot root, const std::wstring& key);
bool CreateRegistryKey(RegistryRoot root, const std::wstring& key);

// Reads give no value when the key or the value is missing or the value has another type.
std::optional<std::uint32_t> ReadRegistryDword(RegistryRoot root, const std::wstring& key,
                                               const std::wstring& value);
std::optional<std::vector<std::uint8_t>> ReadRegistryBinary(RegistryRoot root,
                                                            const std::wstring& key,
                                                            const std::wstring& value);
std::optional<std::wstring> ReadRegistryString(RegistryRoot root, const std::wstring& key,
                                               const std::wstring& value);

// Writes create the key when it is missing.
bool WriteRegistryDword(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                        std::uint32_t data);
bool WriteRegistryBinary(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                         const std::vector<std::uint8_t>& data);
bool WriteRegistryString(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                         const std::wstring& data);

bool DeleteRegistryValue(RegistryRoot root, const std::wstring& key, const std::wstring& value);

// A text value of either kind (REG_SZ or REG_EXPAND_SZ), of any length, read unexpanded; none
// when it is missing, of another type, or cannot be read.
struct RegistryText {
    std::wstring text;
    bool expand = false;  // REG_EXPAND_SZ
};
std::optional<RegistryText> ReadRegistryText(RegistryRoot root, const std::wstring& key,
                                             const std::wstring& value);
bool WriteRegistryText(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                       const RegistryText& data);
// REG_EXPAND_SZ values, such as the system Path: read unexpanded, written with their terminating
// zero.
inline std::optional<std::wstring> ReadRegistryExpandString(RegistryRoot root,
                                                            const std::wstring& key,
                                                            const std::wstring& value) {
    std::optional<RegistryText> read = ReadRegistryText(root, key, value);
    if (!read || !read->expand) {
        return std::nullopt;
    }
    return std::move(read->text);
}
inline bool WriteRegistryExpandString(RegistryRoot root, const std::wstring& key,
                                      const std::wstring& value, const std::wstring& data) {
    return WriteRegistryText(root, key, value, RegistryText{data, true});
}
// SHDeleteKeyW on the tree, then RegDeleteKeyW on the key; true when the tree was deleted.
bool DeleteRegistryTree(RegistryRoot root, const std::wstring& key);

}  // namespace cv::platform
