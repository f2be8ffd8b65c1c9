// The HTTPS seam against the test token endpoint: the form goes out and the
// answer comes back whatever its status; the endpoint's certificate is
// always checked; only https: addresses are taken; a stopped or slow
// endpoint fails with its kind within the time limit.
#include <gtest/gtest.h>

#include <fstream>

#include "net/https_client.h"
#include "platform/dira_error.h"
#include "support/error_kind_name.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"
#include "support/token_server.h"

namespace kdv::testing {
namespace {

using namespace std::chrono_literals;

struct THttpsCase {
    const char* name;
    // Adjusts the request and the server before the post.
    std::function<void(THttpsPost&, TTestTokenServer&)> setup;
    std::string outcome;  // "<status> <body's error or token_type>" or "error <kind>"
};

void PrintTo(const THttpsCase& c, std::ostream* os) { *os << c.name; }

class HttpsClient : public ::testing::TestWithParam<THttpsCase> {};

TEST_P(HttpsClient, Post) {
    TTempDir dir("diravid-https");
    const std::string ca_file = (dir / "ca.pem").string();
    std::ofstream(ca_file) << TestCaCertificatePem();
    TTestTokenServer server;
    server.AddClient("app", "secret & more");
    THttpsPost request{server.Url("/token"),
                       {{"grant_type", "client_credentials"}, {"client_id", "app"}, {"client_secret", "secret & more"}},
                       5000,
                       ca_file};
    GetParam().setup(request, server);
    std::string outcome;
    const auto started = std::chrono::steady_clock::now();
    try {
        const THttpsAnswer answer = MakeHttpsClient()->Post(request);
        outcome = std::to_string(answer.status) + " " + (answer.body.find("Bearer") != std::string::npos ? "token" : answer.body);
    } catch (const EDiraError& e) {
        outcome = std::string("error ") + KindName(e.ErrorKind());
    }
    EXPECT_EQ(outcome, GetParam().outcome);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpsClient,
    ::testing::Values(
        THttpsCase{"FormPostedAndTokenRead", [](THttpsPost&, TTestTokenServer&) {}, "200 token"},
        THttpsCase{"ErrorStatusIsAnAnswer",
                   [](THttpsPost& r, TTestTokenServer&) { r.form[2].second = "wrong"; },
                   "401 {\"error\":\"invalid_client\",\"error_description\":\"AADSTS7000215: Invalid client secret "
                   "provided.\"}"},
        THttpsCase{"CertificateCheckedAlways", [](THttpsPost& r, TTestTokenServer&) { r.ca_file.clear(); },
                   "error tls"},
        THttpsCase{"PlainHttpRefused",
                   [](THttpsPost& r, TTestTokenServer&) { r.url = "http://127.0.0.1:1/token"; }, "error usage"},
        THttpsCase{"NobodyListening",
                   [](THttpsPost& r, TTestTokenServer&) {
                       TTestTokenServer gone;
                       r.url = gone.Url("/token");
                   },
                   "error refused"},
        THttpsCase{"SlowEndpointTimesOut",
                   [](THttpsPost& r, TTestTokenServer& s) {
                       s.SetDelay(3s);
                       r.time_limit_ms = 500;
                   },
                   "error timeout"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpsForm, PercentEncoded) {
    EXPECT_EQ(FormBody({{"scope", "https://outlook.office365.com/.default"}, {"a b", "x&y=z"}}),
              "scope=https%3A%2F%2Foutlook.office365.com%2F.default&a%20b=x%26y%3Dz");
}

}  // namespace
}  // namespace kdv::testing
