#pragma once
// The engine's and the tool's few message boxes.
#include <cstdint>
#include <string>

namespace cv::platform {

constexpr std::uint32_t kMbOk = 0x00000000;
constexpr std::uint32_t kMbYesNo = 0x00000004;
constexpr std::uint32_t kMbIconError = 0x00000010;
constexpr std::uint32_t kMbIconQuestion = 0x00000020;
constexpr std::uint32_t kMbIconWarning = 0x00000030;
constexpr std::uint32_t kMbIconInformation = 0x00000040;

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Shows the box and returns the button the user chose.
int ShowMessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t flags);

}  // namespace cv::platform
