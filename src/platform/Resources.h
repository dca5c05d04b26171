#pragma once
// Libraries that hold string resources (the language modules).
#include <cstdint>
#include <string>

namespace cv::platform {

// An opaque module handle; null when no module is loaded.
using ModuleHandle = void*;

// LoadLibraryW by name (the system's search order, which starts with the program's folder) or
// by full path. Modules stay loaded for the life of the process.
ModuleHandle LoadModule(const std::wstring& nameOrPath);
// GetModuleHandleW: a module that is already loaded, or null.
ModuleHandle LoadedModule(const std::wstring& name);
// LoadStringW into a buffer of 1024 characters: at most 1023 characters, empty when missing.
std::wstring LoadModuleString(ModuleHandle module, std::uint32_t id);

}  // namespace cv::platform
