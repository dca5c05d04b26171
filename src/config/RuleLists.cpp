#include "config/RuleLists.h"

#include <unordered_map>
#include <unordered_set>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/RuleListText.h"

namespace cv {

namespace {

constexpr std::array<const wchar_t*, 6> kEnglishPriorityNames = {
    L"Real Time", L"High", L"Above Normal", L"Normal", L"Below Normal", L"Idle"};

// Entries of the ";"-split lists are trimmed and lower-cased before they are split.
std::wstring NormalEntry(std::wstring_view entry) {
    return ToLower(Trim(entry));
}

// The findings of one entry name it by its number and its text; nothing is built without a sink.
class EntryFindings {
  public:
    EntryFindings(FindingSink* sink, std::size_t number, std::wstring_view text) : sink_(sink) {
        if (sink_ != nullptr) {
            head_ = FormatText(L"entry %u (", number) + Quoted(Trim(text)) + L")";
        }
    }
    explicit operator bool() const { return sink_ != nullptr; }
    // Something about the entry as a whole: "entry 3 (`...`) has no pattern; dropped".
    void Report(FindingKind kind, const std::wstring& message) {
        if (sink_ != nullptr) {
            sink_->Report(kind, head_ + L" " + message);
        }
    }
    // For the readers of its fields: "entry 3 (`...`): count `x` is not a number; read as 0".
    FindingSink* get() {
        if (sink_ == nullptr) {
            return nullptr;
        }
        if (!fields_) {
            fields_.emplace(*sink_, head_ + L": ");
        }
        return &*fields_;
    }

