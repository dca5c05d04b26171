#include "powerplans/PlanGuids.h"

#include <algorithm>

namespace cv {

bool IsOverlayPlan(const PlanGuid& plan) {
    return std::find(kOverlayPlans.begin(), kOverlayPlans.end(), plan) != kOverlayPlans.end();
}

platform::PowerGuid ToPowerGuid(const PlanGuid& plan) {
    return {plan.data1, plan.data2, plan.data3, plan.data4};
}

PlanGuid ToPlanGuid(const platform::PowerGuid& guid) {
    return {guid.data1, guid.data2, guid.data3, guid.data4};
}

std::vector<std::uint8_t> PlanGuidBytes(const PlanGuid& plan) {
    std::vector<std::uint8_t> bytes;
    const auto put = [&](std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    };
    put(plan.data1, 4);
    put(plan.data2, 2);
    put(plan.data3, 2);
    bytes.insert(bytes.end(), plan.data4.begin(), plan.data4.end());
    return bytes;
}

std::optional<PlanGuid> PlanGuidFromBytes(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != 16) {
        return std::nullopt;
    }
    const auto get = [&](std::size_t at, int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            value |= static_cast<std::uint32_t>(bytes[at + static_cast<std::size_t>(i)]) << (8 * i);
        }
        return value;
    };
    PlanGuid plan;
    plan.data1 = get(0, 4);
    plan.data2 = static_cast<std::uint16_t>(get(4, 2));
    plan.data3 = static_cast<std::uint16_t>(get(6, 2));
    std::copy(bytes.begin() + 8, bytes.end(), plan.data4.begin());
    return plan;
}

std::wstring FormatPlanGuid(const PlanGuid& plan) {
    return platform::FormatPowerGuid(ToPowerGuid(plan));
}

std::optional<PlanGuid> ParsePlanGuid(std::wstring_view text) {
    if (text.size() == 38 && text.front() == L'{' && text.back() == L'}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> digits;  // 32 nibbles in text order
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != L'-') {
                return std::nullopt;
            }
            continue;
        }
        if (c >= L'0' && c <= L'9') {
            digits.push_back(static_cast<std::uint8_t>(c - L'0'));
        } else if (c >= L'a' && c <= L'f') {
            digits.push_back(static_cast<std::uint8_t>(c - L'a' + 10));
        } else if (c >= L'A' && c <= L'F') {
            digits.push_back(static_cast<std::uint8_t>(c - L'A' + 10));
        } else {
            return std::nullopt;
        }
    }
    const auto number = [&](std::size_t from, std::size_t count) {
        std::uint32_t value = 0;
        for (std::size_t i = from; i < from + count; ++i) {
            value = value << 4 | digits[i];
        }
        return value;
    };
    PlanGuid plan;
    plan.data1 = number(0, 8);
    plan.data2 = static_cast<std::uint16_t>(number(8, 4));
    plan.data3 = static_cast<std::uint16_t>(number(12, 4));
    for (std::size_t i = 0; i < plan.data4.size(); ++i) {
        plan.data4[i] = static_cast<std::uint8_t>(number(16 + 2 * i, 2));
    }
    return plan;
}

}  // namespace cv
