#include "outgoing/mail_versand.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <vector>

#include "clients/mail_smtp.h"
#include "db/db_query.h"
#include "mail/mail_message.h"
#include "mail/mime_header_encoding.h"
#include "net/mail_ssl_io_handler.h"
#include "outgoing/journal_mail_text.h"
#include "outgoing/outbox_hold_note.h"
#include "platform/ascii_text.h"
#include "platform/attachment_path.h"
#include "platform/path_text.h"

namespace kdv {

namespace {

namespace fs = std::filesystem;

constexpr const char* kScanError = "Fehler bei SendNachrichten: ";
constexpr const char* kAuthError = kSmtpAuthError;
constexpr const char* kOutgoingOff =
    "Kein SMTP-Server eingetragen ([SMTP] Host ist leer): der Mailversand ist abgeschaltet, neue Einträge werden "
    "ohne Mail als erledigt markiert.";

std::string SendErrorPrefix(const std::string& id) {
    return "Fehler beim Senden der Nachricht als Mail (ID:" + id + "): ";
}

// "dd.mm.yyyy hh:nn:ss" as the database layer writes date-time values.
std::optional<LocalTime> ParseDbDateTime(const std::string& text) {
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%2d.%2d.%4d %2d:%2d:%2d%c", &day, &month, &year, &hour, &minute, &second,
                    &end) != 6) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) return std::nullopt;
    return std::chrono::local_days{date} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
           std::chrono::seconds{second};
}

// Joins the reply's lines for one log line.
std::string ReplyText(const TMailReplySMTP& reply) {
    std::string text = std::to_string(reply.Code);
    for (const std::string& line : reply.Text) text += " " + line;
    return text;
}

bool StopRequested(const TMailVersandContext& ctx) { return ctx.StopRequested && ctx.StopRequested(); }

bool OutgoingOff(const TMailVersandContext& ctx) { return ctx.SmtpSettings().host.empty(); }

// "1 Eintrag bleibt offen und wird ...", "2 Einträge bleiben offen und werden ...".
std::string StillOpen(std::size_t waiting) {
    return std::to_string(waiting) + (waiting == 1 ? " Eintrag bleibt offen und wird" : " Einträge bleiben offen und werden") +
           " im nächsten Abruf versendet.";
}

void LogWaiting(TMailVersandContext& ctx, std::size_t waiting) {
    ctx.Log.Add(3, "Mailserver nicht nutzbar: " + StillOpen(waiting));
}

void LogStopped(TMailVersandContext& ctx, std::size_t waiting) {
    ctx.Log.Add(5, "Beenden angefordert: " + StillOpen(waiting));
}

// A row that is still not sendable a day after it was written is given up.
TSendOutcome AgeRule(TMailVersandContext& ctx, const std::string& id, const std::string& add_time) {
    const std::optional<LocalTime> written = ParseDbDateTime(add_time);
    if (!written || ctx.Clock.Now() - *written < kGiveUpAfter) return TSendOutcome::soNotNow;
    ctx.Log.Add(3, "Nachricht (ID:" + id + ") ist seit " + add_time +
                       " nicht versendbar; nach 24 Stunden wird sie nicht mehr versucht.");
    return TSendOutcome::soFailedForGood;
}

struct TLoadedRow {
    TJournalRow Row;
    std::string IncidentName;
    std::vector<std::string> Paths;
};

