#include "service/service_temp_folder.h"

#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "platform/process_alive.h"
#include "support/expect_raises.h"
#include "support/other_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

namespace fs = std::filesystem;

void MakeFolderWithFile(const fs::path& folder) {
    fs::create_directories(folder);
    std::ofstream(folder / "anlage.tmp") << "x";
}

TEST(ServiceTempFolder, OneFolderPerProcessAndLeftoversOfEndedOnesGo) {
    testing::TTempDir home("diravid-temp");
    const fs::path parent = home.Path() / kTempFolderName;
    struct TCase {
        const char* name;
        std::string folder;
        bool kept;
    };
    const testing::TIdleProcess other;
    const TCase cases[] = {
        {"an ended process", std::to_string(testing::EndedProcessId()), false},
        {"a running process (an import beside the service)", std::to_string(other.Id()), true},
        {"a name that is no process id", "notizen", true},
        {"a number with more after it", "123x", true},
    };
    for (const auto& c : cases) MakeFolderWithFile(parent / c.folder);

    const fs::path mine = PrepareServiceTempFolder(home.Path());
    EXPECT_EQ(mine, parent / std::to_string(CurrentProcessId()));
    EXPECT_TRUE(fs::is_directory(mine));
    for (const auto& c : cases) EXPECT_EQ(fs::exists(parent / c.folder), c.kept) << c.name;

    // A second start of the same process finds its folder and keeps it.
    std::ofstream(mine / "offen.tmp") << "y";
    EXPECT_EQ(PrepareServiceTempFolder(home.Path()), mine);
    EXPECT_TRUE(fs::exists(mine / "offen.tmp"));

    RemoveServiceTempFolder(mine);
    EXPECT_FALSE(fs::exists(mine));
}

TEST(ServiceTempFolder, UnusableHomeFailsWithItsReason) {
    testing::TTempDir home("diravid-temp");
    // A file where the folder must go.
    std::ofstream(home.Path() / kTempFolderName) << "kein Ordner";
    const EDiraError e = ExpectRaises([&] { PrepareServiceTempFolder(home.Path()); });
    EXPECT_EQ(std::string(e.what()).rfind("Temporärer Ordner " + PathToUtf8(home.Path() / kTempFolderName), 0), 0u)
        << e.what();
}

}  // namespace
}  // namespace kdv
