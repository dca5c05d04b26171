#include <functional>
#include <random>
#include <set>
#include <vector>

#include "SimFixture.h"
#include "platform/KernelObjects.h"
#include "platform/SystemProcessLayout.h"
#include "processes/DisplayName.h"
#include "processes/HandleCache.h"
#include "processes/NewProcess.h"
#include "processes/ParentTree.h"
#include "processes/ProcessInfo.h"
#include "processes/ProcessSnapshot.h"
#include "processes/SystemCpuMeter.h"

namespace cv {
namespace {

TEST(DisplayName, ServiceHostsAndRundllShowWhatTheyRun) {
    const struct {
        const wchar_t* image;
        const wchar_t* commandLine;
        const wchar_t* expected;
    } cases[] = {
        {L"svchost.exe", L"C:\\Windows\\system32\\svchost.exe -k netsvcs -p",
         L"svchost.exe (netsvcs -p)"},
        {L"SVCHOST.EXE", L"svchost.exe -K LocalService", L"svchost.exe (LocalService)"},
        {L"svchost.exe", L"svchost.exe -k", L"svchost.exe"},
        {L"svchost.exe", L"svchost.exe -k ", L"svchost.exe"},
        {L"svchost.exe", L"svchost.exe", L"svchost.exe"},
        {L"rundll32.exe", L"\"C:\\Windows\\System32\\rundll32.exe\" shell32.dll,Control_RunDLL",
         L"rundll32.exe (shell32.dll)"},
        {L"rundll32.exe", L"rundll32.exe  printui.dll,PrintUIEntry", L"rundll32.exe (printui.dll)"},
        {L"rundll32.exe", L"rundll32 \"C:\\x y\\a.dll\"", L"rundll32.exe (\"C:\\x y\\a.dll)"},
        {L"rundll32.exe", L"rundll32.exe", L"rundll32.exe"},
        {L"rundll32.exe", L"RUNDLL32.EXE x.dll", L"rundll32.exe"},  // the search is case-sensitive
        {L"notepad.exe", L"notepad.exe -k x", L"notepad.exe"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DisplayName(c.image, c.commandLine), c.expected) << c.commandLine;
    }
}

TEST(NewProcessLogFilter, SamePidNotTwiceInARow) {
    NewProcessLogFilter filter;
    EXPECT_TRUE(filter.ShouldWrite(10));
    EXPECT_FALSE(filter.ShouldWrite(10));
    EXPECT_TRUE(filter.ShouldWrite(11));
    EXPECT_FALSE(filter.ShouldWrite(10));  // still one of the last two
    EXPECT_TRUE(filter.ShouldWrite(12));
    EXPECT_TRUE(filter.ShouldWrite(10));  // after two others it may be logged again
}

class ProcessFactsTest : public test::SimTest {
  protected:
    void TearDown() override { ProcessHandleCache::Instance().Clear(); }

    // The snapshot's view of one process, as the control loop gets it.
    std::unique_ptr<ProcessInfo> InfoOf(std::uint32_t pid) {
        ProcessSnapshot snapshot;
        snapshot.Take(false);
        std::unique_ptr<ProcessInfo> found;
        snapshot.ForEachEntry([&](const std::uint8_t* entry, std::size_t size) {
            auto info = std::make_unique<ProcessInfo>();
            info->FillFromEntry(entry, size);
            if (info->Pid() == pid) {
                found = std::move(info);
            }
        });
        return found;
    }
    // The next cycle's look at the process list, as the engine refreshes its records.
    static void Refresh(ProcessInfo& info) {
        ProcessSnapshot snapshot;
        snapshot.Take(false);
        snapshot.ForEachEntry([&](const std::uint8_t* entry, std::size_t size) {
            if (platform::layout::Read<std::uint64_t>(entry, platform::layout::kUniqueProcessId) ==
                info.Pid()) {
                info.FillFromEntry(entry, size);
            }
        });
    }
};

TEST_F(ProcessFactsTest, SnapshotListsEveryProcessButTheIdleProcess) {
    for (std::uint32_t pid : {4u, 100u, 2000u}) {
        machine().AddProcess(pid, L"p" + std::to_wstring(pid) + L".exe").threadCount = pid % 7 + 1;
    }
    ProcessSnapshot snapshot;
    snapshot.Take(false);
    std::vector<std::pair<std::uint32_t, std::wstring>> seen;
    snapshot.ForEachEntry([&](const std::uint8_t* entry, std::size_t size) {
        ProcessInfo info;
        info.FillFromEntry(entry, size);
        seen.emplace_back(info.Pid(), info.ImageName());
    });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(4u, std::wstring(L"p4.exe")));
    EXPECT_EQ(seen[2], std::make_pair(2000u, std::wstring(L"p2000.exe")));
    const std::size_t kept = snapshot.Capacity();
    EXPECT_GE(kept, 0x40000u);  // headroom kept for the next cycle
    snapshot.Take(false);
    EXPECT_EQ(snapshot.Capacity(), kept);
}

TEST_F(ProcessFactsTest, InfoReadsFactsOnceAndKeepsThemForTheSamePid) {
    auto& process = machine().AddProcess(300, L"Tool.exe");
    process.parentPid = 12;
    process.threadCount = 3;
    process.commandLine = L"tool.exe --go";
    process.user = L"alice";
    auto info = InfoOf(300);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->ParentPid(), 12u);
    EXPECT_EQ(info->ThreadCount(), 3u);
    EXPECT_EQ(info->FirstThreadId(), 301u);
    EXPECT_EQ(info->Path(), L"C:\\Programs\\Tool.exe");
    EXPECT_EQ(info->CommandLine(), L"tool.exe --go");
    EXPECT_EQ(info->UserName(), L"alice");
    EXPECT_EQ(info->DomainName(), L"TESTPC");
    EXPECT_TRUE(info->IsAlive());

