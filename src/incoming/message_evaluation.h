#pragma once
// Deciding what happens to one received mail and carrying it out: sender
// check against the whitelist, the optional incident number in the subject,
// the target incidents, the text, an archive copy, and one journal message
// with the mail's attachments per target incident.
#include <filesystem>
#include <string>
#include <vector>

#include "incoming/mail_empfang_context.h"
#include "mail/mail_message.h"

namespace kdv {

enum class TAuswertungsErgebnis {
    // Filed into at least one incident; the mailbox may let the mail go.
    Abgelegt,
    // Turned away by a rule (sender, subject, neither text nor attachment,
    // no target incident), or unreadable, or an automatic mail (a reply, a
    // bounce, the service's own mail come back), and kept whole; the mailbox
    // may let the mail go. A mail without a raw file has nothing to keep.
    Abgewiesen,
    // A database or file-system failure, or an attachment folder that may
    // not be used, left the mail filed in no incident; the mailbox keeps it
    // for the next pass.
    Fehlgeschlagen,
};

struct TAuswertung {
    TAuswertungsErgebnis Ergebnis = TAuswertungsErgebnis::Abgewiesen;
    // The incidents that hold a journal message of the mail, in filing
    // order: filed now, completed now, or filed whole before.
    std::vector<std::string> Lagen;
    // Of those, the incidents whose message an earlier run left half filed
    // and this one completed.
    std::vector<std::string> Vervollstaendigt;
    // Of those, the incidents that held the mail filed whole already, so
    // nothing was added there.
    std::vector<std::string> SchonAbgelegt;
    // Why the mail was turned away or failed (German, for operators); empty
    // when it was filed.
    std::string Grund;
    // Failures that did not keep the mail from being filed (an incident that
    // got no message, an attachment that was not stored), as logged.
    std::vector<std::string> Fehler;
    // Where the raw mail was kept: in kFehlerOrdner when it was not filed
    // whole, in kAbgewiesenOrdner when a rule turned it away, in
    // kAutomatischOrdner when it was an automatic mail; empty when it was
    // not kept.
    std::filesystem::path Kopie;
    // For a failed mail: the failure lies in the mail or its handling, so a
    // later pass would fail alike. False for failures of the database, the
    // attachment folder or the file system, which pass.
    bool Dauerhaft = false;
    // Filed from a raw file without marking the messages with it (the
    // journal lacks DIRAVID_MAIL): filing the same file again is not
    // recognised.
    bool FiledUnmarked = false;
};

// True when the mail was not filed whole: it failed, or it was filed with
// failures, or it could not be read.
inline bool NichtVollstaendig(const TAuswertung& Auswertung) {
    return Auswertung.Ergebnis == TAuswertungsErgebnis::Fehlgeschlagen || !Auswertung.Fehler.empty();
}

// Evaluates and files one mail. Never raises: every outcome is logged with
// its reason, and the outcome tells the caller whether the mail may leave
// the mailbox. When the message has a RawFile, a mail that was not filed
// whole is kept in kFehlerOrdner, one a rule turned away in
// kAbgewiesenOrdner and an automatic mail in kAutomatischOrdner, those two
// with their reason beside them (see kept_mail.h); when the copy of a mail
// turned away fails, the mail fails and stays in the mailbox. The log names
// the copy.
TAuswertung AuswertenMail(TMailEmpfangContext& ctx, TMailMessage& msg);

// The outcome for a mail whose raw text in `RohDatei` could not be read into
// a message (`Grund`: the reader's message). Logs it at level 3 and keeps the
// raw text in kFehlerOrdner: then the outcome is Abgewiesen (nothing is lost
// when the mail leaves the mailbox), else Fehlgeschlagen. Never raises.
TAuswertung UnlesbareMail(TMailEmpfangContext& ctx, const std::filesystem::path& RohDatei, const std::string& Grund);

}  // namespace kdv
