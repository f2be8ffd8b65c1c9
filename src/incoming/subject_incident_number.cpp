#include "incoming/subject_incident_number.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>

namespace kdv {
namespace {

// Without PCRE2_UCP, \d means the ASCII digits only, as the subject rule wants.
constexpr const char* kIncidentNumberPattern = "#(\\d+)";

struct TCodeDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct TMatchDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

const pcre2_code* IncidentNumberPattern() {
    // Compiled once; a compiled pattern may be shared between threads.
    static const std::unique_ptr<pcre2_code, TCodeDeleter> code = [] {
        int error = 0;
        PCRE2_SIZE offset = 0;
        return std::unique_ptr<pcre2_code, TCodeDeleter>(
            pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kIncidentNumberPattern), PCRE2_ZERO_TERMINATED, 0, &error,
                          &offset, nullptr));
    }();
    return code.get();
}

}  // namespace

std::string LageIdAusBetreff(std::string_view subject) {
    const pcre2_code* code = IncidentNumberPattern();
    if (code == nullptr) return {};
    std::unique_ptr<pcre2_match_data, TMatchDeleter> match(pcre2_match_data_create_from_pattern(code, nullptr));
    if (!match) return {};
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                               match.get(), nullptr);
    if (rc < 2) return {};
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match.get());
    return std::string(subject.substr(ovector[2], ovector[3] - ovector[2]));
}

}  // namespace kdv
