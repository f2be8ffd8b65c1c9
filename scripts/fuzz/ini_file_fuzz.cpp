// Any bytes as diravid.ini: reads must not fail, and a write must be read back
// exactly while every other key keeps its value.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/ini_file.h"

namespace {

// Lives until the process ends, so the exit handler can still use it; the
// folder goes with the process (the test run starts one per run).
const std::filesystem::path& IniPath() {
    static const std::filesystem::path* const path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "diravid-ini-fuzz.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        auto* p = new std::filesystem::path(std::filesystem::path(pattern) / "diravid.ini");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(IniPath().parent_path(), ignored);
        });
        return p;
    }();
    return *path;
}

const std::vector<std::pair<std::string, std::string>> kKeys = {
    {"Debug", "Laststartcheckmail"}, {"Debug", "Lastendcheckmail"}, {"SMTP", "Host"},
    {"SMTP", "Port"},                {"A", "K"},                    {"a", "k"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the key written; the rest is the file.
    const auto& [section, key] = kKeys[data[0] % kKeys.size()];
    {
        std::ofstream out(IniPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    kdv::TIniFile ini(IniPath());
    std::vector<std::string> before;
    for (const auto& [s, k] : kKeys) {
        before.push_back(ini.ReadString(s, k, "<none>"));
        (void)ini.ReadInteger(s, k, 0);
    }
    const std::string value = " 29.01.2024 \"14:05:09\" ";
    ini.WriteString(section, key, value);
    if (ini.ReadString(section, key, "<none>") != value) std::abort();
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        const auto& [s, k] = kKeys[i];
        const bool written = kdv::EqualsNoCase(s, section) && kdv::EqualsNoCase(k, key);
        if (!written && ini.ReadString(s, k, "<none>") != before[i]) std::abort();
    }
    return 0;
}
