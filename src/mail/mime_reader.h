#pragma once
// Turns the raw text of one received mail into a TMailMessage: headers,
// addresses, text parts in memory and attachments streamed into temporary
// files as they are decoded.
#include "mail/mail_line_source.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kdv {

class TMailMessage;

// A mail with more parts than this is no correspondence but an attack on the
// disk (every part without a type becomes a temporary file); reading it fails.
inline constexpr std::size_t kMaxMessageParts = 10000;

class TMailMessageReader {
public:
    explicit TMailMessageReader(TMailLineSource& source) : source_(source) {}

    // Reads the header block into message.Headers and runs ProcessHeaders.
    // Returns the line that ended the block: "" for the blank line, "." when
    // the message ended inside the header block.
    std::string ReadMessageHeader(TMailMessage& message);

    // Reads the rest of the message into Body and MessageParts. Raises
    // EDiraError on read failures, an unrecognised UUE block ("Nicht
    // erkanntes UUE-Codierungsschema.") and more than kMaxMessageParts parts;
    // the message then holds what was read so far, and every temporary file
    // made so far belongs to a part of it.
    void ReadMessageBody(TMailMessage& message);

    // Clears the message, then ReadMessageHeader and, when the header block
    // ended with a blank line, ReadMessageBody.
    void ProcessMessage(TMailMessage& message);

private:
    TMailLineSource& source_;
};

// Fills the message's fields from its raw Headers (content type and charset,
// subject, addresses, ids, date, priority, boundary, MIME or plain).
void ProcessHeaders(TMailMessage& message);

// The IMAP road: reads a complete mail held in memory into the message
// (cleared first). `mail` is the mail text itself, not dot-stuffed.
void LoadMessageFromMemory(TMailMessage& message, std::string_view mail);

}  // namespace kdv
