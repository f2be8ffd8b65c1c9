#pragma once
// Conversions between UTF-8 text and file-system paths. Make paths from
// UTF-8 text with PathFromUtf8: on Windows a plain std::string would be read
// in the ANSI code page.
#include <filesystem>
#include <string>
#include <string_view>

namespace kdv {

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace kdv
