#pragma once
// Turns the raw text of one received mail into a TMailMessage: headers,
// addresses, text parts in memory and attachments streamed into temporary
// files as they are decoded.
#include "mail/mail_limits.h"
#include "mail/mail_line_source.h"
#include "mail/unread_line_source.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kdv {

class TMailMessage;

class TMailMessageReader {
public:
    explicit TMailMessageReader(TMailLineSource& source) : source_(source) {}

    // Reads the header block into message.Headers and runs ProcessHeaders.
    // The block ends at a blank line, or at the first line that is no header
    // line (neither a field "name:" nor a continuation), which is then the
    // first line of the body. Returns "" when a body follows, "." when the
    // message ended inside the header block.
    std::string ReadMessageHeader(TMailMessage& message);

    // Reads the rest of the message into Body and MessageParts. Raises
    // EDiraError on read failures, more than kMaxMessageParts parts,
    // multiparts nested deeper than kMaxMultipartDepth and more than
    // kMaxMessageTextBytes of text; the message then holds what was read so
    // far, and every temporary file made so far belongs to a part of it.
    void ReadMessageBody(TMailMessage& message);

    // Clears the message, then ReadMessageHeader and, when a body follows,
    // ReadMessageBody.
    void ProcessMessage(TMailMessage& message);

private:
    TUnreadLineSource source_;
};

// Fills the message's fields from its raw Headers (content type and charset,
// subject, addresses, ids, date, priority, boundary, MIME or plain).
void ProcessHeaders(TMailMessage& message);

// The IMAP road: reads a complete mail held in memory into the message
// (cleared first). `mail` is the mail text itself, not dot-stuffed.
void LoadMessageFromMemory(TMailMessage& message, std::string_view mail);

}  // namespace kdv
