#include "service/oauth_settings.h"

#include <fstream>
#include <sstream>

#include "platform/ascii_text.h"
#include "service/connection_settings.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

// A relative file name is a file beside the settings file.
std::filesystem::path Beside(const TIniFile& ini, const std::string& name) {
    std::filesystem::path path(name);
    if (path.is_relative()) path = ini.FileName().parent_path() / path;
    return path;
}

}  // namespace

const char* OAuthGrantName(TOAuthGrant grant) {
    switch (grant) {
        case TOAuthGrant::ClientCredentials: return "client_credentials";
        case TOAuthGrant::RefreshToken: return "refresh_token";
        case TOAuthGrant::JwtBearer: return "jwt_bearer";
    }
    return "";
}

TOAuthSettings ReadOAuthSection(const TIniFile& ini, const std::string& section) {
    TOAuthSettings s;
    s.section = section;
    s.home = ini.FileName().parent_path();
    s.time_limit_ms = ReadConnectionTimeLimitMs(ini);
    const std::string ca_file = ini.ReadString("Zertifikat", "CADatei", "");
    if (!ca_file.empty()) s.ca_file = PathToUtf8(Beside(ini, ca_file));
    const std::string grant = ini.ReadString(section, "Verfahren", "client_credentials");
    if (EqualsNoCase(grant, "client_credentials")) {
        s.grant = TOAuthGrant::ClientCredentials;
    } else if (EqualsNoCase(grant, "refresh_token")) {
        s.grant = TOAuthGrant::RefreshToken;
    } else if (EqualsNoCase(grant, "jwt_bearer")) {
        s.grant = TOAuthGrant::JwtBearer;
    } else {
        s.error = "[" + section + "] Verfahren=" + grant +
                  " ist unbekannt (erlaubt: client_credentials, refresh_token, jwt_bearer).";
    }
    s.token_url = ini.ReadString(section, "TokenURL", "");
    s.device_url = ini.ReadString(section, "GeraeteURL", "");
    s.client_id = ini.ReadString(section, "ClientID", "");
    s.client_secret = ini.ReadString(section, "ClientSecret", "");
    s.scope = ini.ReadString(section, "Scope", "");
    s.subject = ini.ReadString(section, "Benutzer", "");
    const std::string certificate = ini.ReadString(section, "Zertifikat", "");
    const std::string key = ini.ReadString(section, "Schluessel", "");
    if (!certificate.empty()) s.certificate_file = PathToUtf8(Beside(ini, certificate));
    if (!key.empty()) s.key_file = PathToUtf8(Beside(ini, key));
    const std::string secret_file = ini.ReadString(section, "ClientSecretDatei", "");
    if (!secret_file.empty() && s.error.empty()) {
        std::ifstream in(Beside(ini, secret_file), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        if (!in) {
            s.error = "[" + section + "] ClientSecretDatei " + PathToUtf8(Beside(ini, secret_file)) +
                      " kann nicht gelesen werden.";
        } else {
            // The editor's line break at the end is not part of the secret.
            s.client_secret = content.str();
            while (!s.client_secret.empty() &&
                   (s.client_secret.back() == '\n' || s.client_secret.back() == '\r' || s.client_secret.back() == ' ')) {
                s.client_secret.pop_back();
            }
        }
    }
    // A service account's JSON key file names its own token endpoint.
    if (s.error.empty() && s.token_url.empty() && !(s.grant == TOAuthGrant::JwtBearer && !s.key_file.empty())) {
        s.error = "[" + section + "] TokenURL fehlt.";
    }
    return s;
}

std::optional<TOAuthSettings> ReadProtocolOAuth(const TIniFile& ini, const std::string& protocol) {
    if (!EqualsNoCase(ini.ReadString(protocol, "Anmeldung", "Passwort"), "OAuth2")) return std::nullopt;
    return ReadOAuthSection(ini, ini.ReadString(protocol, "OAuth2Abschnitt", "OAuth2"));
}

}  // namespace kdv
