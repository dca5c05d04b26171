#pragma once
// The power plans and settings Windows gives fixed GUIDs, and the GUID in its three other forms:
// the platform's, the 16 bytes of a registry value and the text of a registry key name.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/PowerPlanResolver.h"
#include "platform/Power.h"

namespace cv {

inline constexpr PlanGuid kBalancedPlan{
    0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
inline constexpr PlanGuid kHighPerformancePlan{
    0x8c5e7fda, 0xe8bf, 0x4a96, {0x9a, 0x85, 0xa6, 0xe2, 0x3a, 0x8c, 0x63, 0x5c}};
inline constexpr PlanGuid kUltimatePerformancePlan{
    0xe9a42b02, 0xd5df, 0x448d, {0xaa, 0x00, 0x03, 0xf1, 0x47, 0x49, 0xeb, 0x61}};

// Power-mode overlays, in the order they are listed.
inline constexpr PlanGuid kOverlayBestPowerEfficiency{
    0x961cc777, 0x2547, 0x4f9d, {0x81, 0x74, 0x7d, 0x86, 0x18, 0x1b, 0x8a, 0x7a}};
inline constexpr PlanGuid kOverlayBetterPerformance{
    0x3af9b8d9, 0x7c97, 0x431d, {0xad, 0x78, 0x34, 0xa8, 0xbf, 0xea, 0x43, 0x9f}};
inline constexpr PlanGuid kOverlayBestPerformance{
    0xded574b5, 0x45a0, 0x4f42, {0x87, 0x37, 0x46, 0x34, 0x5c, 0x09, 0xc2, 0x38}};
inline constexpr std::array<PlanGuid, 3> kOverlayPlans = {
    kOverlayBestPowerEfficiency, kOverlayBetterPerformance, kOverlayBestPerformance};
inline constexpr PlanGuid kNoOverlay{};

// The processor power management subgroup and the settings written in it.
inline constexpr PlanGuid kProcessorSubgroup{
    0x54533251, 0x82be, 0x4824, {0x96, 0xc1, 0x47, 0xb6, 0x0b, 0x74, 0x0d, 0x00}};
inline constexpr PlanGuid kCoreParkingMinCores{
    0x0cc5b647, 0xc1df, 0x4637, {0x89, 0x1a, 0xde, 0xc3, 0x5c, 0x31, 0x85, 0x83}};
inline constexpr PlanGuid kCoreParkingMinCoresClass1{
    0x0cc5b647, 0xc1df, 0x4637, {0x89, 0x1a, 0xde, 0xc3, 0x5c, 0x31, 0x85, 0x84}};
inline constexpr PlanGuid kMinimumProcessorState{
    0x893dee8e, 0x2bef, 0x41e0, {0x89, 0xc6, 0xb5, 0x5d, 0x09, 0x29, 0x96, 0x4c}};
inline constexpr PlanGuid kMinimumProcessorStateClass1{
    0xbc5038f7, 0x23e0, 0x4960, {0x96, 0xda, 0x33, 0xab, 0xaf, 0x59, 0x35, 0xed}};
inline constexpr PlanGuid kShortThreadSchedulingPolicy{
    0xbae08b81, 0x2d5e, 0x4688, {0xad, 0x6a, 0x13, 0x24, 0x33, 0x56, 0x65, 0x4b}};
inline constexpr PlanGuid kThreadSchedulingPolicy{
    0x93b8b6dc, 0x0698, 0x4d1c, {0x9e, 0xe4, 0x06, 0x44, 0xe9, 0x00, 0xc8, 0x5d}};

bool IsOverlayPlan(const PlanGuid& plan);

platform::PowerGuid ToPowerGuid(const PlanGuid& plan);
PlanGuid ToPlanGuid(const platform::PowerGuid& guid);

// The GUID's 16 bytes in memory order, as a REG_BINARY value holds it; none unless exactly 16.
std::vector<std::uint8_t> PlanGuidBytes(const PlanGuid& plan);
std::optional<PlanGuid> PlanGuidFromBytes(const std::vector<std::uint8_t>& bytes);

// Lower case, without braces.
std::wstring FormatPlanGuid(const PlanGuid& plan);
// With or without braces, in either case; none for anything else.
std::optional<PlanGuid> ParsePlanGuid(std::wstring_view text);

}  // namespace cv
