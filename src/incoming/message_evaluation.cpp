#include "incoming/message_evaluation.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "db/db_connection.h"
#include "db/db_error.h"
#include "db/db_query.h"
#include "incoming/archive_copy.h"
#include "incoming/attachment_name.h"
#include "incoming/attachment_store.h"
#include "incoming/automatic_mail.h"
#include "incoming/filing_fault_point.h"
#include "incoming/kept_mail.h"
#include "platform/attachment_path.h"
#include "incoming/message_filing.h"
#include "incoming/subject_incident_number.h"
#include "incoming/text_cleanup.h"
#include "mail/mail_text_util.h"
#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "platform/sha256.h"

namespace kdv {

namespace {

std::vector<std::string> ReadIds(TDbQuery& query) {
    std::vector<std::string> ids;
    query.First();
    while (!query.Eof()) {
        ids.push_back(query.Fields(0).AsString());
        query.Next();
    }
    return ids;
}

bool IsHtml(std::string_view contentType) {
    const std::string_view mediaType = mailtext::TrimBlanks(contentType.substr(0, contentType.find(';')));
    return mailtext::EqualsNoCase(mediaType, "text/html");
}

bool IsBlankText(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// Appends `text` with every line end (CR, LF or CR LF) written as CR LF.
void AppendWithCrLf(std::string& out, std::string_view text) {
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c != '\r' && c != '\n') {
            out += c;
            continue;
        }
        out += "\r\n";
        if (c == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
    }
}

bool HasOnlyCrLfBreaks(std::string_view text) {
    for (std::size_t pos = text.find_first_of("\r\n"); pos != std::string_view::npos;
         pos = text.find_first_of("\r\n", pos + 2)) {
        if (text[pos] != '\r' || pos + 1 == text.size() || text[pos + 1] != '\n') return false;
    }
    return true;
}

// The text a reader sees, every line ended by CR LF: an HTML text as its
// page shows it, any other text as written. One string, not a string per
// line: a mail of millions of empty lines must cost a small multiple of its
// size.
std::string ShownText(const TMailLines& body, bool html) {
    std::string shown;
    if (!html) {
        // Each line and its CR LF: a large text is built without regrowing.
        shown.reserve(body.ByteSize() + body.size());
        for (const std::string_view line : body) {
            AppendWithCrLf(shown, line);
            shown += "\r\n";
        }
        return shown;
    }
    THtmlTextConverter converter;
    for (const std::string_view line : body) {
        converter.Feed(line);
        converter.Feed("\r\n");
    }
    std::string converted = converter.Finish();
    // The converter ends its lines with CR LF already; a copy would hold a
    // large text twice.
    if (HasOnlyCrLfBreaks(converted)) {
        shown = std::move(converted);
    } else {
        AppendWithCrLf(shown, converted);
    }
    if (!shown.empty() && !shown.ends_with("\r\n")) shown += "\r\n";
    return shown;
}

// The text of the first text part that shows something, else that of the
// message's own body; empty when neither does. A multipart's blank preamble
// is such a part and must not hide the text after it. The body the text was
// made from is dropped: nothing reads it again, and a large text must not be
// held twice while it is filed.
std::string TakeMailText(TMailMessage& msg) {
    for (std::size_t i = 0; i < msg.MessageParts.Count(); ++i) {
        TMailMessagePart& part = msg.MessageParts[i];
        if (part.PartType() != TMailPartType::mptText) continue;
        TMailLines& body = static_cast<TMailText&>(part).Body;
        std::string text = ShownText(body, IsHtml(part.ContentType()));
        if (!IsBlankText(text)) {
            body.clear();
            return text;
        }
    }
    std::string text = ShownText(msg.Body, IsHtml(msg.ContentType()));
    msg.Body.clear();
    if (IsBlankText(text)) text.clear();
    return text;
}

// Bytes of the statement that files `text` beyond the text itself: the
// subject, the addresses and the statement's own words, each escaped.
constexpr std::size_t kEintragRahmenBytes = 64 * 1024;

// Why the database server cannot take `text` in one statement, or empty
// when it can. Such a text would fail in every pass; it is the mail's own
// failure, not the server's.
std::string TextZuGrossFuerDatenbank(TMailEmpfangContext& ctx, const std::string& text) {
    ctx.Database.Open();
    const std::uint64_t grenze = ctx.Database.MaxStatementBytes();
    if (grenze == 0 || TDbConnection::QuotedSize(text) + kEintragRahmenBytes <= grenze) return {};
    return "Text der Mail ist mit " + std::to_string(text.size()) +
           " Bytes zu groß für den Datenbankserver (max_allowed_packet erlaubt " + std::to_string(grenze) +
           " Bytes für eine Anweisung)";
}

std::string Join(const std::vector<std::string>& items, std::string_view separator) {
    std::string text;
    for (const std::string& item : items) {
        if (!text.empty()) text += separator;
        text += item;
    }
    return text;
}

bool HatAnhaenge(TMailMessage& msg) {
    for (std::size_t i = 0; i < msg.MessageParts.Count(); ++i) {
        if (msg.MessageParts[i].PartType() == TMailPartType::mptAttachment) return true;
    }
    return false;
}

// Creates one folder below an existing one. Only the incident's and the
// message's folder are made: a missing attachment folder (a share that is
// not mounted) must not be made on the local disk.
void CreateSubfolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directory(folder, ec);
    if (ec) throw EDiraError("Ordner " + PathToUtf8(folder) + " kann nicht angelegt werden: " + ec.message());
}

// The attachments of one journal message already there when a filing cut
// off in the middle is taken up again: the names of its attachment rows,
// and the files of its folder that have none (a process ended between a
// file and its row).
struct TAnhangBestand {
    std::vector<std::string> zeilen;
    std::vector<bool> zeileBelegt;
    std::vector<std::string> ohneZeile;
};

TAnhangBestand LeseAnhangBestand(TMailEmpfangContext& ctx, const std::string& nachrichtId,
                                 const TAttachmentFolder& ablage) {
    TAnhangBestand bestand;
    bestand.zeilen = AttachmentRowNames(ctx, nachrichtId);
    bestand.zeileBelegt.assign(bestand.zeilen.size(), false);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ablage.Folder(), ec)) {
        std::error_code fileError;
        if (!entry.is_regular_file(fileError) || entry.is_symlink(fileError)) continue;
        const std::string name = PathToUtf8(entry.path().filename());
        const auto row = std::find_if(bestand.zeilen.begin(), bestand.zeilen.end(), [&name](const std::string& z) {
            return mailtext::EqualsNoCase(z, name);
        });
        if (row == bestand.zeilen.end()) bestand.ohneZeile.push_back(name);
    }
    return bestand;
}

