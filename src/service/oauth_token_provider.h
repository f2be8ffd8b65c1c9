#pragma once
// OAuth 2.0 access tokens for the mail connections: fetched from the token
// endpoint at first use with the configured grant, kept in memory and in a
// cache file in the home folder that only the service's user can read,
// renewed five minutes before they expire, and renewed at once when a
// server refuses one. A refresh token the endpoint rotates is stored at
// once, whole or not at all.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "clients/sasl_oauth.h"
#include "net/https_client.h"
#include "service/oauth_settings.h"

namespace kdv {

using TWallClock = std::function<std::chrono::system_clock::time_point()>;

// How long before its end a token is renewed: a pass or a mail begun with
// it must not run into its expiry.
inline constexpr std::chrono::minutes kTokenRenewalMargin{5};

// The file in `home` that keeps the tokens of the ini section `section`.
std::filesystem::path OAuthCacheFile(const std::filesystem::path& home, const std::string& section);

// The text of every failure to get a token starts with this and the
// endpoint's address.
inline constexpr const char* kTokenFailure = "Kein OAuth-Token von ";

class TOAuthTokenProvider final : public IOAuthTokenSource {
public:
    TOAuthTokenProvider(TOAuthSettings settings, std::shared_ptr<IHttpsClient> https,
                        TWallClock now = [] { return std::chrono::system_clock::now(); });

    // Both raise EDiraError of kind ekAuthentication when no token can be
    // had: the settings' error, the endpoint not reached (with the reason),
    // or its refusal with its error code and description. No text holds a
    // token or a secret.
    std::string Token() override;
    std::string RenewedToken(const std::string& rejected) override;

    // A new token from the endpoint now, whatever is in hand: the check
    // tries the endpoint and the credentials, not the cache. Raises as Token.
    std::string FreshToken();

    // When the token in hand expires (after Token()).
    std::chrono::system_clock::time_point ExpiresAt() const;
    const TOAuthSettings& Settings() const { return settings_; }

    // Stores a refresh token got by the device flow (written to a new file,
    // then renamed). Raises EDiraError (ekLocal) when it cannot be written.
    void StoreRefreshToken(const std::string& refresh_token);

    // `text` with every token and secret this provider knows masked.
    std::string Masked(const std::string& text) const;

private:
    bool Usable() const;
    void LoadCache();
    void SaveCache();
    // A new access token from the endpoint, by the settings' grant.
    void Acquire();
    std::string Assertion(bool for_jwt_bearer);
    [[noreturn]] void Fail(const std::string& reason) const;

    mutable std::mutex mutex_;
    TOAuthSettings settings_;
    std::shared_ptr<IHttpsClient> https_;
    TWallClock now_;
    bool cache_loaded_ = false;
    std::string access_token_;
    std::chrono::system_clock::time_point expires_at_{};
    std::chrono::seconds lifetime_{0};
    std::string refresh_token_;
    // What a service account's JSON key file holds, once read.
    std::string key_pem_;
    std::string key_id_;
    std::string issuer_;
};

// One provider per home folder and section for the life of the process, so
// every connection shares one token; a provider whose settings changed in
// the ini is replaced.
std::shared_ptr<TOAuthTokenProvider> OAuthTokenProvider(const TOAuthSettings& settings);

// The HTTPS client the providers made by OAuthTokenProvider use; tests put
// in their own. Null restores libcurl.
void SetOAuthHttpsClient(std::shared_ptr<IHttpsClient> https);

}  // namespace kdv
