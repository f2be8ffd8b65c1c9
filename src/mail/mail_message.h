#pragma once
// The in-memory form of one e-mail: header fields, address lists, a plain
// body and an ordered collection of parts. The message owns everything it
// holds; clearing or destroying it destroys its parts and their temporary
// files.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mail_address.h"
#include "mail/mail_header_list.h"
#include "mail/mail_lines.h"
#include "mail/mail_message_parts.h"
#include "platform/clock.h"

namespace kdv {

enum class TMailEncoding { meDefault, meMIME, mePlainText };

enum class TMailPriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

// The boundaries in use while a message is written or read, newest on top,
// each with the index of the multipart part it belongs to (-1: the message).
class TMailMIMEBoundary {
public:
    void Push(std::string boundary, int parentPart);
    // Removes the newest entry; nothing happens when the stack is empty.
    void Pop();
    void Clear() { entries_.clear(); }
    std::size_t Count() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    // The newest boundary, or empty when the stack is empty.
    std::string Boundary() const;
    // The newest entry's parent part index, or -1 when the stack is empty.
    int ParentPart() const;
    // The boundary `fromTop` entries below the newest (0: the newest).
    const std::string& BoundaryAt(std::size_t fromTop) const { return entries_[entries_.size() - 1 - fromTop].first; }

private:
    std::vector<std::pair<std::string, int>> entries_;
};

class TMailMessage {
public:
    // A new message starts cleared.
    TMailMessage();
    TMailMessage(const TMailMessage&) = delete;
    TMailMessage& operator=(const TMailMessage&) = delete;

    // The first author; appends an empty one when FromList is empty, so it
    // never fails (its Address may be empty).
    TMailEMailAddressItem& From();

    // ClearHeader, then ClearBody.
    void Clear();
    // Empties addresses, header lists, the boundary stack, every header
    // field and RawFile, and resets Date, Priority, Encoding, ConvertPreamble and
    // IsMsgSinglePartMime.
    void ClearHeader();
    // Destroys the parts (deleting their temporary files) and empties Body.
    void ClearBody();

    // True when Body holds nothing but blanks, tabs, CR and LF.
    bool IsBodyEmpty() const;

    TMailEncoding Encoding() const { return encoding_; }
    // Also selects the attachment encoder family: "MIME" for meMIME, else "UUE".
    void SetEncoding(TMailEncoding encoding);

    // Media type of the whole message, without its charset parameter.
    const std::string& ContentType() const { return contentType_; }
    // Empty: "text/plain" (and CharSet "us-ascii" unless Loading). Otherwise
    // stored without its "charset" parameter, which becomes CharSet; without
    // one, CharSet is "us-ascii" for text/* and empty for other types.
    void SetContentType(std::string_view value);

    // True when Date is unset and the time of writing is to be used.
    bool UseNowForDate() const { return Date == LocalTime{}; }

    TMailEMailAddressList FromList;
    TMailEMailAddressList Recipients;
    TMailEMailAddressList CCList;
    // Never written into a transmitted header.
    TMailEMailAddressList BccList;
    TMailEMailAddressList ReplyTo;
    // Sender when different from the author; also the envelope sender when set.
    TMailEMailAddressItem Sender;
    TMailEMailAddressItem ReceiptRecipient;
    std::string Subject;
    TMailLines Body;
    TMailMessageParts MessageParts;
    std::string CharSet;
    std::string ContentTransferEncoding;
    std::string ContentDisposition;
    TMailPriority Priority = TMailPriority::mpNormal;
    // Local date and time; LocalTime{} means "use the time of writing".
    LocalTime Date{};
    std::string MsgId;
    std::string InReplyTo;
    std::string References;
    std::string Organization;
    std::vector<std::string> NewsGroups;
    // Raw headers as received.
    TMailHeaderList Headers;
    // Headers added by the user of the message; appended when written.
    TMailHeaderList ExtraHeaders;
    // Headers produced by the last serialisation.
    TMailHeaderList LastGeneratedHeaders;
    TMailMIMEBoundary MIMEBoundary;
    // Write the raw Headers and Body unchanged.
    bool NoEncode = false;
    // Keep the raw text when reading.
    bool NoDecode = false;
    // When writing a multipart message that also has a plain Body, turn that
    // body into a text part.
    bool ConvertPreamble = true;
    // Set while writing: MIME message with exactly one part and an empty Body.
    bool IsMsgSinglePartMime = false;
    // Set by a reader while it fills the message.
    bool Loading = false;
    // The file that holds the raw text this message was read from, so that
    // the mail can be kept as it came; set by whoever read it from a file
    // after reading (empty: there is none). Cleared with the header.
    std::filesystem::path RawFile;

private:
    TMailEncoding encoding_ = TMailEncoding::meDefault;
    std::string contentType_;
};

}  // namespace kdv
