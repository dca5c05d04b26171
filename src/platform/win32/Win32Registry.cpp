#include "platform/Registry.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

namespace {

HKEY RootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// An open registry key, closed when it goes out of scope.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    bool Open(RegistryRoot root, const std::wstring& path, REGSAM access) {
        return RegOpenKeyExW(RootKey(root), path.c_str(), 0, access | KEY_WOW64_64KEY, &key_) ==
               ERROR_SUCCESS;
    }
    bool Create(RegistryRoot root, const std::wstring& path, REGSAM access) {
        return RegCreateKeyExW(RootKey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               access | KEY_WOW64_64KEY, nullptr, &key_,
                               nullptr) == ERROR_SUCCESS;
    }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::optional<std::vector<std::uint8_t>> ReadRaw(RegistryRoot root, const std::wstring& path,
                                                 const std::wstring& value, DWORD wantedType) {
    RegistryKey key;
    if (!key.Open(root, path, KEY_READ)) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.Get(), value.c_str(), nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != wantedType) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data(size);
    if (RegQueryValueExW(key.Get(), value.c_str(), nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    data.resize(size);
    return data;
}

bool WriteRaw(RegistryRoot root, const std::wstring& path, const std::wstring& value, DWORD type,
              const void* data, std::size_t size) {
    RegistryKey key;
    if (!key.Create(root, path, KEY_SET_VALUE)) {
        return false;
    }
    return RegSetValueExW(key.Get(), value.c_str(), 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

}  // namespace

bool RegistryKeyExists(RegistryRoot root, const std::wstring& key) {
    RegistryKey opened;
    return opened.Open(root, key, KEY_READ);
}

bool CreateRegistryKey(RegistryRoot root, const std::wstring& key) {
    RegistryKey created;
    return created.Create(root, key, KEY_READ);
}

std::optional<std::uint32_t> ReadRegistryDword(RegistryRoot root, const std::wstring& key,
                                               const std::wstring& value) {
    const auto data = ReadRaw(root, key, value, REG_DWORD);
    if (!data || data->size() != 4) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>((*data)[0]) | (static_cast<std::uint32_t>((*data)[1]) << 8) |
           (static_cast<std::uint32_t>((*data)[2]) << 16) |
           (static_cast<std::uint32_t>((*data)[3]) << 24);
}

std::optional<std::vector<std::uint8_t>> ReadRegistryBinary(RegistryRoot root,
                                                            const std::wstring& key,
                                                            const std::wstring& value) {
    return ReadRaw(root, key, value, REG_BINARY);
}

std::optional<std::wstring> ReadRegistryString(RegistryRoot root, const std::wstring& key,
                                               const std::wstring& value) {
    const auto data = ReadRaw(root, key, value, REG_SZ);
    if (!data) {
        return std::nullopt;
    }
    std::wstring text(data->size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        memcpy(text.data(), data->data(), text.size() * sizeof(wchar_t));
    }
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

bool WriteRegistryDword(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                        std::uint32_t data) {
    const DWORD raw = data;
    return WriteRaw(root, key, value, REG_DWORD, &raw, sizeof raw);
}

bool WriteRegistryBinary(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                         const std::vector<std::uint8_t>& data) {
    return WriteRaw(root, key, value, REG_BINARY, data.data(), data.size());
}

bool WriteRegistryString(RegistryRoot root, const std::wstring& key, const std::wstring& value,
                         const std::wstring& data) {
    return WriteRaw(root, key, value, REG_SZ, data.c_str(), (data.size() + 1) * sizeof(wchar_t));
}

bool DeleteRegistryValue(RegistryRoot root, const std::wstring& key, const std::wstring& value) {
    RegistryKey opened;
    if (!opened.Open(root, key, KEY_SET_VALUE)) {
        return false;
    }
    return RegDeleteValueW(opened.Get(), value.c_str()) == ERROR_SUCCESS;
}

}  // namespace cv::platform
