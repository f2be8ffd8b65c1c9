#pragma once
// The program's command line. Service switches are recognised with a leading
// "/" or "-" (also "--") in any case; the options of the Linux host use "--".
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kdv {

struct TCommandLine {
    bool Install = false;
    bool Uninstall = false;
    bool Silent = false;
    bool Once = false;
    bool Help = false;
    bool Version = false;
    bool Check = false;  // --check: try every configured endpoint, change nothing
    // --oauth2-anmelden [SECTION]: a user's consent by device code, for
    // Verfahren=refresh_token; the section defaults to "OAuth2".
    std::optional<std::string> OAuthSignIn;
    std::optional<std::filesystem::path> Home;
    std::vector<std::filesystem::path> ImportFiles;  // --import FILE...
    std::string Error;                               // set when the line cannot be used
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The text printed for --help.
std::string UsageText();

}  // namespace kdv
