#pragma once
// Trellion's run after an installation or update: brings the registry, the configuration and
// the installation folder up to the installed version, registers the logon task and the PATH
// entry once, and starts the product.
#include <string>
#include <vector>

namespace cv {

inline constexpr wchar_t kInstalledVersion[] = L"14.0.3.3 BETA";
inline constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane";
inline constexpr wchar_t kEarlierProductKey[] = L"Software\\Corvane Tarvel";
inline constexpr wchar_t kEarlierServerKey[] = L"Software\\CorvaneServerTarvel";

// The registry values retired from both product keys, in order.
const std::vector<std::wstring>& ObsoleteProductValues();
// The files of earlier versions removed from the installation folder.
const std::vector<std::wstring>& ObsoleteInstallationFiles();

// Deletes the key tree only when its lower-cased path names one of the product words, so a
// wrong path can never take another program's keys with it.
bool DeleteProductKeyTree(bool localMachine, const std::wstring& keyPath);

// Makes sure the maker's highest-performance power plan exists. Waits for the power plan
// service: until it lands this does nothing and reports false.
bool EnsureHighPerformancePlanPresent();

// The whole sequence; the installation folder is that of the tool's own executable.
void RunPostUpdate();

// Trellion's program entry: messages go to its log when nobody can answer them. Returns 0.
int RunTrellion();

}  // namespace cv
