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
#include "incoming/mail_decision.h"
#include "platform/ascii_text.h"
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

// Creates one folder below an existing one. Only the incident's and the
// message's folder are made: a missing attachment folder (a share that is
// not mounted) must not be made on the local disk.
void CreateSubfolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directory(folder, ec);
    if (ec) throw EDiraError(TErrorKind::ekLocal, "Ordner " + PathToUtf8(folder) + " kann nicht angelegt werden: " + ec.message());
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
            return EqualsNoCase(z, name);
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
std::optional<std::filesystem::path> KeepIn(TMailEmpfangContext& ctx, const std::filesystem::path& raw_file,
                                            const char* folder, int level) {
    if (raw_file.empty()) return std::nullopt;
    try {
        std::filesystem::path copy = KeepRawMail(ctx.Home / folder, raw_file);
        ctx.Log.Add(level, "Mail aufbewahrt als " + PathToUtf8(copy));
        return copy;
    } catch (const std::exception& e) {
        ctx.Log.Add(3, std::string("Mail konnte nicht aufbewahrt werden: ") + e.what());
        return std::nullopt;
    }
}

// The SQL that lists the incidents a decision files into.
std::string IncidentQuery(const TMailDecision& decision) {
    switch (decision.choice) {
        case TIncidentChoice::Subject:
            return "SELECT ID FROM LF_LAGEN WHERE AKTIV=1 AND ID = " + decision.incident;
        case TIncidentChoice::Fixed:
            return "SELECT ID FROM LF_LAGEN WHERE ID=" + decision.incident;
        case TIncidentChoice::Active:
            return "SELECT ID FROM LF_LAGEN WHERE AKTIV=1";
        case TIncidentChoice::ActiveNotLasting:
            break;
    }
    return "SELECT ID FROM LF_LAGEN WHERE AKTIV=1 AND DAUERLAGE <> -1";
}

TAuswertung TurnedAway(const TMailDecision& decision, TLogFile* log_notice = nullptr) {
    TAuswertung result;
    result.Ergebnis = TAuswertungsErgebnis::Abgewiesen;
    result.Grund = decision.reason;
    result.KeepIn = decision.keep_in;
    result.KeepNote = decision.notice;
    if (log_notice) log_notice->Add(5, decision.notice);
    return result;
}

