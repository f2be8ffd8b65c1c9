// The token provider against a scripted token endpoint and a clock the test
// moves: the request each grant makes, the signed assertions checked with
// the TLS library, the cache file (its rights, its reuse, a refresh token
// rotated), renewal five minutes early and on a server's refusal, and the
// endpoint's failures in German with no secret in them.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>

#include "mail/base64_decoder.h"
#include "platform/dira_error.h"
#include "platform/ini_file.h"
#include "service/oauth_settings.h"
#include "service/oauth_token_provider.h"
#include "support/temp_dir.h"

namespace kdv::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string kUrl = "https://login.test/tenant/oauth2/v2.0/token";
const std::string kSecret = "s3cr3t-client-secret";

// Answers posts from a queue; notes each post's form.
class TFakeEndpoint final : public IHttpsClient {
public:
    THttpsAnswer Post(const THttpsPost& request) override {
        std::map<std::string, std::string> form(request.form.begin(), request.form.end());
        posts.push_back(form);
        urls.push_back(request.url);
        if (answers.empty()) throw EDiraError(TErrorKind::ekRefused, request.url + ": Connection refused");
        THttpsAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    static THttpsAnswer Token(const std::string& token, int expires_in = 3600, const std::string& refresh = "") {
        json body = {{"token_type", "Bearer"}, {"access_token", token}, {"expires_in", expires_in}};
        if (!refresh.empty()) body["refresh_token"] = refresh;
        return {200, body.dump()};
    }
    std::deque<THttpsAnswer> answers;
    std::vector<std::map<std::string, std::string>> posts;
    std::vector<std::string> urls;
};

struct TokenProvider : ::testing::Test {
    TokenProvider() {
        settings.home = home.Path();
        settings.token_url = kUrl;
        settings.client_id = "app-id";
        settings.client_secret = kSecret;
        settings.scope = "https://outlook.office365.com/.default";
    }
    TOAuthTokenProvider Provider() {
        return TOAuthTokenProvider(settings, endpoint, [this] { return now; });
    }
    std::string Error(TOAuthTokenProvider& provider) {
        try {
            provider.Token();
        } catch (const EDiraError& e) {
            EXPECT_EQ(e.ErrorKind(), TErrorKind::ekAuthentication);
            return e.what();
        }
        return "no error";
    }
    json Cache() {
        std::ifstream in(OAuthCacheFile(home.Path(), settings.section));
        return json::parse(in);
    }

