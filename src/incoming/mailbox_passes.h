#pragma once
// The mailbox passes of the poll cycle: every mail of the POP3 mailbox and
// of the IMAP INBOX goes through one pass (mailbox_pass.h) into the journal.
#include "clients/mail_imap4.h"
#include "incoming/imap_mailbox.h"
#include "incoming/mail_empfang_context.h"
#include "incoming/mailbox_pass.h"
#include "incoming/pop3_mailbox.h"

namespace kdv {

// One POP3 pass with its own connection. Never raises.
void CheckPOP3Postfach(TMailEmpfangContext& ctx, const TPop3Settings& settings, const TStopAnfrage& stop = {},
                       const TPassOptions& options = {});

// One IMAP pass with the service's long-lived client; the connection stays
// open for the next pass. Never raises: a failed reconnect after a failure
// is logged too.
void CheckIMAPPostfach(TMailEmpfangContext& ctx, TMailIMAP4& imap, const TStopAnfrage& stop = {},
                       const TPassOptions& options = {});

}  // namespace kdv