// Takes the attachment as stored when a row, or else a file without a row,
// holds its very bytes: true when it is done, with `name` set to the file's
// name and `zeileFehlt` when the row is still to be inserted.
bool SchonGespeichert(TAnhangBestand& bestand, const TAttachmentFolder& ablage, TMailAttachment& anhang,
                      std::string& name, bool& zeileFehlt) {
    for (std::size_t r = 0; r < bestand.zeilen.size(); ++r) {
        if (bestand.zeileBelegt[r] || !SameContent(anhang, ablage.Folder() / PathFromUtf8(bestand.zeilen[r]))) continue;
        bestand.zeileBelegt[r] = true;
        name = bestand.zeilen[r];
        zeileFehlt = false;
        return true;
    }
    for (auto it = bestand.ohneZeile.begin(); it != bestand.ohneZeile.end(); ++it) {
        if (!SameContent(anhang, ablage.Folder() / PathFromUtf8(*it))) continue;
        name = *it;
        bestand.ohneZeile.erase(it);
        zeileFehlt = true;
        return true;
    }
    return false;
}

// Stores every attachment of the mail for one filed message; failures are
// logged per attachment and collected in `fehler`. With `fortsetzen` the
// message's earlier filing was cut off: what it stored is kept, a file it
// left without a row gets its row, and only what is missing is stored.
void SpeichereAnhaenge(TMailEmpfangContext& ctx, TMailMessage& msg, const std::string& lageId,
                       const std::string& nachrichtId, bool fortsetzen, std::vector<std::string>& fehler) {
    std::optional<TAttachmentFolder> ablage;
    std::optional<TAnhangBestand> bestand;
    for (std::size_t i = 0; i < msg.MessageParts.Count(); ++i) {
        TMailMessagePart& part = msg.MessageParts[i];
        if (part.PartType() != TMailPartType::mptAttachment) continue;
        auto& anhang = static_cast<TMailAttachment&>(part);
        try {
            const std::string name = AnhangDateiname(anhang.FileName, i);
            const std::string basis = ctx.getLFPath();
            const std::string ordner = basis + lageId + "\\" + nachrichtId + "\\";
            if (!ablage) {
                CreateSubfolder(LocalAttachmentPath(ctx.Ini, basis + lageId));
                const std::filesystem::path lokal = LocalAttachmentPath(ctx.Ini, ordner);
                CreateSubfolder(lokal);
                ablage.emplace(lokal);
                if (fortsetzen) {
                    if (const std::size_t weg = ablage->RemoveLeftovers(); weg > 0) {
                        ctx.Log.Add(5, std::to_string(weg) + " unvollständige Anhangdatei(en) in " + ordner +
                                           " entfernt.");
                    }
                    bestand = LeseAnhangBestand(ctx, nachrichtId, *ablage);
                }
            }
            std::string gespeichert;
            bool zeileFehlt = true;
            if (bestand && SchonGespeichert(*bestand, *ablage, anhang, gespeichert, zeileFehlt)) {
                ctx.Log.Add(7, "Anhang " + std::to_string(i) + " " + name + " ist schon gespeichert als " + ordner +
                                   gespeichert + (zeileFehlt ? "; er wird eingetragen." : "."));
            } else {
                ctx.Log.Add(7, "Speichere Anhang " + std::to_string(i) + " " + name + "  " + ordner + name);
                gespeichert = ablage->Store(anhang, name);
                if (gespeichert != name) {
                    ctx.Log.Add(7, "Anhang " + std::to_string(i) + " gespeichert als " + gespeichert);
                }
                Haltepunkt(haltepunkt::kAnhangDatei);
            }
            if (zeileFehlt && !InsertAnlage(ctx, nachrichtId, lageId, ordner + gespeichert)) {
                fehler.push_back("Anhang " + gespeichert + " in Lage " + lageId + " nicht eingetragen");
            }
        } catch (const std::exception& e) {
            ctx.Log.Add(3, std::string("Fehler beim Speichern des Anhangs: ") + e.what());
            fehler.push_back("Anhang " + std::to_string(i) + " in Lage " + lageId + ": " + e.what());
        }
    }
}

