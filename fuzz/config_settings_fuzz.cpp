// Any bytes as corvex.ini, read into the settings: reading never crashes or hangs, and what the
// settings write reads back to settings that write the very same document.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    cv::ConfigDocument document;
    cv::ParseConfigBytes(bytes, document);

    cv::SettingsEnvironment environment;
    environment.processors.activeProcessors = 8;
    cv::ConfigSettings settings(environment);
    settings.ReadSettings(document);
    cv::ConfigDocument written;
    settings.WriteSettings(written);

    cv::ConfigSettings again(environment);
    again.ReadSettings(written);
    cv::ConfigDocument rewritten;
    again.WriteSettings(rewritten);
    if (written.keys != rewritten.keys || written.values != rewritten.values ||
        written.sections != rewritten.sections) {
        std::abort();
    }
    return 0;
}
