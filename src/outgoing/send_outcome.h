#pragma once
// What became of one journal row's mail, decided on the stage of the SMTP
// session the failure happened in and on its kind, so that a scan knows
// whether to mark the row, keep it, or stop.
#include <string>
#include <vector>

#include "clients/mail_smtp.h"
#include "clients/smtp_reply.h"

namespace kdv {

enum class TSendOutcome {
    soSent,            // accepted for at least one recipient
    soServerUnusable,  // the server, its settings or the database: stop the scan, keep the row
    // The session broke down while this row's recipients or text were in
    // transfer (421, connection lost, time-out): stop the scan and keep the
    // row as for soServerUnusable; the row itself may be the cause.
    soServerUnusableInTransfer,
    soNotNow,          // this row cannot go now; keep it and go on
    soFailedForGood,   // this row will never go; mark it failed and go on
};

// The outcome of a failing Send, from the error it raised and the
// recipients the server refused. Up to the login the server is not usable;
// 421 means so wherever it comes, and 530 (a login is wanted) too. A
// refused MAIL FROM meets every row alike (they share the sender) unless it
// refuses the message's size (552, x.3.4). Replies to RCPT TO and to the
// text belong to the row: 4xx not now, 5xx failed for good. A failure
// without a reply (reply code 0) counts by its stage, except a file of the
// mail that could not be read (ekLocal), which is not now. Connect and
// Authenticate failures never come here: they always make the server
// unusable; so does any failure of Send that is no EMailSMTPError.
TSendOutcome ClassifySendFailure(const EMailSMTPError& error, const std::vector<TSMTPRefusedRecipient>& refused);

// What follows "Authentifizierung am Mailserver fehlgeschlagen: " for a
// failure of Connect or Authenticate in `stage` of the session: the error's
// message and, unless the server refused the login itself, the cause after
// it in brackets (no connection, connection lost, no reply in time, TLS, a
// refused greeting or EHLO), so a refused or reset connection does not read
// as a wrong password. A failure that is no EDiraError is logged by its
// message alone.
std::string SmtpStartFailureText(const EDiraError& error, TSMTPStage stage);

}  // namespace kdv
