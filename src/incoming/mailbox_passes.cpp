#include "incoming/mailbox_passes.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>
#include <set>

#include "clients/mail_imap4.h"
#include "clients/mail_pop3.h"
#include "incoming/filing_fault_point.h"
#include "incoming/kept_mail.h"
#include "incoming/mailbox_record.h"
#include "incoming/pass_limits.h"
#include "incoming/message_evaluation.h"
#include "incoming/spooled_mail.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "net/mail_ssl_io_handler.h"
#include "net/mail_tls_client.h"
#include "platform/dira_error.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

// The header of a mail left in the mailbox is read for its sender and
// subject; a server sending more than this is not asked further.
constexpr std::size_t kMaxSummaryHeaderBytes = 64 * 1024;

void Log(TMailEmpfangContext& ctx, int level, const std::string& text) {
    try {
        ctx.Log.Add(level, text);
    } catch (...) {
        // The pass goes on without its line.
    }
}

void WriteDebug(TMailEmpfangContext& ctx, const char* key) {
    try {
        ctx.Ini.WriteString("Debug", key, DebugZeitstempel(ctx));
    } catch (const std::exception& e) {
        Log(ctx, 3, std::string("[Debug] ") + key + " kann nicht geschrieben werden: " + e.what());
    }
}

// Whether a failure means the connection is gone, so the mails after this
// one cannot be handled either.
bool ConnectionGone(const EDiraError& error) {
    switch (error.ErrorKind()) {
        case TErrorKind::ekPeerClosed:
        case TErrorKind::ekTimeout:
        case TErrorKind::ekTls:
        case TErrorKind::ekLineTooLong:
        case TErrorKind::ekReply:
        case TErrorKind::ekCancelled:
        case TErrorKind::ekTooLarge:
            return true;
        default:
            return false;
    }
}

// The failure's message and, where the message alone names no cause or the
// wrong one, the cause after it: a server that closed or reset the
// connection in the middle of the dialogue lost it, it did not end it.
std::string WithCause(const EDiraError& error, const char* server) {
    if (error.ErrorKind() != TErrorKind::ekPeerClosed) return error.what();
    return std::string(error.what()) + " (Verbindung zum " + server + " verloren: sie wurde mitten im Dialog beendet.)";
}

// [Maileingang] MaxMB in bytes.
std::uint64_t MaxMailBytes(const TIniFile& ini) {
    int max_mb = ini.ReadInteger("Maileingang", "MaxMB", kMaxMBVorgabe);
    if (max_mb < 1) max_mb = kMaxMBVorgabe;
    return static_cast<std::uint64_t>(max_mb) * 1024 * 1024;
}

// " (Absender: …, Betreff: …)" from a mail's header lines; empty when
// there are none.
std::string DescribeHeader(const std::string& header) {
    if (header.empty()) return "";
    TMailMessage msg;
    try {
        LoadMessageFromMemory(msg, header + "\r\n");
    } catch (const std::exception&) {
        return "";
    }
    return " (Absender: " + (msg.FromList.Empty() ? std::string() : msg.FromList[0].Address) +
           ", Betreff: " + msg.Subject + ")";
}

// The line for a mail left in the mailbox because it is larger than
// [Maileingang] MaxMB, and its note, so later passes neither fetch it nor
// report it again.
void ReportOversized(TMailEmpfangContext& ctx, TPostfachVermerk& vermerk, const std::string& key,
                     const std::string& wer, const std::string& header, const std::string& size_text,
                     std::uint64_t max_bytes) {
    Log(ctx, 3, wer + DescribeHeader(header) + " ist " + size_text + ", mehr als [Maileingang] MaxMB = " +
                    std::to_string(max_bytes / (1024 * 1024)) +
                    " MB; sie wird nicht abgerufen und bleibt im Postfach, wo sie mit einem Mailprogramm gelesen "
                    "werden kann.");
    if (key.empty()) return;
    try {
        vermerk.NoteOversized(key);
    } catch (const std::exception& e) {
        Log(ctx, 3, e.what());
    }
}