// Everything of one journal message after its row: the attachments, the
// reply link, the reviewer's row and, for a mail from a file, the mark that
// it is filed whole. The reviewer's row comes last but one: the outbox mails
// it out, and the reviewer must get the message with its attachments. A
// failure leaves the message marked as being filed, so a later run (the
// next pass, or the import of the copy kept in Fehler) completes it. False
// when something failed; the failures are logged and in `fehler`.
bool VervollstaendigeNachricht(TMailEmpfangContext& ctx, TMailMessage& msg, const std::string& lageId,
                               const std::string& nachrichtId, const std::string& betreff,
                               const std::string& mailHash, bool fortsetzen, std::vector<std::string>& fehler) {
    const std::size_t vorher = fehler.size();
    SpeichereAnhaenge(ctx, msg, lageId, nachrichtId, fortsetzen, fehler);
    LinkReply(ctx, lageId, nachrichtId, betreff);
    Haltepunkt(haltepunkt::kBezug);
    try {
        InsertSichter(ctx, lageId, nachrichtId, fortsetzen);
        Haltepunkt(haltepunkt::kSichter);
    } catch (const std::exception& e) {
        ctx.Log.Add(3, std::string("Fehler bei Erstellen eines Eintrags: ") + e.what());
        fehler.push_back("Lage " + lageId + ": " + e.what());
    }
    if (fehler.size() > vorher) {
        if (!mailHash.empty()) {
            ctx.Log.Add(3, "Nachricht mit ID " + nachrichtId + " in Lage " + lageId +
                               " bleibt als unvollständig abgelegt markiert.");
        }
        return false;
    }
    if (mailHash.empty()) return true;
    try {
        SchliesseAblageAb(ctx, nachrichtId, mailHash);
    } catch (const std::exception& e) {
        ctx.Log.Add(3, "Nachricht mit ID " + nachrichtId + " kann nicht als vollständig abgelegt markiert werden: " +
                           e.what());
        fehler.push_back("Lage " + lageId + ": Nachricht mit ID " + nachrichtId +
                         " nicht als vollständig markiert: " + e.what());
        return false;
    }
    Haltepunkt(haltepunkt::kAbgeschlossen);
    ctx.Log.Add(7, "Nachricht mit ID " + nachrichtId + " vollständig abgelegt.");
    return true;
}

// The SHA-256 of the raw mail, which marks every journal message filed from
// it. An unreadable file is a local failure that may pass.
std::string RawMailHash(const std::filesystem::path& rohDatei) {
    std::optional<std::string> hash = Sha256OfFile(rohDatei);
    if (!hash) throw EDiraError(TErrorKind::ekLocal, "Mail " + PathToUtf8(rohDatei) + " kann nicht gelesen werden");
    return *hash;
}

