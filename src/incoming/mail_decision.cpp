#include "incoming/mail_decision.h"

#include <string_view>
#include <utility>

#include "incoming/automatic_mail.h"
#include "incoming/kept_mail.h"
#include "incoming/subject_incident_number.h"
#include "incoming/text_cleanup.h"
#include "mail/mail_text_util.h"
#include "platform/ascii_text.h"

namespace kdv {

namespace {

bool IsHtml(std::string_view content_type) {
    const std::string_view media_type = mailtext::TrimBlanks(content_type.substr(0, content_type.find(';')));
    return EqualsNoCase(media_type, "text/html");
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

bool HasAttachments(const TMailMessage& msg) {
    for (std::size_t i = 0; i < msg.MessageParts.Count(); ++i) {
        if (msg.MessageParts[i].PartType() == TMailPartType::mptAttachment) return true;
    }
    return false;
}

TMailDecision TurnAway(TMailDecision decision, std::string notice, std::string reason, const char* folder,
                       TLogFile& log) {
    log.Add(5, notice);
    decision.turn_away = true;
    decision.notice = std::move(notice);
    decision.reason = std::move(reason);
    decision.keep_in = folder;
    return decision;
}

}  // namespace

TDecisionSettings ReadDecisionSettings(const TIniFile& ini) {
    TDecisionSettings settings;
    settings.own_address = ini.ReadString("SMTP", "MailAdresse", "");
    settings.subject_mode = ini.ReadBool("Maileingang", "Betreff", false);
    settings.fixed_incident = ini.ReadString("Maileingang", "Lage", "");
    settings.active_only = ini.ReadBool("Maileingang", "Nur_Einsatzlagen", false);
    return settings;
}

TMailDecision DecideMail(TMailMessage& msg, const TSenderRules& whitelist, const TDecisionSettings& settings,
                         TLogFile& log) {
    TMailDecision decision;
    decision.sender = msg.From().Address;
    decision.subject = msg.Subject;
    decision.who = "Nachricht von " + decision.sender + " Betreff " + decision.subject;
    // Every mail turned away is kept a while: a sender the list left out by
    // mistake, or a mail that came while no incident was active, loses
    // nothing.
    const auto turn_away = [&](std::string reason) {
        std::string notice = decision.who + " wird nicht übernommen: " + reason + ".";
        return TurnAway(std::move(decision), std::move(notice), std::move(reason), kAbgewiesenOrdner, log);
    };

    // The service's own mail come back is kept with the other automatic
    // mails: a person may have forwarded it with the header left in.
    const TAutomaticMail automatic = ClassifyAutomaticMail(msg.Headers, settings.own_address);
    if (automatic.Kind != TAutomaticMailKind::None) {
        std::string notice = decision.who + " wird nicht übernommen: " + automatic.Reason + ".";
        return TurnAway(std::move(decision), std::move(notice), automatic.Reason, kAutomatischOrdner, log);
    }
    if (!whitelist.Admits(decision.sender)) {
        std::string notice = decision.who + " wird nicht übernommen, da Empfänger nicht auf der Whitelist.";
        std::string reason =
            decision.sender.empty() ? "kein Absender" : "Absender " + decision.sender + " nicht auf der Whitelist";
        return TurnAway(std::move(decision), std::move(notice), std::move(reason), kAbgewiesenOrdner, log);
    }
    log.Add(5, decision.who + " wird ausgewertet.");

    if (settings.subject_mode) {
        log.Add(7, "Prüfe Betreff der Nachricht auf Lage-ID: " + decision.subject);
        decision.incident = LageIdAusBetreff(decision.subject);
        if (decision.incident.empty()) {
            log.Add(7, "Im Betreff der Nachricht wurde keine Lagen-ID gefunden, die Nachricht wird daher ignoriert.");
            return turn_away("keine Lagen-ID im Betreff");
        }
        decision.choice = TIncidentChoice::Subject;
    } else if (!settings.fixed_incident.empty()) {
        decision.choice = TIncidentChoice::Fixed;
        decision.incident = settings.fixed_incident;
    } else {
        decision.choice = settings.active_only ? TIncidentChoice::Active : TIncidentChoice::ActiveNotLasting;
    }

    const std::string cc = msg.CCList.EMailAddresses();
    log.Add(9, "CC: " + cc);
    decision.recipients = msg.Recipients.EMailAddresses() + (cc.empty() ? "" : " CC: " + cc);

    // The text as a reader sees it, already converted from HTML where the
    // part is HTML. A mail of attachments alone (a fax, a signed or
    // forwarded mail) is filed with an empty text; only a mail with nothing
    // at all is not.
    decision.text = TakeMailText(msg);
    decision.has_attachments = HasAttachments(msg);
    if (decision.text.empty() && !decision.has_attachments) return turn_away("weder Text noch Anhang");
    return decision;
}

}  // namespace kdv
