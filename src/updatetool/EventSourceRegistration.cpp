#include "updatetool/EventSourceRegistration.h"

#include <algorithm>
#include <vector>

#include "common/WideString.h"
#include "platform/Registry.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kMessageFileValue[] = L"EventMessageFile";
constexpr wchar_t kTypesValue[] = L"TypesSupported";
constexpr wchar_t kEngineImage[] = L"vigilor.exe";

// The files of a message-file value: separated by semicolons, blanks around them ignored.
std::vector<std::wstring> MessageFiles(const std::wstring& value) {
    std::vector<std::wstring> files;
    std::size_t at = 0;
    while (at <= value.size()) {
        const std::size_t end = std::min(value.find(L';', at), value.size());
        std::wstring file = value.substr(at, end - at);
        const auto first = file.find_first_not_of(L" \t");
        if (first != std::wstring::npos) {
            file = file.substr(first, file.find_last_not_of(L" \t") - first + 1);
            files.push_back(std::move(file));
        }
        at = end + 1;
    }
    return files;
}

std::wstring BaseName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

EventSourceRegistration RegisterEngineEventSource(const std::wstring& installationFolder) {
    if (installationFolder.empty()) {
        return EventSourceRegistration::Failed;
    }
    std::wstring folder = installationFolder;
    if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) {
        folder.pop_back();
    }
    const std::wstring engine = folder + L"\\" + kEngineImage;
    const auto existing =
        platform::ReadRegistryText(RegistryRoot::LocalMachine, kEventSourceKey, kMessageFileValue);
    const std::vector<std::wstring> files =
        existing ? MessageFiles(existing->text) : std::vector<std::wstring>();
    bool current = false;
    for (const std::wstring& file : files) {
        if (EqualsIgnoreCase(file, engine)) {
            current = true;
        } else if (!EqualsIgnoreCase(BaseName(file), kEngineImage)) {
            return EventSourceRegistration::KeptOther;
        }
    }
    const bool typesPresent =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kEventSourceKey, kTypesValue)
            .has_value();
    if (current) {
        if (!typesPresent && !platform::WriteRegistryDword(RegistryRoot::LocalMachine,
                                                           kEventSourceKey, kTypesValue,
                                                           kEventTypesSupported)) {
            return EventSourceRegistration::Failed;
        }
        return EventSourceRegistration::AlreadyCurrent;
    }
    const bool written =
        platform::WriteRegistryExpandString(RegistryRoot::LocalMachine, kEventSourceKey,
                                            kMessageFileValue, engine) &&
        platform::WriteRegistryDword(RegistryRoot::LocalMachine, kEventSourceKey, kTypesValue,
                                     kEventTypesSupported);
    return written ? EventSourceRegistration::Written : EventSourceRegistration::Failed;
}

}  // namespace cv