  private:
    FindingSink* sink_;
    std::wstring head_;
    std::optional<PrefixedSink> fields_;
};

// wcstoul with base 0 into 32 bits.
std::uint32_t ReadAutoBase(std::wstring_view text, std::wstring_view what, FindingSink* sink) {
    return static_cast<std::uint32_t>(ReadUnsignedField(text, 0, UINT32_MAX, what, sink));
}

// The comma-grouped lists read their value as one flat run of tokens, in groups of the given
// size; a last group that is short is dropped.
template <typename Visit>
void ForEachGroup(std::wstring_view value, bool semicolons, std::size_t size, FindingSink* sink,
                  Visit visit) {
    const std::vector<std::wstring> tokens = SplitTokens(HideEscapes(value, semicolons), L",");
    std::size_t i = 0;
    std::size_t number = 1;
    for (; i + size <= tokens.size(); i += size, ++number) {
        std::vector<std::wstring> group;
        group.reserve(size);
        for (std::size_t k = 0; k < size; ++k) {
            group.push_back(Trim(RestoreEscapes(tokens[i + k])));
        }
        EntryFindings findings(sink, number, group[0]);
        visit(group, findings);
    }
    if (sink != nullptr && i < tokens.size()) {
        EntryFindings findings(sink, number, RestoreEscapes(tokens[i]));
        findings.Report(FindingKind::kDropped,
                        FormatText(L"is cut short: the list ends after %u of its %u fields; "
                                   L"dropped",
                                   tokens.size() - i, size));
    }
}

// An entry of the comma-grouped lists without a pattern matches nothing, and an empty token
// vanishes on reading, so it is dropped at once rather than at the next save.
bool HasPattern(const std::wstring& pattern, EntryFindings& findings) {
    if (!pattern.empty()) {
        return true;
    }
    findings.Report(FindingKind::kDropped, L"has no pattern; dropped");
    return false;
}

std::wstring GroupedPattern(const RulePattern& pattern, bool semicolons) {
    return EscapeName(pattern.text, semicolons, true);
}

// A ";"-separated field of KeepRunningProcesses that ends in a backslash is followed, when
// written, by one blank: without it the reader would take the backslash and the separator for
// an escape. The reader takes that blank away again.
std::wstring GuardKeepRunningField(std::wstring_view field) {
    std::wstring written = EscapeName(field, true, false);
    const std::size_t lastNonBlank = written.find_last_not_of(L' ');
    if (lastNonBlank != std::wstring::npos && written[lastNonBlank] == L'\\') {
        written.push_back(L' ');
    }
    return written;
}

std::wstring UnguardKeepRunningField(std::wstring field) {
    const std::size_t lastNonBlank = field.find_last_not_of(L' ');
    if (lastNonBlank != std::wstring::npos && field[lastNonBlank] == L'\\' &&
        lastNonBlank + 1 < field.size()) {
        field.pop_back();
    }
    return field;
}

}  // namespace

void ReadNameList(std::wstring_view value, const NameListFormat& format, NameList& names,
                  FindingSink* findings) {
    const std::wstring text = format.escaped ? HideEscapes(value, false) : std::wstring(value);
    std::size_t number = 0;
    for (const auto& piece : SplitTokens(text, L",")) {
        ++number;
        std::wstring name = Trim(format.escaped ? RestoreEscapes(piece) : piece);
        if (name.empty()) {
            EntryFindings(findings, number, L"")
                .Report(FindingKind::kDropped, L"is blank; dropped");
            continue;
        }
        names.push_back({format.lowerOnRead ? ToLower(name) : std::move(name)});
    }
}

NameSet ReadNameSet(std::wstring_view value, const NameListFormat& format, FindingSink* findings) {
    NameList names;
    ReadNameList(value, format, names, findings);
    NameSet set;
    for (auto& name : names) {
        const std::wstring text = name.text;
        if (!set.insert(std::move(name)).second && findings != nullptr) {
            findings->Report(FindingKind::kDropped,
                             Quoted(text) + L" is listed more than once; the repeat is dropped");
        }
    }
    return set;
}

namespace {

// Names compared ignoring case, by their place in the list, so that no lower-cased copy is made.
struct FoldedHash {
    const NameList* names;
    std::size_t operator()(std::size_t index) const {
        std::size_t hash = 14695981039346656037ull;
        for (const wchar_t c : (*names)[index].text) {
            hash = (hash ^ static_cast<std::size_t>(ToLowerChar(c))) * 1099511628211ull;
        }
        return hash;
    }
};
struct FoldedEqual {
    const NameList* names;
    bool operator()(std::size_t a, std::size_t b) const {
        return EqualsIgnoreCase((*names)[a].text, (*names)[b].text);
    }
};

}  // namespace

void RemoveDuplicateNames(NameList& names, FindingSink* findings) {
    std::unordered_set<std::size_t, FoldedHash, FoldedEqual> seen(names.size(), FoldedHash{&names},
                                                                  FoldedEqual{&names});
    std::vector<bool> keep(names.size(), true);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].text.empty() || seen.insert(i).second) {
            continue;
        }
        keep[i] = false;
        if (findings != nullptr) {
            findings->Report(FindingKind::kDropped, Quoted(names[i].text) +
                                                        L" is listed more than once; the repeat "
                                                        L"is dropped");
        }
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (keep[i]) {
            if (kept != i) {
                names[kept] = std::move(names[i]);
            }
            ++kept;
        }
    }
    names.resize(kept);
}

namespace {

template <typename Names>
std::wstring WriteNames(const Names& names, const NameListFormat& format) {
    std::vector<std::wstring> pieces;
    pieces.reserve(names.size());
    for (const auto& name : names) {
        pieces.push_back(format.escaped ? EscapeName(name.text, false, true) : name.text);
    }
    const std::wstring text = JoinWithCommas(pieces);
    return format.lowerOnWrite ? ToLower(text) : text;
}

// The ";"-split lists with a pattern and numbers: the pattern up to the first ";", which must
// be neither missing nor first.
std::optional<std::size_t> PatternEnd(const std::wstring& text, EntryFindings& findings) {
    const std::size_t semicolon = text.find(L';');
    if (semicolon == std::wstring::npos) {
        findings.Report(FindingKind::kDropped, L"has no \";\" after its pattern; dropped");
        return std::nullopt;
    }
    if (semicolon == 0) {
        findings.Report(FindingKind::kDropped, L"has no pattern; dropped");
        return std::nullopt;
    }
    return semicolon;
}

}  // namespace

std::wstring WriteNameList(const NameList& names, const NameListFormat& format) {
    if (!format.dedupeOnWrite) {
        return WriteNames(names, format);
    }
    NameList unique = names;
    RemoveDuplicateNames(unique);
    return WriteNames(unique, format);
}

