#pragma once
// Passes as the service runs them, for the tests of the incoming side: the
// connection settings read from the test's ini as the service reads them,
// and filers that stand in for the journal.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "incoming/mailbox_passes.h"
#include "service/mailbox_settings.h"

namespace kdv::testing {

// One POP3 pass with the settings of the context's ini.
inline void Pop3Pass(TMailEmpfangContext& ctx, const TStopAnfrage& stop = {}, const TPassOptions& options = {}) {
    CheckPOP3Postfach(ctx, ReadPop3Settings(ctx.Ini), stop, options);
}

// One POP3 pass with the settings of the context's ini and `filer`.
inline void Pop3Pass(TMailEmpfangContext& ctx, IMailFiler& filer, const TStopAnfrage& stop = {},
                     const TPassOptions& options = {}) {
    TPop3Mailbox mailbox(ctx, ReadPop3Settings(ctx.Ini));
    RunMailboxPass(ctx, mailbox, filer, stop, options);
}

// One IMAP pass over `imap` with `filer`.
inline void ImapPass(TMailEmpfangContext& ctx, TMailIMAP4& imap, IMailFiler& filer, const TStopAnfrage& stop = {},
                     const TPassOptions& options = {}) {
    TImapMailbox mailbox(ctx, imap);
    RunMailboxPass(ctx, mailbox, filer, stop, options);
}

// Files as the service does, except where `instead` gives an outcome of its
// own for a mail: then nothing is filed and that outcome stands.
class TStandInFiler final : public IMailFiler {
public:
    using TInstead = std::function<std::optional<TAuswertung>(const TMailMessage& msg)>;
    explicit TStandInFiler(TInstead instead) : instead_(std::move(instead)) {}

    TAuswertung File(TMailEmpfangContext& ctx, TMailMessage& msg) override {
        ++calls;
        last_raw_file = msg.RawFile;
        if (instead_) {
            if (std::optional<TAuswertung> outcome = instead_(msg)) return *outcome;
        }
        return FileMail(ctx, msg);
    }

    int calls = 0;
    std::filesystem::path last_raw_file;

private:
    TInstead instead_;
};

// A failure of the filer's own: lasting (the mail's own) or one that may pass.
inline TAuswertung FilerFailure(bool lasting, const std::string& reason = "Testfehler") {
    TAuswertung outcome;
    outcome.Ergebnis = TAuswertungsErgebnis::Fehlgeschlagen;
    outcome.Grund = reason;
    outcome.Dauerhaft = lasting;
    return outcome;
}

}  // namespace kdv::testing
