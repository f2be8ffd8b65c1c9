#pragma once
// Mails that no person wrote: the service's own mails coming back, and the
// replies and bounces of other programs. Filing them would mail them on
// (NeueMail, a reviewer address), and two installations could answer each
// other for ever; so they are told apart before the sender check.
#include <string>
#include <string_view>

#include "mail/mail_header_list.h"

namespace kdv {

enum class TAutomaticMailKind {
    // Written by a person, or by a program that announces nothing but
    // "auto-generated" (alarm systems): filed as usual.
    None,
    // Carries the service's own X-Loop header: a mail it sent itself.
    OwnLoop,
    // An out-of-office reply or a delivery report: kept, not filed.
    ReplyOrBounce,
};

struct TAutomaticMail {
    TAutomaticMailKind Kind = TAutomaticMailKind::None;
    // Which sign gave it away (German, for the log); empty for None.
    std::string Reason;
};

// Looks at the received header block. `ownAddress` is the address the
// service sends from and writes into X-Loop; an empty one matches no mail.
TAutomaticMail ClassifyAutomaticMail(const TMailHeaderList& headers, std::string_view ownAddress);

}  // namespace kdv
