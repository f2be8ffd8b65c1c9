#pragma once
// Writing an accepted mail into the incident journal: one journal message per
// incident (with the reviewer's delivery row and the link to the message it
// answers), and one row per stored attachment file.
//
// InsertNachricht and InsertAnlage report their failures in the log and
// never raise them. No transaction spans the statements, since the journal
// tables are shared with the application's other programs; a mail filed
// from a raw file is instead marked on its row while it is being filed
// (MarkeInArbeit), so a later run finds and completes a filing cut off in
// the middle.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "incoming/mail_empfang_context.h"

namespace kdv {

// Longest sender address and recipient text kept in VON and AN, in
// characters: the columns hold 200 and the application's own programs stop
// one short of that.
inline constexpr std::size_t kMaxAdressZeichen = 199;

// The reference of a reply: the text after the first "@" of the cleaned
// subject up to the next blank, when it is made of decimal digits only (no
// sign) and fits an int; empty otherwise.
std::string ReplyReference(std::string_view cleanedSubject);

// DIRAVID_STATUS of a journal message while it is being filed from a mail.
// The outbox takes only messages without a value there, so it never mails
// one before its attachments and rows are complete; SchliesseAblageAb clears
// it again.
inline constexpr int kStatusInAblage = 3;

// DIRAVID_MAIL of a journal message while it is being filed from the raw
// mail whose SHA-256 is `MailHash`: "~" and the hash's first 63 digits. No
// hash starts with "~", so no lookup of a finished mail finds it, and no
// two mails share it unless their hashes share 252 bits.
std::string MarkeInArbeit(std::string_view MailHash);

// Files one journal message into incident `LageId` and returns its new ID,
// or the empty text when the message row could not be inserted. `Text` is the
// mail text as lines each ended by CR LF; `Betreff` the cleaned subject.
// When [Maileingang] Sichter is set, a delivery row for that reviewer is
// added. A subject holding "@" and a message number links the new message to
// that message of the same incident (BEZUG, ERSTBEZUG); a failure there is
// ignored. A failure of the other statements is logged at level 3
// ("Fehler bei Erstellen eines Eintrags: ...") and, when `Fehler` is given,
// its message is stored there; the ID is returned all the same once the row
// exists. `MailHash` (see FiledMessage) goes into DIRAVID_MAIL; empty
// leaves it NULL, and a journal without that column
// (TMailEmpfangContext::HasMailColumn) gets neither. `ZuGross`, when given,
// tells whether the failure was a text larger than the server or the column
// takes, which no later attempt changes.
std::string InsertNachricht(TMailEmpfangContext& ctx, const std::string& LageId, std::string_view Von,
                            std::string_view An, std::string_view Text, std::string_view Betreff,
                            std::string* Fehler = nullptr, std::string_view MailHash = {}, bool* ZuGross = nullptr);

// The first step of filing a mail whole: the journal message's row alone,
// as InsertNachricht writes it, but with `MailHash` (when given and the
// journal has DIRAVID_MAIL) as MarkeInArbeit and, where the journal has
// DIRAVID_STATUS, kStatusInAblage. The reviewer's row, the reply link and
// SchliesseAblageAb follow once the attachments are stored. Failures are
// logged and reported as by InsertNachricht.
std::string InsertNachrichtInArbeit(TMailEmpfangContext& ctx, const std::string& LageId, std::string_view Von,
                                    std::string_view An, std::string_view Text, std::string_view Betreff,
                                    std::string* Fehler, std::string_view MailHash, bool* ZuGross);

// Links message `NachrichtId` to the message its cleaned subject answers
// (BEZUG, ERSTBEZUG), as InsertNachricht does; doing it again sets the same
// values. Failures are ignored.
void LinkReply(TMailEmpfangContext& ctx, const std::string& LageId, const std::string& NachrichtId,
               std::string_view Betreff);

// Adds the delivery row for [Maileingang] Sichter (nothing when it is
// empty); with `NurWennFehlend`, only when the message has no such row yet.
// Raises the database's failures.
void InsertSichter(TMailEmpfangContext& ctx, const std::string& LageId, const std::string& NachrichtId,
                   bool NurWennFehlend);

// The last step of filing a mail whole, in one statement: DIRAVID_MAIL
// becomes `MailHash`, DIRAVID_STATUS (where the journal has it) is cleared
// for the outbox, and ANLAGE is 1 when the message has attachment rows.
// Raises the database's failures.
void SchliesseAblageAb(TMailEmpfangContext& ctx, const std::string& NachrichtId, std::string_view MailHash);

// A journal message of an incident filed from a raw mail.
struct TAbgelegteNachricht {
    std::string Id;
    // False while it is marked as being filed (MarkeInArbeit): a process
    // ended, or a failure came, before its attachments and rows were
    // complete.
    bool Vollstaendig = false;
};

// The journal message of incident `LageId` that was filed, or is being
// filed, from the raw mail whose SHA-256 (64 hexadecimal digits) is
// `MailHash`, or nothing when there is none. A filing whose reply the server
// never sent back left such a row, and the mail must not be filed twice. A
// journal without the column DIRAVID_MAIL holds none. Raises the database's
// failures.
std::optional<TAbgelegteNachricht> FiledMessage(TMailEmpfangContext& ctx, const std::string& LageId,
                                                std::string_view MailHash);

// The file names (the text after the last "\" or ":") of the attachment
// rows of message `NachrichtId`, in the order they were inserted. Raises the
// database's failures.
std::vector<std::string> AttachmentRowNames(TMailEmpfangContext& ctx, const std::string& NachrichtId);

// Records the stored attachment file `Pfad` (the path as stored, with "\"
// separators) for message `NachrichtId` of incident `LageId` and flags the
// message as having attachments. Returns false when a statement failed; the
// failure is logged at level 3 ("Fehler bei Speichern des Anhangs: ...").
bool InsertAnlage(TMailEmpfangContext& ctx, const std::string& NachrichtId, const std::string& LageId,
                  std::string_view Pfad);

}  // namespace kdv
