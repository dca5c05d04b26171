#pragma once
// Starting vigilor.exe from an end-to-end test: every program started here is ended by the
// test that started it, and every wait has a time limit.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <tlhelp32.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>

namespace cv::e2e {

inline std::wstring TestFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

inline std::wstring EnginePath() {
    return TestFolder() + L"\\vigilor.exe";
}

// Ends every running copy of the named programs, including those the engine started; with a
// wait, until each has gone (so that its folder can be removed).
inline void EndProgramsNamed(std::initializer_list<const wchar_t*> images, DWORD waitMs = 0) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        for (const wchar_t* image : images) {
            if (_wcsicmp(entry.szExeFile, image) != 0) {
                continue;
            }
            if (HANDLE process =
                    OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID)) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, waitMs);
                CloseHandle(process);
            }
        }
    }
    CloseHandle(snapshot);
}

class Program {
  public:
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() { Kill(); }

    bool Start(const std::wstring& exe, const std::wstring& arguments,
               const std::wstring& directory = L"") {
        std::wstring line = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
            return false;
        }
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        processId_ = info.dwProcessId;
        return true;
    }

    // The exit code, or no value when the program still runs after the time limit.
    std::optional<DWORD> WaitForExit(DWORD milliseconds) {
        if (process_ == nullptr || WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return code;
    }

    bool IsRunning() {
        return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
    }
    DWORD Id() const { return processId_; }
    HANDLE Handle() const { return process_; }

    void Kill() {
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_, 99);
                WaitForSingleObject(process_, 5000);
            }
            CloseHandle(process_);
            process_ = nullptr;
        }
    }

  private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
};

// Runs vigilor.exe with the arguments to its end (or the time limit) and gives its exit code.
inline std::optional<DWORD> RunEngineCommand(const std::wstring& arguments, DWORD limitMs = 20000) {
    Program program;
    if (!program.Start(EnginePath(), arguments)) {
        return std::nullopt;
    }
    return program.WaitForExit(limitMs);
}

inline bool EngineMutexExists() {
    for (const wchar_t* name : {L"Global\\CVVigilorExists", L"Local\\CVVigilorExists"}) {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
        if (mutex != nullptr) {
            CloseHandle(mutex);
            return true;
        }
    }
    return false;
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Starts an engine and waits until it has claimed the single-instance mutex.
inline bool StartEngine(Program& engine, const std::wstring& arguments = L"") {
    return engine.Start(EnginePath(), arguments) &&
           WaitFor([&] { return EngineMutexExists() || !engine.IsRunning(); },
                   std::chrono::seconds(20)) &&
           engine.IsRunning();
}

}  // namespace cv::e2e
