#pragma once
// A fresh simulated machine and fresh process-wide state for every test.
#include <gtest/gtest.h>

#include "platform/sim/SimMachine.h"
#include "processes/HandleCache.h"
#include "services/EngineProcess.h"
#include "services/HeldSuspensions.h"
#include "services/Language.h"
#include "services/RecoveryJournal.h"

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
