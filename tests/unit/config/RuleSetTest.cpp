// Rule lists are read from a published set: a load publishes all its lists in one step, a reader
// keeps the set it took, unchanged, however many loads follow, and no reader ever sees the lists
// of two loads mixed. Also built under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"

namespace cv {
namespace {

ConfigDocument Document(const char* text) {
    ConfigDocument document;
    EXPECT_TRUE(ParseConfigBytes(text, document));
    return document;
}

// Two loads whose lists name each other: a set with the first's priority rule must hold the
// first's disallowed name, throttle and watchdog rule too.
constexpr char kFirst[] =
    "[ProcessDefaults]\r\nDefaultPriorities=app.exe,High\r\n"
    "[ProcessAllowances]\r\nDisallowedProcesses=one.exe\r\nProcessThrottles=app.exe;1\r\n"
    "[AdvancedRules]\r\nWatchdogRules2=one.exe;0;0;90;0;0;0;1;-;-;-;-\r\n";
constexpr char kSecond[] =
    "[ProcessDefaults]\r\nDefaultPriorities=app.exe,Idle,other.exe,High\r\n"
    "[ProcessAllowances]\r\nDisallowedProcesses=two.exe\r\nProcessThrottles=app.exe;2\r\n"
    "[AdvancedRules]\r\nWatchdogRules2=two.exe;0;0;90;0;0;0;1;-;-;-;-\r\n";

// 0 for a set of neither load, 1 or 2 for a set wholly of one, -1 for a mix.
int LoadOf(const RuleSet& rules) {
    MatchFacts app;
    app.pid = 10;
    app.name = L"app.exe";
    const PriorityRule* priority = FindDefaultPriority(rules, app);
    const std::optional<std::int32_t> throttle = FindThrottleLevel(rules, app);
    const auto& disallowed = rules.ProcessAllowances.DisallowedProcesses;
    const auto& watchdog = rules.AdvancedRules.WatchdogRules2;
    if (priority == nullptr && !throttle && disallowed.empty() && watchdog.empty()) {
        return 0;
    }
    const bool first = priority != nullptr && priority->priorityClass == 128 && throttle == 1 &&
                       disallowed.size() == 1 && disallowed[0].text == L"one.exe" &&
                       watchdog.size() == 1 && watchdog[0].Pattern.text == L"one.exe";
    const bool second = priority != nullptr && priority->priorityClass == 64 && throttle == 2 &&
                        disallowed.size() == 1 && disallowed[0].text == L"two.exe" &&
                        watchdog.size() == 1 && watchdog[0].Pattern.text == L"two.exe" &&
                        rules.ProcessDefaults.DefaultPriorities.size() == 2;
    return first ? 1 : second ? 2 : -1;
}

TEST(RuleSet, AReaderKeepsItsSetWhileLoadsPublishNewOnes) {
    ConfigSettings settings;
    const ConfigDocument first = Document(kFirst);
    const ConfigDocument second = Document(kSecond);
    settings.ReadSettings(first);
    const std::shared_ptr<const RuleSet> held = settings.Rules();
    ASSERT_EQ(LoadOf(*held), 1);
    settings.ReadSettings(second);
    EXPECT_EQ(LoadOf(*held), 1);  // unchanged under its reader
    EXPECT_EQ(LoadOf(*settings.Rules()), 2);
    EXPECT_NE(settings.Rules()->generation, held->generation);
    // Taken again without a change: the same set, not a copy.
    EXPECT_EQ(settings.Rules(), settings.Rules());
}

TEST(RuleSet, LoadsOnOneThreadAndReadersOnOthersNeverMix) {
    ConfigSettings settings;
    const ConfigDocument documents[] = {Document(kFirst), Document(kSecond)};
    settings.ReadSettings(documents[0]);
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0};
    std::atomic<int> seen[3] = {0, 0, 0};
    const auto read = [&] {
        while (!done.load()) {
            const std::shared_ptr<const RuleSet> rules = settings.Rules();
            const int load = LoadOf(*rules);
            if (load < 0) {
                ++mixed;
            } else {
                ++seen[load];
            }
            // Held across the next load: still whole.
            std::this_thread::yield();
            if (LoadOf(*rules) != load) {
                ++mixed;
            }
        }
    };
    std::thread readerA(read);
    std::thread readerB(read);
    for (int i = 0; i < 300; ++i) {
        settings.ReadSettings(documents[i % 2]);
    }
    done = true;
    readerA.join();
    readerB.join();
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(seen[0].load(), 0);
    EXPECT_GT(seen[1].load() + seen[2].load(), 0);
}

}  // namespace
}  // namespace cv