// Keeps the raw mail in a folder of the home folder and logs where; returns
// the copy's path, or nothing when the mail has no raw file or the copy
// failed (which is logged too).
std::optional<std::filesystem::path> BewahreAuf(TMailEmpfangContext& ctx, const std::filesystem::path& rohDatei,
                                                const char* ordner, int level) {
    if (rohDatei.empty()) return std::nullopt;
    try {
        std::filesystem::path kopie = KeepRawMail(ctx.Home / ordner, rohDatei);
        ctx.Log.Add(level, "Mail aufbewahrt als " + PathToUtf8(kopie));
        return kopie;
    } catch (const std::exception& e) {
        ctx.Log.Add(3, std::string("Mail konnte nicht aufbewahrt werden: ") + e.what());
        return std::nullopt;
    }
}

// Turns the mail away for `grund` after the level-5 line `hinweis`, and
// keeps its raw text with the reason in `ordner` (the log names the copy), so
// an operator can import it once the cause is gone. A mail that cannot be
// kept fails instead and stays in the mailbox rather than vanish.
void Abweisen(TMailEmpfangContext& ctx, const TMailMessage& msg, TAuswertung& result, const std::string& hinweis,
              std::string grund, const char* ordner) {
    ctx.Log.Add(5, hinweis);
    result.Ergebnis = TAuswertungsErgebnis::Abgewiesen;
    result.Grund = std::move(grund);
    if (msg.RawFile.empty()) return;
    try {
        result.Kopie = KeepTurnedAwayMail(ctx.Home / ordner, msg.RawFile, hinweis);
        ctx.Log.Add(5, "Mail aufbewahrt als " + PathToUtf8(result.Kopie));
    } catch (const std::exception& e) {
        ctx.Log.Add(3, std::string("Mail konnte nicht aufbewahrt werden: ") + e.what());
        result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Grund += std::string("; die Mail kann nicht aufbewahrt werden: ") + e.what();
        result.Dauerhaft = false;
    }
}

// A mail that was not filed whole is kept for the operator in kFehlerOrdner.
void BewahreUnvollstaendigeAuf(TMailEmpfangContext& ctx, const TMailMessage& msg, TAuswertung& result) {
    if (result.Ergebnis != TAuswertungsErgebnis::Fehlgeschlagen && result.Fehler.empty()) return;
    if (auto kopie = BewahreAuf(ctx, msg.RawFile, kFehlerOrdner, 3)) result.Kopie = *kopie;
}

// Whether a failure would come back in the next pass: not one of the
// database, the file system or the memory, which may pass.
bool Dauerhaft(const std::exception& e) {
    if (dynamic_cast<const EDbError*>(&e) != nullptr) return false;
    if (dynamic_cast<const std::filesystem::filesystem_error*>(&e) != nullptr) return false;
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return false;
    const auto* dira = dynamic_cast<const EDiraError*>(&e);
    return dira == nullptr || dira->ErrorKind() != TErrorKind::ekLocal;
}

}  // namespace

