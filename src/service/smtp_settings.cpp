#include "service/smtp_settings.h"

#include "service/connection_settings.h"

namespace kdv {

TSmtpSettings ReadSmtpSettings(const TIniFile& ini) {
    TSmtpSettings settings;
    settings.start_tls_if_offered = ini.ReadBool("StartTLS", "Aktiv", settings.start_tls_if_offered);
    settings.port = ini.ReadInteger("SMTP", "Port", settings.port);
    settings.host = ini.ReadString("SMTP", "Host", "");
    settings.username = ini.ReadString("SMTP", "Username", "");
    settings.password = ini.ReadString("SMTP", "Passwort", "");
    settings.helo_name = ini.ReadString("SMTP", "HeloName", "");
    settings.certificate_check = ReadCertificateCheck(ini);
    settings.time_limit_ms = ReadConnectionTimeLimitMs(ini);
    return settings;
}

}  // namespace kdv