    // Cached: a changed command line is seen only when asked to refresh.
    machine().FindProcess(300)->commandLine = L"tool.exe --other";
    EXPECT_EQ(info->CommandLine(), L"tool.exe --go");
    EXPECT_EQ(info->CommandLine(true), L"tool.exe --other");

    machine().EndProcess(300);
    EXPECT_FALSE(info->IsAlive());
    EXPECT_EQ(ProcessHandleCache::Instance().Size(), 0u);
}

TEST_F(ProcessFactsTest, ProtectedAndUnreadableProcesses) {
    auto& protectedProcess = machine().AddProcess(50, L"csrss.exe");
    protectedProcess.commandLine = L"secret";
    auto info = InfoOf(50);
    EXPECT_EQ(info->CommandLine(), L"");  // its memory is never read

    auto& locked = machine().AddProcess(60, L"locked.exe");
    locked.fullAccess = false;  // only limited query
    info = InfoOf(60);
    EXPECT_TRUE(info->CanOpen());
    EXPECT_EQ(info->Path(), L"");
    machine().FindProcess(60)->fullAccess = true;
    ProcessHandleCache::Instance().ReleaseHandle(60);
    EXPECT_EQ(info->Path(), L"C:\\Programs\\locked.exe");  // tried again at the next call

    auto& noAccount = machine().AddProcess(70, L"svc.exe");
    noAccount.accountReadable = false;
    noAccount.sessionId = 0;
    info = InfoOf(70);
    EXPECT_EQ(info->UserName(), L"");  // remote-desktop services are not ready
    machine().SetNamedEvent(L"Global\\TermSrvReadyEvent");
    EXPECT_EQ(info->UserName(), L"SYSTEM");
    EXPECT_EQ(info->DomainName(), L"");
}

TEST_F(ProcessFactsTest, CpuShareIsOfTheWholeMachine) {
    machine().AddProcess(400, L"busy.exe");
    auto info = InfoOf(400);
    // One of 8 processors saturated for one second; the times come from the process list.
    machine().AdvanceClock(1000);
    machine().AddCpuTime(400, 10'000'000);
    Refresh(*info);
    EXPECT_DOUBLE_EQ(info->SampleCpu(), 12.5);
    machine().AdvanceClock(1000);
    Refresh(*info);
    EXPECT_DOUBLE_EQ(info->SampleCpu(), 0.0);
    // A sample at the same time as the previous one reads 0.
    machine().AddCpuTime(400, 10'000'000);
    Refresh(*info);
    EXPECT_DOUBLE_EQ(info->SampleCpu(), 0.0);
    // The clock set back an hour: no share (not a negative one) until the next sample, which
    // counts from this one.
    machine().AdvanceClock(1000);
    machine().systemTimeShiftMs = -3'600'000;
    machine().AddCpuTime(400, 10'000'000);
    Refresh(*info);
    EXPECT_DOUBLE_EQ(info->SampleCpu(), 0.0);
    EXPECT_DOUBLE_EQ(info->CpuPercent(), 0.0);
    machine().AdvanceClock(1000);
    machine().AddCpuTime(400, 10'000'000);
    Refresh(*info);
    EXPECT_DOUBLE_EQ(info->SampleCpu(), 12.5);
    // Without an entry the process itself is asked.
    ProcessInfo bare;
    EXPECT_DOUBLE_EQ(bare.SampleCpu(), 0.0);
}

