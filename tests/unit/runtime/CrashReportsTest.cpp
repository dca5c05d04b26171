// The crash filter on the simulated machine: dump, message, restart, and the crash-loop limit.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "platform/Clock.h"
#include "platform/CrashDump.h"
#include "platform/Registry.h"
#include "platform/sim/SimFiles.h"
#include "runtime/CrashReports.h"
#include "runtime/EngineProcess.h"
#include "texts/Messages.h"

namespace cv::test {
namespace {

using platform::RegistryRoot;

constexpr wchar_t kDumpPath[] = L"C:\\ProgramData\\Corvane\\vigilor.exe.dmp";

class CrashReportsTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ResetCrashFilter();
        SetMessagesSilenced(false);
        sim::SetSpecialFolder(platform::SpecialFolder::CommonAppData, L"C:\\ProgramData");
        InstallCrashFilter();
    }
    void TearDown() override { ResetCrashFilter(); }

    // Runs the installed filter as a crash would; the exit code it ended the process with.
    std::uint32_t Crash() {
        ResetCrashFilter();
        SetCrashRunningAsService(service_);
        try {
            machine().setup.crashFilter();
        } catch (const sim::ProcessExitCalled& exit) {
            return exit.exitCode;
        }
        ADD_FAILURE() << "the filter returned";
        return 99;
    }
    bool service_ = false;
    std::size_t Restarts() {
        std::size_t count = 0;
        for (const auto& launch : machine().launches) {
            count += launch.parameters.find(L"/restart=4242") != std::wstring::npos ? 1 : 0;
        }
        return count;
    }
};

TEST_F(CrashReportsTest, EachSettingDumpsTellsAndRestartsAsItShould) {
    struct Case {
        const char* name;
        bool noDumps;
        bool service;
        bool dumpFails;
        int answer;
        bool dumpExpected;
        std::size_t boxes;
        bool explorer;
        std::uint32_t exitCode;
        std::size_t restarts;
    };
    const Case cases[] = {
        {"interactive, Yes", false, false, false, platform::kIdYes, true, 1, true, 0, 1},
        {"interactive, No", false, false, false, platform::kIdNo, true, 1, false, 0, 1},
        {"dump fails", false, false, true, platform::kIdOk, false, 1, false, 0, 1},
        {"NoVigilorDumps", true, false, false, platform::kIdYes, false, 0, false, 0, 1},
        {"service", false, true, false, platform::kIdYes, true, 0, false, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::PutFile(kDumpPath, "stale");
        if (c.noDumps) {
            machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane", L"NoVigilorDumps",
                               1);
        }
        machine().setup.dumpFails = c.dumpFails;
        service_ = c.service;
        machine().messageBoxAnswers.push_back(c.answer);
        const std::uint64_t before = machine().Now();

        EXPECT_EQ(Crash(), c.exitCode);
        EXPECT_EQ(sim::FileBytes(kDumpPath).has_value(), c.dumpExpected);
        EXPECT_EQ(machine().messageBoxes.size(), c.boxes);
        if (c.boxes == 1) {
            EXPECT_EQ(machine().messageBoxes[0].caption, L"Corvane");
            EXPECT_EQ(machine().messageBoxes[0].text.find(kDumpPath) != std::wstring::npos,
                      c.dumpExpected);
        }
        bool explorer = false;
        for (const auto& launch : machine().launches) {
            explorer = explorer || launch.file == L"explorer.exe";
        }
        EXPECT_EQ(explorer, c.explorer);
        EXPECT_EQ(Restarts(), c.restarts);
        EXPECT_GE(machine().Now() - before, 5000u);
        // The held suspensions were released, and the dump written, with every other thread
        // frozen, and they were let go again.
        EXPECT_EQ(machine().setup.otherThreadsSuspended, c.noDumps ? 1 : 2);
        EXPECT_EQ(machine().setup.otherThreadsResumed, machine().setup.otherThreadsSuspended);
    }
}

