#include "incoming/mailbox_pass.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

#include "incoming/filing_fault_point.h"
#include "incoming/kept_mail.h"
#include "incoming/mailbox_record.h"
#include "incoming/spooled_mail.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "net/mail_io_handler.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

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
void ReportOversized(TMailEmpfangContext& ctx, std::optional<TPostfachVermerk>& record, const std::string& key,
                     const std::string& name, const std::string& header, const std::string& size_text,
                     std::uint64_t max_bytes) {
    LogQuietly(ctx, 3, name + DescribeHeader(header) + " ist " + size_text + ", mehr als [Maileingang] MaxMB = " +
                    std::to_string(max_bytes / (1024 * 1024)) +
                    " MB; sie wird nicht abgerufen und bleibt im Postfach, wo sie mit einem Mailprogramm gelesen "
                    "werden kann.");
    if (key.empty() || !record) return;
    try {
        record->NoteOversized(key);
    } catch (const std::exception& e) {
        LogQuietly(ctx, 3, e.what());
    }
}

// The service's own temporary folder; without one (a tool, a test) the
// system's.
std::filesystem::path SpoolFolder(const TMailEmpfangContext& ctx) {
    return ctx.TempFolder.empty() ? std::filesystem::temp_directory_path() : ctx.TempFolder;
}

// A mail that failed in an earlier pass was kept in Fehler for the operator
// to import again; now that it is filed whole, that copy would only file it
// a second time.
void RemoveOutdatedCopy(TMailEmpfangContext& ctx, const TSpoolFile& spool, const std::string& name) {
    const std::filesystem::path folder = ctx.Home / kFehlerOrdner;
    std::error_code error;
    if (std::filesystem::is_empty(folder, error) || error) return;
    const std::filesystem::path copy = KeptMailPath(folder, spool.Hash());
    if (!std::filesystem::remove(copy, error)) return;
    LogQuietly(ctx, 5, name + " ist nun abgelegt; ihre Kopie " + PathToUtf8(copy) + " aus einem früheren Durchgang ist entfernt.");
}

// Fetches one mail into the spool while another thread reads it into `msg`,
// so a large mail is read while the connection waits for the server. False
// when the server refused the mail. `read_failure` is the reader's failure.
bool FetchAndRead(TSpoolFile& spool, TMailMessage& msg, std::exception_ptr& read_failure,
                  const std::function<bool()>& fetch) {
    spool.Restart();
    TSpoolReader reader(spool, msg);
    if (!fetch()) return false;
    spool.Finish();
    read_failure = reader.Wait();
    return true;
}

// Files the mail read into `msg` (or that failed to be, with
// `read_failure`) and keeps its raw text where the outcome says.
TAuswertung Evaluate(TMailEmpfangContext& ctx, IMailFiler& filer, const TSpoolFile& spool, TMailMessage& msg,
                     const std::exception_ptr& read_failure) {
    TAuswertung outcome;
    if (read_failure) {
        try {
            std::rethrow_exception(read_failure);
        } catch (const std::exception& e) {
            outcome = UnlesbareMail(ctx, e.what());
        }
    } else {
        outcome = filer.File(ctx, msg);
    }
    KeepAfterOutcome(ctx, spool.Path(), outcome);
    return outcome;
}

