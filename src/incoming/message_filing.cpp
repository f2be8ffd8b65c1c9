#include "incoming/message_filing.h"

#include <charconv>
#include <exception>
#include <string>
#include <utility>

#include "db/db_error.h"
#include "db/db_query.h"
#include "incoming/filing_fault_point.h"
#include "platform/ascii_text.h"
#include "platform/dira_error.h"
#include "platform/utf8_text.h"

namespace kdv {

namespace {

// IDs are spliced into statement texts, so anything but digits is refused
// before it can reach the server.
void RequireId(std::string_view what, std::string_view id) {
    if (!IsDecimalId(id)) {
        throw EDiraError(TErrorKind::ekMalformed, std::string("Ungültige ") + std::string(what) + ": " + std::string(id));
    }
}

std::string QuotedSqlLiteral(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

// The text after the last "\" or ":" of a stored path.
std::string_view FileNamePart(std::string_view path) {
    const std::size_t cut = path.find_last_of("\\:");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// Sets BEZUG and ERSTBEZUG of the new message; the caller ignores failures.
void LinkReplyOn(TDbQuery& query, const std::string& LageId, const std::string& NeueId, std::string_view Betreff) {
    const std::string ref = ReplyReference(Betreff);
    if (ref.empty()) return;
    query.ExecSQL("UPDATE LF_NACHRICHTEN SET BEZUG=" + QuotedSqlLiteral(ref) + " WHERE ID = " + NeueId);
    query.Open("SELECT ERSTBEZUG FROM LF_NACHRICHTEN WHERE LAGE=" + LageId + " AND NUMMER=" + ref);
    if (query.Eof()) {
        query.Close();
        return;
    }
    const std::string erstBezug = query.Fields(0).AsString();
    query.Close();
    // An earlier message that is itself a reply carries the thread's start.
    const std::string start = erstBezug.empty() ? ref : erstBezug;
    RequireId("Nachrichtennummer", start);
    query.ExecSQL("UPDATE LF_NACHRICHTEN SET ERSTBEZUG=" + start + " WHERE ID = " + NeueId);
}

}  // namespace

std::string ReplyReference(std::string_view cleanedSubject) {
    const std::size_t at = cleanedSubject.find('@');
    if (at == std::string_view::npos) return {};
    std::string_view ref = cleanedSubject.substr(at + 1);
    const std::size_t blank = ref.find(' ');
    if (blank != std::string_view::npos) ref = ref.substr(0, blank);
    // Message numbers are written as plain digits; a sign would make the
    // server read a number the text does not show ("+2" as 2).
    if (!IsDecimalId(ref)) return {};
    // The number goes into the statement as written, so it must be one the
    // server reads the same way: within the range of an int.
    int value = 0;
    const auto [end, error] = std::from_chars(ref.data(), ref.data() + ref.size(), value);
    if (error != std::errc() || end != ref.data() + ref.size()) return {};
    return std::string(ref);
}

namespace {

// The message row of InsertNachricht and InsertNachrichtInArbeit; `inArbeit`
// marks it as being filed.
std::string InsertZeile(TMailEmpfangContext& ctx, const std::string& LageId, std::string_view Von,
                        std::string_view An, std::string_view Text, std::string_view Betreff,
                        std::string_view MailHash, bool inArbeit, TDbQuery& query) {
    RequireId("Lage-ID", LageId);
    const bool markiert = JournalHasMailColumn(ctx);
    const bool status = markiert && inArbeit && !MailHash.empty() && JournalHasStatusColumn(ctx);
    query.SetSQL(std::string("INSERT INTO LF_NACHRICHTEN(ADD_USER,ADD_FUNKTION,LAGE,ALLGEMEIN,INHALT,BETREFF,VON,AN, "
                             "ART") +
                 (markiert ? ",DIRAVID_MAIL" : "") + (status ? ",DIRAVID_STATUS" : "") +
                 ") VALUES ('DiraVid','DiraVid'," + LageId + ",0,:inhalt,'Maileingang',:von,:an,'E-Mail'" +
                 (markiert ? ",:mail" : "") + (status ? "," + std::to_string(kStatusInAblage) : "") +
                 ") RETURNING ID ");
    std::string inhalt;
    inhalt.reserve(Betreff.size() + 5 + Text.size());
    inhalt += Betreff;
    inhalt += "\r###\r";
    inhalt += Text;
    query.ParamByName("inhalt").SetAsString(std::move(inhalt));
    query.ParamByName("an").SetAsString(std::string(Utf8PrefixByChars(An, kMaxAdressZeichen)));
    query.ParamByName("von").SetAsString(std::string(Utf8PrefixByChars(Von, kMaxAdressZeichen)));
    if (markiert && MailHash.empty()) {
        query.ParamByName("mail").Clear();
    } else if (markiert) {
        query.ParamByName("mail").SetAsString(inArbeit ? MarkeInArbeit(MailHash) : std::string(MailHash));
    }
    query.Open();
    const std::string id = query.Fields(0).AsString();
    ctx.Log.Add(7, "Nachricht mit ID " + id + " gespeichert.");
    query.Close();
    RequireId("Nachrichten-ID", id);
    return id;
}

// `too_large`: the server or the column cannot take the text.
void ReportInsertFailure(TMailEmpfangContext& ctx, const std::exception& e, bool too_large, std::string* Fehler,
                         bool* ZuGross) {
    ctx.Log.Add(3, std::string("Fehler bei Erstellen eines Eintrags: ") + e.what());
    if (Fehler != nullptr) *Fehler = e.what();
    if (ZuGross != nullptr) *ZuGross = too_large;
}

}  // namespace

std::string MarkeInArbeit(std::string_view MailHash) {
    return "~" + std::string(MailHash.substr(0, 63));
}

std::string InsertNachricht(TMailEmpfangContext& ctx, const std::string& LageId, std::string_view Von,
                            std::string_view An, std::string_view Text, std::string_view Betreff,
                            std::string* Fehler, std::string_view MailHash, bool* ZuGross) {
    std::string neueId;
    TDbQuery query(ctx.Database);
    try {
        neueId = InsertZeile(ctx, LageId, Von, An, Text, Betreff, MailHash, false, query);
        InsertSichter(ctx, LageId, neueId, false);
    } catch (const EDbError& e) {
        ReportInsertFailure(ctx, e, e.TooLarge(), Fehler, ZuGross);
        return neueId;
    } catch (const std::exception& e) {
        ReportInsertFailure(ctx, e, false, Fehler, ZuGross);
        return neueId;
    }
    LinkReply(ctx, LageId, neueId, Betreff);
    return neueId;
}

std::string InsertNachrichtInArbeit(TMailEmpfangContext& ctx, const std::string& LageId, std::string_view Von,
                                    std::string_view An, std::string_view Text, std::string_view Betreff,
                                    std::string* Fehler, std::string_view MailHash, bool* ZuGross) {
    TDbQuery query(ctx.Database);
    try {
        return InsertZeile(ctx, LageId, Von, An, Text, Betreff, MailHash, true, query);
    } catch (const EDbError& e) {
        ReportInsertFailure(ctx, e, e.TooLarge(), Fehler, ZuGross);
        return {};
    } catch (const std::exception& e) {
        ReportInsertFailure(ctx, e, false, Fehler, ZuGross);
        return {};
    }
}

void LinkReply(TMailEmpfangContext& ctx, const std::string& LageId, const std::string& NachrichtId,
               std::string_view Betreff) {
    try {
        TDbQuery query(ctx.Database);
        RequireId("Nachrichten-ID", NachrichtId);
        LinkReplyOn(query, LageId, NachrichtId, Betreff);
    } catch (const std::exception&) {
        // A reply link is a convenience; the message stands without it.
    }
}

void InsertSichter(TMailEmpfangContext& ctx, const std::string& LageId, const std::string& NachrichtId,
                   bool NurWennFehlend) {
    const std::string sichter = ctx.Ini.ReadString("Maileingang", "Sichter", "");
    if (sichter.empty()) return;
    RequireId("Lage-ID", LageId);
    RequireId("Nachrichten-ID", NachrichtId);
    TDbQuery query(ctx.Database);
    if (NurWennFehlend) {
        query.SetSQL("SELECT ID FROM LF_NACHRICHTEN_EMPF WHERE NACHRICHT=" + NachrichtId +
                     " AND TYP='E' AND EMPFAENGER=:sichter");
        query.ParamByName("sichter").SetAsString(sichter);
        query.Open();
        const bool vorhanden = !query.Eof();
        query.Close();
        if (vorhanden) return;
    }
    // Bound, not spliced: "!" or "&" before a letter would vanish from a literal.
    query.SetSQL("INSERT INTO LF_NACHRICHTEN_EMPF (LAGE,NACHRICHT,TYP,EMPFAENGER,STATUS)  VALUES (" + LageId + "," +
                 NachrichtId + ",'E',:sichter,'Ungelesen')");
    query.ParamByName("sichter").SetAsString(sichter);
    query.ExecSQL();
}

void SchliesseAblageAb(TMailEmpfangContext& ctx, const std::string& NachrichtId, std::string_view MailHash) {
    RequireId("Nachrichten-ID", NachrichtId);
    TDbQuery query(ctx.Database);
    query.SetSQL(std::string("UPDATE LF_NACHRICHTEN SET DIRAVID_MAIL=:hash") +
                 (JournalHasStatusColumn(ctx) ? ",DIRAVID_STATUS=NULL" : "") +
                 ",ANLAGE=CASE WHEN EXISTS (SELECT 1 FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + NachrichtId +
                 ") THEN 1 ELSE ANLAGE END WHERE ID=" + NachrichtId);
    query.ParamByName("hash").SetAsString(std::string(MailHash));
    query.ExecSQL();
}

std::optional<TAbgelegteNachricht> FiledMessage(TMailEmpfangContext& ctx, const std::string& LageId,
                                                std::string_view MailHash) {
    RequireId("Lage-ID", LageId);
    if (!JournalHasMailColumn(ctx)) return std::nullopt;
    TDbQuery query(ctx.Database);
    query.SetSQL("SELECT ID, DIRAVID_MAIL FROM LF_NACHRICHTEN WHERE LAGE=" + LageId +
                 " AND DIRAVID_MAIL IN (:hash,:arbeit) ORDER BY ID");
    query.ParamByName("hash").SetAsString(std::string(MailHash));
    query.ParamByName("arbeit").SetAsString(MarkeInArbeit(MailHash));
    query.Open();
    std::optional<TAbgelegteNachricht> found;
    // A message filed whole counts before one still being filed.
    while (!query.Eof() && !(found && found->Vollstaendig)) {
        const bool whole = query.Fields(1).AsString() == MailHash;
        if (!found || whole) found = TAbgelegteNachricht{query.Fields(0).AsString(), whole};
        query.Next();
    }
    query.Close();
    return found;
}

std::vector<std::string> AttachmentRowNames(TMailEmpfangContext& ctx, const std::string& NachrichtId) {
    RequireId("Nachrichten-ID", NachrichtId);
    TDbQuery query(ctx.Database);
    query.Open("SELECT PFAD FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + NachrichtId + " ORDER BY ID");
    std::vector<std::string> names;
    while (!query.Eof()) {
        names.emplace_back(FileNamePart(query.Fields(0).AsString()));
        query.Next();
    }
    query.Close();
    return names;
}

bool InsertAnlage(TMailEmpfangContext& ctx, const std::string& NachrichtId, const std::string& LageId,
                  std::string_view Pfad) {
    TDbQuery query(ctx.Database);
    try {
        RequireId("Lage-ID", LageId);
        RequireId("Nachrichten-ID", NachrichtId);
        // The file name is bound like the path: it comes from the mail.
        query.SetSQL("INSERT INTO LF_NACHRICHTEN_ANLAGEN (LAGE,NACHRICHT,PFAD,FILENAME) VALUES (" + LageId + "," +
                     NachrichtId + ",:filename,:dateiname)");
        query.ParamByName("filename").SetAsString(std::string(Pfad));
        query.ParamByName("dateiname").SetAsString(std::string(FileNamePart(Pfad)));
        query.ExecSQL();
        Haltepunkt(haltepunkt::kAnhangZeile);
        query.ExecSQL("UPDATE LF_NACHRICHTEN SET ANLAGE=1 WHERE ID=" + NachrichtId);
        return true;
    } catch (const std::exception& e) {
        ctx.Log.Add(3, std::string("Fehler bei Speichern des Anhangs: ") + e.what());
        return false;
    }
}

}  // namespace kdv