std::wstring WriteNameSet(const NameSet& names, const NameListFormat& format) {
    return WriteNames(names, format);
}

std::vector<InstanceLimitRule> ReadInstanceLimits(std::wstring_view value, FindingSink* findings) {
    std::vector<InstanceLimitRule> rules;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(value, L",")) {
        EntryFindings found(findings, ++number, entry);
        const std::wstring text = NormalEntry(entry);
        const auto semicolon = PatternEnd(text, found);
        if (!semicolon) {
            continue;
        }
        rules.push_back({{text.substr(0, *semicolon)},
                         ReadDecimalField(text.substr(*semicolon + 1), L"count", found.get())});
    }
    return rules;
}

std::wstring WriteInstanceLimits(const std::vector<InstanceLimitRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%d", rule.pattern.text, rule.count));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<ThrottleRule> ReadThrottles(std::wstring_view value, FindingSink* findings) {
    std::vector<ThrottleRule> rules;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(value, L",")) {
        EntryFindings found(findings, ++number, entry);
        const std::wstring text = NormalEntry(entry);
        const auto semicolon = PatternEnd(text, found);
        if (!semicolon) {
            continue;
        }
        const std::int32_t level =
            ReadDecimalField(text.substr(*semicolon + 1), L"level", found.get());
        if (level > 0) {
            rules.push_back({{text.substr(0, *semicolon)}, level});
        } else {
            found.Report(FindingKind::kDropped,
                         FormatText(L"has level %d, not above 0; dropped", level));
        }
    }
    return rules;
}

std::wstring WriteThrottles(const std::vector<ThrottleRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%d", rule.pattern.text, rule.level));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<OneTimeThrottleRule> ReadOneTimeThrottles(std::wstring_view value,
                                                      FindingSink* findings) {
    std::vector<OneTimeThrottleRule> rules;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(value, L",")) {
        EntryFindings found(findings, ++number, entry);
        const std::wstring text = NormalEntry(entry);
        const auto first = PatternEnd(text, found);
        if (!first) {
            continue;
        }
        const std::size_t second = text.find(L';', *first + 1);
        if (second == std::wstring::npos) {
            found.Report(FindingKind::kDropped,
                         L"has no \";\" between process id and level; "
                         L"dropped");
            continue;
        }
        const std::wstring processId = text.substr(*first + 1, second - *first - 1);
        const std::wstring level = text.substr(second + 1);
        if (processId.empty() || level.empty()) {
            found.Report(FindingKind::kDropped, processId.empty() ? L"has no process id; dropped"
                                                                  : L"has no level; dropped");
            continue;
        }
        const std::int32_t levelValue = ReadDecimalField(level, L"level", found.get());
        if (levelValue <= 0) {
            found.Report(FindingKind::kDropped,
                         FormatText(L"has level %d, not above 0; dropped", levelValue));
            continue;
        }
        rules.push_back({{text.substr(0, *first)},
                         ReadDecimalField(processId, L"process id", found.get()),
                         levelValue});
    }
    return rules;
}

std::wstring WriteOneTimeThrottles(const std::vector<OneTimeThrottleRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%d;%d", rule.pattern.text, rule.processId, rule.level));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<KeepRunningRule> ReadKeepRunning(std::wstring_view value, std::size_t* missingSeparator,
                                             FindingSink* findings) {
    std::vector<KeepRunningRule> rules;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(HideEscapes(value, true), L",")) {
        EntryFindings found(findings, ++number, RestoreEscapes(entry));
        const std::wstring text = NormalEntry(entry);
        const std::size_t first = text.find(L';');
        if (first == std::wstring::npos) {
            if (missingSeparator != nullptr) {
                ++*missingSeparator;
            }
            found.Report(FindingKind::kDropped,
                         L"has no \";\" between the program and its command; dropped");
            continue;
        }
        KeepRunningRule rule;
        rule.pattern.text = RestoreEscapes(UnguardKeepRunningField(text.substr(0, first)));
        const std::size_t second = text.find(L';', first + 1);
        if (second == std::wstring::npos) {
            rule.command = RestoreEscapes(text.substr(first + 1));
        } else {
            rule.command =
                RestoreEscapes(UnguardKeepRunningField(text.substr(first + 1, second - first - 1)));
            rule.number =
                ReadDecimalField(RestoreEscapes(text.substr(second + 1)), L"number", found.get());
        }
        rules.push_back(std::move(rule));
    }
    return rules;
}

