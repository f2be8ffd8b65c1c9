#include "incoming/message_evaluation.h"

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_query.h"
#include "incoming/archive_copy.h"
#include "incoming/attachment_name.h"
#include "platform/attachment_path.h"
#include "incoming/message_filing.h"
#include "incoming/subject_incident_number.h"
#include "incoming/text_cleanup.h"
#include "platform/dira_error.h"

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

// The first text part that holds lines, else the message's own body.
const TMailLines& MailText(TMailMessage& msg) {
    for (std::size_t i = 0; i < msg.MessageParts.Count(); ++i) {
        TMailMessagePart& part = msg.MessageParts[i];
        if (part.PartType() == TMailPartType::mptText) {
            const auto& body = static_cast<TMailText&>(part).Body;
            if (!body.empty()) return body;
        }
    }
    return msg.Body;
}

template <class TLines>
std::string JoinLines(const TLines& lines) {
    std::string text;
    for (const std::string_view line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

// Lines end at CR, LF or CR LF; a break at the very end adds no line.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c != '\r' && c != '\n') continue;
        lines.emplace_back(text.substr(start, pos - start));
        if (c == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
        start = pos + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::string Join(const std::vector<std::string>& items, std::string_view separator) {
    std::string text;
    for (const std::string& item : items) {
        if (!text.empty()) text += separator;
        text += item;
    }
    return text;
}

// Stores every attachment of the mail for one filed message; failures are
// logged per attachment and collected in `fehler`.
void SpeichereAnhaenge(TMailEmpfangContext& ctx, TMailMessage& msg, const std::string& lageId,
                       const std::string& nachrichtId, std::vector<std::string>& fehler) {
    for (std::size_t i = 0; i < msg.MessageParts.Count(); ++i) {
        TMailMessagePart& part = msg.MessageParts[i];
        if (part.PartType() != TMailPartType::mptAttachment) continue;
        auto& anhang = static_cast<TMailAttachment&>(part);
        try {
            const std::string name = AnhangDateiname(anhang.FileName, i);
            const std::string ordner = ctx.getLFPath() + lageId + "\\" + nachrichtId + "\\";
            const std::string pfad = ordner + name;
            ctx.Log.Add(7, "Speichere Anhang " + std::to_string(i) + " " + name + "  " + pfad);
            std::filesystem::create_directories(LocalAttachmentPath(ctx.Ini, ordner));
            try {
                anhang.SaveToFile(LocalAttachmentPath(ctx.Ini, pfad));
            } catch (const std::exception&) {
                throw EDiraError("Fehler beim Speichern der Anlage.");
            }
            if (!InsertAnlage(ctx, nachrichtId, lageId, pfad)) {
                fehler.push_back("Anhang " + name + " in Lage " + lageId + " nicht eingetragen");
            }
        } catch (const std::exception& e) {
            ctx.Log.Add(3, std::string("Fehler beim Speichern des Anhangs: ") + e.what());
            fehler.push_back("Anhang " + std::to_string(i) + " in Lage " + lageId + ": " + e.what());
        }
    }
}

}  // namespace

TAuswertung AuswertenMail(TMailEmpfangContext& ctx, TMailMessage& msg) {
    TAuswertung result;
    const auto abweisen = [&result](std::string grund) {
        result.Ergebnis = TAuswertungsErgebnis::Abgewiesen;
        result.Grund = std::move(grund);
        return result;
    };
    try {
        const std::string absender = msg.From().Address;
        const std::string& betreff = msg.Subject;
        const std::string vonBetreff = "Nachricht von " + absender + " Betreff " + betreff;

        const std::string& whitelist = ctx.WhitelistText;
        const bool zugelassen = whitelist.find('*') != std::string::npos ||
                                (!absender.empty() && whitelist.find(absender) != std::string::npos);
        if (!zugelassen) {
            ctx.Log.Add(5, vonBetreff + " wird nicht übernommen, da Empfänger nicht auf der Whitelist.");
            return abweisen(absender.empty() ? "kein Absender" : "Absender " + absender + " nicht auf der Whitelist");
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

        const TMailLines& rohText = MailText(msg);
        if (rohText.empty()) return abweisen("kein Text");
        const std::vector<std::string> zeilen = SplitLines(HtmlToText(JoinLines(rohText)));
        const std::string text = JoinLines(zeilen);

        try {
            SchreibeArchivKopie(ctx.Home / "old", ctx.Clock.Now(), zeilen);
        } catch (const std::exception&) {
            // The archive is a courtesy copy; the journal is what counts.
        }

        const std::string sauberBetreff = CleanBetreff(betreff);
        for (const std::string& lageId : lagen) {
            ctx.Log.Add(7, "Speichere Nachricht in Lage " + lageId);
            std::string fehler;
            const std::string nachrichtId =
                InsertNachricht(ctx, lageId, absender, empfaenger, text, sauberBetreff, &fehler);
            if (!fehler.empty()) result.Fehler.push_back("Lage " + lageId + ": " + fehler);
            // Without its own message ID an incident gets no attachments.
            if (nachrichtId.empty()) continue;
            result.Lagen.push_back(lageId);
            SpeichereAnhaenge(ctx, msg, lageId, nachrichtId, result.Fehler);
        }

        if (lagen.empty()) {
            ctx.Log.Add(5, vonBetreff + " wurde in keine Lage übernommen.");
            return abweisen(keineLage);
        }
        if (result.Lagen.empty()) {
            ctx.Log.Add(5, vonBetreff + " konnte in keine Lage übernommen werden.");
            result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
            result.Grund = Join(result.Fehler, "; ");
            return result;
        }
        result.Ergebnis = TAuswertungsErgebnis::Abgelegt;
        return result;
    } catch (const std::exception& e) {
        result.Fehler.push_back(e.what());
    } catch (...) {
        result.Fehler.push_back("unbekannter Fehler");
    }
    try {
        ctx.Log.Add(3, "Fehler beim Auslesen der Mail: " + result.Fehler.back());
    } catch (...) {
        // A log that cannot be written must not turn the outcome into a crash.
    }
    if (result.Lagen.empty()) {
        result.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Grund = result.Fehler.back();
    } else {
        result.Ergebnis = TAuswertungsErgebnis::Abgelegt;
    }
    return result;
}

}  // namespace kdv
