// The baseline for scripts/wine-footprint.sh: a program that maps the same DLLs as vigilor.exe
// and does nothing but take the process list once a second, with the same call and the same kept
// buffer as the engine's snapshot. What the engine costs beyond this is the cost of its rules.
// It imports the DLLs the engine imports; the ones the engine loads at run time (the language
// module, and whatever the system libraries pull in) the script reads from the running engine's
// mappings and names here with /load=. /threads= starts idle threads, so that the script can
// measure what the engine's own threads cost apart from its image and data.
//
//   cv_listquery.exe [seconds] [/load=<dll>]... [/threads=<count>]
//                                queries until told to end, or for at most the seconds given
//                                (600 when none); LoadLibraryW of each DLL named, by name (the
//                                system's search order) or by full path, before the first query
//   cv_listquery.exe /exit       tells every running copy to end
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <dbghelp.h>
#include <pdh.h>
#include <rpc.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kStopEventName[] = L"Local\\CvListQueryStop";
constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
// The engine's snapshot keeps this much room above the size last asked for.
constexpr std::size_t kHeadroom = 0x40000;
constexpr DWORD kDefaultSeconds = 600;
// The engine's own threads reserve this much stack.
constexpr SIZE_T kIdleThreadStackReserve = 256 * 1024;
constexpr int kMaxIdleThreads = 256;
constexpr DWORD kThreadEndMs = 5000;

using QuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

// One cheap call into each DLL the engine imports, so that the linker keeps every import and the
// loader maps the same modules into both processes: advapi32, dbghelp, pdh, rpcrt4, shlwapi and
// user32 in turn. shell32 splits the command line; kernel32 and msvcrt come with any program.
void TouchEngineImports() {
    wchar_t user[256] = {};
    DWORD userLength = 256;
    GetUserNameW(user, &userLength);
    ImagehlpApiVersion();
    DWORD pdhVersion = 0;
    PdhGetDllVersion(&pdhVersion);
    UUID nil;
    UuidCreateNil(&nil);
    PathFindFileNameW(L"C:\\vigilor.exe");
    GetForegroundWindow();
}

// The engine's snapshot: the kept buffer is tried first, and grows with headroom when the list
// no longer fits.
class ProcessList {
  public:
    explicit ProcessList(QuerySystemInformationFn query) : query_(query) {}

    bool Take() {
        if (buffer_.empty()) {
            ULONG needed = 0;
            if (query_(kSystemProcessInformation, nullptr, 0, &needed) !=
                kStatusInfoLengthMismatch) {
                needed = 0;
            }
            buffer_.resize(needed + kHeadroom);
        }
        for (int attempt = 0; attempt <= 64; ++attempt) {
            ULONG returned = 0;
            const LONG status = query_(kSystemProcessInformation, buffer_.data(),
                                       static_cast<ULONG>(buffer_.size()), &returned);
            if (status >= 0) {
                return true;
            }
            std::size_t size = std::size_t{returned} + kHeadroom;
            if (status == kStatusInfoLengthMismatch) {
                size += kHeadroom;
            }
            std::vector<std::uint8_t>(size).swap(buffer_);
        }
        return false;
    }

  private:
    QuerySystemInformationFn query_;
    std::vector<std::uint8_t> buffer_;
};

bool StartsWith(const wchar_t* text, const wchar_t* prefix, const wchar_t** rest) {
    const int length = lstrlenW(prefix);
    if (CompareStringOrdinal(text, std::min(lstrlenW(text), length), prefix, length, TRUE) !=
        CSTR_EQUAL) {
        return false;
    }
    *rest = text + length;
    return true;
}

// An idle thread: it only waits for an event, as most of the engine's threads do between their
// wake-ups.
DWORD WINAPI IdleThread(LPVOID release) {
    WaitForSingleObject(static_cast<HANDLE>(release), INFINITE);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argumentCount = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    const bool exitRequest =
        arguments != nullptr && argumentCount > 1 && lstrcmpiW(arguments[1], L"/exit") == 0;
    DWORD seconds = kDefaultSeconds;
    std::vector<std::wstring> libraries;
    int idleThreads = 0;
    for (int i = 1; !exitRequest && arguments != nullptr && i < argumentCount; ++i) {
        const wchar_t* value = nullptr;
        if (StartsWith(arguments[i], L"/load=", &value)) {
            if (*value != L'\0') {
                libraries.emplace_back(value);
            }
        } else if (StartsWith(arguments[i], L"/threads=", &value)) {
            idleThreads = std::min(std::max(StrToIntW(value), 0), kMaxIdleThreads);
        } else if (StrToIntW(arguments[i]) > 0) {
            seconds = static_cast<DWORD>(StrToIntW(arguments[i]));
        }
    }
    LocalFree(arguments);

    if (exitRequest) {
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName);
        if (stop == nullptr) {
            return 1;
        }
        SetEvent(stop);
        CloseHandle(stop);
        return 0;
    }

    TouchEngineImports();
    // Kept loaded for the life of the process, as the engine keeps its modules. One that cannot be
    // loaded is left out; the script's comparison of the two processes' mappings shows it.
    for (const std::wstring& library : libraries) {
        LoadLibraryW(library.c_str());
    }
    const auto query = reinterpret_cast<QuerySystemInformationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "ZwQuerySystemInformation")));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStopEventName);
    // The idle threads' own event: ending by the time limit must not end other running copies.
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (query == nullptr || stop == nullptr || release == nullptr) {
        return 2;
    }
    int status = 0;
    std::vector<HANDLE> threads;
    for (int i = 0; i < idleThreads; ++i) {
        HANDLE thread = CreateThread(nullptr, kIdleThreadStackReserve, IdleThread, release,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread == nullptr) {
            status = 4;
            break;
        }
        threads.push_back(thread);
    }
    ProcessList list(query);
    const ULONGLONG end = GetTickCount64() + ULONGLONG{seconds} * 1000;
    while (status == 0) {
        if (!list.Take()) {
            status = 3;
            break;
        }
        if (GetTickCount64() >= end || WaitForSingleObject(stop, 1000) != WAIT_TIMEOUT) {
            break;
        }
    }
    SetEvent(release);
    const ULONGLONG threadsEnd = GetTickCount64() + kThreadEndMs;
    for (HANDLE thread : threads) {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(thread, now < threadsEnd ? static_cast<DWORD>(threadsEnd - now) : 0);
        CloseHandle(thread);
    }
    CloseHandle(release);
    CloseHandle(stop);
    return status;
}
