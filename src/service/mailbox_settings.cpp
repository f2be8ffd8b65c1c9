#include "service/mailbox_settings.h"

#include "service/connection_settings.h"
#include "service/oauth_token_provider.h"

namespace kdv {

TPop3Settings ReadPop3Settings(const TIniFile& ini) {
    TPop3Settings settings;
    settings.host = ini.ReadString("POP3", "Host", "");
    settings.port = static_cast<std::uint16_t>(ini.ReadInteger("POP3", "Port", 110));
    settings.username = ini.ReadString("POP3", "Username", "");
    settings.password = ini.ReadString("POP3", "Passwort", "");
    settings.ssl = ini.ReadBool("POP3", "SSL", false);
    settings.certificate = ReadCertificateCheck(ini);
    settings.time_limit_ms = ReadConnectionTimeLimitMs(ini);
    if (const auto oauth = ReadProtocolOAuth(ini, "POP3")) settings.oauth = OAuthTokenProvider(*oauth);
    return settings;
}

}  // namespace kdv