// The journal row, its incident's name and its attachment paths; nullopt
// when the row does not exist. Database errors pass through.
std::optional<TLoadedRow> LoadRow(TMailVersandContext& ctx, const std::string& id) {
    TLoadedRow loaded;
    TDbQuery query(ctx.Database);
    query.Open("SELECT * FROM LF_NACHRICHTEN WHERE ID=" + id);
    if (query.Eof()) return std::nullopt;
    TJournalRow& row = loaded.Row;
    row.Lage = query.FieldByName("LAGE").AsString();
    row.Vorrang = query.FieldByName("VORRANG").AsString();
    row.Von = query.FieldByName("VON").AsString();
    row.An = query.FieldByName("AN").AsString();
    row.Art = query.FieldByName("ART").AsString();
    row.Betreff = query.FieldByName("BETREFF").AsString();
    row.AddFunktion = query.FieldByName("ADD_FUNKTION").AsString();
    row.AddUser = query.FieldByName("ADD_USER").AsString();
    row.AddTime = query.FieldByName("ADD_TIME").AsString();
    row.Inhalt = query.FieldByName("INHALT").AsString();
    query.Close();

    TDbQuery second(ctx.Database);
    // A row without incident has no name to show; asking for one would be
    // a statement the server refuses, row after row.
    if (IsDecimalId(row.Lage)) {
        second.Open("SELECT `NAME` FROM LF_LAGEN WHERE ID=" + row.Lage);
        if (!second.Eof()) loaded.IncidentName = second.Fields(0).AsString();
        second.Close();
    }
    second.Open("SELECT * FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + id);
    while (!second.Eof()) {
        loaded.Paths.push_back(second.FieldByName("PFAD").AsString());
        second.Next();
    }
    second.Close();
    return loaded;
}

enum class TAttachmentCheck { acReady, acMissing, acFolderMissing, acUnreadable };

// Whether the stored path's file can go with the mail. A missing file whose
// folder root ([Pfade] Lokal) is missing too means the share is not there.
TAttachmentCheck CheckAttachment(const TIniFile& ini, const std::string& stored_path, fs::path& local, fs::path& root) {
    local = LocalAttachmentPath(ini, stored_path);
    std::error_code ec;
    if (fs::is_regular_file(local, ec)) {
        std::ifstream probe(local, std::ios::binary);
        return probe ? TAttachmentCheck::acReady : TAttachmentCheck::acUnreadable;
    }
    const std::string windows_prefix = ini.ReadString("Pfade", "Windows", "");
    const std::string local_folder = ini.ReadString("Pfade", "Lokal", "");
    if (!local_folder.empty() && StoredPathHasPrefix(stored_path, windows_prefix)) {
        root = LocalAttachmentPath(ini, windows_prefix);
        if (!fs::is_directory(root, ec)) return TAttachmentCheck::acFolderMissing;
    }
    return TAttachmentCheck::acMissing;
}

bool HasUsableAddress(const TMailEMailAddressList& list) {
    for (std::size_t i = 0; i < list.Count(); ++i) {
        if (list[i].Address.find_first_not_of(" \t") != std::string::npos) return true;
    }
    return false;
}

}  // namespace

void ConfigureSmtpClient(TMailSMTP& smtp, TMailSSLIOHandlerSocketOpenSSL& io, const TSmtpSettings& settings) {
    io.SSLOptions.SetMethod(TMailSSLVersion::sslvTLSv1_2);
    io.SSLOptions.SetSSLVersions({TMailSSLVersion::sslvTLSv1_2});
    io.SSLOptions.Mode = TMailSSLMode::sslmClient;
    ApplyCertificateSettings(io.SSLOptions, settings.certificate_check);
    smtp.SetIOHandler(&io);
    smtp.SetUseTLS(settings.start_tls_if_offered ? TUseTLS::utUseExplicitTLS : TUseTLS::utUseRequireTLS);
    smtp.Port = static_cast<std::uint16_t>(settings.port);
    smtp.Host = settings.host;
    smtp.Username = settings.username;
    smtp.Password = settings.password;
    smtp.HeloName = settings.helo_name;
    smtp.ConnectTimeout = settings.time_limit_ms;
    smtp.ReadTimeout = settings.time_limit_ms;
}