// Whether the evaluated mail may leave the mailbox: filed, turned away, or
// kept whole in Fehler after its last attempt. Logs why it stays.
bool MayLeave(TMailEmpfangContext& ctx, const TSpoolFile& spool, const TMailMessage& msg, bool read,
              const TAuswertung& outcome, const std::string& name, TPostfachVermerk& record, const std::string& key) {
    if (outcome.Ergebnis != TAuswertungsErgebnis::Fehlgeschlagen) return true;
    std::string sender;
    std::string subject;
    if (read) {
        sender = msg.FromList.Empty() ? "" : msg.FromList[0].Address;
        subject = msg.Subject;
    }
    const std::string who = name + " (Absender: " + sender + ", Betreff: " + subject + ")";
    if (!outcome.Dauerhaft) {
        // The database or the attachment folder: the next pass may succeed.
        LogQuietly(ctx, 3, who + " bleibt im Postfach: " + outcome.Grund);
        return false;
    }
    const int attempts = record.Fehlversuch(key);
    if (attempts < kMaxFehlversuche) {
        LogQuietly(ctx, 3, who + " bleibt im Postfach: " + outcome.Grund + " (Fehlversuch " + std::to_string(attempts) +
                        " von " + std::to_string(kMaxFehlversuche) + ")");
        return false;
    }
    const std::string failed = who + " ist in " + std::to_string(attempts) + " Durchgängen gescheitert (" +
                               outcome.Grund + ")";
    try {
        const auto copy = KeepRawMail(ctx.Home / kFehlerOrdner, spool.Path());
        LogQuietly(ctx, 3, failed + "; aufbewahrt als " + PathToUtf8(copy) + " und aus dem Postfach entfernt.");
        return true;
    } catch (const std::exception& e) {
        LogQuietly(ctx, 3, failed + "; sie bleibt im Postfach, weil sie nicht aufbewahrt werden kann: " + e.what());
        return false;
    }
}

void Tell(const TPassOptions& options, const std::string& name, const TAuswertung& outcome) {
    if (options.on_mail) options.on_mail(TMailFate{name, outcome});
}

}  // namespace

std::string WithCause(const EDiraError& error, const char* server) {
    if (error.ErrorKind() != TErrorKind::ekPeerClosed) return error.what();
    return std::string(error.what()) + " (Verbindung zum " + server + " verloren: sie wurde mitten im Dialog beendet.)";
}

std::uint64_t MaxMailBytes(const TIniFile& ini) {
    int max_mb = ini.ReadInteger("Maileingang", "MaxMB", kMaxMBVorgabe);
    if (max_mb < 1) max_mb = kMaxMBVorgabe;
    return static_cast<std::uint64_t>(max_mb) * 1024 * 1024;
}

