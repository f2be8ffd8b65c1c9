// The settings every mail connection shares, read from the settings file
// and applied to a TLS transport's options.
#include "service/connection_settings.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {
namespace {

struct TIniCase {
    const char* name;
    const char* ini_text;
    int time_limit_ms;
    bool verify;
    const char* root_file;  // "~/" stands for the settings folder
};

// A full path in the form of the system the service runs on.
#ifdef _WIN32
constexpr const char* kAbsoluteFile = "C:\\Zertifikate\\ca.pem";
constexpr const char* kAbsoluteFileIni = "[Zertifikat]\nPruefen=1\nCADatei=C:\\Zertifikate\\ca.pem\n";
#else
constexpr const char* kAbsoluteFile = "/etc/ca.pem";
constexpr const char* kAbsoluteFileIni = "[Zertifikat]\nPruefen=1\nCADatei=/etc/ca.pem\n";
#endif

class ConnectionSettings : public ::testing::TestWithParam<TIniCase> {};

TEST_P(ConnectionSettings, ReadFromTheSettingsFile) {
    const TIniCase& c = GetParam();
    TTempDir dir;
    WriteFile(dir / "diravid.ini", c.ini_text);
    TIniFile ini(dir / "diravid.ini");
    EXPECT_EQ(ReadConnectionTimeLimitMs(ini), c.time_limit_ms);
    TMailSSLOptions options;
    ApplyCertificateSettings(options, ReadCertificateCheck(ini));
    EXPECT_EQ(options.VerifyMode.count(TMailSSLVerifyModeFlag::sslvrfPeer) != 0, c.verify);
    std::string root = c.root_file;
    if (root.rfind("~/", 0) == 0) root = (dir.Path() / root.substr(2)).string();
    EXPECT_EQ(options.RootCertFile, root);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectionSettings,
    ::testing::Values(TIniCase{"Defaults", "", 60000, false, ""},
                      TIniCase{"OwnTimeLimit", "[Verbindung]\nZeitlimit=5\n", 5000, false, ""},
                      TIniCase{"ZeroTimeLimitIsDefault", "[Verbindung]\nZeitlimit=0\n", 60000, false, ""},
                      TIniCase{"NegativeTimeLimitIsDefault", "[Verbindung]\nZeitlimit=-3\n", 60000, false, ""},
                      TIniCase{"HugeTimeLimitCapped", "[Verbindung]\nZeitlimit=99999999\n", 86400000, false, ""},
                      TIniCase{"CheckWithSystemStore", "[Zertifikat]\nPruefen=1\n", 60000, true, ""},
                      TIniCase{"CheckWithAbsoluteFile", kAbsoluteFileIni, 60000, true, kAbsoluteFile},
                      TIniCase{"CheckWithFileBesideSettings", "[Zertifikat]\nPruefen=1\nCADatei=ca.pem\n", 60000,
                               true, "~/ca.pem"},
                      TIniCase{"FileWithoutCheckIsIgnored", "[Zertifikat]\nPruefen=0\nCADatei=/etc/ca.pem\n", 60000,
                               false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
