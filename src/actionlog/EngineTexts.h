#pragma once
// The localized message templates the engine loads once at start and keeps for its whole life.
#include <cstdint>
#include <string>

namespace cv {

// Loads every engine text from the language module (English as fallback).
void LoadEngineMessageTexts();
// A loaded engine text; other ids are loaded on demand. Empty when missing everywhere.
std::wstring EngineText(std::uint32_t id);
// The message-box caption of the engine.
constexpr std::uint32_t kCaptionText = 214;

}  // namespace cv
