// The baseline for scripts/wine-footprint.sh: a program that loads the same DLLs as vigilor.exe
// and does nothing but take the process list once a second, with the same call and the same kept
// buffer as the engine's snapshot. What the engine costs beyond this is the cost of its rules.
//
//   cv_listquery.exe [seconds]   queries until told to end, or for at most the seconds given
//                                (600 when none)
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

#include <cstdint>
#include <vector>

namespace {

constexpr wchar_t kStopEventName[] = L"Local\\CvListQueryStop";
constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
// The engine's snapshot keeps this much room above the size last asked for.
constexpr std::size_t kHeadroom = 0x40000;
constexpr DWORD kDefaultSeconds = 600;

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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argumentCount = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    const bool exitRequest =
        arguments != nullptr && argumentCount > 1 && lstrcmpiW(arguments[1], L"/exit") == 0;
    DWORD seconds = kDefaultSeconds;
    if (!exitRequest && arguments != nullptr && argumentCount > 1 && StrToIntW(arguments[1]) > 0) {
        seconds = static_cast<DWORD>(StrToIntW(arguments[1]));
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
    const auto query = reinterpret_cast<QuerySystemInformationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "ZwQuerySystemInformation")));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStopEventName);
    if (query == nullptr || stop == nullptr) {
        return 2;
    }
    ProcessList list(query);
    const ULONGLONG end = GetTickCount64() + ULONGLONG{seconds} * 1000;
    int status = 0;
    do {
        if (!list.Take()) {
            status = 3;
            break;
        }
    } while (GetTickCount64() < end && WaitForSingleObject(stop, 1000) == WAIT_TIMEOUT);
    CloseHandle(stop);
    return status;
}
