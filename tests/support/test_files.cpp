#include "support/test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/ansi_code_page.h"
#include "platform/text_file_encoding.h"

namespace kdv::testing {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string ReadLogText(const std::filesystem::path& path) {
    return UnmarkedTextToUtf8(ReadFile(path), SystemAnsiCodePage() != kUtf8CodePage);
}

void WriteFile(const std::filesystem::path& path, std::string_view content) {
    std::error_code error;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace kdv::testing
