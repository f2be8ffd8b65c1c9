#include "incoming/mail_import.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "incoming/mailbox_pass.h"
#include "platform/dira_error.h"
#include "platform/path_text.h"

namespace kdv {

namespace {

std::string Liste(const std::vector<std::string>& lagen) {
    std::string text;
    for (const std::string& lage : lagen) text += (text.empty() ? "" : ", ") + lage;
    return text;
}

}  // namespace

std::string ImportZeile(const std::string& Datei, const TAuswertung& Auswertung) {
    std::string line;
    switch (Auswertung.Ergebnis) {
    case TAuswertungsErgebnis::Abgelegt:
        if (!Auswertung.Fehler.empty()) {
            line = Datei + ": unvollständig abgelegt in Lage " + Liste(Auswertung.Lagen);
            for (std::size_t i = 0; i < Auswertung.Fehler.size(); ++i) {
                line += (i == 0 ? ": " : "; ") + Auswertung.Fehler[i];
            }
            break;
        }
        {
            std::vector<std::string> neu;
            for (const std::string& lage : Auswertung.Lagen) {
                if (std::find(Auswertung.Vervollstaendigt.begin(), Auswertung.Vervollstaendigt.end(), lage) ==
                        Auswertung.Vervollstaendigt.end() &&
                    std::find(Auswertung.SchonAbgelegt.begin(), Auswertung.SchonAbgelegt.end(), lage) ==
                        Auswertung.SchonAbgelegt.end()) {
                    neu.push_back(lage);
                }
            }
            std::vector<std::string> teile;
            if (!neu.empty()) teile.push_back("abgelegt in Lage " + Liste(neu));
            if (!Auswertung.Vervollstaendigt.empty()) {
                teile.push_back("vervollständigt in Lage " + Liste(Auswertung.Vervollstaendigt));
            }
            if (!Auswertung.SchonAbgelegt.empty()) {
                teile.push_back("schon abgelegt in Lage " + Liste(Auswertung.SchonAbgelegt) + ", nichts hinzugefügt");
            }
            line = Datei + ":";
            for (std::size_t i = 0; i < teile.size(); ++i) line += (i == 0 ? " " : "; ") + teile[i];
        }
        break;
    case TAuswertungsErgebnis::Abgewiesen:
        line = Datei + ": nicht abgelegt: " + Auswertung.Grund;
        break;
    case TAuswertungsErgebnis::Fehlgeschlagen:
        line = Datei + ": fehlgeschlagen: " + Auswertung.Grund;
        break;
    }
    if (Auswertung.FiledUnmarked) {
        line += " (ohne Spalte DIRAVID_MAIL: ein erneuter Import dieser Datei wird nicht als schon abgelegt erkannt)";
    }
    if (!Auswertung.Kopie.empty()) line += " (aufbewahrt als " + PathToUtf8(Auswertung.Kopie) + ")";
    return line;
}

TImportErgebnis ImportMailDatei(TMailEmpfangContext& ctx, const std::filesystem::path& Datei) {
    TImportErgebnis result;
    bool told = false;
    TFileMailbox mailbox({Datei});
    TJournalFiler filer;
    TPassOptions options;
    options.max_mail_bytes = kMaxImportDateiBytes;
    options.on_mail = [&](const TMailFate& fate) {
        result.Auswertung = fate.outcome;
        told = true;
    };
    RunMailboxPass(ctx, mailbox, filer, {}, options);
    if (!told) {
        // The pass failed before the file: its spool could not be made.
        result.Auswertung.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Auswertung.Grund = mailbox.Failure();
        try {
            ctx.Log.Add(3, mailbox.Stays(PathToUtf8(Datei)) + ": " + mailbox.Failure());
        } catch (...) {
            // The printed line still tells.
        }
    }
    result.Zeile = ImportZeile(PathToUtf8(Datei), result.Auswertung);
    return result;
}

}  // namespace kdv
