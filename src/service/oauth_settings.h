#pragma once
// The OAuth 2.0 sign-in of the mail connections, read from the ini here and
// handed down as plain values. A protocol section ([SMTP], [POP3], [IMAP])
// signs in with OAuth when its Anmeldung is OAuth2; the token settings are
// those of [OAuth2], or of the section its OAuth2Abschnitt names.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/ini_file.h"

namespace kdv {

enum class TOAuthGrant {
    ClientCredentials,  // the application's own token: secret or signed assertion
    RefreshToken,       // a user's consent, given once with --oauth2-anmelden
    JwtBearer,          // a service account that acts for Benutzer
};

struct TOAuthSettings {
    // The ini section the values come from.
    std::string section = "OAuth2";
    TOAuthGrant grant = TOAuthGrant::ClientCredentials;
    std::string token_url;
    // Where --oauth2-anmelden asks for a device code.
    std::string device_url;
    std::string client_id;
    // ClientSecret, or the content of ClientSecretDatei.
    std::string client_secret;
    // PEM files: with both, a client assertion signed with RS256 takes the
    // secret's place. For jwt_bearer the key file may be the service
    // account's JSON key file.
    std::string certificate_file;
    std::string key_file;
    std::string scope;
    // jwt_bearer: the mailbox the service account acts for.
    std::string subject;
    // [Zertifikat] CADatei: root certificates for the token endpoint too.
    std::string ca_file;
    // [Verbindung] Zeitlimit.
    int time_limit_ms = 60000;
    // Where the token cache and the refresh token are kept.
    std::filesystem::path home;
    // Why these settings cannot give a token (unknown Verfahren, a file
    // that cannot be read, a missing TokenURL); empty when they can.
    std::string error;
};

// "client_credentials", "refresh_token", "jwt_bearer".
const char* OAuthGrantName(TOAuthGrant grant);

// The settings of `protocol` ("SMTP", "POP3", "IMAP") when its Anmeldung is
// OAuth2 (any case); nothing for Passwort, empty or any other value.
std::optional<TOAuthSettings> ReadProtocolOAuth(const TIniFile& ini, const std::string& protocol);

// The settings of the section `section` (for --oauth2-anmelden).
TOAuthSettings ReadOAuthSection(const TIniFile& ini, const std::string& section);

}  // namespace kdv