std::wstring WriteKeepRunning(const std::vector<KeepRunningRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%s;%d", GuardKeepRunningField(rule.pattern.text),
                                    GuardKeepRunningField(rule.command), rule.number));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<PowerSchemeRule> ReadPowerSchemes(std::wstring_view value, std::wstring_view olderValue,
                                              const PowerPlanResolver& plans,
                                              std::size_t* missingSeparator, FindingSink* findings,
                                              FindingSink* olderFindings,
                                              std::vector<std::wstring>* unresolved) {
    std::wstring combined(value);
    if (!olderValue.empty()) {
        combined += L",";
        combined += olderValue;
    }
    // The older key's entries follow, and are told under that key with their own numbers.
    const std::size_t ownEntries =
        findings != nullptr || olderFindings != nullptr ? SplitTokens(value, L",").size() : 0;
    std::vector<PowerSchemeRule> rules;
    std::unordered_set<std::wstring> seen;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(combined, L",")) {
        ++number;
        EntryFindings found(number <= ownEntries ? findings : olderFindings,
                            number <= ownEntries ? number : number - ownEntries, entry);
        const std::wstring text = Trim(entry);
        const std::size_t semicolon = text.find(L';');
        if (semicolon == std::wstring::npos) {
            if (missingSeparator != nullptr) {
                ++*missingSeparator;
            }
            found.Report(FindingKind::kDropped,
                         L"has no \";\" between the program and its power plan; dropped");
            continue;
        }
        const std::wstring planName = text.substr(semicolon + 1);
        const std::optional<PlanGuid> plan = plans.Find(planName);
        if (!plan) {
            if (unresolved != nullptr) {
                unresolved->push_back(ToLower(text));
            }
            found.Report(unresolved != nullptr ? FindingKind::kDefaulted : FindingKind::kDropped,
                         L"names the power plan " + Quoted(planName) +
                             L", which this machine does not have" +
                             (unresolved != nullptr ? L"; kept, but not used" : L"; dropped"));
            continue;
        }
        std::wstring pattern = ToLower(text.substr(0, semicolon));
        if (seen.insert(ToLower(pattern)).second) {
            rules.push_back({{std::move(pattern)}, *plan});
        } else {
            found.Report(FindingKind::kDropped,
                         L"repeats the program of an earlier entry, which wins; dropped");
        }
    }
    return rules;
}

std::optional<std::wstring> WritePowerSchemes(const std::vector<PowerSchemeRule>& rules,
                                              const PowerPlanResolver& plans,
                                              const std::vector<std::wstring>& unresolved) {
    const bool named = !rules.empty() && plans.IsAvailable();
    if (!named && unresolved.empty()) {
        return std::nullopt;
    }
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        // Without the service a plan has no name to write; the rule comes back at the next load.
        if (const auto name = named ? plans.NameOf(rule.plan) : std::nullopt) {
            pieces.push_back(rule.pattern.text + L";" + *name);
        }
    }
    pieces.insert(pieces.end(), unresolved.begin(), unresolved.end());
    return ToLower(JoinWithCommas(pieces));
}

