#include "service/connection_time_limit.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace kdv {
namespace {

TEST(ConnectionTimeLimit, ValuesOfTheKey) {
    struct TCase {
        const char* Name;
        const char* Ini;  // nullptr: no settings file
        long long Seconds;
    };
    const TCase cases[] = {
        {"no file", nullptr, 60},
        {"no key", "[Verbindung]\nAnders=5\n", 60},
        {"set", "[Verbindung]\nZeitlimit=15\n", 15},
        {"names in any case", "[verbindung]\nZEITLIMIT=7\n", 7},
        {"one second", "[Verbindung]\nZeitlimit=1\n", 1},
        {"zero", "[Verbindung]\nZeitlimit=0\n", 60},
        {"negative", "[Verbindung]\nZeitlimit=-5\n", 60},
        {"no number", "[Verbindung]\nZeitlimit=lang\n", 60},
        {"more than a day", "[Verbindung]\nZeitlimit=999999\n", 86400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        testing::TTempDir dir{"diravid-zeitlimit"};
        if (c.Ini != nullptr) std::ofstream(dir / "diravid.ini", std::ios::binary) << c.Ini;
        EXPECT_EQ(ReadZeitlimit(TIniFile(dir / "diravid.ini")).count(), c.Seconds);
    }
}

}  // namespace
}  // namespace kdv