namespace {

void LogRefused(TMailVersandContext& ctx, const std::string& id, const std::vector<TSMTPRefusedRecipient>& refused) {
    for (const TSMTPRefusedRecipient& r : refused) {
        ctx.Log.Add(3, "Empfänger " + r.Address + " für Nachricht (ID:" + id +
                           ") vom Mailserver abgewiesen: " + ReplyText(r.Reply));
    }
}

void NoteNoLogin(TMailVersandContext& ctx) {
    if (ctx.Cycle != nullptr) {
        if (ctx.Cycle->NoLoginNoticeWritten) return;
        ctx.Cycle->NoLoginNoticeWritten = true;
    }
    ctx.Log.Add(5, kNoLoginOffered);
}

std::filesystem::path HomeOf(const TMailVersandContext& ctx) {
    return ctx.Home.empty() ? ctx.Ini.FileName().parent_path() : ctx.Home;
}

bool StopsTheScan(TSendOutcome outcome) {
    return outcome == TSendOutcome::soServerUnusable || outcome == TSendOutcome::soServerUnusableInTransfer;
}

void LogNoteError(TMailVersandContext& ctx, const TOutboxHoldNote& note, std::error_code error) {
    if (error) {
        ctx.Log.Add(3, "Versandvermerk " + PathToUtf8(note.File()) + " kann nicht geschrieben werden: " + error.message());
    }
}

// A row that stopped the scan: counted when its own transfer broke down
// while rows behind it were waiting; its count starts over when none were.
// A failure before its transfer (connection, login, sender) met the server,
// not the row, and would meet the rows behind it alike.
void NoteStoppedScan(TMailVersandContext& ctx, TOutboxHoldNote& note, const std::string& key, TSendOutcome outcome,
                     bool others_waiting, const std::string& row) {
    if (outcome != TSendOutcome::soServerUnusableInTransfer) return;
    const std::error_code error = others_waiting ? note.Count(key) : note.Forget(key);
    LogNoteError(ctx, note, error);
    if (!error && others_waiting && note.Holding(key)) {
        ctx.Log.Add(3, row + " hat den Versand in " + std::to_string(kMaxHoldingCycles) +
                           " Abrufen in Folge aufgehalten; ab dem nächsten Abruf gilt sie als derzeit nicht "
                           "versendbar, und die Einträge dahinter werden versendet.");
    }
}

// A row that did not stop the scan. One that is held for good keeps its
// count while it is not sendable now; any other ends its run of holding.
void NoteDoneRow(TMailVersandContext& ctx, TOutboxHoldNote& note, const std::string& key, TSendOutcome outcome) {
    if (outcome == TSendOutcome::soNotNow && note.Holding(key)) return;
    LogNoteError(ctx, note, note.Forget(key));
}

// Logs a failed Send and settles the row's outcome: a row that has held
// the outbox long enough is not sendable now rather than holding it again,
// and one that is not sendable now is given up once it is a day old.
TSendOutcome SendFailed(TMailVersandContext& ctx, const std::string& id, const std::string& add_time, bool holding,
                        const char* reason, const std::vector<TSMTPRefusedRecipient>& refused, TSendOutcome outcome) {
    ctx.Log.Add(3, SendErrorPrefix(id) + reason);
    LogRefused(ctx, id, refused);
    if (outcome == TSendOutcome::soServerUnusableInTransfer && holding) {
        ctx.Log.Add(3, "Nachricht (ID:" + id + ") hält den Versand auf: sie gilt als derzeit nicht "
                                               "versendbar, die Einträge dahinter werden versendet.");
        outcome = TSendOutcome::soNotNow;
    }
    return outcome == TSendOutcome::soNotNow ? AgeRule(ctx, id, add_time) : outcome;
}

}  // namespace

