#include "support/service_home.h"

#include <fstream>
#include <sstream>

#include "support/db_test_server.h"
#include "support/run_program.h"
#include "support/test_files.h"

namespace kdv::testing {

// Port 1 on loopback: refused at once, so an unreachable server fails fast.
constexpr unsigned kDeadPort = 1;

TServiceHome::TServiceHome() = default;

void TServiceHome::WriteIni(const kdv::testing::TTestDatabase* db, const std::string& extra) {
    std::ofstream ini(dir_ / "diravid.ini", std::ios::binary | std::ios::trunc);
    ini << "[Database]\n";
    if (db) {
        ini << "Database=" << db->Name() << "\nHostname=" << db->Server().Host << "\nPort=" << db->Server().Port
            << "\nUser=" << db->Server().User << "\nPasswort=" << db->Server().Password << "\n";
    } else {
        ini << "Database=Orldb\nHostname=127.0.0.1\nPort=" << kDeadPort << "\n";
    }
    ini << extra;
}

std::vector<std::string> TServiceHome::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadLogText(dir_ / "KorvaneDiraVid.log"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> TServiceHome::LogEntries() const {
    std::vector<std::string> entries;
    // "DD.MM.YY | HH:MM:SS | " is 22 characters.
    for (const std::string& line : LogLines()) entries.push_back(line.size() > 22 ? line.substr(22) : line);
    return entries;
}

}  // namespace kdv::testing
