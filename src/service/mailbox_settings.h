#pragma once
// The POP3 mailbox's connection, read from the ini by the service and handed
// down, so the pass and the client below never read the ini for it.
#include "incoming/pop3_mailbox.h"
#include "platform/ini_file.h"

namespace kdv {

// [POP3] Host, Port (110), Username, Passwort, SSL; [Zertifikat];
// [Verbindung] Zeitlimit; with [POP3] Anmeldung=OAuth2 the token provider
// of its OAuth section.
TPop3Settings ReadPop3Settings(const TIniFile& ini);

}  // namespace kdv
