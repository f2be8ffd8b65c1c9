#include "platform/unique_temp_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/dira_error.h"
#include "support/private_file_check.h"
#include "support/test_files.h"

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
    EXPECT_EQ(testing::WhyNotPrivate(a), "");
    // The check itself tells a file made the ordinary way from a private one.
    testing::WriteFile(dir / "gewoehnlich.txt", "x");
    fs::permissions(dir / "gewoehnlich.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    EXPECT_NE(testing::WhyNotPrivate(dir / "gewoehnlich.txt"), "");
    EXPECT_THROW(CreateUniqueTempFile(dir / "fehlt", ".tmp"), EDiraError);
    fs::remove_all(dir);
}

// Each content, longer or shorter than the one before, is all the file
// holds once finished; the file goes with the object.
TEST(ReusedTempFile, HoldsExactlyTheLastContentAndIsRemovedAtTheEnd) {
    const fs::path dir = fs::temp_directory_path() / "kdv_reused_temp_file";
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::path path;
    {
        TReusedTempFile file(dir, ".eml");
        path = file.Path();
        EXPECT_EQ(path.parent_path(), dir);
        EXPECT_EQ(testing::WhyNotPrivate(path), "");
        const std::vector<std::string> contents = {std::string(100000, 'a'), "kurz\r\n", std::string(70000, 'b'),
                                                   "", "x"};
        for (const std::string& content : contents) {
            file.Rewind();
            // In two writes, as a mail arrives.
            EXPECT_FALSE(file.Write(std::string_view(content).substr(0, content.size() / 2)));
            EXPECT_FALSE(file.Write(std::string_view(content).substr(content.size() / 2)));
            EXPECT_FALSE(file.Finish());
            EXPECT_EQ(testing::ReadFile(path), content) << content.size();
            // And through the open file, from the middle on.
            std::string tail(content.size() - content.size() / 3 + 10, '\0');
            std::size_t read = 0;
            EXPECT_FALSE(file.ReadAt(content.size() / 3, tail.data(), tail.size(), read));
            EXPECT_EQ(tail.substr(0, read), content.substr(content.size() / 3));
        }
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_THROW(TReusedTempFile(dir / "fehlt", ".eml"), EDiraError);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kdv
