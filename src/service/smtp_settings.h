#pragma once
// The outgoing side's mail server, read from the service's settings file.
#include "outgoing/mail_versand.h"
#include "platform/ini_file.h"

namespace kdv {

// [SMTP] Host, Port, Username, Passwort and HeloName, [StartTLS] Aktiv,
// and the settings every connection shares ([Zertifikat], [Verbindung]
// Zeitlimit). A missing key gives the default of TSmtpSettings.
TSmtpSettings ReadSmtpSettings(const TIniFile& ini);

}  // namespace kdv
