#pragma once
// Whole-file reads and safe whole-file replacement for the small text files
// an operator edits beside the program.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace kdv {

// Reads the whole file into bytes. Returns an empty code on success, else
// std::errc::no_such_file_or_directory for a missing file,
// std::errc::is_a_directory for a folder, std::errc::file_too_large when the
// file holds more than maxBytes, or the system's code (no access, ...).
// bytes is left empty on failure.
std::error_code ReadWholeFile(const std::filesystem::path& fileName, std::uintmax_t maxBytes,
                              std::string& bytes);

// Replaces the file's content by bytes, or creates the file. The bytes go to
// a new file beside it that is then renamed over it, so a failure at any
// point leaves the old content whole and no stray file behind. An existing
// file keeps its permissions (and, where the system allows, its owner); a
// symbolic link keeps pointing at the file, which is replaced instead. A file
// the caller may not write is refused, although the folder would allow it.
// Returns an empty code on success, else the system's code.
std::error_code ReplaceWholeFile(const std::filesystem::path& fileName, std::string_view bytes);

}  // namespace kdv