TSendOutcome SendNachricht(TMailVersandContext& ctx, const std::string& id, const std::string& recipients,
                           bool holding) {
    try {
        ctx.Log.Add(7, "Versende Nachricht " + id + " an " + recipients);
        if (!IsDecimalId(id)) {
            ctx.Log.Add(3, std::string(kScanError) + "Ungültige Nachrichten-ID \"" + id + "\".");
            return TSendOutcome::soFailedForGood;
        }
        std::optional<TLoadedRow> loaded;
        try {
            loaded = LoadRow(ctx, id);
        } catch (const std::exception& e) {
            ctx.Log.Add(3, std::string(kScanError) + e.what());
            return TSendOutcome::soServerUnusable;
        }
        if (!loaded) {
            ctx.Log.Add(3, std::string(kScanError) + "Nachricht " + id + " existiert nicht (mehr).");
            return TSendOutcome::soFailedForGood;
        }
        const TJournalRow& row = loaded->Row;
        TIniFile& ini = ctx.Ini;

        TMailMessage message;
        const std::string sender_address = ini.ReadString("SMTP", "MailAdresse", "");
        message.From().Address = sender_address;
        message.ReplyTo.SetEMailAddresses(sender_address);
        message.Recipients.SetEMailAddresses(recipients);
        message.Subject = JournalSubject(ini.ReadString("SMTP", "BetreffPrefix", ""), row);
        message.SetEncoding(TMailEncoding::meMIME);
        message.MsgId = NewMessageId(id, sender_address);
        // Marks the mail as a program's: autoresponders stay silent, and the
        // service knows its own mail when it comes back to a mailbox it reads.
        message.ExtraHeaders.SetValue("Auto-Submitted", "auto-generated");
        message.ExtraHeaders.SetValue("X-Loop", sender_address);

        std::vector<std::string> lines = BodyLines(JournalBodyText(row, loaded->IncidentName));
        const std::string charset = BodyCharset(lines);
        TMailLines body;
        for (const std::string& line : lines) body.push_back(line);
        TMailText& text = message.MessageParts.AddText(std::move(body));
        text.SetContentType("text/plain; charset=" + charset);
        text.SetContentTransfer("quoted-printable");

        if (loaded->Paths.empty()) ctx.Log.Add(5, "Zur Nachricht " + id + " wurden keine Anhänge gefunden.");
        for (const std::string& stored_path : loaded->Paths) {
            ctx.Log.Add(5, "Datei \"" + stored_path + "\" als Anhang ergänzen.");
            fs::path local;
            fs::path root;
            switch (CheckAttachment(ini, stored_path, local, root)) {
                case TAttachmentCheck::acReady:
                    message.MessageParts.AddAttachmentFile(local);
                    break;
                case TAttachmentCheck::acMissing:
                    ctx.Log.Add(3, "Datei \"" + stored_path + "\" nicht gefunden.");
                    break;
                case TAttachmentCheck::acFolderMissing:
                    ctx.Log.Add(3, "Anhangordner " + PathToUtf8(root) + " ist nicht erreichbar (Datei \"" + stored_path +
                                       "\").");
                    return TSendOutcome::soServerUnusable;
                case TAttachmentCheck::acUnreadable:
                    ctx.Log.Add(3, "Datei \"" + stored_path + "\" kann nicht gelesen werden.");
                    return AgeRule(ctx, id, row.AddTime);
            }
        }

        if (!HasUsableAddress(message.Recipients)) {
            ctx.Log.Add(3, SendErrorPrefix(id) + "Keine gültige Empfängeradresse in \"" + recipients + "\".");
            return TSendOutcome::soFailedForGood;
        }

        // Declared before the client, which must not outlive its transport
        // and its token source.
        const std::shared_ptr<IOAuthTokenSource> oauth = ctx.SmtpOAuth ? ctx.SmtpOAuth() : nullptr;
        TMailSSLIOHandlerSocketOpenSSL io;
        TMailSMTP smtp;
        ConfigureSmtpClient(smtp, io, ctx.SmtpSettings());
        smtp.OAuth = oauth.get();

        bool logged_in = false;
        try {
            smtp.Connect();
            logged_in = smtp.Authenticate();
        } catch (const EMailSMTPError& e) {
            ctx.Log.Add(3, std::string(kAuthError) + SmtpStartFailureText(e, e.Stage()));
            return TSendOutcome::soServerUnusable;
        } catch (const std::exception& e) {
            ctx.Log.Add(3, std::string(kAuthError) + e.what());
            return TSendOutcome::soServerUnusable;
        }
        if (!logged_in && !smtp.Username.empty()) NoteNoLogin(ctx);

        try {
            const TSMTPSendResult result = smtp.Send(message);
            LogRefused(ctx, id, result.Refused);
        } catch (const EMailSMTPError& e) {
            return SendFailed(ctx, id, row.AddTime, holding, e.what(), smtp.RefusedRecipients(),
                              ClassifySendFailure(e, smtp.RefusedRecipients()));
        } catch (const std::exception& e) {
            // Not the dialogue's failure: nothing is known about the row.
            return SendFailed(ctx, id, row.AddTime, holding, e.what(), smtp.RefusedRecipients(),
                              TSendOutcome::soServerUnusable);
        }
        ctx.Log.Add(6, "Nachricht (ID:" + id + ") per Mail an " + recipients + " versendet!");
        return TSendOutcome::soSent;
    } catch (const std::exception& e) {
        try {
            ctx.Log.Add(3, std::string(kScanError) + e.what());
        } catch (...) {
        }
        return TSendOutcome::soServerUnusable;
    }
}

