#include "service/endpoint_check.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include "clients/mail_imap4.h"
#include "clients/mail_pop3.h"
#include "clients/mail_smtp.h"
#include "db/db_query.h"
#include "incoming/mailbox_passes.h"
#include "service/mailbox_settings.h"
#include "incoming/sender_rules.h"
#include "net/mail_ssl_io_handler.h"
#include "outgoing/mail_versand.h"
#include "platform/attachment_path.h"
#include "platform/ini_file.h"
#include "platform/local_time_zone.h"
#include "platform/unique_temp_file.h"
#include "service/connection_settings.h"
#include "service/diravid_module.h"
#include "service/mail_eingang_jobs.h"
#include "service/oauth_token_provider.h"
#include "service/service_database.h"
#include "service/smtp_settings.h"
#include "service/whitelist.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;

// "DD.MM.YYYY HH:MM:SS" of a local time.
std::string DayAndTime(LocalTime when) {
    using namespace std::chrono;
    const auto day = floor<days>(when);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> time{floor<seconds>(when - day)};
    char text[32];
    std::snprintf(text, sizeof text, "%02u.%02u.%04d %02d:%02d:%02d", static_cast<unsigned>(ymd.day()),
                  static_cast<unsigned>(ymd.month()), static_cast<int>(ymd.year()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

// The journal's tables the service reads and writes.
constexpr const char* kJournalTables[] = {"LF_LAGEN", "LF_NACHRICHTEN", "LF_NACHRICHTEN_EMPF",
                                          "LF_NACHRICHTEN_ANLAGEN", "OPTIONEN"};
// The tables whose DIRAVID_STATUS column marks what has been mailed.
constexpr const char* kStatusTables[] = {"LF_NACHRICHTEN", "LF_NACHRICHTEN_EMPF"};

// Texts of failed steps end in CR LF or hold several lines; a check line
// holds one.
std::string OneLine(const std::string& text) {
    std::string line;
    bool blank = false;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') {
            blank = !line.empty();
            continue;
        }
        if (blank) line += ' ';
        blank = false;
        line += c;
    }
    return line;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& part : parts) {
        if (part.empty()) continue;
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

std::string TlsDetail(const TMailSSLIOHandlerSocketOpenSSL* tls) {
    const std::string version = tls != nullptr ? tls->TlsVersion() : "";
    return version.empty() ? "unverschlüsselt" : version;
}

// The greeting's text without a leading "[CAPABILITY ...]" and the like.
std::string WithoutResponseCode(const std::string& text) {
    if (text.empty() || text.front() != '[') return text;
    const std::size_t close = text.find(']');
    return close == std::string::npos ? text : OneLine(text.substr(close + 1));
}

class TEndpointCheck {
public:
    TEndpointCheck(const fs::path& home, std::ostream& out)
        : home_(home), out_(out), ini_(home / Tdiravid::kIniFileName), db_([]() { return nullptr; }) {
        // The connect handlers (status columns, attachment warning,
        // reconnect) belong to the service; this connection only looks.
        db_.Silence();
        db_.LocalFolder = [this](const std::string& stored) { return LocalAttachmentPath(ini_, stored); };
    }

    int Run() {
        CheckSettingsFile();
        if (CheckDatabaseConnection()) {
            CheckJournalTables();
            CheckStatusColumns();
            CheckAttachmentFolder();
        }
        CheckSmtp();
        if (ini_.ReadBool("POP3", "Aktiv", false)) CheckPop3();
        if (ini_.ReadBool("IMAP", "Aktiv", false)) CheckImap();
        CheckWhitelist();
        return all_ok_ ? 0 : 1;
    }

private:
    void Report(const std::string& what, bool ok, const std::string& text) {
        all_ok_ = all_ok_ && ok;
        out_ << FormatCheckLine(TEndpointCheckLine{what, ok, OneLine(text)}) << std::endl;
    }

    void CheckSettingsFile() {
        std::error_code ec;
        const bool present = fs::exists(ini_.FileName(), ec);
        Report("Einstellungen " + PathToUtf8(ini_.FileName()), !ec,
               ec ? ec.message() : present ? "gelesen" : "fehlt; es gelten die Vorgaben");
    }

    bool CheckDatabaseConnection() {
        TDbConnection& database = db_.database;
        std::string what = "Datenbank";
        try {
            db_.Open(ini_);
            what = DatabaseName();
            TDbQuery query(database);
            query.Open("SELECT VERSION()");
            Report(what, true, "verbunden, Server " + query.Fields(0).AsString());
            return true;
        } catch (const std::exception& e) {
            Report(DatabaseName(), false, e.what());
            return false;
        }
    }

    std::string DatabaseName() const {
        const TDbConnectionParams& params = db_.database.Params;
        const std::string port = params.Value("Port");
        return "Datenbank " + params.Value("Server") + ":" + (port.empty() ? "3306" : port) + " " +
               params.Value("Database");
    }

    void CheckJournalTables() {
        std::vector<std::string> failures;
        for (const char* table : kJournalTables) {
            try {
                TDbQuery query(db_.database);
                query.Open(std::string("SELECT * FROM ") + table + " WHERE 1=0");
            } catch (const std::exception& e) {
                failures.push_back(e.what());
            }
        }
        if (failures.empty()) {
            Report("Datenbank Tabellen", true, Join({std::begin(kJournalTables), std::end(kJournalTables)}, ", "));
        } else {
            Report("Datenbank Tabellen", false, Join(failures, "; "));
        }
    }

    // A missing column is no failure: the service's start adds it.
    void CheckStatusColumns() {
        std::vector<std::string> present;
        std::vector<std::string> missing;
        try {
            for (const char* table : kStatusTables) {
                TDbQuery query(db_.database);
                query.Open(std::string("SHOW COLUMNS FROM ") + table + " LIKE 'DIRAVID_STATUS'");
                const bool usable = !query.Eof() && query.FieldByName("Default").AsString() != "1";
                (usable ? present : missing).push_back(table);
            }
        } catch (const std::exception& e) {
            Report("Datenbank Statusspalten", false, e.what());
            return;
        }
        std::string text = present.empty() ? "" : "DIRAVID_STATUS in " + Join(present, ", ");
        if (!missing.empty()) {
            text = Join({text, "in " + Join(missing, ", ") + " fehlt sie noch; der Start des Dienstes legt sie an"},
                        "; ");
        }
        Report("Datenbank Statusspalten", true, text);
    }

    void CheckAttachmentFolder() {
        const std::string what = "Anhangordner (OPTIONEN LF_NR_PATH)";
        std::string stored;
        try {
            stored = db_.getLFPath();
        } catch (const std::exception& e) {
            Report(what, false, e.what());
            return;
        }
        const fs::path local = LocalAttachmentPath(ini_, stored);
        // Shown as the application's editor shows it, without the delimiter
        // the service appends.
        const std::string folder = stored.substr(0, stored.size() - 1);
        const std::string where =
            folder + (PathToUtf8(local) == MapStoredPath(stored, "", "") ? "" : " (" + PathToUtf8(local) + ")");
        // Only a file actually made there shows that the service's user may
        // write (a read-only share, a folder of another user).
        try {
            const fs::path probe = CreateUniqueTempFile(local, ".tmp");
            std::error_code ec;
            fs::remove(probe, ec);
        } catch (const std::exception& e) {
            Report(what, false, "Im Speicherort für Anhänge " + where + " kann keine Datei angelegt werden: " + e.what());
            return;
        }
        Report(what, true, where + " vorhanden und beschreibbar");
    }

    // With Anmeldung=OAuth2 for `protocol`: the token line, before the
    // protocol's own, which then signs in with the same token.
    std::shared_ptr<TOAuthTokenProvider> CheckToken(const std::string& protocol) {
        const std::optional<TOAuthSettings> settings = ReadProtocolOAuth(ini_, protocol);
        if (!settings) return nullptr;
        std::shared_ptr<TOAuthTokenProvider> provider = OAuthTokenProvider(*settings);
        const std::string what = "Token [" + settings->section + "] " + OAuthGrantName(settings->grant) + " für " +
                                 protocol;
        try {
            provider->FreshToken();
            const LocalTime until =
                UtcToLocalTime(std::chrono::floor<std::chrono::milliseconds>(provider->ExpiresAt()));
            Report(what, true, "gültig bis " + DayAndTime(until));
        } catch (const std::exception& e) {
            Report(what, false, provider->Masked(e.what()));
        }
        return provider;
    }

    void CheckSmtp() {
        const TSmtpSettings settings = ReadSmtpSettings(ini_);
        if (settings.host.empty()) {
            Report("SMTP", true, "kein Server eingetragen ([SMTP] Host ist leer): der Mailversand ist abgeschaltet");
            return;
        }
        // Declared before the client, which must not outlive its transport.
        const std::shared_ptr<TOAuthTokenProvider> oauth = CheckToken("SMTP");
        TMailSSLIOHandlerSocketOpenSSL io;
        TMailSMTP smtp;
        ConfigureSmtpClient(smtp, io, settings);
        smtp.OAuth = oauth.get();
        const std::string what = "SMTP " + settings.host + ":" + std::to_string(smtp.Port);
        try {
            smtp.Connect();
            const std::string greeting = smtp.Greeting;
            const bool loggedIn = smtp.Authenticate();
            const std::string tls = TlsDetail(&io);
            smtp.SendCmd("QUIT", {221});
            smtp.Disconnect(false);
            Report(what, true,
                   Join({greeting, tls, loggedIn ? "angemeldet als " + smtp.Username : "ohne Anmeldung"}, "; "));
        } catch (const EMailSMTPError& e) {
            smtp.Disconnect(false);
            Report(what, false, std::string(kSmtpAuthError) + SmtpStartFailureText(e, e.Stage()));
        } catch (const EDiraError& e) {
            // Past the client's own steps (the farewell): no stage to name.
            smtp.Disconnect(false);
            Report(what, false, std::string(kSmtpAuthError) + SmtpStartFailureText(e, TSMTPStage::ssConnect));
        } catch (const std::exception& e) {
            smtp.Disconnect(false);
            Report(what, false, std::string(kSmtpAuthError) + e.what());
        }
    }

    void CheckPop3() {
        const std::shared_ptr<TOAuthTokenProvider> oauth = CheckToken("POP3");
        // Declared before the client: it holds the settings' token source.
        const TPop3Settings settings = ReadPop3Settings(ini_);
        std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL> tls;
        TMailPOP3 pop3;
        ConfigurePop3Client(pop3, tls, settings);
        const std::string what = "POP3 " + pop3.Host + ":" + std::to_string(pop3.Port);
        try {
            pop3.Connect(pop3.Host);
            const int count = pop3.CheckMessages();
            const std::string detail = TlsDetail(tls.get());
            pop3.Quit();
            Report(what, true, Join({detail, "angemeldet als " + pop3.Username, std::to_string(count) + " Mails"}, "; "));
        } catch (const std::exception& e) {
            pop3.Disconnect(false);
            Report(what, false, std::string(kPop3PassError) + e.what());
        }
    }

    void CheckImap() {
        const TImapStartSettings settings = ReadImapStartSettings(ini_);
        // Declared before the client, which must not outlive its transport.
        const std::shared_ptr<TOAuthTokenProvider> oauth = CheckToken("IMAP");
        TMailSSLIOHandlerSocketOpenSSL tls;
        TMailIMAP4 imap;
        std::string what = "IMAP " + settings.Host + ":" + std::to_string(settings.Port);
        try {
            ConfigureImapClient(imap, tls, settings, &ini_, nullptr);
            imap.OAuth = oauth.get();
            imap.Connect(true);
            // EXAMINE, not SELECT: the look must leave new mails new.
            if (!imap.ExamineMailBox("INBOX")) {
                const std::string refusal = imap.LastReply.Code + " " + imap.LastReply.Last;
                imap.Disconnect();
                Report(what, false, std::string(kImapConnectError) + "EXAMINE INBOX abgelehnt: " + refusal);
                return;
            }
            const std::string detail = Join({WithoutResponseCode(imap.GreetingBanner), TlsDetail(&tls),
                                             "angemeldet als " + imap.Username,
                                             "INBOX " + std::to_string(imap.MailBox.TotalMsgs) + " Mails"},
                                            "; ");
            imap.Disconnect();
            Report(what, true, detail);
        } catch (const std::exception& e) {
            imap.Disconnect();
            Report(what, false, std::string(kImapConnectError) + e.what());
        }
    }

    void CheckWhitelist() {
        const fs::path file = home_ / Tdiravid::kWhitelistFileName;
        const std::string what = "Whitelist " + PathToUtf8(file);
        std::error_code ec;
        const bool present = fs::exists(file, ec);
        TWhitelist whitelist;
        try {
            whitelist.LoadIfPresent(file);
        } catch (const std::exception& e) {
            Report(what, false, e.what());
            return;
        }
        if (!present) {
            Report(what, true, "fehlt: jeder Absender wird angenommen");
            return;
        }
        std::size_t usable = 0;
        std::size_t ignored = 0;
        for (const std::string& entry : whitelist.Entries) {
            const TSenderEntryKind kind = ParseSenderEntry(entry).Kind;
            if (kind == TSenderEntryKind::Unrecognised) ++ignored;
            if (kind != TSenderEntryKind::Unrecognised && kind != TSenderEntryKind::Empty) ++usable;
        }
        Report(what, true,
               Join({std::to_string(usable) + " Einträge",
                     ignored == 0 ? "" : std::to_string(ignored) + " weder Adresse noch Domäne, nicht beachtet"},
                    "; "));
    }

    fs::path home_;
    std::ostream& out_;
    TIniFile ini_;
    TServiceDatabase db_;
    bool all_ok_ = true;
};

}  // namespace

std::string FormatCheckLine(const TEndpointCheckLine& line) {
    return line.What + (line.Ok ? ": OK" : ": FEHLER:") + (line.Text.empty() ? "" : " " + line.Text);
}

int RunEndpointCheck(const fs::path& home, std::ostream& out) {
    return TEndpointCheck(home, out).Run();
}

}  // namespace kdv
