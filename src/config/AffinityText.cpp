#include "config/AffinityText.h"

#include "common/Format.h"
#include "common/WideString.h"
#include "config/RuleListText.h"

namespace cv {

namespace {

constexpr std::int32_t kHighestProcessor = 63;

// An item without digits is processor 0, which is seldom what was meant.
void CheckItemNumber(std::wstring_view item, std::wstring_view number, FindingSink& sink) {
    if (number.size() == item.size()) {
        if (Trim(number).empty()) {
            sink.Report(FindingKind::kUnparsed, L"an empty processor item reads as processor 0");
        } else {
            CheckDecimalText(number, L"processor item", &sink);
        }
        return;
    }
    CheckDecimalText(number, L"in the processor range " + Quoted(item) + L", the bound", &sink);
}

std::uint64_t ItemMask(std::wstring_view item, FindingSink* sink) {
    std::size_t start = 0;
    while (start < item.size() && IsWhiteSpace(item[start])) {
        ++start;
    }
    // A dash in first place is a sign, not a range.
    const std::size_t dash = item.find(L'-', start + 1);
    if (dash == std::wstring_view::npos) {
        const std::int32_t processor = WideToLong(item);
        const bool valid = processor >= 0 && processor <= kHighestProcessor;
        if (sink != nullptr) {
            CheckItemNumber(item, item, *sink);
            if (!valid) {
                sink->Report(FindingKind::kDropped, L"processor " + Quoted(item) +
                                                        L" is not one of 0 to 63 and sets nothing");
            }
        }
        return valid ? std::uint64_t{1} << processor : 0;
    }
    const std::int32_t low = WideToLong(item.substr(0, dash));
    const std::int32_t high = WideToLong(item.substr(dash + 1));
    if (sink != nullptr) {
        CheckItemNumber(item, item.substr(0, dash), *sink);
        CheckItemNumber(item, item.substr(dash + 1), *sink);
    }
    if (low < 0 || high > kHighestProcessor || low > high) {
        if (sink != nullptr) {
            sink->Report(FindingKind::kDropped, L"processor range " + Quoted(item) +
                                                    L" is not within 0 to 63 in rising "
                                                    L"order and sets nothing");
        }
        return 0;
    }
    std::uint64_t mask = 0;
    for (std::int32_t processor = low; processor <= high; ++processor) {
        mask |= std::uint64_t{1} << processor;
    }
    return mask;
}

}  // namespace

std::uint64_t ParseAffinityText(std::wstring_view text, FindingSink* sink) {
    if (AsciiLower(text).find(L"all") != std::wstring::npos) {
        if (sink != nullptr && !EqualsIgnoreCase(Trim(text), L"all")) {
            sink->Report(FindingKind::kRewritten, L"processors " + Quoted(text) +
                                                      L" contain \"all\", so they mean every "
                                                      L"processor");
        }
        return ~std::uint64_t{0};
    }
    std::uint64_t mask = 0;
    for (const auto& item : SplitTokens(text, L";")) {
        mask |= ItemMask(TrimRight(item), sink);
    }
    return mask;
}

std::wstring FormatAffinityText(std::uint64_t mask) {
    std::wstring text;
    std::int32_t processor = 0;
    while (processor <= kHighestProcessor) {
        if ((mask >> processor & 1) == 0) {
            ++processor;
            continue;
        }
        std::int32_t last = processor;
        while (last < kHighestProcessor && (mask >> (last + 1) & 1) != 0) {
            ++last;
        }
        if (!text.empty()) {
            text.push_back(L';');
        }
        text += last == processor ? FormatText(L"%d", processor)
                                  : FormatText(L"%d-%d", processor, last);
        processor = last + 1;
    }
    return text;
}

GroupAffinity ParseGroupAffinity(std::wstring_view text, FindingSink* sink) {
    GroupAffinity affinity;
    const std::size_t slash = text.find(L'/');
    if (slash == std::wstring_view::npos) {
        affinity.mask = ParseAffinityText(text, sink);
    } else {
        affinity.group = ReadDecimalField(text.substr(0, slash), L"processor group", sink);
        affinity.mask = ParseAffinityText(text.substr(slash + 1), sink);
    }
    return affinity;
}

std::wstring FormatGroupAffinity(const GroupAffinity& affinity) {
    const std::wstring ranges = FormatAffinityText(affinity.mask);
    if (affinity.group != kNoProcessorGroup) {
        return FormatText(L"%d/", affinity.group) + ranges;
    }
    // Lists separate their fields with commas and drop empty ones, so an empty text would pair
    // every later field with the wrong partner; "-1/" reads back as this same value.
    return ranges.empty() ? FormatText(L"%d/", kNoProcessorGroup) : ranges;
}

std::vector<GroupAffinity> ParseCpuSetText(std::wstring_view text, FindingSink* sink) {
    std::vector<GroupAffinity> sets;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t open = text.find(L'(', start);
        const std::size_t stop = open == std::wstring_view::npos ? text.size() : open;
        std::wstring piece;
        for (const wchar_t c : text.substr(start, stop - start)) {
            if (c != L')') {
                piece.push_back(c);
            }
        }
        if (!piece.empty()) {
            sets.push_back(ParseGroupAffinity(piece, sink));
        }
        start = stop + 1;
    }
    return sets;
}

std::wstring FormatCpuSetText(const std::vector<GroupAffinity>& sets) {
    std::wstring text;
    for (const auto& set : sets) {
        text += L"(" + FormatGroupAffinity(set) + L")";
    }
    return text;
}

}  // namespace cv
