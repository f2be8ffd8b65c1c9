#pragma once
// The settings every connection of the service shares, read from the ini
// here so the transport and the clients below never read it themselves.
#include "net/mail_ssl_io_handler.h"
#include "platform/ini_file.h"

namespace kdv {

// [Zertifikat]: Pruefen=1 checks the server's certificate, against CADatei
// when set (a relative name is a file beside the settings file).
TCertificateCheck ReadCertificateCheck(const TIniFile& ini);

// [Verbindung] Zeitlimit in milliseconds: how long any wait of a mail
// connection may go without progress.
int ReadConnectionTimeLimitMs(const TIniFile& ini);

}  // namespace kdv
