// Crash reports and the post-update tool under Wine: faults caused from outside a running engine
// (the dump, the quiet restart, the end of a crash loop), and trellion.exe run twice from an
// installation folder. Every box that appears is answered here with its safe button, so nothing
// waits for a person.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"
#include "updatetool/PostUpdate.h"

#include <shlobj.h>
#include <tlhelp32.h>

namespace cv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr wchar_t kEnvironmentKey[] =
    L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr wchar_t kDumpPath[] = L"C:\\ProgramData\\Corvane\\vigilor.exe.dmp";

// A registry key's values, to restore it afterwards and to compare it across runs.
struct RegistryValue {
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const RegistryValue&) const = default;
};
using RegistryValues = std::map<std::wstring, RegistryValue>;

std::optional<RegistryValues> ReadKey(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegistryValues values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        RegistryValue value{type, std::vector<BYTE>(size)};
        nameLength = 16384;
        RegEnumValueW(key, index, name, &nameLength, nullptr, &type, value.data.data(), &size);
        value.data.resize(size);
        values[name] = value;
    }
    RegCloseKey(key);
    return values;
}

// Puts a key back as it was: created values dropped, changed ones rewritten, a key that did not
// exist removed with everything under it.
class SavedKey {
  public:
    SavedKey(HKEY root, std::wstring path)
        : root_(root), path_(std::move(path)), saved_(ReadKey(root_, path_)) {}
    SavedKey(const SavedKey&) = delete;
    SavedKey& operator=(const SavedKey&) = delete;
    ~SavedKey() { Restore(); }