namespace {

// One row of an outbox table: its own ID (marked, and the key of the hold
// note), the journal message it mails and, for a delivery row, its
// recipient.
struct TOutboxRow {
    std::string Id;
    std::string Nachricht;
    std::string Empfaenger;
};

// What sets the two outbox tables apart; the chain of outcomes is the same.
struct TOutbox {
    const char* Table;
    // The SET clause of a row whose mail went out.
    const char* SentSet;
    // The recipient list text for the row, read just before it is mailed.
    std::string (*Recipients)(const TMailVersandContext& ctx, const TOutboxRow& row);
    // How the log names the row, and how it names it when it is given up.
    std::string (*Name)(const TOutboxRow& row);
    std::string (*FailedName)(const TOutboxRow& row);
    // Whether the row's fields are logged after its attempt.
    bool LogInfo;
};

std::string JournalName(const TOutboxRow& row) { return "Nachricht (ID:" + row.Id + ")"; }

std::string DeliveryName(const TOutboxRow& row) {
    return "Zustellung " + row.Id + " der Nachricht (ID:" + row.Nachricht + ")";
}

const TOutbox kJournal{
    "LF_NACHRICHTEN",
    "DIRAVID_STATUS=1",
    [](const TMailVersandContext& ctx, const TOutboxRow&) { return ctx.Ini.ReadString("Mail", "An", ""); },
    JournalName,
    JournalName,
    false,
};

const TOutbox kDeliveries{
    "LF_NACHRICHTEN_EMPF",
    "DIRAVID_STATUS=1,STATUS='Erledigt',ERLEDIGT_TIME=current_timestamp,ERLEDIGT_USER='DiraVid'",
    [](const TMailVersandContext&, const TOutboxRow& row) { return row.Empfaenger; },
    DeliveryName,
    [](const TOutboxRow& row) { return DeliveryName(row) + " an " + row.Empfaenger; },
    true,
};

// Mails the pending rows in ID order and marks each by its ID as soon as
// its outcome is final. A row that makes the server unusable ends the scan
// and stays pending with every row behind it; one that cannot go now stays
// pending while the scan goes on. Database errors pass through.
void SendOutbox(TMailVersandContext& ctx, const TOutbox& outbox, const std::vector<TOutboxRow>& rows,
                TDbQuery& update) {
    TOutboxHoldNote note(HomeOf(ctx), outbox.Table);
    {
        std::set<std::string> pending;
        for (const TOutboxRow& row : rows) pending.insert(row.Id);
        LogNoteError(ctx, note, note.KeepOnly(pending));
    }
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (StopRequested(ctx)) {
            LogStopped(ctx, waiting + rows.size() - i);
            break;
        }
        const TOutboxRow& row = rows[i];
        ctx.Log.Add(7, "Sende Nachricht.");
        const TSendOutcome outcome =
            SendNachricht(ctx, row.Nachricht, outbox.Recipients(ctx, row), note.Holding(row.Id));
        if (outbox.LogInfo) ctx.Log.Add(7, "Info: " + row.Nachricht + " | " + row.Empfaenger + " | " + row.Id);
        if (StopsTheScan(outcome)) {
            NoteStoppedScan(ctx, note, row.Id, outcome, i + 1 < rows.size(), outbox.Name(row));
            LogWaiting(ctx, waiting + rows.size() - i);
            break;
        }
        NoteDoneRow(ctx, note, row.Id, outcome);
        if (outcome == TSendOutcome::soNotNow) {
            ++waiting;
        } else if (outcome == TSendOutcome::soSent) {
            update.ExecSQL(std::string("UPDATE ") + outbox.Table + " SET " + outbox.SentSet + " WHERE ID=" + row.Id);
        } else {
            // A delivery's STATUS stays, so the application still shows it as not done.
            update.ExecSQL(std::string("UPDATE ") + outbox.Table + " SET DIRAVID_STATUS=" +
                           std::to_string(kStatusFailed) + " WHERE ID=" + row.Id);
            ctx.Log.Add(3, outbox.FailedName(row) +
                               " wird nicht versendet und ist als fehlgeschlagen markiert (DIRAVID_STATUS=2).");
        }
    }
}