TEST_F(CrashReportsTest, SecondEntryReturnsAtOnceAndShutdownEndsQuietly) {
    ProcessStopFlag() = true;
    sim::PutFile(kDumpPath, "stale");
    EXPECT_EQ(Crash(), 0u);
    EXPECT_FALSE(sim::FileBytes(kDumpPath).has_value());
    EXPECT_TRUE(machine().launches.empty());
    // Still entered: a second crash is left to the system.
    EXPECT_EQ(machine().setup.crashFilter(), 0);
}

TEST_F(CrashReportsTest, FourthCrashWithinTenMinutesEndsTheEngineWithARecord) {
    machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane", L"NoVigilorDumps", 1);
    for (int crash = 0; crash < 3; ++crash) {
        EXPECT_EQ(Crash(), 0u);
        machine().AdvanceClock(60'000);
    }
    EXPECT_EQ(Restarts(), 3u);
    EXPECT_EQ(Crash(), 1u);
    EXPECT_EQ(Restarts(), 3u);
    sim::PutFolder(L"C:\\Logs");
    ProcessValues().LogFolderOverride = L"C:\\Logs";
    EXPECT_EQ(Crash(), 1u);
    const auto log = sim::FileBytes(L"C:\\Logs\\corvane.log");
    ASSERT_TRUE(log.has_value());
    EXPECT_NE(log->find("not restarted again"), std::string::npos);

    // Once the first restarts are older than the window, restarting is allowed again.
    machine().AdvanceClock(10 * 60'000);
    EXPECT_EQ(Crash(), 0u);
    EXPECT_EQ(Restarts(), 4u);
}

TEST_F(CrashReportsTest, CrashLoopEndIsToldToAnInteractiveUser) {
    for (int crash = 0; crash < 3; ++crash) {
        Crash();
    }
    machine().messageBoxes.clear();
    machine().messageBoxAnswers.push_back(platform::kIdNo);
    EXPECT_EQ(Crash(), 1u);
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    EXPECT_NE(machine().messageBoxes[0].text.find(L"will not be restarted"), std::wstring::npos);
}

TEST(DumpCallbackTest, AnswersByKindAndCallback) {
    using platform::DumpCallbackType;
    struct Case {
        int kind;
        DumpCallbackType type;
        std::wstring module;
        std::uint32_t flagsIn;
        std::uint32_t threadId;
        bool answer;
        std::uint32_t flagsOut;
    };
    constexpr std::uint32_t kWrite = platform::kModuleWriteModule;
    constexpr std::uint32_t kData = platform::kModuleWriteDataSeg;
    constexpr std::uint32_t kReferenced = platform::kModuleReferencedByMemory;
    const Case cases[] = {
        {0, DumpCallbackType::Module, L"C:\\x\\a.dll", kWrite, 0, true, 0},
        {0, DumpCallbackType::Module, L"C:\\x\\a.dll", kWrite | kReferenced, 0, true,
         kWrite | kReferenced},
        {1, DumpCallbackType::Module, L"C:\\x\\other.dll", kData, 0, true, 0},
        {1, DumpCallbackType::Module, L"C:\\x\\VIGILOR.exe", kData, 0, true, kData},
        {1, DumpCallbackType::Module, L"C:\\w\\ntdll.dll", kData, 0, true, kData},
        {1, DumpCallbackType::Module, L"", kData, 0, true, 0},
        {2, DumpCallbackType::Module, L"C:\\x\\a.dll", kData, 0, true, kData},
        {2, DumpCallbackType::IncludeThread, L"", 0, 9, false, 0},
        {2, DumpCallbackType::IncludeThread, L"", 0, 8, true, 0},
        {2, DumpCallbackType::Memory, L"", 0, 0, true, 0},
        {1, DumpCallbackType::Memory, L"", 0, 0, false, 0},
        {2, DumpCallbackType::Cancel, L"", 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        const platform::DumpRequest request{L"d.dmp", c.kind, L"vigilor"};
        platform::DumpCallbackInput input{c.type, c.module, c.threadId, c.flagsIn};
        EXPECT_EQ(platform::DumpCallbackAnswer(request, 9, input), c.answer) << c.kind;
        EXPECT_EQ(input.moduleFlags, c.flagsOut) << c.kind;
    }
}

}  // namespace
}  // namespace cv::test
