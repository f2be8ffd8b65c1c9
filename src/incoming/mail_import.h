#pragma once
// Importing mail files: each file is read as one received mail, exactly as a
// mailbox pass hands it over, and evaluated. The file itself is left as it is.
#include <cstdint>
#include <filesystem>
#include <string>

#include "incoming/file_mailbox.h"
#include "incoming/mail_empfang_context.h"
#include "incoming/message_evaluation.h"

namespace kdv {

struct TImportErgebnis {
    TAuswertung Auswertung;
    // The line to print for the file, without line break:
    //   "<Datei>: abgelegt in Lage 3, 5"
    //   "<Datei>: vervollständigt in Lage 7" (an earlier filing of the mail
    //     there was cut off in the middle and is now complete)
    //   "<Datei>: schon abgelegt in Lage 3, nichts hinzugefügt"
    //     (these three joined by "; " where the incidents differ)
    //   "<Datei>: unvollständig abgelegt in Lage 3, 5: <Fehler>; <Fehler>"
    //   "<Datei>: nicht abgelegt: <Grund>"
    //   "<Datei>: fehlgeschlagen: <Grund>"
    // followed by " (ohne Spalte DIRAVID_MAIL: ...)" when it was filed
    // without the mark that recognises it again, and by
    // " (aufbewahrt als <Kopie>)" when the mail was kept.
    std::string Zeile;
};

// Files `Datei` by one pass over it as a mailbox (TFileMailbox), exactly as
// a mailbox pass files a mail: spooled, read while it is copied, filed,
// and kept where its outcome says. A file that cannot be read gives the
// outcome Fehlgeschlagen, one that cannot be parsed the outcome of
// UnlesbareMail; both are logged. Never raises.
TImportErgebnis ImportMailDatei(TMailEmpfangContext& ctx, const std::filesystem::path& Datei);

// The printed line for an outcome (see TImportErgebnis::Zeile).
std::string ImportZeile(const std::string& Datei, const TAuswertung& Auswertung);

}  // namespace kdv
