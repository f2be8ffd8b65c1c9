#include "incoming/mail_import.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "platform/dira_error.h"
#include "platform/path_text.h"

namespace kdv {

namespace {

std::string ReadMailFile(const std::filesystem::path& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) throw EDiraError("Datei kann nicht gelesen werden: " + error.message());
    if (size > kMaxImportDateiBytes) {
        throw EDiraError("Datei ist zu groß (" + std::to_string(size) + " Bytes, höchstens " +
                         std::to_string(kMaxImportDateiBytes) + ")");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EDiraError("Datei kann nicht geöffnet werden");
    // Read at its known size in one go: growing a buffer would hold the mail twice for a moment.
    std::string data;
    data.resize(static_cast<std::size_t>(size));
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) throw EDiraError("Datei kann nicht gelesen werden");
    return data;
}

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
    std::string data;
    bool read = false;
    try {
        data = ReadMailFile(Datei);
        read = true;
    } catch (const std::exception& e) {
        result.Auswertung.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
        result.Auswertung.Grund = e.what();
        try {
            ctx.Log.Add(3, "Mail " + PathToUtf8(Datei) + " kann nicht importiert werden: " + e.what());
        } catch (...) {
            // The printed line still tells.
        }
    }
    if (read) {
        TMailMessage msg;
        msg.MessageParts.AttachmentTempDirectory = ctx.TempFolder;
        try {
            LoadMessageFromMemory(msg, data);
            msg.RawFile = Datei;
        } catch (const std::exception& e) {
            result.Auswertung = UnlesbareMail(ctx, Datei, e.what());
        }
        // Held no longer than needed: the evaluation may need the memory.
        std::string().swap(data);
        if (!msg.RawFile.empty()) result.Auswertung = AuswertenMail(ctx, msg);
    }
    result.Zeile = ImportZeile(PathToUtf8(Datei), result.Auswertung);
    return result;
}

}  // namespace kdv
