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
    // Turned away: the folder of the home folder the mail is kept in
    // (kAbgewiesenOrdner, kAutomatischOrdner) and the line kept beside it.
    const char* KeepIn = nullptr;
    std::string KeepNote;
    // The raw text could not be read into a message.
    bool Unlesbar = false;
};

// True when the mail was not filed whole: it failed, or it was filed with
// failures, or it could not be read.
inline bool NichtVollstaendig(const TAuswertung& Auswertung) {
    return Auswertung.Ergebnis == TAuswertungsErgebnis::Fehlgeschlagen || !Auswertung.Fehler.empty();
}

// Decides for one mail and files it where the decision says; keeps no
// copy. Never raises: every outcome is logged with its reason, and the
// outcome tells whether the mail may leave the mailbox once it is kept as
// KeepAfterOutcome does.
TAuswertung FileMail(TMailEmpfangContext& ctx, TMailMessage& msg);

// Keeps the raw text in `raw_file` where the outcome says and notes the
// copy in it: a mail turned away in its KeepIn folder with its reason
// beside it (when that fails, the mail fails and stays in the mailbox), an
// unreadable mail or one not filed whole in kFehlerOrdner (an unreadable
// mail kept so counts as turned away: nothing is lost when it leaves the
// mailbox; a failed one is kept while it waits for a later pass, and the
// pass removes that copy once the mail is filed whole). The log names the
// copy. Without a raw file nothing is kept. Never raises.
void KeepAfterOutcome(TMailEmpfangContext& ctx, const std::filesystem::path& raw_file, TAuswertung& outcome);

// Files one mail and keeps its copy: FileMail, then KeepAfterOutcome with
// the message's RawFile.
TAuswertung AuswertenMail(TMailEmpfangContext& ctx, TMailMessage& msg);

// The outcome for a mail whose raw text could not be read into a message
// (`Grund`: the reader's message), logged at level 3. Never raises.
TAuswertung UnlesbareMail(TMailEmpfangContext& ctx, const std::string& Grund);

// What a pass hands each mail it has read to.
class IMailFiler {
public:
    virtual ~IMailFiler() = default;
    // Files the mail (its RawFile is the spooled raw text) or turns it
    // away; keeps no copy. Never raises.
    virtual TAuswertung File(TMailEmpfangContext& ctx, TMailMessage& msg) = 0;
};

// The service's filer: FileMail into the journal.
class TJournalFiler final : public IMailFiler {
public:
    TAuswertung File(TMailEmpfangContext& ctx, TMailMessage& msg) override;
};

}  // namespace kdv
