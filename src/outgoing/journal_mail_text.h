#pragma once
// The text of the mail that carries one journal message: subject, priority,
// communication path and body, built from the row's values as the database
// layer gives them (UTF-8 text, NULL as empty).
#include <string>
#include <string_view>
#include <vector>

namespace kdv {

// The columns of a journal message that its mail shows.
struct TJournalRow {
    std::string Lage;
    std::string Vorrang;
    std::string Von;
    std::string An;
    std::string Art;
    std::string Betreff;
    std::string AddFunktion;
    std::string AddUser;
    std::string AddTime;  // "dd.mm.yyyy hh:nn:ss"
    std::string Inhalt;
};

// "  -  Vorrang: SOFORT" for "S", BLITZ for "B", STAATSNOT for "A" (exact
// case); empty for anything else.
std::string PriorityText(std::string_view vorrang);

// "\r\nKommunikationsweg: " + the non-empty ones of "Von: ", "  An: " and
// "  Weg: " with their values + "\r\n\r\n"; empty when all three are empty.
std::string CommunicationPathText(std::string_view von, std::string_view an, std::string_view art);

// prefix + BETREFF + " (#" + LAGE + ")", without separators.
std::string JournalSubject(std::string_view prefix, const TJournalRow& row);

// The body as one text with CR LF line breaks of its own pieces; INHALT
// keeps its breaks as they are.
std::string JournalBodyText(const TJournalRow& row, std::string_view incident_name);

// The body text split at CR LF, CR or LF; a break at the very end starts no
// further line.
std::vector<std::string> BodyLines(std::string_view text);

// "iso-8859-1" when every character of the lines has a code below 256,
// otherwise "UTF-8", so that no character has to be replaced.
std::string BodyCharset(const std::vector<std::string>& lines);

}  // namespace kdv
