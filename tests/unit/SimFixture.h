#pragma once
// A fresh simulated machine and fresh process-wide state for every test.
#include <gtest/gtest.h>

#include "platform/sim/SimMachine.h"
#include "processes/HandleCache.h"
#include "runtime/EngineProcess.h"
#include "runtime/HeldSuspensions.h"
#include "runtime/RecoveryJournal.h"
#include "texts/Language.h"

namespace cv::test {

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Handles cached by an earlier test belong to the machine that is being replaced.
        ProcessHandleCache::Instance().Clear();
        machine().Reset();
        ResetLanguageState();
        ResetEngineProcessValues();
        RecoveryJournal::Instance().Reset();
        ResetHeldSuspensions();
    }
    static sim::Machine& machine() { return sim::Machine::Get(); }
};

}  // namespace cv::test