void LogScanError(TMailVersandContext& ctx, const std::exception& e) {
    try {
        ctx.Log.Add(3, std::string(kScanError) + e.what());
    } catch (...) {
    }
}

}  // namespace

void SendNachrichten(TMailVersandContext& ctx) {
    try {
        ctx.Log.Add(7, "Prüfe auf neue Einträge...");
        const bool mail_own_entries = ctx.Ini.ReadBool("Mail", "NeueMail", false);
        // Rows without ADD_USER are mailed like all others.
        const std::string filter = mail_own_entries ? "" : " AND (ADD_USER IS NULL OR ADD_USER<>'DiraVid')";
        std::vector<TOutboxRow> rows;
        {
            TDbQuery query(ctx.Database);
            query.Open("SELECT ID FROM LF_NACHRICHTEN WHERE DIRAVID_STATUS IS NULL " + filter + " ORDER BY ID");
            while (!query.Eof()) {
                const std::string id = query.Fields(0).AsString();
                rows.push_back({id, id, ""});
                query.Next();
            }
        }
        if (!rows.empty()) {
            ctx.Log.Add(7, std::to_string(rows.size()) + " neue Nachrichten zu versenden.");
            const std::string& highest = rows.back().Id;
            TDbQuery update(ctx.Database);
            if (OutgoingOff(ctx)) {
                update.ExecSQL("UPDATE LF_NACHRICHTEN SET DIRAVID_STATUS=1 WHERE ID<=" + highest +
                               " AND DIRAVID_STATUS IS NULL");
            } else {
                SendOutbox(ctx, kJournal, rows, update);
                // The entries the service filed itself are not mailed; they
                // are passed over up to the highest ID read.
                if (!mail_own_entries) {
                    update.ExecSQL("UPDATE LF_NACHRICHTEN SET DIRAVID_STATUS=1 WHERE ID<=" + highest +
                                   " AND DIRAVID_STATUS IS NULL AND ADD_USER='DiraVid'");
                }
            }
        }
        ctx.Log.Add(7, "Prüfung auf neue Einträge abgeschlossen.");
    } catch (const std::exception& e) {
        LogScanError(ctx, e);
    }
}

void SendEmpfaengerNachrichten(TMailVersandContext& ctx) {
    try {
        const bool off = OutgoingOff(ctx);
        if (off) ctx.Log.Add(5, kOutgoingOff);
        std::vector<TOutboxRow> rows;
        {
            TDbQuery query(ctx.Database);
            query.Open(
                "SELECT NACHRICHT,EMPFAENGER,ID FROM LF_NACHRICHTEN_EMPF WHERE DIRAVID_STATUS IS NULL AND "
                "EMPFAENGER LIKE '%@%' ORDER BY ID");
            while (!query.Eof()) {
                rows.push_back({query.Fields(2).AsString(), query.Fields(0).AsString(), query.Fields(1).AsString()});
                query.Next();
            }
        }
        if (rows.empty()) return;
        ctx.Log.Add(7, std::to_string(rows.size()) + " neue Nachrichten zu versenden.");
        TDbQuery update(ctx.Database);
        if (off) {
            update.ExecSQL(std::string("UPDATE LF_NACHRICHTEN_EMPF SET ") + kDeliveries.SentSet + " WHERE id <= " +
                           rows.back().Id + " AND DIRAVID_STATUS IS NULL AND EMPFAENGER LIKE '%@%'");
            return;
        }
        SendOutbox(ctx, kDeliveries, rows, update);
    } catch (const std::exception& e) {
        LogScanError(ctx, e);
    }
}

}  // namespace kdv