// Files the mail the decision admitted into the incidents it names, into
// `result`, which holds what was filed when a failure is raised.
void FileDecided(TMailEmpfangContext& ctx, TMailMessage& msg, TMailDecision& decision, TAuswertung& result) {
    TDbQuery query(ctx.Database);
    const std::string sql = IncidentQuery(decision);
    std::string no_incident = "keine Lage zum Ablegen gefunden";
    if (decision.choice == TIncidentChoice::Subject) {
        query.SetSQL(sql);
        query.Open();
        ctx.Log.Add(7, query.SQL() + "\r\n");
        no_incident = "Lage " + decision.incident + " ist nicht aktiv oder nicht vorhanden";
    } else {
        query.Open(sql);
    }
    // All targets are read first: a lost connection while filing closes
    // every open query, and the remaining incidents still count.
    const std::vector<std::string> incidents = ReadIds(query);
    query.Close();

    const std::string& text = decision.text;
    if (!text.empty()) {
        try {
            SchreibeArchivKopie(ctx.Home / "old", ctx.Clock.Now(), text);
        } catch (const std::exception&) {
            // The archive is a courtesy copy; the journal is what counts.
        }
    }

    if (incidents.empty()) {
        decision.reason = no_incident;
        decision.notice = decision.who + " wird nicht übernommen: " + no_incident + ".";
        decision.keep_in = kAbgewiesenOrdner;
        result = TurnedAway(decision, &ctx.Log);
        return;
    }
    if (std::string reason = TextZuGrossFuerDatenbank(ctx, text); !reason.empty()) {
        result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Fehler.push_back(reason);
        result.Grund = std::move(reason);
        result.Dauerhaft = true;
        ctx.Log.Add(3, decision.who + " konnte in keine Lage übernommen werden: " + result.Grund);
        return;
    }
    // Without a usable attachment folder the mail is not filed at all: it
    // stays for a later pass instead of losing its attachments.
    if (decision.has_attachments) {
        try {
            ctx.getLFPath();
        } catch (const std::exception& e) {
            throw EDiraError(TErrorKind::ekLocal, e.what());
        }
    }

    // A mail from a file is filed once per incident, even when a pass
    // before this one filed it and then lost the server's reply or ended
    // before the mailbox learned of it. Without the column nothing is
    // marked; the mailbox's note still keeps a mailbox pass from filing a
    // mail twice.
    const bool marked = !msg.RawFile.empty() && JournalHasMailColumn(ctx);
    const std::string mail_hash = marked ? RawMailHash(msg.RawFile) : std::string();
    const std::string clean_subject = CleanBetreff(decision.subject);
    bool only_too_large = true;
    for (const std::string& incident : incidents) {
        std::optional<TAbgelegteNachricht> existing;
        if (!mail_hash.empty()) {
            try {
                existing = FiledMessage(ctx, incident, mail_hash);
            } catch (const std::exception& e) {
                ctx.Log.Add(3, std::string("Fehler bei Erstellen eines Eintrags: ") + e.what());
                result.Fehler.push_back("Lage " + incident + ": " + e.what());
                only_too_large = false;
                continue;
            }
            if (existing && existing->Vollstaendig) {
                ctx.Log.Add(5, decision.who + " ist in Lage " + incident + " bereits als Nachricht mit ID " +
                                   existing->Id + " abgelegt und wird dort nicht erneut gespeichert.");
                result.Lagen.push_back(incident);
                result.SchonAbgelegt.push_back(incident);
                continue;
            }
        }
        std::string message_id;
        if (existing) {
            message_id = existing->Id;
            ctx.Log.Add(5, decision.who + " ist in Lage " + incident + " als Nachricht mit ID " + message_id +
                               " nur zum Teil abgelegt; die Ablage wird vervollständigt.");
        } else {
            ctx.Log.Add(7, "Speichere Nachricht in Lage " + incident);
            std::string failure;
            bool too_large = false;
            message_id = InsertNachrichtInArbeit(ctx, incident, decision.sender, decision.recipients, text,
                                                 clean_subject, &failure, mail_hash, &too_large);
            if (!failure.empty()) result.Fehler.push_back("Lage " + incident + ": " + failure);
            only_too_large = only_too_large && too_large;
            // Without its own message ID an incident gets no attachments.
            if (message_id.empty()) continue;
            Haltepunkt(haltepunkt::kNachricht);
        }
        result.Lagen.push_back(incident);
        const bool whole = VervollstaendigeNachricht(ctx, msg, incident, message_id, clean_subject, mail_hash,
                                                     existing.has_value(), result.Fehler);
        if (existing && whole) result.Vervollstaendigt.push_back(incident);
    }

    if (result.Lagen.empty()) {
        result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Grund = Join(result.Fehler, "; ");
        // A text no incident can take fails alike in every pass.
        result.Dauerhaft = only_too_large;
        ctx.Log.Add(3, decision.who + " konnte in keine Lage übernommen werden: " + result.Grund);
    } else {
        result.Ergebnis = TAuswertungsErgebnis::Abgelegt;
        result.FiledUnmarked = !msg.RawFile.empty() && !marked;
        if (!result.Fehler.empty()) {
            ctx.Log.Add(3, decision.who + " wurde nicht vollständig abgelegt: " + Join(result.Fehler, "; "));
        }
    }
}

// The outcome of a failure raised while filing: one of the database, the
// file system or the memory may pass; any other would come back in the
// next pass.
TAuswertung RaisedFailure(TAuswertung result, std::string what, bool lasting) {
    result.Fehler.push_back(std::move(what));
    if (result.Lagen.empty()) {
        result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Grund = result.Fehler.back();
        result.Dauerhaft = lasting;
    } else {
        result.Ergebnis = TAuswertungsErgebnis::Abgelegt;
    }
    return result;
}

