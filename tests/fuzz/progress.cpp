// ffmpeg's log as the recorder collects it: the output name and the progress figures.
#include <string>

#include "fuzz_input.h"
#include "live/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view log(reinterpret_cast<const char*>(data), size);
    (void)vigilo::recorderOutputName(log);

    const auto figures = vigilo::parseProgress(log);
    if (figures) {
        FUZZ_CHECK(figures->size.size() > 2 && figures->size.ends_with("MB"));
        FUZZ_CHECK(!figures->duration.empty());
        // Both figures come from the window at the end of the log.
        FUZZ_CHECK(figures->duration.size() <= vigilo::kProgressWindowBytes);
    }
    // The collected output grows chunk by chunk: every prefix is read on its way.
    if (size > 0) (void)vigilo::parseProgress(log.substr(0, size / 2));

    const std::string mb = vigilo::megabyteText(log);
    FUZZ_CHECK(mb.ends_with("MB"));
    const std::string duration = vigilo::durationText(log);
    FUZZ_CHECK(duration.size() <= log.size());
    return 0;
}