TAuswertung AuswertenMail(TMailEmpfangContext& ctx, TMailMessage& msg) {
    TAuswertung result;
    bool dauerhaft = false;
    std::string vonBetreff = "Nachricht";
    // Every mail turned away is kept a while: a sender the list left out by
    // mistake, or a mail that came while no incident was active, loses
    // nothing.
    const auto abweisen = [&result, &ctx, &msg, &vonBetreff](std::string grund) {
        const std::string hinweis = vonBetreff + " wird nicht übernommen: " + grund + ".";
        Abweisen(ctx, msg, result, hinweis, std::move(grund), kAbgewiesenOrdner);
        return result;
    };
    try {
        const std::string absender = msg.From().Address;
        const std::string& betreff = msg.Subject;
        vonBetreff = "Nachricht von " + absender + " Betreff " + betreff;

        // The service's own mail come back is kept with the other automatic
        // mails: a person may have forwarded it with the header left in.
        const TAutomaticMail automatisch =
            ClassifyAutomaticMail(msg.Headers, ctx.Ini.ReadString("SMTP", "MailAdresse", ""));
        if (automatisch.Kind != TAutomaticMailKind::None) {
            Abweisen(ctx, msg, result, vonBetreff + " wird nicht übernommen: " + automatisch.Reason + ".",
                     automatisch.Reason, kAutomatischOrdner);
            return result;
        }

        if (!ctx.Whitelist.Admits(absender)) {
            Abweisen(ctx, msg, result, vonBetreff + " wird nicht übernommen, da Empfänger nicht auf der Whitelist.",
                     absender.empty() ? "kein Absender" : "Absender " + absender + " nicht auf der Whitelist",
                     kAbgewiesenOrdner);
            return result;
        }
        ctx.Log.Add(5, vonBetreff + " wird ausgewertet.");

        TDbQuery query(ctx.Database);
        std::vector<std::string> lagen;
        std::string keineLage = "keine Lage zum Ablegen gefunden";
        const bool betreffModus = ctx.Ini.ReadBool("Maileingang", "Betreff", false);
        if (betreffModus) {
            ctx.Log.Add(7, "Prüfe Betreff der Nachricht auf Lage-ID: " + betreff);
            const std::string lageId = LageIdAusBetreff(betreff);
            if (lageId.empty()) {
                ctx.Log.Add(7, "Im Betreff der Nachricht wurde keine Lagen-ID gefunden, die Nachricht wird daher "
                               "ignoriert.");
                return abweisen("keine Lagen-ID im Betreff");
            }
            query.SetSQL("SELECT ID FROM LF_LAGEN WHERE AKTIV=1 AND ID = " + lageId);
            query.Open();
            ctx.Log.Add(7, query.SQL() + "\r\n");
            lagen = ReadIds(query);
            keineLage = "Lage " + lageId + " ist nicht aktiv oder nicht vorhanden";
        }

        const std::string cc = msg.CCList.EMailAddresses();
        ctx.Log.Add(9, "CC: " + cc);
        const std::string empfaenger = msg.Recipients.EMailAddresses() + (cc.empty() ? "" : " CC: " + cc);

        if (!betreffModus) {
            const std::string lage = ctx.Ini.ReadString("Maileingang", "Lage", "");
            if (!lage.empty()) {
                query.Open("SELECT ID FROM LF_LAGEN WHERE ID=" + lage);
            } else if (ctx.Ini.ReadBool("Maileingang", "Nur_Einsatzlagen", false)) {
                query.Open("SELECT ID FROM LF_LAGEN WHERE AKTIV=1");
            } else {
                query.Open("SELECT ID FROM LF_LAGEN WHERE AKTIV=1 AND DAUERLAGE <> -1");
            }
            // All targets are read first: a lost connection while filing
            // closes every open query, and the remaining incidents still count.
            lagen = ReadIds(query);
        }
        query.Close();

        // The text as a reader sees it, already converted from HTML where
        // the part is HTML. A mail of attachments alone (a fax, a signed or
        // forwarded mail) is filed with an empty text; only a mail with
        // nothing at all is not.
        std::string text = TakeMailText(msg);
        const bool ohneText = text.empty();
        const bool anhaenge = HatAnhaenge(msg);
        if (ohneText && !anhaenge) return abweisen("weder Text noch Anhang");
        if (ohneText) text.clear();

        if (!ohneText) {
            try {
                SchreibeArchivKopie(ctx.Home / "old", ctx.Clock.Now(), text);
            } catch (const std::exception&) {
                // The archive is a courtesy copy; the journal is what counts.
            }
        }

        if (lagen.empty()) return abweisen(keineLage);
        if (std::string grund = TextZuGrossFuerDatenbank(ctx, text); !grund.empty()) {
            result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
            result.Fehler.push_back(grund);
            result.Grund = std::move(grund);
            result.Dauerhaft = true;
            ctx.Log.Add(3, vonBetreff + " konnte in keine Lage übernommen werden: " + result.Grund);
            BewahreUnvollstaendigeAuf(ctx, msg, result);
            return result;
        }
        // Without a usable attachment folder the mail is not filed at all:
        // it stays for a later pass instead of losing its attachments.
        if (anhaenge) {
            try {
                ctx.getLFPath();
            } catch (const std::exception& e) {
                throw EDiraError(TErrorKind::ekLocal, e.what());
            }
        }

        // A mail from a file is filed once per incident, even when a pass
        // before this one filed it and then lost the server's reply or ended
        // before the mailbox learned of it.
        // Without the column nothing is marked; the mailbox's note still
        // keeps a mailbox pass from filing a mail twice.
        const bool markiert = !msg.RawFile.empty() && JournalHasMailColumn(ctx);
        const std::string mailHash = markiert ? RawMailHash(msg.RawFile) : std::string();
        const std::string sauberBetreff = CleanBetreff(betreff);
        bool nurZuGross = true;
        for (const std::string& lageId : lagen) {
            std::optional<TAbgelegteNachricht> existing;
            if (!mailHash.empty()) {
                try {
                    existing = FiledMessage(ctx, lageId, mailHash);
                } catch (const std::exception& e) {
                    ctx.Log.Add(3, std::string("Fehler bei Erstellen eines Eintrags: ") + e.what());
                    result.Fehler.push_back("Lage " + lageId + ": " + e.what());
                    nurZuGross = false;
                    continue;
                }
                if (existing && existing->Vollstaendig) {
                    ctx.Log.Add(5, vonBetreff + " ist in Lage " + lageId + " bereits als Nachricht mit ID " +
                                       existing->Id + " abgelegt und wird dort nicht erneut gespeichert.");
                    result.Lagen.push_back(lageId);
                    result.SchonAbgelegt.push_back(lageId);
                    continue;
                }
            }
            std::string nachrichtId;
            if (existing) {
                nachrichtId = existing->Id;
                ctx.Log.Add(5, vonBetreff + " ist in Lage " + lageId + " als Nachricht mit ID " + nachrichtId +
                                   " nur zum Teil abgelegt; die Ablage wird vervollständigt.");
            } else {
                ctx.Log.Add(7, "Speichere Nachricht in Lage " + lageId);
                std::string fehler;
                bool zuGross = false;
                nachrichtId = InsertNachrichtInArbeit(ctx, lageId, absender, empfaenger, text, sauberBetreff, &fehler,
                                                      mailHash, &zuGross);
                if (!fehler.empty()) result.Fehler.push_back("Lage " + lageId + ": " + fehler);
                nurZuGross = nurZuGross && zuGross;
                // Without its own message ID an incident gets no attachments.
                if (nachrichtId.empty()) continue;
                Haltepunkt(haltepunkt::kNachricht);
            }
            result.Lagen.push_back(lageId);
            const bool ganz = VervollstaendigeNachricht(ctx, msg, lageId, nachrichtId, sauberBetreff, mailHash,
                                                        existing.has_value(), result.Fehler);
            if (existing && ganz) result.Vervollstaendigt.push_back(lageId);
        }

        if (result.Lagen.empty()) {
            result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
            result.Grund = Join(result.Fehler, "; ");
            // A text no incident can take fails alike in every pass.
            result.Dauerhaft = nurZuGross;
            ctx.Log.Add(3, vonBetreff + " konnte in keine Lage übernommen werden: " + result.Grund);
        } else {
            result.Ergebnis = TAuswertungsErgebnis::Abgelegt;
            result.FiledUnmarked = !msg.RawFile.empty() && !markiert;
            if (!result.Fehler.empty()) {
                ctx.Log.Add(3, vonBetreff + " wurde nicht vollständig abgelegt: " + Join(result.Fehler, "; "));
            }
        }
        BewahreUnvollstaendigeAuf(ctx, msg, result);
        return result;
    } catch (const std::exception& e) {
        result.Fehler.push_back(e.what());
        dauerhaft = Dauerhaft(e);
    } catch (...) {
        result.Fehler.push_back("unbekannter Fehler");
        dauerhaft = true;
    }
    if (result.Lagen.empty()) {
        result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Grund = result.Fehler.back();
        result.Dauerhaft = dauerhaft;
    } else {
        result.Ergebnis = TAuswertungsErgebnis::Abgelegt;
    }
    try {
        ctx.Log.Add(3, "Fehler beim Auslesen der Mail: " + result.Fehler.back());
        BewahreUnvollstaendigeAuf(ctx, msg, result);
    } catch (...) {
        // A log that cannot be written must not turn the outcome into a crash.
    }
    return result;
}

TAuswertung UnlesbareMail(TMailEmpfangContext& ctx, const std::filesystem::path& RohDatei, const std::string& Grund) {
    TAuswertung result;
    result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
    result.Grund = "Mail kann nicht gelesen werden: " + Grund;
    result.Fehler.push_back(result.Grund);
    try {
        ctx.Log.Add(3, result.Grund);
        if (auto kopie = BewahreAuf(ctx, RohDatei, kFehlerOrdner, 3)) {
            // Kept whole, the mail may leave the mailbox without being lost.
            result.Kopie = *kopie;
            result.Ergebnis = TAuswertungsErgebnis::Abgewiesen;
        }
    } catch (...) {
        // As in AuswertenMail: the outcome stands without its log line.
    }
    return result;
}

}  // namespace kdv
