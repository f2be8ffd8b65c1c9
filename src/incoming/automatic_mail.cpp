#include "incoming/automatic_mail.h"

#include "mail/mail_address.h"
#include "mail/mail_text_util.h"
#include "platform/ascii_text.h"

namespace kdv {
namespace {

using mailtext::TrimBlanks;

constexpr std::string_view kDaemon = "MAILER-DAEMON";

std::string BareAddress(std::string_view text) {
    TMailEMailAddressItem item;
    item.SetText(text);
    return std::string(TrimBlanks(item.Address));
}

// The keyword of an Auto-Submitted value, without parameters or comment:
// "auto-replied (vacation)" and "auto-replied; owner-email=..." are both
// "auto-replied".
std::string_view AutoSubmittedKeyword(std::string_view value) {
    value = TrimBlanks(value);
    return value.substr(0, value.find_first_of(" \t;("));
}

std::string_view MediaType(std::string_view contentType) {
    return TrimBlanks(contentType.substr(0, contentType.find(';')));
}

// "<>", also written "< >" or left empty: the null sender of bounces.
bool IsEmptyPath(std::string_view value) {
    for (const char c : value) {
        if (c != '<' && c != '>' && !mailtext::IsBlankOrTab(c)) return false;
    }
    return true;
}

bool IsDaemon(const std::string& address) {
    TMailEMailAddressItem item(address, "");
    return !address.empty() && EqualsNoCase(item.User(), kDaemon);
}

}  // namespace

TAutomaticMail ClassifyAutomaticMail(const TMailHeaderList& headers, std::string_view ownAddress) {
    const std::string own = BareAddress(ownAddress);
    std::string autoSubmitted;
    bool reportType = false;
    bool returnPathSeen = false;
    bool emptyReturnPath = false;
    std::string returnPath;
    std::string from;
    // Every X-Loop counts: a mail that went through several lists carries one per list.
    for (const auto& [name, value] : headers.Unfolded()) {
        if (EqualsNoCase(name, "X-Loop")) {
            if (!own.empty() && EqualsNoCase(BareAddress(value), own)) {
                return {TAutomaticMailKind::OwnLoop, "eigene Mail des Dienstes (X-Loop: " + own + ")"};
            }
        } else if (EqualsNoCase(name, "Auto-Submitted")) {
            if (autoSubmitted.empty()) autoSubmitted = AutoSubmittedKeyword(value);
        } else if (EqualsNoCase(name, "Content-Type")) {
            reportType = reportType || EqualsNoCase(MediaType(value), "multipart/report");
        } else if (EqualsNoCase(name, "Return-Path")) {
            // The delivering server puts the envelope sender on top; later
            // ones were written by whoever sent the mail.
            if (!returnPathSeen) {
                returnPathSeen = true;
                emptyReturnPath = IsEmptyPath(value);
                returnPath = BareAddress(value);
            }
        } else if (EqualsNoCase(name, "From")) {
            if (from.empty()) from = BareAddress(value);
        }
    }
    // "no" is a person's mail; "auto-generated" is what alarm systems send,
    // and those are what the journal is for.
    if (!autoSubmitted.empty() && !EqualsNoCase(autoSubmitted, "no") &&
        !EqualsNoCase(autoSubmitted, "auto-generated")) {
        return {TAutomaticMailKind::ReplyOrBounce, "automatische Antwort (Auto-Submitted: " + autoSubmitted + ")"};
    }
    if (reportType) return {TAutomaticMailKind::ReplyOrBounce, "Zustellbericht (multipart/report)"};
    if (returnPathSeen && emptyReturnPath) {
        return {TAutomaticMailKind::ReplyOrBounce, "Unzustellbarkeitsnachricht (leerer Absender: Return-Path: <>)"};
    }
    if (IsDaemon(from) || IsDaemon(returnPath)) {
        return {TAutomaticMailKind::ReplyOrBounce, "Unzustellbarkeitsnachricht (Absender MAILER-DAEMON)"};
    }
    return {};
}

}  // namespace kdv
