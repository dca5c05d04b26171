#include <algorithm>
#include <unordered_map>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/SettingsKeys.h"

namespace cv::settings_keys {

namespace {

// Keys of older versions, read into their successors; a save writes only the successors.
struct OlderKey {
    const wchar_t* key;
    const wchar_t* successor;  // null: kept outside the file
    bool list;                 // entries merged into the successor's list
};
constexpr OlderKey kOlderKeys[] = {
    {L"RoundRobinAffinitySelection", L"LevelonDropOneRandomCore", false},
    {L"LogOutOfControlProcessesRestored2", L"LogLevelonEnd", false},
    {L"LogOutOfControlProcessesRestrained", L"LogLevelonBegin", false},
    {L"ExcludeForegroundProcesses", L"ExcludeForegroundProcesses2", false},
    {L"DefaultAffinities", L"DefaultAffinitiesEx", true},
    {L"DisableThreadPriorityBoostBoost", L"DisableThreadPriorityBoost", true},
    {L"DefaultPowerSchemesEx", L"DefaultPowerSchemes", true},
    {L"AllowDisplaysPreventPC", L"PC", true},
    {L"HideViewProcessIcons2", nullptr, false},
};

void ReportOlderKey(const OlderKey& older, SettingsFindings& findings, bool serverEdition) {
    SettingsFindings::Key key = findings.ForEntry(*findings.FirstEntryOf(older.key));
    if (older.successor == nullptr) {
        key.Report(FindingKind::kRewritten,
                   L"is kept in the registry value ShowProcessIcons; a "
                   L"save does not write this key");
    } else if (older.list) {
        key.Report(FindingKind::kRewritten, FormatText(L"is an older key: its entries are read "
                                                       L"into %s, where a save writes them",
                                                       older.successor));
    } else if (serverEdition && EqualsIgnoreCase(older.key, L"ExcludeForegroundProcesses")) {
        key.Report(FindingKind::kDropped,
                   L"is an older key that server editions ignore; a save drops it");
    } else if (findings.FirstEntryOf(older.successor)) {
        key.Report(FindingKind::kDropped,
                   FormatText(L"is an older name of %s, which is present too and wins; a save "
                              L"drops this key",
                              older.successor));
    } else {
        key.Report(FindingKind::kRewritten,
                   FormatText(L"is an older name of %s; read as that, the name a save writes",
                              older.successor));
    }
}

bool StartsAsComment(std::wstring_view text) {
    const std::wstring trimmed = Trim(text);
    return !trimmed.empty() && (trimmed[0] == L';' || trimmed[0] == L'#');
}

}  // namespace

// What a save loses of the document as a whole: lines that are no key of this version, keys
// with blanks around their name, repeated keys, and the older keys.
void ReportDocumentFindings(SettingsFindings& findings, bool serverEdition) {
    const ConfigDocument& document = findings.Document();
    // Every name a key may have, in lower case, to the name as the schema writes it.
    static const std::unordered_map<std::wstring, const wchar_t*> kNames = [] {
        std::unordered_map<std::wstring, const wchar_t*> names;
        for (const KeyEntry& entry : AllKeys()) {
            names.emplace(ToLower(entry.key), entry.key);
        }
        for (const auto& older : kOlderKeys) {
            names.emplace(ToLower(older.key), older.key);
        }
        return names;
    }();
    const auto known = [](std::wstring_view key) -> const wchar_t* {
        const auto found = kNames.find(ToLower(key));
        return found == kNames.end() ? nullptr : found->second;
    };
    std::unordered_map<std::wstring, std::size_t> firstOf;
    const std::size_t count =
        std::min({document.sections.size(), document.keys.size(), document.values.size()});
    for (std::size_t i = 0; i < count; ++i) {
        const std::wstring& key = document.keys[i];
        if (known(key) == nullptr) {
            SettingsFindings::Key line = findings.ForEntry(i);
            if (StartsAsComment(key.empty() ? document.values[i] : key)) {
                line.Report(FindingKind::kDropped, L"is a comment; a save drops it");
            } else if (Trim(key).empty()) {
                line.Report(FindingKind::kDropped,
                            L"has no key before \"=\" (or no \"=\" at all): " +
                                Quoted(document.values[i]) + L"; a save drops it");
            } else if (const wchar_t* name = known(Trim(key))) {
                line.Report(FindingKind::kDropped,
                            FormatText(L"has blanks around the key name, so it is not read as "
                                       L"%s; a save drops it",
                                       name));
            } else {
                line.Report(FindingKind::kDropped,
                            L"is not a setting of this version; a save drops it");
            }
            continue;
        }
        const auto [first, added] = firstOf.try_emplace(ToLower(key), i);
        if (!added) {
            findings.ForEntry(i).Report(
                FindingKind::kDropped,
                FormatText(L"repeats the key of line %u, which is the one read; a save drops "
                           L"this one",
                           findings.LineOf(first->second)));
        }
    }
    for (const auto& older : kOlderKeys) {
        if (findings.FirstEntryOf(older.key)) {
            ReportOlderKey(older, findings, serverEdition);
        }
    }
}

}  // namespace cv::settings_keys
