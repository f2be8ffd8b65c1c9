#include "service/connection_settings.h"

#include <chrono>
#include <filesystem>
#include <string>

#include "service/connection_time_limit.h"
#include "platform/path_text.h"

namespace kdv {

TCertificateCheck ReadCertificateCheck(const TIniFile& ini) {
    TCertificateCheck check;
    check.verify = ini.ReadBool("Zertifikat", "Pruefen", false);
    if (!check.verify) return check;
    const std::string file = ini.ReadString("Zertifikat", "CADatei", "");
    if (file.empty()) return check;
    std::filesystem::path path(file);
    if (path.is_relative()) path = ini.FileName().parent_path() / path;
    check.root_cert_file = PathToUtf8(path);
    return check;
}

int ReadConnectionTimeLimitMs(const TIniFile& ini) {
    return static_cast<int>(std::chrono::milliseconds(ReadZeitlimit(ini)).count());
}

}  // namespace kdv
