#pragma once
// The configuration check: reads a corvex.ini exactly as the engine's loader does and tells,
// line by line, everything that reading drops, clamps or rewrites, so that a user can see what
// the engine will make of a hand-edited file before it does so.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigDocument.h"
#include "config/ConfigFindings.h"

namespace cv {

class ConfigSettings;
struct SettingsEnvironment;

struct ConfigFinding {
    std::wstring section;    // the section the entry is in (the schema's when it is absent)
    std::wstring key;        // empty for a line that is not a key
    std::uint32_t line = 0;  // 1-based; 0 when the key is not in the file
    FindingKind kind = FindingKind::kDropped;
    std::wstring message;
    bool operator==(const ConfigFinding&) const = default;
    // "line 12 [AdvancedRules] WatchdogRules2: entry 3 (`...`) has 11 fields, 12 needed; dropped"
    std::wstring Text() const;
};

// Collects the findings of one ReadSettings call, each with the key being read and its line.
class SettingsFindings {
  public:
    // entryLines: the line of each entry of the document (ConfigTextLayout); without them the
    // findings carry no line.
    SettingsFindings(const ConfigDocument& document, std::vector<std::uint32_t> entryLines = {});

    // The findings about one key, at its first entry in the document (the one that is read).
    class Key final : public FindingSink {
      public:
        void Report(FindingKind kind, std::wstring message) override;
        bool Present() const { return entry_.has_value(); }

      private:
        friend class SettingsFindings;
        Key(SettingsFindings& owner, std::wstring section, std::wstring key,
            std::optional<std::size_t> entry);
        SettingsFindings& owner_;
        std::wstring section_;
        std::wstring key_;
        std::optional<std::size_t> entry_;
    };
    Key ForKey(std::wstring_view schemaSection, std::wstring_view key);
    // The findings about one entry of the document, whatever its key.
    Key ForEntry(std::size_t entry);

    std::optional<std::size_t> FirstEntryOf(std::wstring_view key) const;
    std::uint32_t LineOf(std::size_t entry) const;
    const ConfigDocument& Document() const { return document_; }

    std::vector<ConfigFinding> findings;

  private:
    const ConfigDocument& document_;
    std::vector<std::uint32_t> entryLines_;
};

struct ConfigCheckReport {
    // False when the engine cannot read the bytes at all (a UTF-16 big-endian file).
    bool readable = true;
    std::vector<ConfigFinding> findings;  // in line order

    bool HasFindings() const { return !findings.empty(); }
    // Whether anything of the file is lost, as opposed to read in another form.
    bool Dropped() const;
    // One finding a line, each ending in CR LF; empty when there are none.
    std::wstring Text() const;
};

// What the engine's features find in the settings as read, beyond what reading finds (such as a
// file the settings name that the engine would refuse). It reports through the findings, at the
// key concerned, and changes nothing.
using SettingsCheck = std::function<void(const ConfigSettings&, SettingsFindings&)>;

// Reads the bytes of a configuration file as the engine's loader does, on a settings object of
// its own built from the environment (processors, power plans), and reports every finding, and
// those of the extra check. Changes nothing: no registry value is written and no message is
// shown.
ConfigCheckReport CheckConfigText(std::string_view bytes, const SettingsEnvironment& environment,
                                  const SettingsCheck& extra = {});
// The same for the file at a path, opened for reading only and never created: a file that is
// missing or cannot be read is reported as such, with readable false.
ConfigCheckReport CheckConfigFile(const std::wstring& path, const SettingsEnvironment& environment,
                                  const SettingsCheck& extra = {});

}  // namespace cv
