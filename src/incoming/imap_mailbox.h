#pragma once
// The IMAP INBOX as the pass sees it: the mails the server lists, oldest
// first, each keyed by UIDVALIDITY and UID, flagged \Deleted and removed
// for good by a confirmed EXPUNGE. The connection is the service's
// long-lived one and stays open for the next pass.
#include <string>
#include <vector>

#include "clients/mail_imap4.h"
#include "incoming/mailbox.h"

namespace kdv {

// What the log says before the reason when the IMAP server cannot be reached.
inline constexpr const char* kImapConnectError = "Verbindungsfehler IMAP: ";

class TImapMailbox final : public IMailbox {
public:
    TImapMailbox(TMailEmpfangContext& ctx, TMailIMAP4& imap) : ctx_(ctx), imap_(imap) {}

    bool Open(const TStopAnfrage& stop) override;
    std::optional<TMailboxIdentity> Identity() const override;
    std::size_t Count() const override { return mails_.size(); }
    std::string Name(std::size_t i) const override { return "Nachricht UID " + mails_[i].UID; }
    std::string Key(std::size_t i) override { return validity_ + ":" + mails_[i].UID; }
    bool FlaggedRemoved(std::size_t i) const override { return mails_[i].Flags.count("\\Deleted") > 0; }
    std::optional<std::uint64_t> Size(std::size_t i) override { return mails_[i].Size; }
    std::string SummaryHeader(std::size_t i) override;
    bool Fetch(std::size_t i, TByteSink& sink, std::optional<std::uint64_t> size, std::uint64_t max_bytes) override;
    std::string RefusalText() const override { return imap_.LastReply.Last; }
    TRemoval Remove(std::size_t i) override;
    bool Connected() override { return imap_.Connected(); }
    bool Commit(std::size_t removed) override;
    bool IsStaleKey(const std::string& key) const override { return key.rfind(validity_ + ":", 0) != 0; }
    const char* ServerName() const override { return "IMAP-Server"; }
    std::string GrewText(const EDiraError& error) const override;
    TAfterLoss AfterLoss(const EDiraError& error) override;
    void PassFailed(const std::string& reason, TErrorKind kind) override;

private:
    TMailEmpfangContext& ctx_;
    TMailIMAP4& imap_;
    std::string validity_;
    std::vector<TIMAPFetchItems> mails_;
};

}  // namespace kdv
