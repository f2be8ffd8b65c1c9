#pragma once
// One pass over a mailbox, the same for a POP3 mailbox, an IMAP INBOX and
// the files of an import: every mail is fetched into the pass's spool, read
// while it arrives, handed to the filer, kept where its outcome says, noted
// in the mailbox's record and removed once it is filed, turned away or kept.
// A mail whose filing failed stays for the next pass, unless it failed for a
// reason of its own in kMaxFehlversuche passes: then it is kept in Fehler
// and removed. A mail that was filed is noted until the server has removed
// it, so no pass files it twice.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "incoming/mail_empfang_context.h"
#include "incoming/mailbox.h"
#include "incoming/message_evaluation.h"
#include "incoming/pass_limits.h"

namespace kdv {

// Mails larger than this many MiB ([Maileingang] MaxMB) are not fetched:
// they stay in the mailbox.
inline constexpr int kMaxMBVorgabe = 50;

// What became of one mail the pass evaluated or failed to fetch, told once
// it is settled and noted, before the mail leaves the mailbox.
struct TMailFate {
    std::string name;
    const TAuswertung& outcome;
};

struct TPassOptions {
    // How long the pass may start new mails.
    std::chrono::steady_clock::duration time_budget = kPassTimeBudget;
    // The largest mail fetched; 0 takes [Maileingang] MaxMB.
    std::uint64_t max_mail_bytes = 0;
    // Told of every mail's fate; may be empty.
    std::function<void(const TMailFate&)> on_mail;
};

// [Maileingang] MaxMB in bytes.
std::uint64_t MaxMailBytes(const TIniFile& ini);

// Runs one pass. Never raises: every failure is logged, by the pass or by
// the mailbox.
void RunMailboxPass(TMailEmpfangContext& ctx, IMailbox& mailbox, IMailFiler& filer, const TStopAnfrage& stop,
                    const TPassOptions& options = {});

// The failure's message and, where the message alone names no cause or the
// wrong one, the cause after it: a server that closed or reset the
// connection in the middle of the dialogue lost it, it did not end it.
std::string WithCause(const EDiraError& error, const char* server);

}  // namespace kdv