InstanceBalancerMap ReadInstanceBalancer(std::wstring_view value, FindingSink* findings) {
    constexpr std::size_t kFieldCount = 6;
    InstanceBalancerMap rules;
    std::unordered_map<std::wstring, std::size_t> entryOf;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(HideEscapes(Trim(value), false), L",")) {
        EntryFindings found(findings, ++number, RestoreEscapes(entry));
        const std::vector<std::wstring> fields = SplitFields(NormalEntry(entry), L';');
        InstanceBalancerRule rule;
        rule.pattern.text = RestoreEscapes(fields[0]);
        if (rule.pattern.text.empty()) {
            found.Report(FindingKind::kDropped, L"has no pattern; dropped");
            continue;
        }
        if (fields.size() > 1) {
            rule.fixedCount = ReadDecimalField(fields[1], L"fixed count", found.get());
        }
        if (fields.size() > 2) {
            rule.processorsPerInstance =
                ReadDecimalField(fields[2], L"processors per instance", found.get());
        }
        if (fields.size() > 3) {
            rule.cpuThreshold = ReadTwoDecimalFloat(fields[3], L"CPU threshold", found.get());
        }
        if (fields.size() > 4) {
            rule.firstProcessor = ReadDecimalField(fields[4], L"first processor", found.get());
        }
        if (fields.size() > 5) {
            // Only the first character counts, as the file's other writers have it.
            const std::wstring& alternate = fields[5];
            rule.alternate = !alternate.empty() && alternate[0] == L'y';
            if (!alternate.empty() && alternate[0] != L'y' && alternate[0] != L'n') {
                found.Report(FindingKind::kDefaulted,
                             L"alternate " + Quoted(fields[5]) + L" is neither Y nor N; read as N");
            }
        }
        if (found && fields.size() > kFieldCount) {
            found.Report(
                FindingKind::kDropped,
                FormatText(L"has %u fields; those after the sixth are dropped", fields.size()));
        }
        const std::wstring key = rule.pattern.text;
        if (found) {
            const auto [earlier, added] = entryOf.try_emplace(key, number);
            if (!added) {
                found.Report(
                    FindingKind::kDropped,
                    FormatText(L"has the pattern of entry %u and replaces it", earlier->second));
                earlier->second = number;
            }
        }
        rules.insert_or_assign(key, std::move(rule));
    }
    return rules;
}

std::wstring WriteInstanceBalancer(const InstanceBalancerMap& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& [key, rule] : rules) {
        pieces.push_back(FormatText(
            L"%s;%d;%d;%1.2f;%d;%c", EscapeName(rule.pattern.text, false, false), rule.fixedCount,
            rule.processorsPerInstance, static_cast<double>(rule.cpuThreshold), rule.firstProcessor,
            rule.alternate ? L'Y' : L'N'));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<CpuLimitRule> ReadCpuLimitRules(std::wstring_view value, FindingSink* findings) {
    constexpr std::size_t kFieldCount = 5;
    static constexpr std::array<const wchar_t*, kFieldCount> kNames = {
        L"pattern", L"threshold", L"time over", L"processors", L"duration"};
    std::vector<CpuLimitRule> rules;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(HideEscapes(Trim(value), false), L",")) {
        EntryFindings found(findings, ++number, RestoreEscapes(entry));
        const std::vector<std::wstring> fields = SplitFields(NormalEntry(entry), L';');
        if (fields.size() < kFieldCount) {
            found.Report(FindingKind::kDropped, FormatText(L"has %u fields, %u needed; dropped",
                                                           fields.size(), kFieldCount));
            continue;
        }
        // An empty field is not a 0 to be guessed: the entry is incomplete.
        std::size_t empty = 0;
        while (empty < kFieldCount && !Trim(fields[empty]).empty()) {
            ++empty;
        }
        if (empty < kFieldCount) {
            found.Report(FindingKind::kDropped,
                         FormatText(L"has an empty %s field; dropped", kNames[empty]));
            continue;
        }
        if (found && fields.size() > kFieldCount) {
            found.Report(
                FindingKind::kDropped,
                FormatText(L"has %u fields; those after the fifth are dropped", fields.size()));
        }
        rules.push_back({{RestoreEscapes(fields[0])},
                         ReadTwoDecimalFloat(fields[1], L"threshold", found.get()),
                         ReadAutoBase(fields[2], L"time over", found.get()),
                         ReadAutoBase(fields[3], L"processors", found.get()),
                         ReadAutoBase(fields[4], L"duration", found.get())});
    }
    return rules;
}

