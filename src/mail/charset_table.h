#pragma once
// Registered charset names and the Windows code pages they stand for.
#include <string_view>

namespace kdv {

// Code page of a registered charset name or alias, compared without case.
constexpr int kCharsetUnknown = -1;      // the name is not registered
constexpr int kCharsetNoCodePage = 0;    // registered, but no code page stands for it
int CharsetCodePage(std::string_view name);

}  // namespace kdv
