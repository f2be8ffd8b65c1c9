#pragma once
// A mail that arrived in a mailbox, read back by the service's own MIME
// reader for the tests' checks.
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mail/mail_message.h"
#include "mail/mail_message_parts.h"
#include "mail/mime_reader.h"

namespace kdv::testing {

// The mail's attachments as name and decoded bytes, in their order.
inline std::vector<std::pair<std::string, std::string>> MailAttachments(const std::string& raw) {
    TMailMessage message;
    LoadMessageFromMemory(message, raw);
    std::vector<std::pair<std::string, std::string>> found;
    for (std::size_t i = 0; i < message.MessageParts.Count(); ++i) {
        TMailMessagePart& part = message.MessageParts[i];
        if (part.PartType() != TMailPartType::mptAttachment) continue;
        std::ostringstream bytes;
        static_cast<TMailAttachment&>(part).SaveToStream(bytes);
        found.emplace_back(part.FileName, bytes.str());
    }
    return found;
}

}  // namespace kdv::testing
