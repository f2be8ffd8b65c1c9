#pragma once
// A home folder for the service in a temporary folder, with a diravid.ini
// pointing at a test database (or at nothing).
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kdv::testing {
struct TDbServerInfo;
class TTestDatabase;
}

namespace kdv::testing {

class TServiceHome {
public:
    TServiceHome();
    const std::filesystem::path& Path() const { return dir_.Path(); }
    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

    // Writes diravid.ini: [Database] for `db` (none: a port nothing listens
    // on), followed by `extra` verbatim.
    void WriteIni(const kdv::testing::TTestDatabase* db, const std::string& extra = "");

    // The log's lines without their CR LF.
    std::vector<std::string> LogLines() const;
    // The log's lines with date and time cut off: "Hinweis   | text".
    std::vector<std::string> LogEntries() const;

private:
    TTempDir dir_{"diravid-home"};
};

}  // namespace kdv::testing
