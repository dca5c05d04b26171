#pragma once
// The post-update tool's scheduled tasks: the Task Scheduler service must run, the session
// agent starts at every logon, and the product is started by running its tasks by name.
#include <string>

namespace cv {

inline constexpr wchar_t kSessionAgentTaskName[] = L"Session agent for Corvane";
inline constexpr wchar_t kEngineTaskName[] = L"Corvane Core Engine Only";
inline constexpr wchar_t kInterfaceTaskName[] = L"Corvane Management Console (GUI)";

// The "Schedule" service runs, re-enabled and started when needed; a service still not
// running is reported in a message. False before Windows 6.0.
bool EnsureTaskSchedulerRunning();

// Registers the session agent of the folder (the tool's own folder when empty) as a logon task
// when its executable is there. Always false: nobody relies on it.
bool InstallSessionAgentTask(const std::wstring& folder);
bool DeleteSessionAgentTask();
// True when the task was registered; every failing step is reported in a message.
bool RegisterLogonTask(const std::wstring& name, const std::wstring& path,
                       const std::wstring& arguments);
bool RunTaskByName(const std::wstring& name);

// The path as a task action wants it: leading white space gone, in double quotes.
std::wstring QuoteTaskPath(const std::wstring& path);

}  // namespace cv
