// Feeds arbitrary bytes to the text clean-up of incoming mail and checks what
// each function promises about its result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "incoming/text_cleanup.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Every step of the reduction removes or shortens, none adds.
    Require(kdv::HtmlToText(input).size() <= input.size());

    const std::string subject = kdv::CleanBetreff(input);
    Require(subject.size() <= input.size());
    Require(subject.empty() || (static_cast<unsigned char>(subject.front()) > ' ' &&
                                static_cast<unsigned char>(subject.back()) > ' '));

    const std::string fileName = kdv::CleanDateiname(input);
    Require(fileName.find_first_of("#!:&?") == std::string::npos);
    return 0;
}