std::wstring WriteCpuLimitRules(const std::vector<CpuLimitRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%1.2f;%u;%u;%u",
                                    EscapeName(rule.pattern.text, false, false),
                                    static_cast<double>(rule.threshold), rule.timeOverMs,
                                    rule.processors, rule.durationMs));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<WatchdogRule> ReadWatchdogRules(std::wstring_view value, FindingSink* findings) {
    constexpr std::size_t kFieldCount = 12;
    static constexpr std::array<const wchar_t*, kFieldCount> kNames = {
        L"pattern",        L"action",     L"metric",  L"threshold", L"duration", L"action value",
        L"memory counter", L"comparison", L"program", L"arguments", L"eleventh", L"twelfth"};
    std::vector<WatchdogRule> rules;
    std::size_t number = 0;
    for (const auto& entry : SplitTokens(HideEscapes(Trim(ToLower(value)), false), L",")) {
        EntryFindings found(findings, ++number, RestoreEscapes(entry));
        std::vector<std::wstring> fields = SplitFields(Trim(entry), L';');
        if (fields.size() < kFieldCount) {
            found.Report(FindingKind::kDropped, FormatText(L"has %u fields, %u needed; dropped",
                                                           fields.size(), kFieldCount));
            continue;
        }
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::wstring& field = fields[i];
            field = TrimRight(field);
            if (!field.empty() && field[0] == L'-') {
                // "-" is how the file writes an empty field; any other text after it is lost.
                if (found && field != L"-") {
                    found.Report(FindingKind::kDropped,
                                 FormatText(L"%s field ", i < kFieldCount ? kNames[i] : L"extra") +
                                     Quoted(RestoreEscapes(field)) +
                                     L" begins with \"-\", which stands for an empty field; "
                                     L"read as empty");
                }
                field.clear();
            }
        }
        if (found) {
            for (std::size_t i = 10; i < fields.size(); ++i) {
                if (!Trim(fields[i]).empty()) {
                    found.Report(FindingKind::kDropped,
                                 FormatText(L"%s field ", i < kFieldCount ? kNames[i] : L"extra") +
                                     Quoted(RestoreEscapes(fields[i])) +
                                     L" is not used; a save writes \"-\" or nothing");
                }
            }
        }
        WatchdogRule rule;
        rule.Pattern.text = RestoreEscapes(fields[0]);
        rule.Action = ReadDecimalField(fields[1], kNames[1], found.get());
        rule.Metric = ReadDecimalField(fields[2], kNames[2], found.get());
        rule.Threshold = ReadTwoDecimalDouble(fields[3], kNames[3], found.get());
        rule.DurationMs = ReadDecimalField(fields[4], kNames[4], found.get());
        rule.ActionValue = ReadUnsignedField(fields[5], 10, UINT64_MAX, kNames[5], found.get());
        rule.MemoryCounter = ReadDecimalField(fields[6], kNames[6], found.get());
        rule.Comparison = ReadDecimalField(fields[7], kNames[7], found.get());
        rule.Program = RestoreEscapes(fields[8]);
        rule.Arguments = RestoreEscapes(fields[9]);
        rules.push_back(std::move(rule));
    }
    return rules;
}

std::wstring WriteWatchdogRules(const std::vector<WatchdogRule>& rules) {
    // Program and arguments are escaped like the pattern: a comma in them would otherwise split
    // the rule and lose it at the next load.
    const auto textOrDash = [](const std::wstring& text) {
        return text.empty() ? std::wstring(L"-") : EscapeName(text, false, false);
    };
    // A field that begins with "-" reads as empty, while " -5" reads as -5: negative numbers get
    // the blank, or a save would turn them into 0.
    const auto number = [](const std::wstring& written) {
        return !written.empty() && written[0] == L'-' ? L" " + written : written;
    };
    std::wstring text;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const WatchdogRule& rule = rules[i];
        text += FormatText(
            L"%s%s;%s;%s;%s;%s;%I64u;%s;%s;%s;%s;%s;%s", i == 0 ? L"" : L",",
            EscapeName(rule.Pattern.text, false, false), number(FormatText(L"%d", rule.Action)),
            number(FormatText(L"%d", rule.Metric)), number(FormatText(L"%.2lf", rule.Threshold)),
            number(FormatText(L"%d", rule.DurationMs)), rule.ActionValue,
            number(FormatText(L"%d", rule.MemoryCounter)),
            number(FormatText(L"%d", rule.Comparison)), textOrDash(rule.Program),
            textOrDash(rule.Arguments), L"-", L"-");
    }
    return text;
}