    void Restore() {
        if (!saved_) {
            RegDeleteTreeW(root_, path_.c_str());
            RegDeleteKeyW(root_, path_.c_str());
            return;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
            return;
        }
        for (const auto& [name, value] : ReadKey(root_, path_).value_or(RegistryValues{})) {
            if (saved_->count(name) == 0) {
                RegDeleteValueW(key, name.c_str());
            }
        }
        for (const auto& [name, value] : *saved_) {
            RegSetValueExW(key, name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        }
        RegCloseKey(key);
    }

  private:
    HKEY root_;
    std::wstring path_;
    std::optional<RegistryValues> saved_;
};

void SetString(HKEY root, const std::wstring& path, const std::wstring& name,
               const std::wstring& text) {
    RegSetKeyValueW(root, path.c_str(), name.c_str(), REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetDword(HKEY root, const std::wstring& path, const std::wstring& name, DWORD value) {
    RegSetKeyValueW(root, path.c_str(), name.c_str(), REG_DWORD, &value, sizeof value);
}

void DeleteValue(HKEY root, const std::wstring& path, const std::wstring& name) {
    RegDeleteKeyValueW(root, path.c_str(), name.c_str());
}

bool HasValue(HKEY root, const std::wstring& path, const std::wstring& name) {
    return RegGetValueW(root, path.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, nullptr,
                        nullptr, nullptr) == ERROR_SUCCESS;
}

std::optional<DWORD> ReadDword(HKEY root, const std::wstring& path, const std::wstring& name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(root, path.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

std::wstring ReadText(HKEY root, const std::wstring& path, const std::wstring& name) {
    wchar_t text[32768] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(root, path.c_str(), name.c_str(),
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    return text;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(towlower(c));
    }
    return text;
}

std::size_t CountOf(const std::wstring& text, const std::wstring& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::wstring::npos;
         at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

std::wstring ImageNameOf(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return {};
    }
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const BOOL found = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    if (!found) {
        return {};
    }
    const std::wstring full(path, size);
    return Lower(full.substr(full.find_last_of(L"\\/") + 1));
}

std::vector<DWORD> ProcessesNamed(const wchar_t* name) {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

// Ends the engines these tests started, including the ones a crash restarted.
void EndEngines() {
    for (const DWORD id : ProcessesNamed(L"vigilor.exe")) {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            TerminateProcess(process, 99);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
}

// Faults a running program from outside: a thread of its own started at an invalid address.
bool CauseFault(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION |
                                     PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_VM_READ,
                                 FALSE, processId);
    if (process == nullptr) {
        return false;
    }
    const auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(static_cast<std::uintptr_t>(0x10));
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, start, nullptr, 0, nullptr);
    CloseHandle(process);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

// The exit code of a process the test did not start, once it ended within the limit.
std::optional<DWORD> WaitForProcessEnd(DWORD processId, DWORD limitMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return DWORD{0};  // already gone
    }
    std::optional<DWORD> code;
    if (WaitForSingleObject(process, limitMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(process, &exitCode);
        code = exitCode;
    }
    CloseHandle(process);
    return code;
}

struct SeenBox {
    std::wstring program;
    std::wstring caption;
    std::wstring text;
};

// Answers every dialog box the product's programs show, as a person who declines would: No,
// else Cancel, else OK. Keeps what each box said.
class BoxAnswerer {
  public:
    BoxAnswerer() : thread_([this] { Run(); }) {}
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;
    ~BoxAnswerer() {
        stop_ = true;
        thread_.join();
    }

    std::vector<SeenBox> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    static BOOL CALLBACK OnWindow(HWND window, LPARAM self) {
        reinterpret_cast<BoxAnswerer*>(self)->Consider(window);
        return TRUE;
    }

    static BOOL CALLBACK OnChild(HWND child, LPARAM texts) {
        wchar_t text[2048] = {};
        GetWindowTextW(child, text, 2048);
        *reinterpret_cast<std::wstring*>(texts) += text;
        return TRUE;
    }

    void Consider(HWND window) {
        wchar_t className[64] = {};
        GetClassNameW(window, className, 64);
        if (!IsWindowVisible(window) || std::wstring(className) != L"#32770") {
            return;
        }
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        const std::wstring program = ImageNameOf(processId);
        if (program != L"vigilor.exe" && program != L"trellion.exe") {
            return;
        }
        for (const int button : {IDNO, IDCANCEL, IDOK}) {
            if (HWND control = GetDlgItem(window, button)) {
                if (answered_.count(window) == 0) {
                    wchar_t caption[256] = {};
                    GetWindowTextW(window, caption, 256);
                    std::wstring text;
                    EnumChildWindows(window, OnChild, reinterpret_cast<LPARAM>(&text));
                    std::lock_guard lock(mutex_);
                    seen_.push_back({program, caption, text});
                    answered_[window] = true;
                }
                PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                             reinterpret_cast<LPARAM>(control));
                return;
            }
        }
    }

    void Run() {
        while (!stop_) {
            EnumWindows(OnWindow, reinterpret_cast<LPARAM>(this));
            std::this_thread::sleep_for(milliseconds(100));
        }
    }

    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<SeenBox> seen_;
    std::map<HWND, bool> answered_;
    std::thread thread_;
};

// The engine's folders live under a test folder and reach every engine, including the ones a
// crash restarts without switches, through the registry values that name them.
class CrashReports : public ::testing::Test {
  protected:
    SavedKey savedProduct{HKEY_LOCAL_MACHINE, kCorvaneKey};
    SavedKey savedUserProduct{HKEY_CURRENT_USER, kCorvaneKey};
    TempFolder config{L"crashcfg"};
    TempFolder records{L"crashrecords"};
    std::wstring configFolder = config.Path() + L"\\config";
    Program engine;

    void SetUp() override {
        if (EngineMutexExists()) {
            RunEngineCommand(L"/exit");
            ASSERT_TRUE(WaitFor([] { return !EngineMutexExists(); }, seconds(10)));
        }
        DeleteFileW(kDumpPath);
        CreateDirectoryW(configFolder.c_str(), nullptr);
        WriteBytes(configFolder + L"\\corvex.ini", "[Performance]\r\nUpdateSpeedCore=200\r\n");
        SetString(HKEY_LOCAL_MACHINE, kCorvaneKey, L"ConfigFolderEx", configFolder);
        SetString(HKEY_LOCAL_MACHINE, kCorvaneKey, L"LogFolder", records.Path());
        DeleteValue(HKEY_LOCAL_MACHINE, kCorvaneKey, L"CrashRestartTimes");
        DeleteValue(HKEY_LOCAL_MACHINE, kCorvaneKey, L"NoVigilorDumps");
    }

    void TearDown() override {
        if (!ProcessesNamed(L"vigilor.exe").empty()) {
            RunEngineCommand(L"/exit");
            WaitFor([] { return ProcessesNamed(L"vigilor.exe").empty(); }, seconds(5));
        }
        engine.Kill();
        EndEngines();
        DeleteFileW(kDumpPath);
        RemoveDirectoryW(L"C:\\ProgramData\\Corvane");  // only when nothing else is in it
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(configFolder), ignored);
        savedProduct.Restore();
        savedUserProduct.Restore();
    }

    void StartFirstEngine() {
        ASSERT_TRUE(StartEngine(engine));
        ASSERT_TRUE(WaitFor([&] { return HasAction(records, "60"); }, seconds(15)));
    }

    // The engine that replaced the one given, once the given one has ended and the new one can
    // be told to exit.
    std::optional<DWORD> WaitForNewEngine(DWORD previous, milliseconds limit) {
        std::optional<DWORD> found;
        WaitFor(
            [&] {
                const auto engines = ProcessesNamed(L"vigilor.exe");
                if (std::find(engines.begin(), engines.end(), previous) != engines.end() ||
                    engines.size() != 1 || !ExitEventExists()) {
                    return false;
                }
                found = engines.front();
                return true;
            },
            limit);
        return found;
    }

    static bool ExitEventExists() {
        for (const wchar_t* name : {L"Global\\VigilorExitEvent", L"Local\\VigilorExitEvent"}) {
            if (HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name)) {
                CloseHandle(event);
                return true;
            }
        }
        return false;
    }

    std::size_t RecordedRestarts() {
        const auto values = ReadKey(HKEY_LOCAL_MACHINE, kCorvaneKey).value_or(RegistryValues{});
        const auto restarts = values.find(L"CrashRestartTimes");
        return restarts == values.end() ? 0 : restarts->second.data.size() / 8;
    }
};

TEST_F(CrashReports, WithNoDumpsAFaultRestartsTheEngineQuietly) {
    SetDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"NoVigilorDumps", 1);
    BoxAnswerer boxes;
    StartFirstEngine();

    const auto faulted = std::chrono::steady_clock::now();
    ASSERT_TRUE(CauseFault(engine.Id()));
    const auto restarted = WaitForNewEngine(engine.Id(), seconds(10));
    ASSERT_TRUE(restarted.has_value()) << "no new engine within 10 s of the fault";
    EXPECT_LE(std::chrono::steady_clock::now() - faulted, seconds(10));
    ASSERT_TRUE(engine.WaitForExit(5000).has_value());

    EXPECT_EQ(GetFileAttributesW(kDumpPath), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(boxes.Seen().empty());
    EXPECT_EQ(RecordedRestarts(), 1u);

    RunEngineCommand(L"/exit");
    EXPECT_TRUE(WaitForProcessEnd(*restarted, 10000).has_value());
}

TEST_F(CrashReports, AFaultWritesAFullDumpUnderProgramData) {
    CreateDirectoryW(L"C:\\ProgramData", nullptr);
    ULARGE_INTEGER available{};
    GetDiskFreeSpaceExW(L"C:\\ProgramData\\", &available, nullptr, nullptr);
    constexpr std::uint64_t kNeeded = 1ull << 30;  // a dump is about 280 MB under Wine
    if (available.QuadPart < kNeeded) {
        GTEST_SKIP() << "only " << available.QuadPart / (1 << 20)
                     << " MB free on C:, a crash dump test needs 1 GB";
    }
    BoxAnswerer boxes;
    StartFirstEngine();

    ASSERT_TRUE(CauseFault(engine.Id()));
    ASSERT_TRUE(engine.WaitForExit(90000).has_value()) << "the crashed engine did not end";
    const std::string dump = ReadBytes(kDumpPath).substr(0, 4);
    EXPECT_EQ(dump, "MDMP");
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(kDumpPath, GetFileExInfoStandard, &data));
    EXPECT_GT(data.nFileSizeLow | (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32),
              10ull << 20);
    // Wine's window station counts as a person's, so the report is shown, and answered No here.
    const auto seen = boxes.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].program, L"vigilor.exe");
    EXPECT_EQ(seen[0].caption, L"Corvane");
    EXPECT_NE(Lower(seen[0].text).find(Lower(kDumpPath)), std::wstring::npos);

