// Trellion registers the engine as the event source "Vigilor" and keeps what an administrator
// made.
#include "SimFixture.h"
#include "platform/Registry.h"
#include "updatetool/EventSourceRegistration.h"

namespace cv {
namespace {

using platform::RegistryRoot;

constexpr wchar_t kFolder[] = L"C:\\Program Files\\Corvane";
constexpr wchar_t kEngine[] = L"C:\\Program Files\\Corvane\\vigilor.exe";

class EventSourceRegistrationTest : public test::SimTest {
  protected:
    static std::optional<platform::RegistryText> MessageFile() {
        return platform::ReadRegistryText(RegistryRoot::LocalMachine, kEventSourceKey,
                                          L"EventMessageFile");
    }
    static std::optional<std::uint32_t> Types() {
        return platform::ReadRegistryDword(RegistryRoot::LocalMachine, kEventSourceKey,
                                           L"TypesSupported");
    }
};

TEST_F(EventSourceRegistrationTest, RegistersTheInstalledEngineAndKeepsOtherFiles) {
    const struct {
        const char* what;
        std::optional<std::wstring> before;
        std::optional<std::uint32_t> typesBefore;
        EventSourceRegistration result;
        std::wstring after;
        std::uint32_t typesAfter;
    } cases[] = {
        {"none yet", std::nullopt, std::nullopt, EventSourceRegistration::Written, kEngine, 7},
        {"this installation", kEngine, std::nullopt, EventSourceRegistration::AlreadyCurrent,
         kEngine, 7},
        {"this installation, types the administrator chose", L"c:\\program files\\corvane\\VIGILOR.EXE",
         3, EventSourceRegistration::AlreadyCurrent, L"c:\\program files\\corvane\\VIGILOR.EXE", 3},
        {"an earlier folder", L"D:\\Old\\vigilor.exe", 1, EventSourceRegistration::Written,
         kEngine, 7},
        {"an administrator's own file", L"%SystemRoot%\\msgs\\ours.dll", 4,
         EventSourceRegistration::KeptOther, L"%SystemRoot%\\msgs\\ours.dll", 4},
        {"ours beside another", std::wstring(kEngine) + L"; C:\\x\\more.dll", 7,
         EventSourceRegistration::KeptOther, std::wstring(kEngine) + L"; C:\\x\\more.dll", 7},
    };
    for (const auto& c : cases) {
        SetUp();
        platform::WriteRegistryString(RegistryRoot::LocalMachine, kEventSourceKey,
                                      L"CategoryCount", L"kept");
        if (c.before) {
            platform::WriteRegistryExpandString(RegistryRoot::LocalMachine, kEventSourceKey,
                                                L"EventMessageFile", *c.before);
        }
        if (c.typesBefore) {
            platform::WriteRegistryDword(RegistryRoot::LocalMachine, kEventSourceKey,
                                         L"TypesSupported", *c.typesBefore);
        }
        EXPECT_EQ(RegisterEngineEventSource(std::wstring(kFolder) + L"\\"), c.result) << c.what;
        ASSERT_TRUE(MessageFile().has_value()) << c.what;
        EXPECT_EQ(MessageFile()->text, c.after) << c.what;
        EXPECT_TRUE(MessageFile()->expand) << c.what;
        EXPECT_EQ(Types(), c.typesAfter) << c.what;
        // Nothing else of the key is touched.
        EXPECT_EQ(platform::ReadRegistryString(RegistryRoot::LocalMachine, kEventSourceKey,
                                               L"CategoryCount"),
                  L"kept")
            << c.what;
    }
}

TEST_F(EventSourceRegistrationTest, AFailedWriteIsReported) {
    machine().FailCall("RegSetValue", L"EventMessageFile");
    EXPECT_EQ(RegisterEngineEventSource(kFolder), EventSourceRegistration::Failed);
    EXPECT_EQ(RegisterEngineEventSource(L""), EventSourceRegistration::Failed);
}

}  // namespace
}  // namespace cv
