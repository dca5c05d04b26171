#pragma once
// The engine's own process when it crashes: the unhandled-exception filter, the thread that
// writes the minidump, and freezing the engine's other threads while it does.
#include <cstdint>
#include <optional>
#include <string>

#include "common/WideString.h"
#include "platform/Handle.h"

namespace cv::platform {

// The filter's result: 0 lets the system's own handling end the process.
using CrashFilterFunction = long (*)();

// SetUnhandledExceptionFilter with the given function.
void SetProcessCrashFilter(CrashFilterFunction filter);

// What the dump thread writes: kind 0 (scan memory), 1 (data and handles) or 2 (full memory).
struct DumpRequest {
    std::wstring path;
    int kind = 2;
    // The engine's own module name without folder and extension.
    std::wstring ownModuleBaseName;
};

constexpr std::uint32_t DumpTypeForKind(int kind) {
    return kind == 0 ? 0x50u : kind == 1 ? 0x1A25u : 0x1A27u;
}

// Module flags of the dump callback, as MiniDumpWriteDump reports them.
constexpr std::uint32_t kModuleWriteModule = 0x0001;
constexpr std::uint32_t kModuleWriteDataSeg = 0x0002;
constexpr std::uint32_t kModuleReferencedByMemory = 0x0010;

enum class DumpCallbackType {
    Module,
    Thread,
    ThreadEx,
    IncludeThread,
    IncludeModule,
    Memory,
    Cancel,
    Other
};

struct DumpCallbackInput {
    DumpCallbackType type = DumpCallbackType::Other;
    std::wstring modulePath;        // module callbacks
    std::uint32_t threadId = 0;     // include-thread callbacks
    std::uint32_t moduleFlags = 0;  // module callbacks: in, and changed in place
};

// What the dump callback answers; module flags are trimmed so that small dumps keep only what
// explains a crash of the engine.
inline bool DumpCallbackAnswer(const DumpRequest& request, std::uint32_t dumpThreadId,
                               DumpCallbackInput& input) {
    switch (input.type) {
        case DumpCallbackType::Module:
            if (request.kind == 0 && (input.moduleFlags & kModuleReferencedByMemory) == 0) {
                input.moduleFlags &= ~kModuleWriteModule;
            } else if (request.kind == 1 && (input.moduleFlags & kModuleWriteDataSeg) != 0) {
                const std::size_t slash = input.modulePath.find_last_of(L"\\/");
                std::wstring base = slash == std::wstring::npos
                                        ? input.modulePath
                                        : input.modulePath.substr(slash + 1);
                base = base.substr(0, base.find_last_of(L'.'));
                const bool keep =
                    !input.modulePath.empty() &&
                    (EqualsIgnoreCase(base, request.ownModuleBaseName) ||
                     EqualsIgnoreCase(base, L"kernel32") || EqualsIgnoreCase(base, L"ntdll"));
                if (!keep) {
                    input.moduleFlags &= ~kModuleWriteDataSeg;
                }
            }
            return true;
        case DumpCallbackType::Thread:
        case DumpCallbackType::ThreadEx:
        case DumpCallbackType::IncludeModule:
            return true;
        case DumpCallbackType::IncludeThread:
            // The dump thread would only show itself writing the dump.
            return input.threadId != dumpThreadId;
        case DumpCallbackType::Memory:
            return request.kind == 2;
        default:
            return false;
    }
}

// A suspended thread that writes the dump (CreateFileW, MiniDumpWriteDump, close) when resumed;
// its exit code is non-zero when the dump was written. None when it cannot be created.
struct DumpThread {
    UniqueHandle thread;
    std::uint32_t threadId = 0;
};
std::optional<DumpThread> CreateDumpThreadSuspended(const DumpRequest& request);
bool ResumeThreadHandle(RawHandle thread);
// GetExitCodeThread; none when it cannot be read.
std::optional<std::uint32_t> ThreadExitCode(RawHandle thread);
std::uint32_t CurrentThreadId();

// Every thread of the own process except the given one and the calling thread.
void SuspendOtherThreads(std::uint32_t exceptThreadId);
void ResumeOtherThreads(std::uint32_t exceptThreadId);

}  // namespace cv::platform