    const auto restarted = WaitForNewEngine(engine.Id(), seconds(15));
    ASSERT_TRUE(restarted.has_value());
    RunEngineCommand(L"/exit");
    EXPECT_TRUE(WaitForProcessEnd(*restarted, 10000).has_value());
}

TEST_F(CrashReports, AFourthCrashWithinTenMinutesEndsTheEngineForGood) {
    SetDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"NoVigilorDumps", 1);
    BoxAnswerer boxes;
    StartFirstEngine();

    DWORD current = engine.Id();
    for (int crash = 1; crash <= 3; ++crash) {
        ASSERT_TRUE(CauseFault(current)) << "crash " << crash;
        const auto next = WaitForNewEngine(current, seconds(15));
        ASSERT_TRUE(next.has_value()) << "no restart after crash " << crash;
        ASSERT_TRUE(WaitForProcessEnd(current, 5000).has_value());
        current = *next;
    }
    EXPECT_EQ(RecordedRestarts(), 3u);

    ASSERT_TRUE(CauseFault(current));
    EXPECT_EQ(WaitForProcessEnd(current, 15000), std::optional<DWORD>(1));
    // A restart would have been launched before the crashed engine ended.
    EXPECT_FALSE(WaitForNewEngine(current, seconds(3)).has_value());
    EXPECT_TRUE(ProcessesNamed(L"vigilor.exe").empty());
    const auto lines = LogLines(records);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("Crashed 4 times within 10 minutes; not restarted again.") !=
               std::string::npos;
    })) << "the crash loop's end left no record";
    EXPECT_TRUE(boxes.Seen().empty());
}

