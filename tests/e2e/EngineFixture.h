#pragma once
// One engine a test, started on a configuration of the test's lines: an engine an earlier test
// left running is asked to end first, and this one ends with the test, together with the helper
// programs the suite starts.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {

class EngineFixture : public ::testing::Test {
  protected:
    // `name` names the suite's folders; `helpers` are the images ended after each test;
    // `performance` is more of the [Performance] section.
    EngineFixture(const std::wstring& name, std::initializer_list<const wchar_t*> helpers,
                  std::string performance = "")
        : config(L"cfg-" + name),
          logs(L"logs-" + name),
          helpers_(helpers),
          performance_(std::move(performance)) {}

    void SetUp() override {
        if (EngineMutexExists()) {
            RunEngineCommand(L"/exit");
            ASSERT_TRUE(WaitFor([] { return !EngineMutexExists(); }, std::chrono::seconds(10)));
        }
    }
    void TearDown() override {
        if (engine.IsRunning()) {
            RunEngineCommand(L"/exit");
            engine.WaitForExit(5000);
        }
        EndHelpers();
    }

    // Ends every helper program still running, including those the engine started.
    void EndHelpers() {
        for (const wchar_t* image : helpers_) {
            EndProgramsNamed({image});
        }
    }

    // Starts the engine on a configuration of these lines and waits for its first cycle.
    void StartWith(const std::string& lines) {
        WriteBytes(config.File(L"corvex.ini"),
                   "[Performance]\r\nUpdateSpeedCore=200\r\n" + performance_ + lines);
        ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
        ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "60"); }, std::chrono::seconds(15)));
    }

    TempFolder config;
    TempFolder logs;
    Program engine;

  private:
    std::vector<const wchar_t*> helpers_;
    std::string performance_;
};

}  // namespace cv::e2e