bool IsSameWatchdogRule(const WatchdogRule& a, const WatchdogRule& b) {
    return a.Action == b.Action && a.Metric == b.Metric && a.Threshold == b.Threshold &&
           a.DurationMs == b.DurationMs && a.ActionValue == b.ActionValue &&
           a.MemoryCounter == b.MemoryCounter && a.Comparison == b.Comparison &&
           EqualsIgnoreCase(a.Program, b.Program) && EqualsIgnoreCase(a.Arguments, b.Arguments);
}

NamedAffinityMap ReadNamedAffinities(std::wstring_view value, FindingSink* findings) {
    NamedAffinityMap affinities;
    std::map<std::wstring, std::size_t> entryOf;
    std::size_t number = 0;
    ForEachGroup(
        value, false, 2, findings,
        [&](const std::vector<std::wstring>& group, EntryFindings& found) {
            ++number;
            if (group[0].empty()) {
                found.Report(FindingKind::kDropped, L"has no name; dropped");
                return;
            }
            if (found) {
                const auto [earlier, added] = entryOf.try_emplace(group[0], number);
                if (!added) {
                    found.Report(
                        FindingKind::kDropped,
                        FormatText(L"has the name of entry %u and replaces it", earlier->second));
                    earlier->second = number;
                }
            }
            affinities.insert_or_assign(group[0], ParseGroupAffinity(group[1], found.get()));
        });
    return affinities;
}

std::wstring WriteNamedAffinities(const NamedAffinityMap& affinities) {
    std::vector<std::wstring> pieces;
    for (const auto& [name, affinity] : affinities) {
        if (!name.empty()) {
            pieces.push_back(EscapeName(name, false, true) + L"," + FormatGroupAffinity(affinity));
        }
    }
    return JoinWithCommas(pieces);
}

std::optional<std::uint32_t> ParsePriorityClassName(std::wstring_view name,
                                                    const PriorityClassNames& displayNames) {
    std::wstring text(name);
    const std::size_t dash = text.find(L'-');
    if (dash != std::wstring::npos) {
        text.erase(dash, 1);
        text = TrimRight(text);
    }
    for (std::size_t i = 0; i < kPriorityClassOrder.size(); ++i) {
        if (!displayNames[i].empty() && EqualsIgnoreCase(text, displayNames[i])) {
            return kPriorityClassOrder[i];
        }
    }
    for (std::size_t i = 0; i < kPriorityClassOrder.size(); ++i) {
        if (EqualsIgnoreCase(text, kEnglishPriorityNames[i])) {
            return kPriorityClassOrder[i];
        }
    }
    return std::nullopt;
}

std::wstring PriorityClassDisplayName(std::uint32_t priorityClass,
                                      const PriorityClassNames& displayNames) {
    for (std::size_t i = 0; i < kPriorityClassOrder.size(); ++i) {
        if (kPriorityClassOrder[i] == priorityClass) {
            // An empty name would be dropped as a token and shift the pairs after it.
            return displayNames[i].empty() ? std::wstring(kEnglishPriorityNames[i])
                                           : displayNames[i];
        }
    }
    return L"ERROR";
}

std::vector<PriorityRule> ReadDefaultPriorities(std::wstring_view value,
                                                const PriorityClassNames& displayNames,
                                                FindingSink* findings) {
    std::vector<PriorityRule> rules;
    ForEachGroup(
        value, false, 2, findings,
        [&](const std::vector<std::wstring>& group, EntryFindings& found) {
            if (!HasPattern(group[0], found)) {
                return;
            }
            if (const auto priorityClass = ParsePriorityClassName(group[1], displayNames)) {
                rules.push_back({{ToLower(group[0])}, *priorityClass});
            } else {
                found.Report(FindingKind::kDropped,
                             L"priority " + Quoted(group[1]) +
                                 L" is not the name of a priority class; dropped");
            }
        });
    return rules;
}

