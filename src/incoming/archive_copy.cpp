#include "incoming/archive_copy.h"

#include <chrono>
#include <cstdio>
#include <fstream>

#include "platform/dira_error.h"
#include "platform/path_text.h"

namespace kdv {

std::string ArchivDateiname(LocalTime now) {
    using namespace std::chrono;
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "mail_%02u_%02u_%04d_%02d_%02d_%02d.txt", static_cast<unsigned>(date.day()),
                  static_cast<unsigned>(date.month()), static_cast<int>(date.year()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buffer;
}

std::filesystem::path SchreibeArchivKopie(const std::filesystem::path& folder, LocalTime now,
                                           std::string_view text) {
    std::filesystem::create_directories(folder);
    const std::string name = ArchivDateiname(now);
    const std::string stem = name.substr(0, name.size() - 4);
    std::filesystem::path path = folder / name;
    for (std::size_t variant = 2; std::filesystem::exists(path); ++variant) {
        if (variant > kMaxArchivNamenVarianten + 1) {
            throw EDiraError(TErrorKind::ekLocal, "Kein freier Name für die Archivkopie: " + PathToUtf8(folder / name));
        }
        path = folder / (stem + "_" + std::to_string(variant) + ".txt");
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw EDiraError(TErrorKind::ekLocal, "Archivkopie kann nicht angelegt werden: " + PathToUtf8(path));
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw EDiraError(TErrorKind::ekLocal, "Archivkopie kann nicht geschrieben werden: " + PathToUtf8(path));
    return path;
}

}  // namespace kdv
