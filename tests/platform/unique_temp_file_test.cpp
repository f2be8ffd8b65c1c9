#include "platform/unique_temp_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/dira_error.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;

TEST(UniqueTempFile, CreatesNewPrivateFilesAndReportsFailure) {
    const fs::path dir = fs::temp_directory_path() / "kdv_unique_temp_file";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path a = CreateUniqueTempFile(dir, ".tmp");
    const fs::path b = CreateUniqueTempFile(dir, ".tmp");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.parent_path(), dir);
    EXPECT_EQ(a.extension(), ".tmp");
    EXPECT_EQ(fs::file_size(a), 0u);
    EXPECT_EQ(fs::status(a).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_THROW(CreateUniqueTempFile(dir / "fehlt", ".tmp"), EDiraError);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kdv
