#include "incoming/mailbox_passes.h"

#include <exception>
#include <optional>

namespace kdv {

void CheckPOP3Postfach(TMailEmpfangContext& ctx, const TPop3Settings& settings, const TStopAnfrage& stop,
                       const TPassOptions& options) {
    TJournalFiler filer;
    std::optional<TPop3Mailbox> mailbox;
    try {
        mailbox.emplace(ctx, settings);
    } catch (const std::exception& e) {
        try {
            ctx.Log.Add(3, std::string(kPop3PassError) + e.what());
        } catch (...) {
            // Nothing more to tell it with.
        }
        return;
    }
    RunMailboxPass(ctx, *mailbox, filer, stop, options);
}

void CheckIMAPPostfach(TMailEmpfangContext& ctx, TMailIMAP4& imap, const TStopAnfrage& stop,
                       const TPassOptions& options) {
    TJournalFiler filer;
    TImapMailbox mailbox(ctx, imap);
    RunMailboxPass(ctx, mailbox, filer, stop, options);
}

}  // namespace kdv