// The service's own temporary folder; without one (a tool, a test) the
// system's.
std::filesystem::path SpoolOrdner(const TMailEmpfangContext& ctx) {
    return ctx.TempFolder.empty() ? std::filesystem::temp_directory_path() : ctx.TempFolder;
}

// A mail that failed in an earlier pass was kept in Fehler for the operator
// to import again; now that it is filed whole, that copy would only file it
// a second time.
void EntferneUeberholteKopie(TMailEmpfangContext& ctx, const TSpoolFile& spool, const std::string& wer) {
    const std::filesystem::path folder = ctx.Home / kFehlerOrdner;
    std::error_code error;
    if (std::filesystem::is_empty(folder, error) || error) return;
    const std::filesystem::path kopie = KeptMailPath(folder, spool.Hash());
    if (!std::filesystem::remove(kopie, error)) return;
    Log(ctx, 5, wer + " ist nun abgelegt; ihre Kopie " + PathToUtf8(kopie) + " aus einem früheren Durchgang ist entfernt.");
}

// Fetches one mail into the spool while another thread reads it into `msg`,
// so a large mail is read while the connection waits for the server. False
// when the server refused the mail. `leseFehler` is the reader's failure.
bool Abrufen(TSpoolFile& spool, TMailMessage& msg, std::exception_ptr& leseFehler,
             const std::function<bool()>& abrufen) {
    spool.Restart();
    TSpoolReader reader(spool, msg);
    if (!abrufen()) return false;
    spool.Finish();
    leseFehler = reader.Wait();
    return true;
}

// Evaluates the spooled mail `wer` ("Nachricht 3", "Nachricht UID 17"),
// noted under `key`, that was read into `msg` (or failed to be, with
// `leseFehler`). True when the mail may leave the mailbox: filed, turned
// away, or kept whole in Fehler.
bool Auswerten(TMailEmpfangContext& ctx, const TSpoolFile& spool, TMailMessage& msg, std::exception_ptr leseFehler,
               const std::string& wer, TPostfachVermerk& vermerk, const std::string& key,
               const TPostfachEingriffe& eingriffe) {
    TAuswertung auswertung;
    const bool gelesen = leseFehler == nullptr;
    if (!gelesen) {
        try {
            std::rethrow_exception(leseFehler);
        } catch (const std::exception& e) {
            auswertung = UnlesbareMail(ctx, spool.Path(), e.what());
        }
    }
    if (gelesen) auswertung = eingriffe.Auswerten ? eingriffe.Auswerten(ctx, msg) : AuswertenMail(ctx, msg);
    if (auswertung.Ergebnis == TAuswertungsErgebnis::Abgelegt && !NichtVollstaendig(auswertung)) {
        EntferneUeberholteKopie(ctx, spool, wer);
    }
    if (auswertung.Ergebnis != TAuswertungsErgebnis::Fehlgeschlagen) return true;
    std::string absender;
    std::string betreff;
    if (gelesen) {
        absender = msg.FromList.Empty() ? "" : msg.FromList[0].Address;
        betreff = msg.Subject;
    }
    const std::string von = wer + " (Absender: " + absender + ", Betreff: " + betreff + ")";
    if (!auswertung.Dauerhaft) {
        // The database or the attachment folder: the next pass may succeed.
        Log(ctx, 3, von + " bleibt im Postfach: " + auswertung.Grund);
        return false;
    }
    const int versuche = vermerk.Fehlversuch(key);
    if (versuche < kMaxFehlversuche) {
        Log(ctx, 3, von + " bleibt im Postfach: " + auswertung.Grund + " (Fehlversuch " + std::to_string(versuche) +
                        " von " + std::to_string(kMaxFehlversuche) + ")");
        return false;
    }
    const std::string gescheitert = von + " ist in " + std::to_string(versuche) + " Durchgängen gescheitert (" +
                                    auswertung.Grund + ")";
    try {
        const auto kopie = KeepRawMail(ctx.Home / kFehlerOrdner, spool.Path());
        Log(ctx, 3, gescheitert + "; aufbewahrt als " + PathToUtf8(kopie) + " und aus dem Postfach entfernt.");
        return true;
    } catch (const std::exception& e) {
        Log(ctx, 3, gescheitert + "; sie bleibt im Postfach, weil sie nicht aufbewahrt werden kann: " + e.what());
        return false;
    }
}