    TTempDir home{"diravid-oauth"};
    TOAuthSettings settings;
    std::shared_ptr<TFakeEndpoint> endpoint = std::make_shared<TFakeEndpoint>();
    std::chrono::system_clock::time_point now = std::chrono::system_clock::time_point(1'800'000'000s);
};

TEST_F(TokenProvider, ClientCredentialsWithSecretFetchOnceAndCachePrivately) {
    endpoint->answers = {TFakeEndpoint::Token("tok-1")};
    TOAuthTokenProvider provider = Provider();
    EXPECT_EQ(provider.Token(), "tok-1");
    EXPECT_EQ(provider.Token(), "tok-1");
    ASSERT_EQ(endpoint->posts.size(), 1u);
    EXPECT_EQ(endpoint->posts[0], (std::map<std::string, std::string>{{"grant_type", "client_credentials"},
                                                                       {"client_id", "app-id"},
                                                                       {"client_secret", kSecret},
                                                                       {"scope", settings.scope}}));
#ifdef _WIN32
    // Private there by its access list, which has no mode bits to compare.
    ASSERT_TRUE(std::filesystem::exists(OAuthCacheFile(home.Path(), "OAuth2")));
#else
    struct stat info {};
    ASSERT_EQ(stat(OAuthCacheFile(home.Path(), "OAuth2").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
    EXPECT_FALSE(fs::exists(OAuthCacheFile(home.Path(), "OAuth2").string() + ".neu"));
    // The next process takes the cached token without asking.
    TOAuthTokenProvider next = Provider();
    EXPECT_EQ(next.Token(), "tok-1");
    EXPECT_EQ(endpoint->posts.size(), 1u);
    // Other settings, other token.
    settings.scope = "https://mail.google.com/";
    endpoint->answers = {TFakeEndpoint::Token("tok-other")};
    TOAuthTokenProvider other = Provider();
    EXPECT_EQ(other.Token(), "tok-other");
}

TEST_F(TokenProvider, RenewedFiveMinutesEarlyAndWhenRefused) {
    endpoint->answers = {TFakeEndpoint::Token("tok-1"), TFakeEndpoint::Token("tok-2"), TFakeEndpoint::Token("tok-3")};
    TOAuthTokenProvider provider = Provider();
    EXPECT_EQ(provider.Token(), "tok-1");
    EXPECT_EQ(provider.ExpiresAt(), now + 3600s);
    now += 55min - 1s;
    EXPECT_EQ(provider.Token(), "tok-1");
    now += 1s;
    EXPECT_EQ(provider.Token(), "tok-2");
    // Refused by a server though not expired: fetched anew, once.
    EXPECT_EQ(provider.RenewedToken("tok-2"), "tok-3");
    // A refusal of a token already replaced fetches nothing.
    EXPECT_EQ(provider.RenewedToken("tok-2"), "tok-3");
    EXPECT_EQ(endpoint->posts.size(), 3u);
    // The check asks the endpoint whatever is in hand.
    endpoint->answers = {TFakeEndpoint::Token("tok-4")};
    EXPECT_EQ(provider.FreshToken(), "tok-4");
    EXPECT_EQ(provider.Token(), "tok-4");
}

TEST_F(TokenProvider, RotatedRefreshTokenIsStoredAtOnceAndUsedNext) {
    settings.grant = TOAuthGrant::RefreshToken;
    settings.client_secret.clear();
    Provider().StoreRefreshToken("refresh-1");
    endpoint->answers = {TFakeEndpoint::Token("tok-1", 3600, "refresh-2"), TFakeEndpoint::Token("tok-2")};
    TOAuthTokenProvider provider = Provider();
    EXPECT_EQ(provider.Token(), "tok-1");
    EXPECT_EQ(endpoint->posts[0].at("grant_type"), "refresh_token");
    EXPECT_EQ(endpoint->posts[0].at("refresh_token"), "refresh-1");
    EXPECT_EQ(Cache().at("refresh_token"), "refresh-2");
    EXPECT_EQ(provider.RenewedToken("tok-1"), "tok-2");
    EXPECT_EQ(endpoint->posts[1].at("refresh_token"), "refresh-2");
    // Not rotated this time: the last one stays.
    EXPECT_EQ(Cache().at("refresh_token"), "refresh-2");
}

struct TFailureCase {
    const char* name;
    TOAuthGrant grant;
    std::vector<THttpsAnswer> answers;  // none: the endpoint cannot be reached
    std::string error;
};

class ProviderFailure : public TokenProvider, public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(ProviderFailure, SaysWhyWithoutSecrets) {
    const TFailureCase& c = GetParam();
    settings.grant = c.grant;
    endpoint->answers.assign(c.answers.begin(), c.answers.end());
    TOAuthTokenProvider provider = Provider();
    const std::string error = Error(provider);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(error.find(kSecret), std::string::npos);
}

const std::string kFailure = std::string(kTokenFailure) + kUrl + ": ";

INSTANTIATE_TEST_SUITE_P(
    Table, ProviderFailure,
    ::testing::Values(
        TFailureCase{"EndpointDown", TOAuthGrant::ClientCredentials, {},
                     kFailure + "nicht erreichbar (" + kUrl + ": Connection refused)"},
        TFailureCase{"InvalidClientWithTheAadstsCodeAndTheSecretEchoed", TOAuthGrant::ClientCredentials,
                     {{401, json{{"error", "invalid_client"},
                                 {"error_description", "AADSTS7000215: Invalid client secret provided: " + kSecret +
                                                           "\r\nTrace ID: 1234"}}
                                .dump()}},
                     kFailure + "HTTP 401, invalid_client: AADSTS7000215: Invalid client secret provided: ***"},
        TFailureCase{"RefreshTokenNotYetStored", TOAuthGrant::RefreshToken, {},
                     kFailure + "noch kein Refresh-Token gespeichert; einmal \"diravid --oauth2-anmelden OAuth2\" "
                                "ausführen"},
        TFailureCase{"NotJson", TOAuthGrant::ClientCredentials, {{502, "<html>Bad Gateway</html>"}},
                     kFailure + "HTTP 502"},
        TFailureCase{"OkWithoutToken", TOAuthGrant::ClientCredentials, {{200, R"({"token_type":"Bearer"})"}},
                     kFailure + "HTTP 200"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenProvider, RevokedRefreshTokenTellsToSignInAgain) {
    settings.grant = TOAuthGrant::RefreshToken;
    Provider().StoreRefreshToken("refresh-1");
    endpoint->answers = {{400, R"({"error":"invalid_grant","error_description":"Token has been revoked."})"}};
    TOAuthTokenProvider provider = Provider();
    EXPECT_EQ(Error(provider), kFailure + "HTTP 400, invalid_grant: Token has been revoked. (die Zustimmung ist "
                                          "abgelaufen oder widerrufen; \"diravid --oauth2-anmelden OAuth2\" erneut "
                                          "ausführen)");
}

// ---- Signed assertions ----

std::string Base64UrlDecode(std::string text) {
    for (char& c : text) {
        if (c == '-') c = '+';
        if (c == '_') c = '/';
    }
    return TBase64Decoder::Decode(text);
}

struct TKeyPair {
    std::string key_pem;
    std::string certificate_pem;
};

// A fresh RSA key and a self-signed certificate for it, by the TLS library.
TKeyPair MakeKeyPair() {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("diravid-test"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    const auto pem = [](auto write) {
        BIO* bio = BIO_new(BIO_s_mem());
        write(bio);
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        std::string text(data, static_cast<std::size_t>(size));
        BIO_free(bio);
        return text;
    };
    TKeyPair pair{pem([&](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); }),
                  pem([&](BIO* b) { PEM_write_bio_X509(b, cert); })};
    X509_free(cert);
    EVP_PKEY_free(key);
    return pair;
}

// The assertion's header and claims when its signature verifies with the
// certificate's key; raises otherwise.
std::pair<json, json> Verified(const std::string& jwt, const std::string& certificate_pem) {
    const std::size_t dot1 = jwt.find('.');
    const std::size_t dot2 = jwt.find('.', dot1 + 1);
    const std::string input = jwt.substr(0, dot2);
    const std::string signature = Base64UrlDecode(jwt.substr(dot2 + 1));
    BIO* bio = BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = X509_get_pubkey(cert);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                     reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    X509_free(cert);
    BIO_free(bio);
    if (!ok) throw std::runtime_error("signature does not verify");
    return {json::parse(Base64UrlDecode(jwt.substr(0, dot1))), json::parse(Base64UrlDecode(jwt.substr(dot1 + 1, dot2 - dot1 - 1)))};
}

std::string Sha1Der(const std::string& certificate_pem) {
    BIO* bio = BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    unsigned char digest[20];
    EVP_Digest(der, static_cast<std::size_t>(length), digest, nullptr, EVP_sha1(), nullptr);
    OPENSSL_free(der);
    X509_free(cert);
    BIO_free(bio);
    return std::string(reinterpret_cast<char*>(digest), 20);
}

void WriteFile(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

TEST_F(TokenProvider, ClientAssertionSignedWithTheCertificatesKey) {
    const TKeyPair pair = MakeKeyPair();
    WriteFile(home / "app.pem", pair.certificate_pem);
    WriteFile(home / "app.key", pair.key_pem);
    settings.certificate_file = (home / "app.pem").string();
    settings.key_file = (home / "app.key").string();
    endpoint->answers = {TFakeEndpoint::Token("tok-1")};
    TOAuthTokenProvider provider = Provider();
    EXPECT_EQ(provider.Token(), "tok-1");
    const auto& form = endpoint->posts.at(0);
    EXPECT_EQ(form.count("client_secret"), 0u);
    EXPECT_EQ(form.at("client_assertion_type"), "urn:ietf:params:oauth:client-assertion-type:jwt-bearer");
    const auto [header, claims] = Verified(form.at("client_assertion"), pair.certificate_pem);
    EXPECT_EQ(header.at("alg"), "RS256");
    EXPECT_EQ(Base64UrlDecode(header.at("x5t").get<std::string>()), Sha1Der(pair.certificate_pem));
    EXPECT_EQ(claims.at("aud"), kUrl);
    EXPECT_EQ(claims.at("iss"), "app-id");
    EXPECT_EQ(claims.at("sub"), "app-id");
    EXPECT_EQ(claims.at("nbf"), 1'800'000'000);
    EXPECT_EQ(claims.at("exp"), 1'800'000'600);
    EXPECT_FALSE(claims.at("jti").get<std::string>().empty());
}

TEST_F(TokenProvider, JwtBearerFromAServiceAccountKeyFile) {
    const TKeyPair pair = MakeKeyPair();
    WriteFile(home / "account.json", json{{"type", "service_account"},
                                          {"private_key_id", "key-17"},
                                          {"private_key", pair.key_pem},
                                          {"client_email", "diravid@project.iam.example"},
                                          {"token_uri", kUrl}}
                                         .dump());
    settings.grant = TOAuthGrant::JwtBearer;
    settings.token_url.clear();
    settings.key_file = (home / "account.json").string();
    settings.subject = "leitstelle@example.org";
    settings.scope = "https://mail.google.com/";
    endpoint->answers = {TFakeEndpoint::Token("tok-1")};
    TOAuthTokenProvider provider = Provider();
    EXPECT_EQ(provider.Token(), "tok-1");
    EXPECT_EQ(endpoint->urls.at(0), kUrl);
    const auto& form = endpoint->posts.at(0);
    EXPECT_EQ(form.at("grant_type"), "urn:ietf:params:oauth:grant-type:jwt-bearer");
    const auto [header, claims] = Verified(form.at("assertion"), pair.certificate_pem);
    EXPECT_EQ(header.at("kid"), "key-17");
    EXPECT_EQ(claims.at("iss"), "diravid@project.iam.example");
    EXPECT_EQ(claims.at("sub"), "leitstelle@example.org");
    EXPECT_EQ(claims.at("scope"), "https://mail.google.com/");
    EXPECT_EQ(claims.at("aud"), kUrl);
}

// ---- Settings ----

TEST(OAuthSettings, ReadPerProtocol) {
    TTempDir home("diravid-oauth");
    WriteFile(home / "secret.txt", "from-file\r\n");
    WriteFile(home / "diravid.ini",
              "[SMTP]\nAnmeldung=oauth2\n[POP3]\nAnmeldung=Passwort\n[IMAP]\nAnmeldung=OAuth2\n"
              "OAuth2Abschnitt=Google\n[OAuth2]\nTokenURL=" + kUrl +
                  "\nClientID=app\nClientSecretDatei=secret.txt\nScope=s\n[Google]\nVerfahren=jwt_bearer\n"
                  "Schluessel=account.json\nBenutzer=a@example.org\n[Zertifikat]\nCADatei=ca.pem\n");
    const TIniFile ini(home / "diravid.ini");
    const auto smtp = ReadProtocolOAuth(ini, "SMTP");
    ASSERT_TRUE(smtp);
    EXPECT_EQ(smtp->section, "OAuth2");
    EXPECT_EQ(smtp->grant, TOAuthGrant::ClientCredentials);
    EXPECT_EQ(smtp->client_secret, "from-file");
    EXPECT_EQ(smtp->ca_file, (home / "ca.pem").string());
    EXPECT_EQ(smtp->error, "");
    EXPECT_FALSE(ReadProtocolOAuth(ini, "POP3"));
    const auto imap = ReadProtocolOAuth(ini, "IMAP");
    ASSERT_TRUE(imap);
    EXPECT_EQ(imap->section, "Google");
    EXPECT_EQ(imap->grant, TOAuthGrant::JwtBearer);
    EXPECT_EQ(imap->key_file, (home / "account.json").string());
    EXPECT_EQ(imap->subject, "a@example.org");
    EXPECT_EQ(imap->error, "");
}

TEST(OAuthSettings, UnusableSectionsSayWhy) {
    TTempDir home("diravid-oauth");
    WriteFile(home / "diravid.ini",
              "[A]\nVerfahren=password\nTokenURL=x\n[B]\nClientID=app\n[C]\nTokenURL=x\nClientSecretDatei=missing.txt\n");
    const TIniFile ini(home / "diravid.ini");
    EXPECT_EQ(ReadOAuthSection(ini, "A").error,
              "[A] Verfahren=password ist unbekannt (erlaubt: client_credentials, refresh_token, jwt_bearer).");
    EXPECT_EQ(ReadOAuthSection(ini, "B").error, "[B] TokenURL fehlt.");
    EXPECT_EQ(ReadOAuthSection(ini, "C").error,
              "[C] ClientSecretDatei " + (home / "missing.txt").string() + " kann nicht gelesen werden.");
}

}  // namespace
}  // namespace kdv::testing
