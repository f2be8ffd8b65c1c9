#pragma once
#include <string>
#include <string_view>

namespace kdv {

// The incident number a subject names: the digits of the first match of
// "#(\d+)" (ASCII digits only, case-sensitive); empty when there is none.
std::string LageIdAusBetreff(std::string_view subject);

}  // namespace kdv