bool PassingKind(TErrorKind kind) { return kind == TErrorKind::ekLocal || kind == TErrorKind::ekDbConnectionLost; }

}  // namespace

TAuswertung FileMail(TMailEmpfangContext& ctx, TMailMessage& msg) {
    TAuswertung result;
    try {
        TMailDecision decision = DecideMail(msg, ctx.Whitelist, ReadDecisionSettings(ctx.Ini), ctx.Log);
        if (decision.turn_away) return TurnedAway(decision);
        FileDecided(ctx, msg, decision, result);
        return result;
    } catch (const EDiraError& e) {
        result = RaisedFailure(std::move(result), e.what(), !PassingKind(e.ErrorKind()));
    } catch (const std::filesystem::filesystem_error& e) {
        result = RaisedFailure(std::move(result), e.what(), false);
    } catch (const std::bad_alloc& e) {
        result = RaisedFailure(std::move(result), e.what(), false);
    } catch (const std::exception& e) {
        result = RaisedFailure(std::move(result), e.what(), true);
    } catch (...) {
        result = RaisedFailure(std::move(result), "unbekannter Fehler", true);
    }
    try {
        ctx.Log.Add(3, "Fehler beim Auslesen der Mail: " + result.Fehler.back());
    } catch (...) {
        // A log that cannot be written must not turn the outcome into a crash.
    }
    return result;
}

void KeepAfterOutcome(TMailEmpfangContext& ctx, const std::filesystem::path& raw_file, TAuswertung& outcome) {
    try {
        if (outcome.Unlesbar) {
            if (auto copy = KeepIn(ctx, raw_file, kFehlerOrdner, 3)) {
                // Kept whole, the mail may leave the mailbox without being lost.
                outcome.Kopie = *copy;
                outcome.Ergebnis = TAuswertungsErgebnis::Abgewiesen;
            }
            return;
        }
        if (outcome.Ergebnis == TAuswertungsErgebnis::Abgewiesen && outcome.KeepIn != nullptr) {
            if (raw_file.empty()) return;
            try {
                outcome.Kopie = KeepTurnedAwayMail(ctx.Home / outcome.KeepIn, raw_file, outcome.KeepNote);
                ctx.Log.Add(5, "Mail aufbewahrt als " + PathToUtf8(outcome.Kopie));
            } catch (const std::exception& e) {
                // A mail that cannot be kept fails instead and stays in the
                // mailbox rather than vanish.
                ctx.Log.Add(3, std::string("Mail konnte nicht aufbewahrt werden: ") + e.what());
                outcome.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
                outcome.Grund += std::string("; die Mail kann nicht aufbewahrt werden: ") + e.what();
                outcome.Dauerhaft = false;
            }
            return;
        }
        if (!NichtVollstaendig(outcome)) return;
        if (auto copy = KeepIn(ctx, raw_file, kFehlerOrdner, 3)) outcome.Kopie = *copy;
    } catch (...) {
        // As in FileMail: the outcome stands without its log line.
    }
}

TAuswertung AuswertenMail(TMailEmpfangContext& ctx, TMailMessage& msg) {
    TAuswertung outcome = FileMail(ctx, msg);
    KeepAfterOutcome(ctx, msg.RawFile, outcome);
    return outcome;
}

TAuswertung TJournalFiler::File(TMailEmpfangContext& ctx, TMailMessage& msg) { return FileMail(ctx, msg); }

TAuswertung UnlesbareMail(TMailEmpfangContext& ctx, const std::string& Grund) {
    TAuswertung result;
    result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
    result.Unlesbar = true;
    result.Grund = "Mail kann nicht gelesen werden: " + Grund;
    result.Fehler.push_back(result.Grund);
    try {
        ctx.Log.Add(3, result.Grund);
    } catch (...) {
        // The outcome stands without its log line.
    }
    return result;
}

}  // namespace kdv
