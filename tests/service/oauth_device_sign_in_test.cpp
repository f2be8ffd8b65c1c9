// "--oauth2-anmelden" against the test token endpoint over HTTPS: the code
// shown, the polls honouring authorization_pending and slow_down, the
// refresh token stored privately and then used (and rotated) by the token
// provider; a denied or expired code and unusable settings fail with the
// reason. No token reaches the output.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "service/oauth_device_sign_in.h"
#include "service/oauth_token_provider.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"
#include "support/token_server.h"

namespace kdv::testing {
namespace {

using namespace std::chrono_literals;

struct TDeviceCase {
    const char* name;
    int pending;
    bool slow_down;
    bool deny;
    std::string verfahren;
    int status;
    std::string last_line;
    std::vector<long long> waits;  // seconds waited before each poll
};

void PrintTo(const TDeviceCase& c, std::ostream* os) { *os << c.name; }

const std::string kStored = "gespeichert; der Dienst meldet sich damit an.";

class DeviceSignIn : public ::testing::TestWithParam<TDeviceCase> {};

std::string StoredRefreshToken(const std::filesystem::path& home) {
    std::ifstream in(OAuthCacheFile(home, "Privat"));
    return nlohmann::json::parse(in).at("refresh_token").get<std::string>();
}

TEST_P(DeviceSignIn, Polls) {
    const TDeviceCase& c = GetParam();
    TTempDir home("diravid-device");
    TTestTokenServer server;
    server.AddClient("public-app", "");
    server.SetDeviceFlow(c.pending, c.slow_down, c.deny, "person@example.org");
    server.SetRotateRefreshTokens(true);
    std::ofstream(home / "ca.pem") << TestCaCertificatePem();
    std::ofstream(home / "diravid.ini") << "[Zertifikat]\nCADatei=ca.pem\n[Privat]\nVerfahren=" << c.verfahren
                                        << "\nTokenURL=" << server.Url("/token") << "\nGeraeteURL="
                                        << server.Url("/device") << "\nClientID=public-app\nScope=offline_access\n";
    std::ostringstream out;
    std::vector<long long> waits;
    const int status = RunOAuthDeviceSignIn(home.Path(), "Privat", out, MakeHttpsClient(),
                                            [&](std::chrono::seconds s) { waits.push_back(s.count()); });
    EXPECT_EQ(status, c.status) << out.str();
    std::string last;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) last = line;
    if (c.status == 0) {
        EXPECT_TRUE(last.ends_with(kStored)) << last;
    } else {
        EXPECT_EQ(last, c.last_line);
    }
    EXPECT_EQ(waits, c.waits);
    if (c.status != 0) return;
    EXPECT_NE(out.str().find("https://login.test/device"), std::string::npos);
    EXPECT_NE(out.str().find("WDJB-MJHT"), std::string::npos);
#ifdef _WIN32
    // Private there by its access list, which has no mode bits to compare.
    ASSERT_TRUE(std::filesystem::exists(OAuthCacheFile(home.Path(), "Privat")));
#else
    struct stat info {};
    ASSERT_EQ(stat(OAuthCacheFile(home.Path(), "Privat").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
    const std::string stored = StoredRefreshToken(home.Path());
    EXPECT_EQ(server.RefreshTokens(), std::vector<std::string>{stored});
    EXPECT_EQ(out.str().find(stored), std::string::npos);
    // The service signs in with it; the endpoint rotates it, and the new
    // one is what is kept.
    const TIniFile ini(home / "diravid.ini");
    TOAuthTokenProvider provider(ReadOAuthSection(ini, "Privat"), MakeHttpsClient());
    EXPECT_EQ(provider.Token().rfind("at-", 0), 0u);
    EXPECT_NE(StoredRefreshToken(home.Path()), stored);
    EXPECT_EQ(server.RefreshTokens(), std::vector<std::string>{StoredRefreshToken(home.Path())});
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceSignIn,
    ::testing::Values(
        TDeviceCase{"PendingThenToken", 2, false, false, "refresh_token", 0, "", {1, 1, 1}},
        TDeviceCase{"SlowDownWidensTheInterval", 1, true, false, "refresh_token", 0, "", {1, 6, 6}},
        TDeviceCase{"Denied", 0, false, true, "refresh_token", 1,
                    "Anmeldung für [Privat] fehlgeschlagen: die Anmeldung wurde im Browser abgelehnt.", {1}},
        TDeviceCase{"OnlyForRefreshToken", 0, false, false, "client_credentials", 1,
                    "Anmeldung für [Privat] fehlgeschlagen: [Privat] Verfahren ist client_credentials; die Anmeldung "
                    "per Gerätecode gilt nur für refresh_token.",
                    {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
