#pragma once
// The text forms of processor masks used by the configuration: affinity text ("0-3;5", "all"),
// affinity with a processor group ("1/0-7") and CPU-set text ("(0/0-3)(1/0-7)").
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigFindings.h"

namespace cv {

constexpr std::int32_t kNoProcessorGroup = -1;

struct GroupAffinity {
    std::int32_t group = kNoProcessorGroup;
    std::uint64_t mask = 0;
    bool operator==(const GroupAffinity&) const = default;
};

// "all" anywhere gives every processor; otherwise ";"-separated processor numbers and inclusive
// ranges. Numbers or ranges beyond processor 63 set nothing; an item without digits is 0. The
// sink, when given, hears about every item that sets nothing or is not what it looks like.
std::uint64_t ParseAffinityText(std::wstring_view text, FindingSink* sink = nullptr);
// Ascending ranges joined by ";": mask 0x2F gives "0-3;5"; mask 0 gives an empty text.
std::wstring FormatAffinityText(std::uint64_t mask);

// An optional "group/" before affinity text; without it the group is kNoProcessorGroup.
GroupAffinity ParseGroupAffinity(std::wstring_view text, FindingSink* sink = nullptr);
// Never empty: an empty mask without a group is written "-1/".
std::wstring FormatGroupAffinity(const GroupAffinity& affinity);

// One affinity with group per parenthesised piece.
std::vector<GroupAffinity> ParseCpuSetText(std::wstring_view text, FindingSink* sink = nullptr);
std::wstring FormatCpuSetText(const std::vector<GroupAffinity>& sets);

}  // namespace cv
