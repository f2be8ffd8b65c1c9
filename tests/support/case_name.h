#pragma once
// Readable names for parameterised cases whose data is their best name.
#include <cstddef>
#include <string>
#include <string_view>

namespace kdv::testing {

// `text` as a test name: letters and digits kept, every other run of bytes
// one "_", then "_" and the case's index, so equal texts stay apart.
inline std::string CaseNameFrom(std::string_view text, std::size_t index) {
    std::string name;
    for (const char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain) {
            name += c;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    if (!name.empty() && name.back() != '_') name += '_';
    return (name.empty() ? "Leer_" : name) + std::to_string(index);
}

}  // namespace kdv::testing