// An entry cut short (a list that ends early) is read only as far as it goes: the fields it
// does not reach read as zero, never as what lies past it.
TEST_F(ProcessFactsTest, AShortEntryIsReadOnlyAsFarAsItGoes) {
    namespace layout = platform::layout;
    std::vector<std::uint8_t> entry(layout::kInheritedFromUniqueProcessId, 0);
    layout::Write<std::uint64_t>(entry.data(), layout::kUniqueProcessId, 700);
    layout::Write<std::uint32_t>(entry.data(), layout::kNumberOfThreads, 2);
    ProcessInfo info;
    info.FillFromEntry(entry.data(), entry.size());
    EXPECT_EQ(info.Pid(), 700u);
    EXPECT_EQ(info.ThreadCount(), 2u);
    EXPECT_EQ(info.ParentPid(), 0u);
    EXPECT_EQ(info.HandleCount(), 0u);
    EXPECT_EQ(info.EntrySessionId(), 0u);
    EXPECT_EQ(info.IoTransferBytes(), 0u);
    EXPECT_EQ(info.FirstThreadId(), 0u);
    EXPECT_FALSE(info.IsSuspended());
}

TEST_F(ProcessFactsTest, SystemCpuFromIdleTimes) {
    SystemCpuMeter meter;
    EXPECT_EQ(meter.SampleTotalCpu(), -1);
    machine().AdvanceClock(1000);
    // 8 processors, each idle for 0.75 s of the second.
    for (auto& idle : machine().processorIdleTimes) {
        idle += 7'500'000;
    }
    EXPECT_DOUBLE_EQ(meter.SampleTotalCpu(), 25.0);
}

TEST_F(ProcessFactsTest, ParentTreeDropsReusedParentIds) {
    machine().AddProcess(10, L"parent.exe");
    machine().AdvanceClock(100);
    machine().AddProcess(20, L"child.exe");
    ParentTree tree;
    tree.AddProcess(10, L"Parent.exe", 4);
    tree.AddProcess(20, L"child.exe", 10);
    EXPECT_EQ(tree.ParentOf(20), 10u);
    EXPECT_EQ(tree.NameOf(10), L"parent.exe");
    EXPECT_EQ(tree.ChildrenOf(10).count(20), 1u);

    // Process 30 names 40 as its parent, but 40 was created later: the id was reused.
    machine().AddProcess(30, L"orphan.exe");
    machine().AdvanceClock(100);
    machine().AddProcess(40, L"newcomer.exe");
    tree.AddProcess(30, L"orphan.exe", 40);
    EXPECT_EQ(tree.ParentOf(30), 0u);

    tree.RemoveProcess(20);
    EXPECT_EQ(tree.ChildrenOf(10).count(20), 0u);
    EXPECT_EQ(tree.NameOf(20), L"");

    // 60 and 70 were started by 50, which the tree does not track. When 50's id is taken by a
    // newcomer before 70 is added, 70 must not pass for the newcomer's child.
    machine().AddProcess(50, L"launcher.exe");
    machine().AdvanceClock(100);
    machine().AddProcess(60, L"first.exe");
    machine().AddProcess(70, L"second.exe");
    tree.AddProcess(60, L"first.exe", 50);
    EXPECT_EQ(tree.ParentOf(60), 50u);
    machine().EndProcess(50);
    machine().AdvanceClock(100);
    machine().AddProcess(50, L"newcomer.exe");
    tree.AddProcess(70, L"second.exe", 50);
    EXPECT_EQ(tree.ParentOf(70), 0u);
}

TEST_F(ProcessFactsTest, HandleCacheOpensOncePerProcess) {
    machine().AddProcess(500);
    machine().AddProcess(501);
    auto& cache = ProcessHandleCache::Instance();
    const auto first = cache.GetHandle(500);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(cache.GetHandle(500), first);
    EXPECT_NE(cache.GetHandle(501), nullptr);
    EXPECT_EQ(cache.GetHandle(999), nullptr);
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_EQ(cache.ReleaseAllExcept({501}), 1u);
    EXPECT_FALSE(cache.ReleaseHandle(500));
    EXPECT_TRUE(cache.ReleaseHandle(501));
}

