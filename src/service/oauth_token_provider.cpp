#include "service/oauth_token_provider.h"

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "net/rs256_signer.h"
#include "platform/dira_error.h"
#include "platform/new_file.h"
#include "platform/secret_mask.h"
#include "platform/sha256.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

using nlohmann::json;
using std::chrono::system_clock;

// A signed assertion is good for this long: long enough for a slow
// endpoint, short enough to be useless when overheard.
constexpr std::chrono::minutes kAssertionLifetime{10};
// What an endpoint that names no lifetime is taken to grant.
constexpr std::chrono::seconds kDefaultLifetime{3600};

std::string Base64Url(std::string_view bytes) {
    std::string text = Base64Line(bytes);
    for (char& c : text) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    while (!text.empty() && text.back() == '=') text.pop_back();
    return text;
}

std::optional<std::string> ReadWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string RandomId() {
    std::random_device random;
    std::string id;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) id += kHex[random() & 15];
    return id;
}

long long Seconds(system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Identifies the settings a cached access token was issued for: another
// client, scope or mailbox must not reuse it.
std::string Fingerprint(const TOAuthSettings& s) {
    TSha256 sha;
    for (const std::string& part : {std::string(OAuthGrantName(s.grant)), s.token_url, s.client_id, s.scope,
                                    s.subject, s.key_file, s.certificate_file}) {
        sha.Update(part);
        sha.Update(std::string_view("\0", 1));
    }
    return sha.FinishHex();
}

std::string JsonText(const json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

std::filesystem::path OAuthCacheFile(const std::filesystem::path& home, const std::string& section) {
    std::string name;
    for (const char c : section) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        name += plain ? c : '_';
    }
    return home / ("oauth2-" + name + ".token");
}

TOAuthTokenProvider::TOAuthTokenProvider(TOAuthSettings settings, std::shared_ptr<IHttpsClient> https,
                                         TWallClock now)
    : settings_(std::move(settings)), https_(std::move(https)), now_(std::move(now)) {}

void TOAuthTokenProvider::Fail(const std::string& reason) const {
    const std::string where = settings_.token_url.empty() ? "[" + settings_.section + "]" : settings_.token_url;
    throw EDiraError(TErrorKind::ekAuthentication, Masked(kTokenFailure + where + ": " + reason));
}

std::string TOAuthTokenProvider::Masked(const std::string& text) const {
    return MaskSecrets(text, {access_token_, refresh_token_, settings_.client_secret});
}

bool TOAuthTokenProvider::Usable() const {
    if (access_token_.empty()) return false;
    // A short-lived token is renewed at half its life, not at once.
    const auto margin = std::min<system_clock::duration>(kTokenRenewalMargin, lifetime_ / 2);
    return now_() < expires_at_ - margin;
}

system_clock::time_point TOAuthTokenProvider::ExpiresAt() const {
    std::lock_guard lock(mutex_);
    return expires_at_;
}

std::string TOAuthTokenProvider::Token() {
    std::lock_guard lock(mutex_);
    if (!settings_.error.empty()) Fail(settings_.error);
    if (!cache_loaded_) LoadCache();
    if (!Usable()) Acquire();
    return access_token_;
}

std::string TOAuthTokenProvider::FreshToken() {
    std::lock_guard lock(mutex_);
    if (!settings_.error.empty()) Fail(settings_.error);
    if (!cache_loaded_) LoadCache();
    Acquire();
    return access_token_;
}

std::string TOAuthTokenProvider::RenewedToken(const std::string& rejected) {
    std::lock_guard lock(mutex_);
    if (!settings_.error.empty()) Fail(settings_.error);
    // Another connection renewed it meanwhile.
    if (!access_token_.empty() && access_token_ != rejected && Usable()) return access_token_;
    access_token_.clear();
    Acquire();
    return access_token_;
}

void TOAuthTokenProvider::LoadCache() {
    cache_loaded_ = true;
    const auto text = ReadWhole(OAuthCacheFile(settings_.home, settings_.section));
    if (!text) return;
    const json cache = json::parse(*text, nullptr, false);
    if (!cache.is_object()) return;
    // A refresh token stays good for the same client at the same endpoint.
    if (JsonText(cache, "client_id") == settings_.client_id && JsonText(cache, "token_url") == settings_.token_url) {
        refresh_token_ = JsonText(cache, "refresh_token");
    }
    if (JsonText(cache, "fingerprint") != Fingerprint(settings_)) return;
    const auto expires = cache.find("expires_at");
    const auto lifetime = cache.find("lifetime");
    if (expires == cache.end() || !expires->is_number_integer()) return;
    access_token_ = JsonText(cache, "access_token");
    expires_at_ = system_clock::time_point(std::chrono::seconds(expires->get<long long>()));
    lifetime_ = std::chrono::seconds(lifetime != cache.end() && lifetime->is_number_integer() ? lifetime->get<long long>()
                                                                                              : kDefaultLifetime.count());
}

void TOAuthTokenProvider::SaveCache() {
    json cache = {{"fingerprint", Fingerprint(settings_)},
                  {"client_id", settings_.client_id},
                  {"token_url", settings_.token_url},
                  {"access_token", access_token_},
                  {"expires_at", Seconds(expires_at_)},
                  {"lifetime", lifetime_.count()},
                  {"refresh_token", refresh_token_}};
    const std::filesystem::path file = OAuthCacheFile(settings_.home, settings_.section);
    std::filesystem::path fresh = file;
    fresh += ".neu";
    std::error_code ignored;
    // Left by a write that broke off.
    std::filesystem::remove(fresh, ignored);
    TNewFile out;
    std::error_code error = out.Create(fresh, TNewFileRights::Private);
    if (!error) error = out.Write(cache.dump());
    if (!error) error = out.Close();
    if (!error) std::filesystem::rename(fresh, file, error);
    if (error) {
        std::filesystem::remove(fresh, ignored);
        throw EDiraError(TErrorKind::ekLocal,
                         "Die OAuth-Token-Datei " + PathToUtf8(file) + " kann nicht geschrieben werden: " + error.message());
    }
}

void TOAuthTokenProvider::StoreRefreshToken(const std::string& refresh_token) {
    std::lock_guard lock(mutex_);
    if (!cache_loaded_) LoadCache();
    refresh_token_ = refresh_token;
    access_token_.clear();
    expires_at_ = {};
    SaveCache();
}

std::string TOAuthTokenProvider::Assertion(bool for_jwt_bearer) {
    std::string key_pem;
    std::string issuer = settings_.client_id;
    json header = {{"alg", "RS256"}, {"typ", "JWT"}};
    const auto key_text = ReadWhole(PathFromUtf8(settings_.key_file));
    if (!key_text) Fail("die Schlüsseldatei " + settings_.key_file + " kann nicht gelesen werden");
    if (!key_text->empty() && key_text->front() == '{') {
        // A service account's JSON key file: key, account and key id.
        const json account = json::parse(*key_text, nullptr, false);
        key_pem = account.is_object() ? JsonText(account, "private_key") : "";
        if (key_pem.empty()) Fail("die Schlüsseldatei " + settings_.key_file + " enthält keinen private_key");
        if (!JsonText(account, "client_email").empty()) issuer = JsonText(account, "client_email");
        if (!JsonText(account, "private_key_id").empty()) header["kid"] = JsonText(account, "private_key_id");
        if (settings_.token_url.empty()) settings_.token_url = JsonText(account, "token_uri");
    } else {
        key_pem = *key_text;
    }
    if (settings_.token_url.empty()) Fail("TokenURL fehlt");
    const system_clock::time_point now = now_();
    json claims = {{"iss", issuer}, {"aud", settings_.token_url}, {"iat", Seconds(now)},
                   {"exp", Seconds(now + kAssertionLifetime)}};
    if (for_jwt_bearer) {
        if (!settings_.scope.empty()) claims["scope"] = settings_.scope;
        if (!settings_.subject.empty()) claims["sub"] = settings_.subject;
    } else {
        // The endpoint finds the registered certificate by its thumbprint.
        const auto certificate = ReadWhole(PathFromUtf8(settings_.certificate_file));
        if (!certificate) Fail("die Zertifikatsdatei " + settings_.certificate_file + " kann nicht gelesen werden");
        try {
            header["x5t"] = Base64Url(CertificateSha1(*certificate));
            header["x5t#S256"] = Base64Url(CertificateSha256(*certificate));
        } catch (const EDiraError& e) {
            Fail(settings_.certificate_file + ": " + e.what());
        }
        claims["sub"] = settings_.client_id;
        claims["jti"] = RandomId();
        claims["nbf"] = Seconds(now);
    }
    const std::string signing_input = Base64Url(header.dump()) + "." + Base64Url(claims.dump());
    try {
        return signing_input + "." + Base64Url(SignRs256(key_pem, signing_input));
    } catch (const EDiraError& e) {
        Fail(settings_.key_file + ": " + e.what());
    }
}

void TOAuthTokenProvider::Acquire() {
    std::vector<std::pair<std::string, std::string>> form;
    switch (settings_.grant) {
        case TOAuthGrant::ClientCredentials:
            form = {{"grant_type", "client_credentials"}, {"client_id", settings_.client_id}};
            if (!settings_.certificate_file.empty() && !settings_.key_file.empty()) {
                form.push_back({"client_assertion_type", "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"});
                form.push_back({"client_assertion", Assertion(false)});
            } else {
                form.push_back({"client_secret", settings_.client_secret});
            }
            break;
        case TOAuthGrant::RefreshToken: {
            // Another process (a check beside the service) may have stored a
            // rotated one meanwhile.
            cache_loaded_ = false;
            const std::string in_hand = refresh_token_;
            LoadCache();
            if (refresh_token_.empty()) refresh_token_ = in_hand;
            if (refresh_token_.empty()) {
                Fail("noch kein Refresh-Token gespeichert; einmal \"diravid --oauth2-anmelden " + settings_.section +
                     "\" ausführen");
            }
            form = {{"grant_type", "refresh_token"}, {"client_id", settings_.client_id},
                    {"refresh_token", refresh_token_}};
            if (!settings_.client_secret.empty()) form.push_back({"client_secret", settings_.client_secret});
            break;
        }
        case TOAuthGrant::JwtBearer:
            form = {{"grant_type", "urn:ietf:params:oauth:grant-type:jwt-bearer"}, {"assertion", Assertion(true)}};
            break;
    }
    if (!settings_.scope.empty()) form.push_back({"scope", settings_.scope});
    THttpsAnswer answer;
    try {
        answer = https_->Post(THttpsPost{settings_.token_url, form, settings_.time_limit_ms, settings_.ca_file});
    } catch (const EDiraError& e) {
        Fail(std::string("nicht erreichbar (") + e.what() + ")");
    }
    const json body = json::parse(answer.body, nullptr, false);
    if (answer.status != 200 || !body.is_object() || JsonText(body, "access_token").empty()) {
        std::string reason = "HTTP " + std::to_string(answer.status);
        if (body.is_object() && !JsonText(body, "error").empty()) {
            reason += ", " + JsonText(body, "error");
            const std::string description = JsonText(body, "error_description");
            // The first line holds the code (AADSTS…) and the reason.
            if (!description.empty()) reason += ": " + description.substr(0, description.find_first_of("\r\n"));
        }
        if (settings_.grant == TOAuthGrant::RefreshToken && JsonText(body, "error") == "invalid_grant") {
            reason += " (die Zustimmung ist abgelaufen oder widerrufen; \"diravid --oauth2-anmelden " +
                      settings_.section + "\" erneut ausführen)";
        }
        Fail(reason);
    }
    access_token_ = JsonText(body, "access_token");
    lifetime_ = kDefaultLifetime;
    const auto expires_in = body.find("expires_in");
    if (expires_in != body.end()) {
        // Some endpoints send the number as text.
        if (expires_in->is_number_integer()) lifetime_ = std::chrono::seconds(expires_in->get<long long>());
        if (expires_in->is_string()) lifetime_ = std::chrono::seconds(std::atoll(expires_in->get<std::string>().c_str()));
    }
    expires_at_ = now_() + lifetime_;
    // A rotated refresh token replaces the old one at once: the old one
    // may already be void.
    if (!JsonText(body, "refresh_token").empty()) refresh_token_ = JsonText(body, "refresh_token");
    try {
        SaveCache();
    } catch (const EDiraError&) {
        // The token in memory still serves; a rotated refresh token that
        // could not be kept would be lost with the process, so that is said.
        if (settings_.grant == TOAuthGrant::RefreshToken && !JsonText(body, "refresh_token").empty()) throw;
    }
}

namespace {

struct TRegistry {
    std::mutex mutex;
    std::map<std::string, std::pair<std::string, std::shared_ptr<TOAuthTokenProvider>>> providers;
    std::shared_ptr<IHttpsClient> https;
};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

}  // namespace

std::shared_ptr<TOAuthTokenProvider> OAuthTokenProvider(const TOAuthSettings& settings) {
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    if (!registry.https) registry.https = MakeHttpsClient();
    const std::string key = PathToUtf8(settings.home) + "\n" + settings.section;
    const std::string identity = Fingerprint(settings) + "\n" + settings.client_secret + "\n" + settings.error + "\n" +
                                 settings.ca_file + "\n" + std::to_string(settings.time_limit_ms) + "\n" +
                                 settings.device_url;
    auto& entry = registry.providers[key];
    if (!entry.second || entry.first != identity) {
        entry = {identity, std::make_shared<TOAuthTokenProvider>(settings, registry.https)};
    }
    return entry.second;
}

void SetOAuthHttpsClient(std::shared_ptr<IHttpsClient> https) {
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.https = std::move(https);
    registry.providers.clear();
}

}  // namespace kdv
