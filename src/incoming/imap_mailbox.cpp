#include "incoming/imap_mailbox.h"

#include "incoming/debug_stamp.h"
#include "incoming/mailbox_pass.h"

namespace kdv {

bool TImapMailbox::Open(const TStopAnfrage& stop) {
    WriteDebugStamp(ctx_, "Laststartcheckmail");
    imap_.StopRequested = stop;
    if (!imap_.Connected()) {
        LogQuietly(ctx_, 5, "Verbinde zu IMAP-Server.");
        try {
            imap_.Connect(true);
        } catch (const std::exception& e) {
            LogQuietly(ctx_, 3, std::string(kImapConnectError) + e.what());
            imap_.Disconnect();
            return false;
        }
    }
    if (!imap_.SelectMailBox("INBOX")) {
        throw EDiraError(TErrorKind::ekReply, "Auswahl von INBOX abgewiesen: " + imap_.LastReply.Last);
    }
    LogQuietly(ctx_, 5, "Inbox ausgewäht");
    if (imap_.MailBox.ReadOnly) {
        // Nothing could be removed: filing would repeat every cycle.
        LogQuietly(ctx_, 3, "INBOX ist nur lesbar geöffnet ([READ-ONLY]); die Mails werden nicht abgeholt.");
        return false;
    }
    validity_ = imap_.MailBox.UIDValidity;
    // The mails the server really holds, whatever count it announced.
    mails_.clear();
    if (imap_.MailBox.TotalMsgs > 0 && !imap_.ListMessages(mails_)) {
        throw EDiraError(TErrorKind::ekReply, "Die Liste der Mails in INBOX wurde abgewiesen: " + imap_.LastReply.Last);
    }
    return true;
}

std::optional<TMailboxIdentity> TImapMailbox::Identity() const {
    return TMailboxIdentity{"imap", imap_.Host, imap_.Port, imap_.Username};
}

std::string TImapMailbox::SummaryHeader(std::size_t i) {
    std::string header;
    try {
        imap_.FetchHeaderFields(mails_[i].UID, "FROM SUBJECT", header);
    } catch (const EDiraError&) {
        // Reported without sender and subject.
        header.clear();
    }
    return header;
}

bool TImapMailbox::Fetch(std::size_t i, TByteSink& sink, std::optional<std::uint64_t>, std::uint64_t max_bytes) {
    return imap_.RetrieveRawByUID(mails_[i].UID, sink, max_bytes);
}

TRemoval TImapMailbox::Remove(std::size_t i) {
    if (imap_.UIDDeleteMsg(mails_[i].UID)) return TRemoval::Marked;
    LogQuietly(ctx_, 3, Name(i) + " kann nicht als gelöscht markiert werden (" + imap_.LastReply.Last +
                     "); der Durchgang endet hier.");
    return TRemoval::RefusedEndPass;
}

bool TImapMailbox::Commit(std::size_t) {
    if (!imap_.ExpungeMailBox()) {
        LogQuietly(ctx_, 3, "Das Löschen aus INBOX (EXPUNGE) wurde abgewiesen: " + imap_.LastReply.Last);
        return false;
    }
    WriteDebugStamp(ctx_, "Lastendcheckmail");
    return true;
}

std::string TImapMailbox::GrewText(const EDiraError& error) const {
    return "größer angekündigt als gelistet (" + std::string(error.what()) + ")";
}

TAfterLoss TImapMailbox::AfterLoss(const EDiraError& error) {
    // Closed already by the client: the next pass connects anew.
    if (error.ErrorKind() == TErrorKind::ekTooLarge || error.ErrorKind() == TErrorKind::ekCancelled) {
        return TAfterLoss::EndPass;
    }
    PassFailed(WithCause(error, ServerName()), error.ErrorKind());
    return TAfterLoss::EndPass;
}

void TImapMailbox::PassFailed(const std::string& reason, TErrorKind kind) {
    LogQuietly(ctx_, 3, "Verbindungsfehler2 IMAP: " + reason);
    imap_.Disconnect();
    // A server that let a reply run out of time would most likely let the
    // new greeting do the same: the next pass connects instead.
    if (kind == TErrorKind::ekTimeout) return;
    try {
        imap_.Connect(true);
    } catch (const std::exception& again) {
        LogQuietly(ctx_, 3, std::string(kImapConnectError) + again.what());
    }
}

}  // namespace kdv
