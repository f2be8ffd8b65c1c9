#include "incoming/filing_fault_point.h"

#include <charconv>
#include <cstdlib>
#include <string>

namespace kdv {
namespace {

struct TZiel {
    std::string step;
    int time = 1;
    int reached = 0;
};

// Read once: the variable does not change while the process runs.
TZiel* Ziel() {
    static TZiel* ziel = []() -> TZiel* {
        const char* value = std::getenv(kHaltepunktVariable);
        if (value == nullptr || *value == '\0') return nullptr;
        static TZiel parsed;
        std::string_view text(value);
        const std::size_t colon = text.find(':');
        parsed.step = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            const std::string_view count = text.substr(colon + 1);
            std::from_chars(count.data(), count.data() + count.size(), parsed.time);
        }
        return &parsed;
    }();
    return ziel;
}

}  // namespace

void Haltepunkt(std::string_view step) {
    TZiel* ziel = Ziel();
    if (ziel == nullptr || ziel->step != step) return;
    // Ends the process at once, as a crash would: no destructor, no exit
    // handler and no buffered output runs.
    if (++ziel->reached == ziel->time) std::_Exit(kHaltepunktExitCode);
}

}  // namespace kdv
