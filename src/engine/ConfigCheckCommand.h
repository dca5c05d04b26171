#pragma once
// vigilor.exe /check[=path]: reads a configuration file exactly as the engine would and reports
// every entry it drops, clamps or rewrites, and a sampling output file the engine would refuse.
// It never writes the file.
#include <string>

namespace cv {

struct SettingsEnvironment;

// The report goes to the console of the program that started the engine, else to
// corvex-check.txt beside the file. 0 when nothing was found, 1 otherwise.
int RunConfigCheck(const std::wstring& path);

// The configuration file the engine would read now: the folder switches given on the command
// line and the active profile.
std::wstring ActiveConfigPath(const SettingsEnvironment& environment);

// A report of the commands beside the engine: to the parent console when there is one, else to
// the file of that name beside the configuration (UTF-8 with its mark).
void DeliverReport(const std::wstring& configPath, const wchar_t* fileName,
                   const std::wstring& text);

}  // namespace cv
