#include "outgoing/journal_mail_text.h"

#include "platform/utf8_text.h"
#include "platform/text_file_lines.h"

namespace kdv {

std::string PriorityText(std::string_view vorrang) {
    if (vorrang == "S") return "  -  Vorrang: SOFORT";
    if (vorrang == "B") return "  -  Vorrang: BLITZ";
    if (vorrang == "A") return "  -  Vorrang: STAATSNOT";
    return {};
}

std::string CommunicationPathText(std::string_view von, std::string_view an, std::string_view art) {
    std::string path;
    if (!von.empty()) path += "Von: " + std::string(von);
    if (!an.empty()) path += "  An: " + std::string(an);
    if (!art.empty()) path += "  Weg: " + std::string(art);
    if (path.empty()) return {};
    return "\r\nKommunikationsweg: " + path + "\r\n\r\n";
}

std::string JournalSubject(std::string_view prefix, const TJournalRow& row) {
    return std::string(prefix) + row.Betreff + " (#" + row.Lage + ")";
}

std::string JournalBodyText(const TJournalRow& row, std::string_view incident_name) {
    std::string text = "In der Lage \"";
    text += incident_name;
    text += "\" wurde von ";
    text += row.AddFunktion;
    text += " (";
    text += row.AddUser;
    text += ") um ";
    text += row.AddTime;
    text += " folgender Eintrag hinzugefügt: ";
    text += "\r\n\r\n";
    text += row.Betreff;
    text += PriorityText(row.Vorrang);
    text += ":";
    text += "\r\n";
    text += CommunicationPathText(row.Von, row.An, row.Art);
    text += row.Inhalt;
    return text;
}

std::vector<std::string> BodyLines(std::string_view text) {
    std::vector<std::string> lines;
    for (const TTextLine& line : SplitTextLines(text)) lines.emplace_back(line.Content);
    return lines;
}

std::string BodyCharset(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::string_view rest = line;
        while (!rest.empty()) {
            const TUtf8Char c = DecodeUtf8Char(rest);
            // A byte that starts no valid sequence is no character of its own:
            // only UTF-8 keeps it as it came.
            if (c.Code > 0xFF || !c.Valid) return "UTF-8";
            rest.remove_prefix(c.Length);
        }
    }
    return "iso-8859-1";
}

}  // namespace kdv
