#pragma once
// The outgoing side: the scans for journal rows the service has not handled
// yet, and the mail that carries one journal message. Every row is marked by
// its ID as soon as its outcome is final, so an outage or a crash in the
// middle of a scan neither loses a row nor mails more than the one in hand.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "db/db_connection.h"
#include "log/log_file.h"
#include "net/mail_ssl_io_handler.h"
#include "outgoing/send_outcome.h"
#include "platform/clock.h"
#include "platform/ini_file.h"

namespace kdv {

class TMailSMTP;
class IOAuthTokenSource;

// What the log says, before the reason, when the mail server cannot be
// reached or refuses the login.
inline constexpr const char* kSmtpAuthError = "Authentifizierung am Mailserver fehlgeschlagen: ";

// The port the SMTP client uses when the settings name none.
inline constexpr int kDefaultSmtpPort = 10;

// How every session of the outgoing side meets the mail server. The
// service reads it from its settings for every mail sent.
struct TSmtpSettings {
    // Empty: outgoing mail is off, and the rows are marked without a mail.
    std::string host;
    int port = kDefaultSmtpPort;
    // Empty: no login.
    std::string username;
    std::string password;
    // The name given in EHLO; empty: the machine's name.
    std::string helo_name;
    // True: STARTTLS when the server offers it, plain text otherwise.
    // False: a server without STARTTLS fails the session.
    bool start_tls_if_offered = false;
    TCertificateCheck certificate_check;
    // How long any wait of the connection may go without progress.
    int time_limit_ms = 60000;
};

// Sets the SMTP client up as every session of the service uses it, talking
// TLS 1.2 through `io`.
void ConfigureSmtpClient(TMailSMTP& smtp, TMailSSLIOHandlerSocketOpenSSL& io, const TSmtpSettings& settings);

// What the scans of one poll cycle share.
struct TMailVersandCycle {
    // The notice that the server offers no login although [SMTP] Username
    // is set: written once per cycle, not once per row.
    bool NoLoginNoticeWritten = false;
};

// What the outgoing side needs from the service: the long-lived objects it
// owns, handed down so this layer never reaches up.
struct TMailVersandContext {
    TLogFile& Log;
    TIniFile& Ini;
    TDbConnection& Database;
    // Local time, for the age of a row that cannot be sent.
    IClock& Clock;
    // True once the process is asked to end; checked between rows. May be empty.
    std::function<bool()> StopRequested;
    // The home folder, for the note of rows that held the outbox; empty:
    // the folder of the settings file.
    std::filesystem::path Home;
    // What the scans of this cycle share; null: each call of SendNachricht
    // counts as a cycle of its own.
    TMailVersandCycle* Cycle = nullptr;
    // The mail server's settings, asked for every mail and every scan, so a
    // change counts from the next one. Must be set.
    std::function<TSmtpSettings()> SmtpSettings = {};
    // The token source of the SMTP login, asked before every mail (null:
    // the password login). May be empty.
    std::function<std::shared_ptr<IOAuthTokenSource>()> SmtpOAuth = nullptr;
};

// Logged at level 5 when [SMTP] Username is set but the server offers no
// login: the mails go without one.
inline constexpr const char* kNoLoginOffered =
    "Der Mailserver bietet keine Anmeldung (AUTH) an: die Mails werden ohne Anmeldung versendet, obwohl [SMTP] "
    "Username eingetragen ist.";

// DIRAVID_STATUS of a row whose mail will never go out; 1 keeps meaning
// "handled".
inline constexpr int kStatusFailed = 2;
// A row that could not be sent for this long after its ADD_TIME is given up.
inline constexpr std::chrono::hours kGiveUpAfter{24};

// Mails journal message `id` (decimal text) to the recipient list text, in a
// session of its own, and logs everything. Lets no error escape; the result
// tells the scan what to do with the row. `holding`: the row has held the
// outbox for kMaxHoldingCycles cycles, so a breakdown in its own transfer
// counts as "not sendable now" (never soServerUnusableInTransfer).
TSendOutcome SendNachricht(TMailVersandContext& ctx, const std::string& id, const std::string& recipients,
                           bool holding = false);

// Mails every pending journal message to [Mail] An. Lets no error escape.
void SendNachrichten(TMailVersandContext& ctx);

// Mails every pending delivery row whose EMPFAENGER holds "@" to that
// recipient. Lets no error escape.
void SendEmpfaengerNachrichten(TMailVersandContext& ctx);

}  // namespace kdv
