#pragma once
// Deciding what happens to one received mail and carrying it out: sender
// check against the whitelist, the optional incident number in the subject,
// the target incidents, the text, an archive copy, and one journal message
// with the mail's attachments per target incident.
#include <string>
#include <vector>

#include "incoming/mail_empfang_context.h"
#include "mail/mail_message.h"

namespace kdv {

enum class TAuswertungsErgebnis {
    // Filed into at least one incident; the mailbox may let the mail go.
    Abgelegt,
    // Turned away by a rule (sender, subject, no text, no target incident);
    // the mailbox may let the mail go.
    Abgewiesen,
    // A database or file-system failure left the mail filed in no incident;
    // the mailbox keeps it for the next pass.
    Fehlgeschlagen,
};

struct TAuswertung {
    TAuswertungsErgebnis Ergebnis = TAuswertungsErgebnis::Abgewiesen;
    // The incidents that received a journal message, in filing order.
    std::vector<std::string> Lagen;
    // Why the mail was turned away or failed (German, for operators); empty
    // when it was filed.
    std::string Grund;
    // Failures that did not keep the mail from being filed (an incident that
    // got no message, an attachment that was not stored), as logged.
    std::vector<std::string> Fehler;
};

// Evaluates and files one mail. Never raises: every failure is logged, and the
// outcome tells the caller whether the mail may leave the mailbox.
TAuswertung AuswertenMail(TMailEmpfangContext& ctx, TMailMessage& msg);

}  // namespace kdv
