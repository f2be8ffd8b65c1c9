#pragma once
// Writing an accepted mail into the incident journal: one journal message per
// incident (with the reviewer's delivery row and the link to the message it
// answers), and one row per stored attachment file.
//
// Both operations report their failures in the log and never raise them; no
// transaction spans their statements, since the journal tables are shared
// with the application's other programs.
#include <cstddef>
#include <string>
#include <string_view>

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

// Files one journal message into incident `LageId` and returns its new ID,
// or the empty text when the message row could not be inserted. `Text` is the
// mail text as lines each ended by CR LF; `Betreff` the cleaned subject.
// When [Maileingang] Sichter is set, a delivery row for that reviewer is
// added. A subject holding "@" and a message number links the new message to
// that message of the same incident (BEZUG, ERSTBEZUG); a failure there is
// ignored. A failure of the other statements is logged at level 3
// ("Fehler bei Erstellen eines Eintrags: ...") and, when `Fehler` is given,
// its message is stored there; the ID is returned all the same once the row
// exists. `MailHash` (see FiledMessageId) goes into DIRAVID_MAIL; empty
// leaves it NULL, and a journal without that column
// (TMailEmpfangContext::HasMailColumn) gets neither. `ZuGross`, when given, tells whether the failure was a
// text larger than the server or the column takes, which no later attempt
// changes.
std::string InsertNachricht(TMailEmpfangContext& ctx, const std::string& LageId, std::string_view Von,
                            std::string_view An, std::string_view Text, std::string_view Betreff,
                            std::string* Fehler = nullptr, std::string_view MailHash = {}, bool* ZuGross = nullptr);

// The ID of the journal message of incident `LageId` that was filed from the
// raw mail whose SHA-256 (64 hexadecimal digits) is `MailHash`, or the empty
// text when there is none. A filing whose reply the server never sent back
// left such a row, and the mail must not be filed twice. A journal without
// the column DIRAVID_MAIL holds none. Raises the database's failures.
std::string FiledMessageId(TMailEmpfangContext& ctx, const std::string& LageId, std::string_view MailHash);

// Records the stored attachment file `Pfad` (the path as stored, with "\"
// separators) for message `NachrichtId` of incident `LageId` and flags the
// message as having attachments. Returns false when a statement failed; the
// failure is logged at level 3 ("Fehler bei Speichern des Anhangs: ...").
bool InsertAnlage(TMailEmpfangContext& ctx, const std::string& NachrichtId, const std::string& LageId,
                  std::string_view Pfad);

}  // namespace kdv
