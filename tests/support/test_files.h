#pragma once
// Whole files as bytes, for tests that prepare what the program reads or
// look at what it wrote.
#include <filesystem>
#include <string>
#include <string_view>

namespace kdv::testing {

// The file's bytes; "" when it cannot be read (a test then compares against
// what it expected and shows the difference).
std::string ReadFile(const std::filesystem::path& path);

// A log file's text as UTF-8. The service writes its log in the system's
// code page: UTF-8 on Linux, the ANSI code page on Windows.
std::string ReadLogText(const std::filesystem::path& path);

// Makes `path` hold exactly `content`, with any missing folders on the way.
// A failure fails the running test: the case would test something else.
void WriteFile(const std::filesystem::path& path, std::string_view content);

}  // namespace kdv::testing