void RunMailboxPass(TMailEmpfangContext& ctx, IMailbox& mailbox, IMailFiler& filer, const TStopAnfrage& stop,
                    const TPassOptions& options) {
    try {
        if (!mailbox.Open(stop)) return;
        const std::optional<TMailboxIdentity> identity = mailbox.Identity();
        std::optional<TPostfachVermerk> record;
        if (identity) record.emplace(ctx.Home, identity->protocol, identity->host, identity->port, identity->user);
        TSpoolFile spool(SpoolFolder(ctx));
        const std::uint64_t max_bytes = options.max_mail_bytes > 0 ? options.max_mail_bytes : MaxMailBytes(ctx.Ini);
        TPassLimits limits(ctx, stop, options.time_budget);
        std::set<std::string> removed;
        // Every mail of the mailbox met: failure counts of the others can go.
        std::set<std::string> seen;
        bool all = true;
        const std::size_t count = mailbox.Count();
        for (std::size_t i = 0; i < count; ++i) {
            if (!limits.MayGoOn(count - i)) {
                all = false;
                break;
            }
            const std::string name = mailbox.Name(i);
            std::string key;
            try {
                key = mailbox.Key(i);
                if (!key.empty()) seen.insert(key);
                if (mailbox.FlaggedRemoved(i)) {
                    if (record && record->Enthaelt(key)) removed.insert(key);
                    continue;
                }
                if (record && !key.empty() && record->IsOversized(key)) {
                    limits.Succeeded();
                    continue;
                }
                bool already = record && !key.empty() && record->Enthaelt(key);
                if (!already) {
                    const std::optional<std::uint64_t> size = mailbox.Size(i);
                    if (size && *size > max_bytes) {
                        ReportOversized(ctx, record, key, name, mailbox.SummaryHeader(i),
                                        std::to_string(*size) + " Bytes groß", max_bytes);
                        limits.Succeeded();
                        if (!mailbox.Connected()) throw EDiraError(TErrorKind::ekPeerClosed, kClosedGracefully);
                        continue;
                    }
                    TMailMessage msg;
                    msg.MessageParts.AttachmentTempDirectory = ctx.TempFolder;
                    std::exception_ptr read_failure;
                    if (!FetchAndRead(spool, msg, read_failure,
                                      [&] { return mailbox.Fetch(i, spool, size, max_bytes); })) {
                        LogQuietly(ctx, 3, name + " kann nicht abgerufen werden und bleibt im Postfach: " +
                                        mailbox.RefusalText());
                        limits.Failed();
                        continue;
                    }
                    if (key.empty() && record) {
                        key = "sha256:" + spool.Hash();
                        seen.insert(key);
                        already = record->Enthaelt(key);
                    }
                    if (!already) {
                        const TAuswertung outcome = Evaluate(ctx, filer, spool, msg, read_failure);
                        if (!record) {
                            Tell(options, name, outcome);
                            if (NichtVollstaendig(outcome)) {
                                limits.Failed();
                            } else {
                                limits.Succeeded();
                            }
                            continue;
                        }
                        if (outcome.Ergebnis == TAuswertungsErgebnis::Abgelegt && !NichtVollstaendig(outcome)) {
                            RemoveOutdatedCopy(ctx, spool, name);
                        }
                        if (!MayLeave(ctx, spool, msg, read_failure == nullptr, outcome, name, *record, key)) {
                            Tell(options, name, outcome);
                            limits.Failed();
                            continue;
                        }
                        record->Hinzufuegen(key);
                        Haltepunkt(haltepunkt::kVermerkt);
                        Tell(options, name, outcome);
                    }
                }
                if (already) LogQuietly(ctx, 5, name + " wurde schon abgelegt und wird nur noch gelöscht.");
                limits.Succeeded();
                switch (mailbox.Remove(i)) {
                    case TRemoval::Marked:
                        removed.insert(key);
                        break;
                    case TRemoval::Refused:
                        break;
                    case TRemoval::RefusedEndPass:
                        return;
                }
            } catch (const EDiraError& e) {
                if (e.ErrorKind() == TErrorKind::ekTooLarge && !key.empty()) {
                    ReportOversized(ctx, record, key, name, "", mailbox.GrewText(e), max_bytes);
                } else if (e.ErrorKind() == TErrorKind::ekCancelled) {
                    LogQuietly(ctx, 5, mailbox.Stays(name) + ": " + e.what());
                } else {
                    LogQuietly(ctx, 3, mailbox.Stays(name) + ": " + WithCause(e, mailbox.ServerName()));
                    limits.Failed();
                    TAuswertung failed;
                    failed.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
                    failed.Grund = e.what();
                    Tell(options, name, failed);
                }
                if (ConnectionGone(e) || !mailbox.Connected()) {
                    all = false;
                    if (mailbox.AfterLoss(e) == TAfterLoss::EndPass) return;
                    break;
                }
            }
        }
        if (!record) return;
        // Only a confirmed end removes the marked mails; until then they
        // stay noted, so the next pass does not file them again.
        if (!mailbox.Commit(removed.size())) return;
        // Gone from the server: so are the notes of the mailbox's earlier
        // generations.
        std::set<std::string> gone = removed;
        for (const std::string& noted : record->Eintraege()) {
            if (mailbox.IsStaleKey(noted)) gone.insert(noted);
        }
        record->Entfernen(gone);
        if (all) record->FehlversucheBehalten(seen);
    } catch (const EDiraError& e) {
        mailbox.PassFailed(WithCause(e, mailbox.ServerName()), e.ErrorKind());
    } catch (const std::exception& e) {
        mailbox.PassFailed(e.what(), TErrorKind::ekOther);
    }
}

}  // namespace kdv
