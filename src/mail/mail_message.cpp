#include "mail/mail_message.h"

#include "mail/mail_header_params.h"
#include "mail/mail_text_util.h"

namespace kdv {
using namespace mailtext;

void TMailMIMEBoundary::Push(std::string boundary, int parentPart) {
    entries_.emplace_back(std::move(boundary), parentPart);
}

void TMailMIMEBoundary::Pop() {
    if (!entries_.empty()) entries_.pop_back();
}

std::string TMailMIMEBoundary::Boundary() const { return entries_.empty() ? std::string() : entries_.back().first; }

int TMailMIMEBoundary::ParentPart() const { return entries_.empty() ? -1 : entries_.back().second; }

TMailMessage::TMailMessage() { Clear(); }

TMailEMailAddressItem& TMailMessage::From() {
    if (FromList.Empty()) FromList.Add();
    return FromList[0];
}

void TMailMessage::Clear() {
    ClearHeader();
    ClearBody();
}

void TMailMessage::ClearHeader() {
    CCList.Clear();
    BccList.Clear();
    FromList.Clear();
    ReplyTo.Clear();
    Recipients.Clear();
    NewsGroups.clear();
    Headers.Clear();
    ExtraHeaders.Clear();
    LastGeneratedHeaders.Clear();
    MIMEBoundary.Clear();
    Subject.clear();
    Organization.clear();
    References.clear();
    contentType_.clear();
    CharSet.clear();
    ContentTransferEncoding.clear();
    ContentDisposition.clear();
    MsgId.clear();
    InReplyTo.clear();
    Sender.Clear();
    ReceiptRecipient.Clear();
    Date = LocalTime{};
    Priority = TMailPriority::mpNormal;
    // A cleared message is in its initial state, where the attachment
    // encoder family is MIME although the encoding is still undecided.
    encoding_ = TMailEncoding::meDefault;
    MessageParts.AttachmentEncoding = "MIME";
    ConvertPreamble = true;
    IsMsgSinglePartMime = false;
    RawFile.clear();
}

void TMailMessage::ClearBody() {
    MessageParts.Clear();
    Body.clear();
}

bool TMailMessage::IsBodyEmpty() const {
    for (const std::string_view line : Body) {
        if (line.find_first_not_of(" \t\r\n") != std::string_view::npos) return false;
    }
    return true;
}

void TMailMessage::SetEncoding(TMailEncoding encoding) {
    encoding_ = encoding;
    MessageParts.AttachmentEncoding = encoding == TMailEncoding::meMIME ? "MIME" : "UUE";
}

void TMailMessage::SetContentType(std::string_view value) {
    if (TrimBlanks(value).empty()) {
        contentType_ = "text/plain";
        if (!Loading) CharSet = "us-ascii";
        return;
    }
    const std::optional<std::string> charset = FindHeaderParam(value, "charset");
    contentType_ = RemoveHeaderParam(value, "charset");
    if (charset) {
        CharSet = *charset;
    } else {
        CharSet.clear();
        if (StartsWithNoCase(HeaderItem(contentType_), "text/")) CharSet = "us-ascii";
    }
}

}  // namespace kdv