// The IMAP pass failed outside a single mail: the connection is dropped and,
// with `reconnect`, opened again at once.
void AfterImapPassFailure(TMailEmpfangContext& ctx, TMailIMAP4& imap, const std::string& reason, bool reconnect) {
    Log(ctx, 3, "Verbindungsfehler2 IMAP: " + reason);
    imap.Disconnect();
    if (!reconnect) return;
    try {
        imap.Connect(true);
    } catch (const std::exception& again) {
        Log(ctx, 3, std::string(kImapConnectError) + again.what());
    }
}

}  // namespace

std::string DebugZeitstempel(const TMailEmpfangContext& ctx) {
    const LocalTime now = ctx.Clock.Now();
    const auto day = std::chrono::floor<std::chrono::days>(now);
    const std::chrono::year_month_day ymd{day};
    const std::chrono::hh_mm_ss<std::chrono::seconds> time{std::chrono::floor<std::chrono::seconds>(now - day)};
    char text[32];
    std::snprintf(text, sizeof text, "%02u.%02u.%04d %02d:%02d:%02d", static_cast<unsigned>(ymd.day()),
                  static_cast<unsigned>(ymd.month()), static_cast<int>(ymd.year()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

void ConfigurePop3Client(TMailPOP3& client, std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL>& tls,
                         const TIniFile& ini, const TCertificateCheck& certificate_check, int time_limit_ms) {
    client.ConnectTimeout = 4000;
    client.ReadTimeout = time_limit_ms;
    client.Username = ini.ReadString("POP3", "Username", "");
    client.Password = ini.ReadString("POP3", "Passwort", "");
    client.Port = static_cast<std::uint16_t>(ini.ReadInteger("POP3", "Port", 110));
    client.Host = ini.ReadString("POP3", "Host", "");
    if (ini.ReadBool("POP3", "SSL", false)) {
        tls = std::make_unique<TMailSSLIOHandlerSocketOpenSSL>();
        tls->SSLOptions.SetSSLVersions(
            {TMailSSLVersion::sslvTLSv1, TMailSSLVersion::sslvTLSv1_1, TMailSSLVersion::sslvTLSv1_2});
        tls->SSLOptions.Mode = TMailSSLMode::sslmClient;
        ApplyCertificateSettings(tls->SSLOptions, certificate_check);
        client.SetIOHandler(tls.get());
        client.SetUseTLS(TUseTLS::utUseImplicitTLS);
    }
}

void CheckPOP3Postfach(TMailEmpfangContext& ctx, const TStopAnfrage& stop, const TPostfachEingriffe& eingriffe) {
    Log(ctx, 7, "Prüfe Mails");
    WriteDebug(ctx, "Laststartcheckmail");
    try {
        std::unique_ptr<TMailSSLIOHandlerSocketOpenSSL> tls;
        TMailPOP3 client;
        ConfigurePop3Client(client, tls, ctx.Ini, ctx.CertificateCheck, ctx.ConnectionTimeLimitMs);
        client.StopRequested = stop;
        const std::string host = client.Host;
        client.Connect(host);
        const int n = client.CheckMessages();
        TPostfachVermerk vermerk(ctx.Home, "pop3", host, client.Port, client.Username);
        TSpoolFile spool(SpoolOrdner(ctx));
        const std::uint64_t max_bytes = MaxMailBytes(ctx.Ini);
        TPassLimits limits(ctx, stop, eingriffe.Zeitbudget);
        if (n > 0) Log(ctx, 7, std::to_string(n) + " e-Mails vorhanden.");
        std::set<std::string> geloescht;
        // Every mail of the mailbox met: failure counts of the others can go.
        std::set<std::string> gesehen;
        bool alle = true;
        for (int k = n; k >= 1; --k) {
            if (!limits.MayGoOn(static_cast<std::uint64_t>(k))) {
                alle = false;
                break;
            }
            const std::string wer = "Nachricht " + std::to_string(k);
            std::string key;
            try {
                const std::string uidl = client.UIDL(k);
                if (!uidl.empty()) {
                    key = "uidl:" + uidl;
                    gesehen.insert(key);
                }
                if (!key.empty() && vermerk.IsOversized(key)) {
                    limits.Succeeded();
                    continue;
                }
                bool schon_abgelegt = !key.empty() && vermerk.Enthaelt(key);
                if (!schon_abgelegt) {
                    const std::optional<std::uint64_t> size = client.RetrieveMsgSize(k);
                    if (size && *size > max_bytes) {
                        std::string header;
                        try {
                            client.Top(k, header, kMaxSummaryHeaderBytes);
                        } catch (const EDiraError&) {
                            // Reported without sender and subject.
                        }
                        ReportOversized(ctx, vermerk, key, wer, header, std::to_string(*size) + " Bytes groß",
                                        max_bytes);
                        limits.Succeeded();
                        if (!client.Connected()) {
                            alle = false;
                            break;
                        }
                        continue;
                    }
                    TMailMessage msg;
                    msg.MessageParts.AttachmentTempDirectory = ctx.TempFolder;
                    std::exception_ptr leseFehler;
                    if (!Abrufen(spool, msg, leseFehler,
                                 [&] { return client.RetrieveRaw(k, spool, size.value_or(0), max_bytes); })) {
                        Log(ctx, 3, wer + " kann nicht abgerufen werden und bleibt im Postfach: " +
                                        client.LastCmdResult.FormattedText().substr(
                                            0, client.LastCmdResult.FormattedText().find('\r')));
                        limits.Failed();
                        continue;
                    }
                    Log(ctx, 7, "Lese Nachricht " + std::to_string(k));
                    if (key.empty()) {
                        key = "sha256:" + spool.Hash();
                        gesehen.insert(key);
                        schon_abgelegt = vermerk.Enthaelt(key);
                    }
                    if (!schon_abgelegt) {
                        if (!Auswerten(ctx, spool, msg, leseFehler, wer, vermerk, key, eingriffe)) {
                            limits.Failed();
                            continue;
                        }
                        vermerk.Hinzufuegen(key);
                        Haltepunkt(haltepunkt::kVermerkt);
                        if (eingriffe.NachAblage) eingriffe.NachAblage();
                    }
                }
                if (schon_abgelegt) Log(ctx, 5, wer + " wurde schon abgelegt und wird nur noch gelöscht.");
                limits.Succeeded();
                Log(ctx, 7, "Lösche Nachricht " + std::to_string(k));
                if (client.Delete(k)) {
                    geloescht.insert(key);
                } else {
                    Log(ctx, 3, wer + " kann nicht gelöscht werden: " + client.LastCmdResult.FormattedText());
                }
                Log(ctx, 7, "Nachricht gelöscht: " + std::to_string(k));
            } catch (const EDiraError& e) {
                if (e.ErrorKind() == TErrorKind::ekTooLarge && !key.empty()) {
                    ReportOversized(ctx, vermerk, key, wer, "", "bei der Übertragung größer geworden", max_bytes);
                } else if (e.ErrorKind() == TErrorKind::ekCancelled) {
                    Log(ctx, 5, wer + " bleibt im Postfach: " + e.what());
                } else {
                    Log(ctx, 3, wer + " bleibt im Postfach: " + WithCause(e, "POP3-Server"));
                    limits.Failed();
                }
                if (ConnectionGone(e) || !client.Connected()) {
                    // A dialogue broken off in the middle cannot be ended
                    // with QUIT; waiting for its reply would only cost the
                    // time limit once more.
                    client.Disconnect(false);
                    alle = false;
                    break;
                }
            }
        }
        // Only a confirmed QUIT removes the marked mails; until then they
        // stay noted, so the next pass does not file them again.
        if (client.Quit()) {
            vermerk.Entfernen(geloescht);
            if (alle) vermerk.FehlversucheBehalten(gesehen);
        } else if (!geloescht.empty()) {
            Log(ctx, 3, "Der POP3-Server hat das Ende der Sitzung nicht bestätigt; " + std::to_string(geloescht.size()) +
                            " abgelegte Mails bleiben im Postfach und werden im nächsten Durchgang nur gelöscht.");
        }
        WriteDebug(ctx, "Lastendcheckmail");
        Log(ctx, 7, "Prüfung abgeschlossen.");
    } catch (const EDiraError& e) {
        Log(ctx, 3, std::string(kPop3PassError) + WithCause(e, "POP3-Server"));
    } catch (const std::exception& e) {
        Log(ctx, 3, std::string(kPop3PassError) + e.what());
    }
}

void CheckIMAPPostfach(TMailEmpfangContext& ctx, TMailIMAP4& imap, const TStopAnfrage& stop,
                       const TPostfachEingriffe& eingriffe) {
    WriteDebug(ctx, "Laststartcheckmail");
    imap.StopRequested = stop;
    if (!imap.Connected()) {
        Log(ctx, 5, "Verbinde zu IMAP-Server.");
        try {
            imap.Connect(true);
        } catch (const std::exception& e) {
            Log(ctx, 3, std::string(kImapConnectError) + e.what());
            imap.Disconnect();
            return;
        }
    }
    try {
        if (!imap.SelectMailBox("INBOX")) {
            throw EDiraError(TErrorKind::ekReply, "Auswahl von INBOX abgewiesen: " + imap.LastReply.Last);
        }
        Log(ctx, 5, "Inbox ausgewäht");
        if (imap.MailBox.ReadOnly) {
            // Nothing could be removed: filing would repeat every cycle.
            Log(ctx, 3, "INBOX ist nur lesbar geöffnet ([READ-ONLY]); die Mails werden nicht abgeholt.");
            return;
        }
        TPostfachVermerk vermerk(ctx.Home, "imap", imap.Host, imap.Port, imap.Username);
        TSpoolFile spool(SpoolOrdner(ctx));
        const std::uint64_t max_bytes = MaxMailBytes(ctx.Ini);
        TPassLimits limits(ctx, stop, eingriffe.Zeitbudget);
        const std::string validity = imap.MailBox.UIDValidity;
        // The mails the server really holds, whatever count it announced.
        std::vector<TIMAPFetchItems> mails;
        if (imap.MailBox.TotalMsgs > 0 && !imap.ListMessages(mails)) {
            throw EDiraError(TErrorKind::ekReply, "Die Liste der Mails in INBOX wurde abgewiesen: " + imap.LastReply.Last);
        }
        std::set<std::string> markiert;
        // Every mail of the mailbox met: failure counts of the others can go.
        std::set<std::string> gesehen;
        bool alle = true;
        bool beendet = false;
        for (std::size_t i = 0; i < mails.size() && !beendet; ++i) {
            if (!limits.MayGoOn(mails.size() - i)) {
                alle = false;
                break;
            }
            const TIMAPFetchItems& item = mails[i];
            const std::string wer = "Nachricht UID " + item.UID;
            const std::string key = validity + ":" + item.UID;
            gesehen.insert(key);
            try {
                // Flagged already: by another client (not ours to file), or
                // by a pass of ours whose session broke before the reply.
                if (item.Flags.count("\\Deleted") > 0) {
                    if (vermerk.Enthaelt(key)) markiert.insert(key);
                    continue;
                }
                if (vermerk.Enthaelt(key)) {
                    Log(ctx, 5, wer + " wurde schon abgelegt und wird nur noch gelöscht.");
                } else {
                    if (vermerk.IsOversized(key)) continue;
                    if (item.Size > max_bytes) {
                        std::string header;
                        try {
                            imap.FetchHeaderFields(item.UID, "FROM SUBJECT", header);
                        } catch (const EDiraError&) {
                            // Reported without sender and subject.
                        }
                        ReportOversized(ctx, vermerk, key, wer, header, std::to_string(item.Size) + " Bytes groß",
                                        max_bytes);
                        if (!imap.Connected()) throw EDiraError(TErrorKind::ekPeerClosed, kClosedGracefully);
                        continue;
                    }
                    TMailMessage msg;
                    msg.MessageParts.AttachmentTempDirectory = ctx.TempFolder;
                    std::exception_ptr leseFehler;
                    if (!Abrufen(spool, msg, leseFehler,
                                 [&] { return imap.RetrieveRawByUID(item.UID, spool, max_bytes); })) {
                        Log(ctx, 3, wer + " kann nicht abgerufen werden und bleibt im Postfach: " + imap.LastReply.Last);
                        limits.Failed();
                        continue;
                    }
                    if (!Auswerten(ctx, spool, msg, leseFehler, wer, vermerk, key, eingriffe)) {
                        limits.Failed();
                        continue;
                    }
                    vermerk.Hinzufuegen(key);
                    Haltepunkt(haltepunkt::kVermerkt);
                    if (eingriffe.NachAblage) eingriffe.NachAblage();
                }
                limits.Succeeded();
                if (!imap.UIDDeleteMsg(item.UID)) {
                    Log(ctx, 3, wer + " kann nicht als gelöscht markiert werden (" + imap.LastReply.Last +
                                    "); der Durchgang endet hier.");
                    beendet = true;
                    continue;
                }
                markiert.insert(key);
            } catch (const EDiraError& e) {
                if (e.ErrorKind() == TErrorKind::ekTooLarge) {
                    ReportOversized(ctx, vermerk, key, wer, "",
                                    "größer angekündigt als gelistet (" + std::string(e.what()) + ")", max_bytes);
                } else if (e.ErrorKind() == TErrorKind::ekCancelled) {
                    Log(ctx, 5, wer + " bleibt im Postfach: " + e.what());
                } else {
                    Log(ctx, 3, wer + " bleibt im Postfach: " + WithCause(e, "IMAP-Server"));
                    limits.Failed();
                }
                // The connection is closed already: the pass ends here and
                // the next one connects anew.
                if (e.ErrorKind() == TErrorKind::ekTooLarge || e.ErrorKind() == TErrorKind::ekCancelled) return;
                if (!imap.Connected() || ConnectionGone(e)) throw;
            }
        }
        if (beendet) return;
        if (!imap.ExpungeMailBox()) {
            Log(ctx, 3, "Das Löschen aus INBOX (EXPUNGE) wurde abgewiesen: " + imap.LastReply.Last);
            return;
        }
        // Gone from the server: so are the notes of this mailbox's earlier
        // generations (another UIDVALIDITY).
        std::set<std::string> weg = markiert;
        for (const std::string& key : vermerk.Eintraege()) {
            if (key.rfind(validity + ":", 0) != 0) weg.insert(key);
        }
        vermerk.Entfernen(weg);
        if (alle) vermerk.FehlversucheBehalten(gesehen);
        WriteDebug(ctx, "Lastendcheckmail");
    } catch (const EDiraError& e) {
        // A server that let a reply run out of time would most likely let
        // the new greeting do the same: the next pass connects instead.
        AfterImapPassFailure(ctx, imap, WithCause(e, "IMAP-Server"), e.ErrorKind() != TErrorKind::ekTimeout);
    } catch (const std::exception& e) {
        AfterImapPassFailure(ctx, imap, e.what(), true);
    }
}

}  // namespace kdv