// A sweep that asks only about the removed ids and the handles opened since the last one keeps
// exactly what a sweep of every handle keeps, over random opens, releases and table changes;
// one stretch opens more handles between two sweeps than the cache counts.
TEST_F(ProcessFactsTest, ASweepOfWhatChangedKeepsWhatASweepOfEverythingKeeps) {
    constexpr std::uint32_t kIds = 40;
    for (std::uint32_t pid = 1; pid <= kIds; ++pid) {
        machine().AddProcess(pid * 4);
    }
    ProcessHandleCache plain;
    ProcessHandleCache swept;
    std::set<std::uint32_t> table;
    std::vector<std::uint32_t> removed;
    const auto kept = [&](std::uint32_t pid) { return table.count(pid) != 0; };
    std::mt19937 random(20261211);
    const auto somePid = [&] { return 4 * (1 + random() % kIds); };
    for (int step = 0; step < 20000; ++step) {
        const std::uint32_t pid = somePid();
        const bool manyOpens = step > 10000 && step < 15000;
        switch (manyOpens ? 5 : random() % 6) {
            case 0:
            case 1:
                ASSERT_EQ(plain.Share(pid, 0) != nullptr, swept.Share(pid, 0) != nullptr);
                break;
            case 2:
                table.insert(pid);
                break;
            case 3:
                if (table.erase(pid) != 0) {
                    removed.push_back(pid);
                }
                break;
            case 4:
                ASSERT_EQ(plain.ReleaseAllExceptWhere(kept), swept.Sweep(removed, kept));
                removed.clear();
                for (std::uint32_t id = 4; id <= 4 * kIds; id += 4) {
                    ASSERT_EQ(plain.Holds(id), swept.Holds(id)) << "step " << step << " id " << id;
                }
                break;
            default:
                plain.ReleaseHandle(pid);
                swept.ReleaseHandle(pid);
                ASSERT_NE(plain.Share(pid, 0), nullptr);
                ASSERT_NE(swept.Share(pid, 0), nullptr);
                break;
        }
    }
}

TEST_F(ProcessFactsTest, AHandleNeverReachesANewcomerWithTheSameId) {
    auto& cache = ProcessHandleCache::Instance();
    const std::uint64_t first = machine().AddProcess(500, L"first.exe").createTime;
    ASSERT_NE(cache.Share(500, first), nullptr);
    cache.ReleaseHandle(500);
    machine().AdvanceClock(10);
    const std::uint64_t newcomer = machine().AddProcess(500, L"newcomer.exe").createTime;
    EXPECT_EQ(cache.Share(500, first), nullptr);  // reopened by id: the newcomer
    EXPECT_EQ(cache.Size(), 0u);
    ASSERT_NE(cache.Share(500, newcomer), nullptr);
    EXPECT_EQ(cache.GetHandle(500, first), nullptr);  // the cached one is the newcomer's
    EXPECT_EQ(cache.GetHandle(500), cache.GetHandle(500, newcomer));
}

TEST_F(ProcessFactsTest, AHeldHandleOutlivesTheCachesRelease) {
    auto& cache = ProcessHandleCache::Instance();
    const struct {
        const char* what;
        std::function<void()> release;
    } cases[] = {
        {"release", [&] { cache.ReleaseHandle(600); }},
        {"release of the ended records", [&] { cache.ReleaseAllExcept({}); }},
        {"clear", [&] { cache.Clear(); }},
    };
    machine().AddProcess(600, L"held.exe");
    auto info = InfoOf(600);
    for (const auto& c : cases) {
        const SharedProcessHandle held = info->Handle();
        ASSERT_NE(held, nullptr);
        c.release();
        EXPECT_EQ(cache.Size(), 0u) << c.what;
        EXPECT_TRUE(platform::GetTimesOfProcess(held->Get()).has_value()) << c.what;
        EXPECT_EQ(platform::WaitForObject(held->Get(), 0), platform::WaitResult::TimedOut)
            << c.what;
    }
}

TEST_F(ProcessFactsTest, TimesAreReadFromTheProcessItself) {
    // Ended: the CPU used since the last sample still counts.
    machine().AddProcess(800, L"ends.exe");
    auto ended = InfoOf(800);
    ASSERT_TRUE(ended->IsAlive());  // judged alive first, as every record is
    machine().AddCpuTime(800, 7'000'000);
    machine().EndProcess(800);
    EXPECT_FALSE(ended->IsAlive());
    EXPECT_EQ(ended->Times().kernel + ended->Times().user, 7'000'000u);

    // Without threads its handle is given back; a newcomer that then takes the id is neither
    // alive for this record nor read for it.
    machine().AddProcess(700, L"old.exe").threadCount = 0;
    auto old = InfoOf(700);
    machine().AddCpuTime(700, 5'000'000);
    EXPECT_TRUE(old->IsAlive());
    EXPECT_EQ(ProcessHandleCache::Instance().Size(), 0u);
    machine().AdvanceClock(10);
    machine().AddProcess(700, L"newcomer.exe");
    EXPECT_FALSE(old->IsAlive());
    EXPECT_FALSE(old->CanOpen());
    EXPECT_EQ(old->Path(), L"");
    EXPECT_EQ(old->Times().kernel + old->Times().user, 5'000'000u);
}

}  // namespace
}  // namespace cv
