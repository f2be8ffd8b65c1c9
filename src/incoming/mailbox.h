#pragma once
// What the pass needs of a place mails are taken from: a POP3 mailbox, an
// IMAP INBOX, or mail files given to an import. The pass asks for the mails
// one at a time in the mailbox's own order, fetches each into its spool and
// tells the mailbox which mails may go; the mailbox speaks its protocol and
// writes the lines only it can word.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "incoming/mail_empfang_context.h"
#include "mail/byte_sink.h"
#include "platform/dira_error.h"

namespace kdv {

// The header of a mail left in the mailbox is read for its sender and
// subject; a server sending more than this is not asked further.
inline constexpr std::size_t kMaxSummaryHeaderBytes = 64 * 1024;

// Asked between two mails: true ends the pass after the mail in hand.
using TStopAnfrage = std::function<bool()>;

// The server and account whose record of filed mails a mailbox has.
struct TMailboxIdentity {
    std::string protocol;  // "pop3", "imap"
    std::string host;
    int port = 0;
    std::string user;
};

// What became of a request to remove a mail.
enum class TRemoval {
    Marked,        // it goes once the pass is committed
    Refused,       // it stays; the pass goes on (logged by the mailbox)
    RefusedEndPass // it stays and the pass ends uncommitted (logged by the mailbox)
};

// How a pass goes on after the connection was lost in the middle of a mail.
enum class TAfterLoss {
    Commit,  // end the loop and commit what can be (it may be refused)
    EndPass  // end at once; the mailbox has logged and cleaned up
};

class IMailbox {
public:
    virtual ~IMailbox() = default;

    // Connects, logs in and opens the mailbox. Raises EDiraError; false ends
    // the pass quietly, the reason logged by the mailbox.
    virtual bool Open(const TStopAnfrage& stop) = 0;
    // Whose record of filed mails this is; nothing for mails that have no
    // place to stay (files), which are neither noted nor removed.
    virtual std::optional<TMailboxIdentity> Identity() const = 0;
    // How many mails the pass meets.
    virtual std::size_t Count() const = 0;
    // The mail's name in the log ("Nachricht 3", "Nachricht UID 17", a path).
    virtual std::string Name(std::size_t i) const = 0;
    // The mail's key in the record; empty when the server gives none, and
    // the pass keys it by its text's hash once fetched.
    virtual std::string Key(std::size_t i) = 0;
    // Flagged for removal already (by us before a broken session, or by
    // another client): not ours to fetch.
    virtual bool FlaggedRemoved(std::size_t /*i*/) const { return false; }
    // The size the server announces, if it does.
    virtual std::optional<std::uint64_t> Size(std::size_t i) = 0;
    // The mail's header lines for the report of a mail too large to fetch;
    // empty when the server gives none. Never raises.
    virtual std::string SummaryHeader(std::size_t i) = 0;
    // Fetches the mail's raw text into `sink`, at most `max_bytes` (raising
    // EDiraError of kind ekTooLarge beyond). False when the server refused
    // it (RefusalText says how).
    virtual bool Fetch(std::size_t i, TByteSink& sink, std::optional<std::uint64_t> size,
                       std::uint64_t max_bytes) = 0;
    virtual std::string RefusalText() const = 0;
    // Asks the server to remove the mail.
    virtual TRemoval Remove(std::size_t i) = 0;
    virtual bool Connected() = 0;
    // After the loop: makes the removals final. True when the server
    // confirmed; `removed` is how many mails were marked.
    virtual bool Commit(std::size_t removed) = 0;
    // The keys of the record that belong to earlier generations of the
    // mailbox and may go once a commit is confirmed.
    virtual bool IsStaleKey(const std::string& /*key*/) const { return false; }

    // The words for a mail that stays where it is: "Nachricht 3 bleibt im
    // Postfach", "Mail x.eml kann nicht importiert werden".
    virtual std::string Stays(const std::string& name) const { return name + " bleibt im Postfach"; }
    // The server named in a lost connection's cause ("POP3-Server").
    virtual const char* ServerName() const = 0;
    // The words for a mail the transfer found larger than the limit.
    virtual std::string GrewText(const EDiraError& error) const = 0;
    // The connection broke in the middle of a mail.
    virtual TAfterLoss AfterLoss(const EDiraError& error) = 0;
    // The pass failed outside a single mail (Open, the listing, the spool):
    // `reason` with its cause, `kind` the failure's kind (ekOther for one
    // that is no EDiraError). Logs it. Never raises.
    virtual void PassFailed(const std::string& reason, TErrorKind kind) = 0;
};

}  // namespace kdv