std::wstring WriteDefaultPriorities(const std::vector<PriorityRule>& rules,
                                    const PriorityClassNames& displayNames) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (!rule.pattern.text.empty()) {
            pieces.push_back(GroupedPattern(rule.pattern, false) + L"," +
                             PriorityClassDisplayName(rule.priorityClass, displayNames));
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<ValueRule> ReadDefaultIoPriorities(std::wstring_view value, FindingSink* findings) {
    std::vector<ValueRule> rules;
    ForEachGroup(value, false, 2, findings,
                 [&](const std::vector<std::wstring>& group, EntryFindings& found) {
                     if (HasPattern(group[0], found)) {
                         rules.push_back({{ToLower(group[0])},
                                          ReadDecimalField(group[1], L"value", found.get())});
                     }
                 });
    return rules;
}

std::vector<ValueRule> ReadDefaultMemoryPriorities(std::wstring_view value, FindingSink* findings) {
    std::vector<ValueRule> rules;
    ForEachGroup(value, false, 2, findings,
                 [&](const std::vector<std::wstring>& group, EntryFindings& found) {
                     if (!HasPattern(group[0], found)) {
                         return;
                     }
                     std::int32_t priority = ReadDecimalField(group[1], L"value", found.get());
                     if (priority == 0) {
                         found.Report(FindingKind::kRewritten,
                                      L"memory priority 0 is kept as 1, the lowest there is");
                         priority = 1;
                     }
                     rules.push_back({{ToLower(group[0])}, priority});
                 });
    return rules;
}

std::wstring WriteDefaultValueRules(const std::vector<ValueRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (!rule.pattern.text.empty()) {
            pieces.push_back(FormatText(L"%s,%d", GroupedPattern(rule.pattern, false), rule.value));
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<ValueRule> ReadEfficiencyModes(std::wstring_view value, FindingSink* findings) {
    std::vector<ValueRule> rules;
    ForEachGroup(
        value, true, 2, findings,
        [&](const std::vector<std::wstring>& group, EntryFindings& found) {
            if (HasPattern(group[0], found)) {
                rules.push_back({{group[0]}, ReadDecimalField(group[1], L"value", found.get())});
            }
        });
    return rules;
}

std::wstring WriteEfficiencyModes(const std::vector<ValueRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (!rule.pattern.text.empty()) {
            pieces.push_back(FormatText(L"%s,%d", GroupedPattern(rule.pattern, true), rule.value));
        }
    }
    return JoinWithCommas(pieces);
}

std::vector<AffinityRule> ReadDefaultAffinities(std::wstring_view olderValue,
                                                std::wstring_view value, FindingSink* olderFindings,
                                                FindingSink* findings) {
    std::vector<AffinityRule> rules;
    ForEachGroup(
        olderValue, false, 2, olderFindings,
        [&](const std::vector<std::wstring>& group, EntryFindings& found) {
            if (HasPattern(group[0], found)) {
                rules.push_back(
                    {{ToLower(group[0])}, ParseGroupAffinity(group[1], found.get()), 0});
            }
        });
    ForEachGroup(value, false, 3, findings,
                 [&](const std::vector<std::wstring>& group, EntryFindings& found) {
                     if (!HasPattern(group[0], found)) {
                         return;
                     }
                     CheckDecimalText(group[1], L"delay", found.get());
                     rules.push_back({{ToLower(group[0])},
                                      ParseGroupAffinity(group[2], found.get()),
                                      DecimalToUnsigned(group[1])});
                 });
    return rules;
}

std::wstring WriteDefaultAffinities(const std::vector<AffinityRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (!rule.pattern.text.empty()) {
            pieces.push_back(GroupedPattern(rule.pattern, false) + L"," +
                             FormatUnsignedDecimal(rule.delayMs) + L"," +
                             FormatGroupAffinity(rule.affinity));
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<CpuSetRule> ReadCpuSets(std::wstring_view value, FindingSink* findings) {
    std::vector<CpuSetRule> rules;
    ForEachGroup(
        value, true, 2, findings,
        [&](const std::vector<std::wstring>& group, EntryFindings& found) {
            if (HasPattern(group[0], found)) {
                rules.push_back({{ToLower(group[0])}, ParseCpuSetText(group[1], found.get())});
            }
        });
    return rules;
}

std::wstring WriteCpuSets(const std::vector<CpuSetRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (!rule.pattern.text.empty()) {
            // "()" keeps a rule without CPU sets (which clears them) a token of its own.
            const std::wstring sets = rule.sets.empty() ? L"()" : FormatCpuSetText(rule.sets);
            pieces.push_back(GroupedPattern(rule.pattern, true) + L"," + sets);
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

}  // namespace cv
