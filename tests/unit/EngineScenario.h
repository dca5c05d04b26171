#pragma once
// Scenario tests: an engine's control loop on the simulated machine, with a configuration file
// of the test's choosing, run one cycle at a time, and its action log read back.
#include <map>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "engine/ControlLoop.h"
#include "platform/sim/SimFiles.h"
#include "processes/HandleCache.h"

namespace cv::test {

struct LoggedAction {
    std::uint32_t actionId = 0;
    std::uint32_t pid = 0;
    std::wstring user;
    std::wstring basename;
    std::wstring info;
    std::wstring path;
    std::wstring commandLine;
};

class EngineScenario : public SimTest {
  protected:
    static constexpr wchar_t kConfigFolder[] = L"C:\\Cfg";
    static constexpr wchar_t kLogFolder[] = L"C:\\Logs";

    void SetUp() override {
        SimTest::SetUp();
        ProcessValues().ConfigFolderOverride = kConfigFolder;
        ProcessValues().LogFolderOverride = kLogFolder;
        sim::PutFolder(kLogFolder);
    }
    void TearDown() override {
        loop_.reset();
        ProcessHandleCache::Instance().Clear();
    }

    // corvex.ini: the defaults with the given keys changed.
    static std::string ConfigWith(const std::map<std::wstring, std::wstring>& keys) {
        // The defaults the engine takes on this machine.
        SettingsEnvironment environment;
        environment.processors.activeProcessors = sim::Machine::Get().activeProcessorsAllGroups;
        ConfigSettings defaults(environment);
        ConfigDocument document;
        defaults.WriteSettings(document);
        for (std::size_t i = 0; i < document.keys.size(); ++i) {
            const auto it = keys.find(document.keys[i]);
            if (it != keys.end()) {
                document.values[i] = it->second;
            }
        }
        return RenderConfigBytes(document);
    }
    static std::wstring ConfigPath() { return std::wstring(kConfigFolder) + L"\\corvex.ini"; }
    void WriteConfig(const std::map<std::wstring, std::wstring>& keys) {
        sim::PutFile(ConfigPath(), ConfigWith(keys));
    }

    ControlLoop& Start(const std::map<std::wstring, std::wstring>& keys = {}) {
        WriteConfig(keys);
        return StartWithoutFile();
    }
    ControlLoop& StartWithoutFile() {
        loop_ = std::make_unique<ControlLoop>();
        EXPECT_EQ(loop_->Startup(), 0);
        return *loop_;
    }
    void Cycles(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(loop_->RunCycle());
        }
    }

    // Stops the engine (which writes what is queued) and reads its log.
    std::vector<LoggedAction> StopAndReadLog(const std::wstring& logFolder = kLogFolder) {
        loop_->Shutdown();
        loop_.reset();
        return ReadLog(logFolder);
    }
    static std::vector<LoggedAction> ReadLog(const std::wstring& logFolder = kLogFolder) {
        std::vector<LoggedAction> actions;
        const auto bytes = sim::FileBytes(logFolder + L"\\corvane.log");
        if (!bytes) {
            return actions;
        }
        const std::wstring text = FromUtf8(bytes->substr(3));
        std::size_t start = text.find(L"\r\n") + 2;  // after the header
        while (start < text.size()) {
            const std::size_t end = text.find(L"\r\n", start);
            const std::wstring line = text.substr(start, end - start);
            start = end + 2;
            std::vector<std::wstring> fields;
            std::size_t from = 1;
            for (;;) {
                const std::size_t next = line.find(L"\",\"", from);
                fields.push_back(Unescape(line.substr(
                    from, next == std::wstring::npos ? line.size() - 1 - from : next - from)));
                if (next == std::wstring::npos) {
                    break;
                }
                from = next + 3;
            }
            if (fields.size() != 11) {
                ADD_FAILURE() << "malformed log line";
                continue;
            }
            LoggedAction action;
            action.user = fields[3];
            action.pid = static_cast<std::uint32_t>(WideToLong(fields[4]));
            action.basename = fields[5];
            action.actionId = static_cast<std::uint32_t>(WideToLong(fields[6]));
            action.info = fields[8];
            action.path = fields[9];
            action.commandLine = fields[10];
            actions.push_back(action);
        }
        return actions;
    }
    static std::vector<std::uint32_t> Ids(const std::vector<LoggedAction>& actions) {
        std::vector<std::uint32_t> ids;
        for (const auto& action : actions) {
            ids.push_back(action.actionId);
        }
        return ids;
    }
    static std::vector<LoggedAction> Only(const std::vector<LoggedAction>& actions,
                                          std::uint32_t id) {
        std::vector<LoggedAction> found;
        for (const auto& action : actions) {
            if (action.actionId == id) {
                found.push_back(action);
            }
        }
        return found;
    }

    std::unique_ptr<ControlLoop> loop_;

  private:
    static std::wstring Unescape(const std::wstring& value) {
        std::wstring out;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == L'\\' && i + 1 < value.size() && value[i + 1] == L',') {
                out += L',';
                ++i;
            } else if ((value[i] == L'"' || value[i] == L'\'') && i + 1 < value.size() &&
                       value[i + 1] == value[i]) {
                out += value[i];
                ++i;
            } else {
                out += value[i];
            }
        }
        return out;
    }
};

}  // namespace cv::test
