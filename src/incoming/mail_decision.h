#pragma once
// What happens to a received mail, decided from the mail and the settings
// alone, before any database is asked: it is turned away (and kept, with
// its reason, in which folder), or filed into the incidents a rule names.
#include <string>

#include "incoming/sender_rules.h"
#include "log/log_file.h"
#include "mail/mail_message.h"
#include "platform/ini_file.h"

namespace kdv {

// Which incidents a mail is filed into.
enum class TIncidentChoice {
    Subject,       // the one its subject names ([Maileingang] Betreff), if active
    Fixed,         // the one [Maileingang] Lage names
    Active,        // every active incident ([Maileingang] Nur_Einsatzlagen)
    ActiveNotLasting,  // every active incident but the lasting ones
};

struct TDecisionSettings {
    // [SMTP] MailAdresse: the service's own mail come back is recognised.
    std::string own_address;
    bool subject_mode = false;
    std::string fixed_incident;
    bool active_only = false;
};

TDecisionSettings ReadDecisionSettings(const TIniFile& ini);

struct TMailDecision {
    bool turn_away = false;
    // Turned away: why (for the outcome), the line logged and kept beside
    // the copy, and the folder of the home folder the mail is kept in.
    std::string reason;
    std::string notice;
    const char* keep_in = nullptr;
    // Filed: where, and what.
    TIncidentChoice choice = TIncidentChoice::ActiveNotLasting;
    std::string incident;  // for Subject and Fixed
    std::string sender;
    std::string recipients;  // "To, To CC: Cc, Cc"
    std::string subject;
    // "Nachricht von <sender> Betreff <subject>", how the log names the mail.
    std::string who;
    // The text a reader sees, every line ended by CR LF; empty for a mail of
    // attachments alone.
    std::string text;
    bool has_attachments = false;
};

// Decides for `msg`, whose text parts it takes (the shown text moves into
// the decision). Logs its steps at levels 5 to 9. Raises only what reading
// the message raises.
TMailDecision DecideMail(TMailMessage& msg, const TSenderRules& whitelist, const TDecisionSettings& settings,
                         TLogFile& log);

}  // namespace kdv
