#pragma once
// The mailbox passes of the poll cycle: every mail of the POP3 mailbox and of
// the IMAP INBOX is read, handed to the evaluation and removed from the
// mailbox once it is filed, turned away or kept. A mail whose filing failed
// stays for the next pass, unless it failed for a reason of its own in
// kMaxFehlversuche passes: then it is kept in Fehler and removed. A mail
// that was filed is noted until the server has removed it, so no pass files
// it twice. Mails are spooled in the service's temporary folder.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "incoming/mail_empfang_context.h"
#include "incoming/message_evaluation.h"
#include "incoming/pass_limits.h"

namespace kdv {

class TMailIMAP4;
class TMailPOP3;
class TMailSSLIOHandlerSocketOpenSSL;

// Mails larger than this many MiB ([Maileingang] MaxMB) are not fetched:
// they stay in the mailbox.
inline constexpr int kMaxMBVorgabe = 50;

// Asked between two mails: true ends the pass after the mail in hand.
using TStopAnfrage = std::function<bool()>;

// Where a test steps into a pass; the service leaves both empty.
struct TPostfachEingriffe {
    // Evaluates a mail in place of AuswertenMail.
    std::function<TAuswertung(TMailEmpfangContext&, TMailMessage&)> Auswerten;
    // Runs once a mail is filed and noted, before it leaves the mailbox.
    std::function<void()> NachAblage;
    // How long the pass may start new mails.
    std::chrono::steady_clock::duration Zeitbudget = kPassTimeBudget;
};

// Sets the POP3 client up from [POP3] (host, port, login) and the read
// time-out and, with [POP3] SSL, makes `tls` and speaks implicit TLS through
// it with the given certificate check.
void ConfigurePop3Client(TMailPOP3& client, std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL>& tls,
                         const TIniFile& ini, const TCertificateCheck& certificate_check, int time_limit_ms);

// What the log says before the reason when a POP3 pass fails as a whole.
inline constexpr const char* kPop3PassError = "Fehler bei Überprüfung des POP3-Postfachs: ";
// What the log says before the reason when the IMAP server cannot be reached.
inline constexpr const char* kImapConnectError = "Verbindungsfehler IMAP: ";

// One POP3 pass with the settings of [POP3]. Never raises.
void CheckPOP3Postfach(TMailEmpfangContext& ctx, const TStopAnfrage& stop = {},
                       const TPostfachEingriffe& eingriffe = {});

// One IMAP pass with the service's long-lived client (configured from
// [IMAP]); the connection stays open for the next pass. Never raises: a
// failed reconnect after a failure is logged too.
void CheckIMAPPostfach(TMailEmpfangContext& ctx, TMailIMAP4& imap, const TStopAnfrage& stop = {},
                       const TPostfachEingriffe& eingriffe = {});

// "<date> <time>" of the clock, as [Debug] Laststartcheckmail and
// Lastendcheckmail hold it (dd.mm.yyyy hh:mm:ss).
std::string DebugZeitstempel(const TMailEmpfangContext& ctx);

}  // namespace kdv