// trellion.exe run from a folder that holds an installation, twice, as an installer would.
class Trellion : public ::testing::Test {
  protected:
    SavedKey machineProduct{HKEY_LOCAL_MACHINE, kCorvaneKey};
    SavedKey userProduct{HKEY_CURRENT_USER, kCorvaneKey};
    SavedKey userSizes{HKEY_CURRENT_USER, L"Software\\Corvane\\listview_sizes"};
    SavedKey uninstall{HKEY_LOCAL_MACHINE, kUninstallKey};
    SavedKey environment{HKEY_LOCAL_MACHINE, kEnvironmentKey};
    TempFolder install{L"install"};
    TempFolder config{L"trellioncfg"};
    TempFolder records{L"trellionrecords"};
    std::wstring configFolder = config.Path() + L"\\config";

    void SetUp() override {
        for (const wchar_t* file : {L"vigilor.exe", L"trellion.exe", L"cv_rsrc_english.dll"}) {
            ASSERT_TRUE(CopyFileW((TestFolder() + L"\\" + file).c_str(), install.File(file).c_str(),
                                  FALSE));
        }
        WriteBytes(install.File(L"Rapidor.exe"), "the updater before");
        WriteBytes(install.File(L"Rapidor.exe.Replacement"), "the updater after");
        WriteBytes(install.File(L"tarvelmon.exe"), "a file of an earlier version");
        CreateDirectoryW(configFolder.c_str(), nullptr);
        SetString(HKEY_LOCAL_MACHINE, kCorvaneKey, L"ConfigFolderEx", configFolder);
        SetString(HKEY_LOCAL_MACHINE, kCorvaneKey, L"LogFolder", records.Path());
        SetDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"IconSetNumber", 3);
        SetDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"ColorScheme", 2);
        SetDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"AlreadyAddedToSystemPath", 1);
        SetDword(HKEY_CURRENT_USER, kCorvaneKey, L"fx1", 1);
        SetString(HKEY_CURRENT_USER, L"Software\\Corvane\\listview_sizes", L"LogViewerCols", L"1");
        for (const wchar_t* flag : {L"AddedToSystemPath", L"InstalledSessionAgent"}) {
            DeleteValue(HKEY_LOCAL_MACHINE, kCorvaneKey, flag);
        }
    }

    void TearDown() override {
        for (const DWORD id : ProcessesNamed(L"trellion.exe")) {
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
                TerminateProcess(process, 99);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(configFolder), ignored);
    }

    // Runs the tool to its end as an installer with nobody at the screen would: on a window
    // station of its own that no person sees. It must end on its own.
    void RunTrellion() { RunTrellionIn(install.Path()); }
    void RunTrellionIn(const std::wstring& folder) {
        const HWINSTA own = GetProcessWindowStation();
        HWINSTA station = CreateWindowStationW(L"cvunattended", 0, WINSTA_ALL_ACCESS, nullptr);
        ASSERT_NE(station, nullptr);
        ASSERT_TRUE(SetProcessWindowStation(station));
        HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
        ASSERT_NE(desktop, nullptr);

        std::wstring desktopName = L"cvunattended\\Default";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.lpDesktop = desktopName.data();
        PROCESS_INFORMATION info{};
        const std::wstring exe = folder + L"\\trellion.exe";
        std::wstring line = L"\"" + exe + L"\"";
        ASSERT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   folder.c_str(), &startup, &info));
        CloseHandle(info.hThread);
        const bool ended = WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0;
        DWORD code = 99;
        if (ended) {
            GetExitCodeProcess(info.hProcess, &code);
        } else {
            TerminateProcess(info.hProcess, 99);
            WaitForSingleObject(info.hProcess, 5000);
        }
        CloseHandle(info.hProcess);
        CloseDesktop(desktop);
        CloseWindowStation(station);
        EXPECT_TRUE(ended) << "trellion.exe did not end within 60 s";
        EXPECT_EQ(code, 0u);
    }

    std::vector<std::pair<std::wstring, std::string>> Files() {
        std::vector<std::pair<std::wstring, std::string>> files;
        for (const auto& entry : std::filesystem::directory_iterator(install.Path())) {
            files.emplace_back(entry.path().filename().wstring(),
                               ReadBytes(entry.path().wstring()));
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    std::vector<std::optional<RegistryValues>> Keys() {
        return {ReadKey(HKEY_LOCAL_MACHINE, kCorvaneKey), ReadKey(HKEY_CURRENT_USER, kCorvaneKey),
                ReadKey(HKEY_LOCAL_MACHINE, kUninstallKey),
                ReadKey(HKEY_LOCAL_MACHINE, kEnvironmentKey)};
    }

    std::size_t FolderInPath() {
        return CountOf(Lower(ReadText(HKEY_LOCAL_MACHINE, kEnvironmentKey, L"Path")),
                       Lower(install.Path() + L"\\;"));
    }
};

TEST_F(Trellion, FirstRunDoesEveryStepAndASecondChangesNothing) {
    BoxAnswerer boxes;
    ASSERT_NO_FATAL_FAILURE(RunTrellion());

    for (const wchar_t* name : {L"DisplayVersion", L"Version"}) {
        EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, kUninstallKey, name), kInstalledVersion);
    }
    EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, kUninstallKey, L"VersionMajor"), L"14");
    EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, kUninstallKey, L"VersionMinor"), L"0");
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"IconSetNumber"),
              std::optional<DWORD>(0));
    EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, kCorvaneKey, L"ColorScheme"));
    EXPECT_FALSE(HasValue(HKEY_LOCAL_MACHINE, kCorvaneKey, L"AlreadyAddedToSystemPath"));
    EXPECT_FALSE(HasValue(HKEY_CURRENT_USER, kCorvaneKey, L"fx1"));
    EXPECT_FALSE(
        HasValue(HKEY_CURRENT_USER, L"Software\\Corvane\\listview_sizes", L"LogViewerCols"));
    EXPECT_EQ(ReadBytes(install.File(L"Rapidor.exe")), "the updater after");
    EXPECT_EQ(GetFileAttributesW(install.File(L"Rapidor.exe.Replacement").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(install.File(L"tarvelmon.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(FolderInPath(), 1u);
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"AddedToSystemPath"),
              std::optional<DWORD>(1));

    const auto keysAfterFirst = Keys();
    const auto filesAfterFirst = Files();
    ASSERT_NO_FATAL_FAILURE(RunTrellion());
    EXPECT_EQ(Keys(), keysAfterFirst);
    EXPECT_EQ(Files(), filesAfterFirst);
    EXPECT_EQ(FolderInPath(), 1u);
    for (const auto& box : boxes.Seen()) {
        ADD_FAILURE() << "trellion.exe showed a box: " << Narrow(box.caption + L": " + box.text);
    }
}

std::optional<RegistryValue> PathValue() {
    // Value names ignore case; Wine's own prefix names it "PATH".
    for (const auto& [name, value] : ReadKey(HKEY_LOCAL_MACHINE, kEnvironmentKey).value_or(
             RegistryValues{})) {
        if (Lower(name) == L"path") {
            return value;
        }
    }
    return std::nullopt;
}

void SetPath(const std::wstring& text, DWORD type) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kEnvironmentKey, L"Path", type, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The machine's Path edited by entries, run twice as an installer would: every other entry stays,
// the folder is there once, the value keeps its type. Drive Q: is a scratch drive of the test
// prefix, so the tool can be installed at a drive root.
TEST_F(Trellion, PathKeepsEveryOtherEntryAndHoldsTheFolderOnce) {
    const std::wstring root = L"Q:";
    ASSERT_NE(GetFileAttributesW((root + L"\\").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the test prefix has no drive Q:";
    for (const wchar_t* file : {L"vigilor.exe", L"trellion.exe", L"cv_rsrc_english.dll"}) {
        ASSERT_TRUE(CopyFileW((TestFolder() + L"\\" + file).c_str(),
                              (root + L"\\" + file).c_str(), FALSE));
    }
    const std::wstring folder = install.Path();
    const std::wstring upper = [&] {
        std::wstring text = folder;
        for (wchar_t& c : text) {
            c = static_cast<wchar_t>(towupper(c));
        }
        return text;
    }();
    const struct {
        const char* what;
        std::wstring installedAt;
        std::wstring before;
        DWORD type;
        std::wstring after;
    } cases[] = {
        {"at a drive root", root, L"C:\\Windows;Q:\\Tools;Q:\\Games\\bin;C:\\Data", REG_EXPAND_SZ,
         L"C:\\Windows;Q:\\Tools;Q:\\Games\\bin;C:\\Data;Q:\\;"},
        {"a REG_SZ Path", folder, L"C:\\Windows;;%SystemRoot%\\x", REG_SZ,
         L"C:\\Windows;;%SystemRoot%\\x;" + folder + L"\\;"},
        {"the folder there in another case", folder, L"C:\\Windows;" + upper + L";C:\\Data",
         REG_EXPAND_SZ, L"C:\\Windows;" + upper + L";C:\\Data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetPath(c.before, c.type);
        DeleteValue(HKEY_LOCAL_MACHINE, kCorvaneKey, L"AddedToSystemPath");
        for (int run = 1; run <= 2; ++run) {
            ASSERT_NO_FATAL_FAILURE(RunTrellionIn(c.installedAt));
            const auto path = PathValue();
            ASSERT_TRUE(path.has_value()) << run;
            const std::wstring text(reinterpret_cast<const wchar_t*>(path->data.data()));
            EXPECT_EQ(Narrow(text), Narrow(c.after)) << "run " << run;
            EXPECT_EQ(path->type, c.type) << "run " << run;
            EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kCorvaneKey, L"AddedToSystemPath"),
                      std::optional<DWORD>(1));
            // Without the flag the next run edits Path again: it finds the folder and changes
            // nothing.
            DeleteValue(HKEY_LOCAL_MACHINE, kCorvaneKey, L"AddedToSystemPath");
        }
    }
    for (const wchar_t* file : {L"vigilor.exe", L"trellion.exe", L"cv_rsrc_english.dll"}) {
        DeleteFileW((root + L"\\" + file).c_str());
    }
}

// With nobody at the screen, a configuration whose rule list is malformed and an engine service
// marked for deletion each raise a message; the run still ends on its own and says both in its
// log.
TEST_F(Trellion, AnUnattendedRunWithMessagesEndsAndLogsThem) {
    SavedKey service{HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vigilor"};
    SetDword(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vigilor", L"DeleteFlag",
             1);
    // The configuration lies in the folder the registry names; a UTF-16 file with a BOM.
    const std::wstring ini =
        L"\xFEFF[ProcessDefaults]\r\nKeepRunningProcesses=one,two,c:\\a.exe;x\r\n";
    WriteBytes(configFolder + L"\\corvex.ini",
               std::string(reinterpret_cast<const char*>(ini.data()), ini.size() * 2));
    // The log folder found from the service's state, where the warning is raised.
    DeleteValue(HKEY_LOCAL_MACHINE, kCorvaneKey, L"LogFolder");
    wchar_t appData[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE));
    const std::wstring logPath = std::wstring(appData) + L"\\Corvane\\logs\\trellion.log";
    DeleteFileW(logPath.c_str());
    BoxAnswerer boxes;
    ASSERT_NO_FATAL_FAILURE(RunTrellion());
    const std::string log = ReadBytes(logPath);
    DeleteFileW(logPath.c_str());
    for (const char* text : {"marked for deletion",
                             "Syntax error in INI file for processes to keep running!"}) {
        EXPECT_NE(log.find(text), std::string::npos) << text << " not in:\n" << log;
    }
    for (const auto& box : boxes.Seen()) {
        ADD_FAILURE() << "trellion.exe showed a box: " << Narrow(box.caption + L": " + box.text);
    }
}

}  // namespace
}  // namespace cv::e2e
