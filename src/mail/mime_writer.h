#pragma once
// Writes a TMailMessage as an Internet message: the header block, then a
// single-part or multipart MIME body with text parts and attachments.
// Everything goes through a TByteSink (a connection, a file, a string), in
// blocks; attachment content is read and encoded block by block and is never
// held whole in memory.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mail/byte_sink.h"
#include "mail/mime_header_encoding.h"
#include "platform/clock.h"

namespace kdv {

class TMailMessage;
class TMailMessagePart;
class TMailText;
class TMailAttachment;

// What the writer takes from the world: randomness, the time and the host's
// header charset. Tests put fixed values here.
class IMimeWriterEnvironment {
public:
    virtual ~IMimeWriterEnvironment() = default;
    virtual std::string NewBoundary() = 0;
    virtual LocalTime Now() = 0;
    // Local time minus UTC at that local time.
    virtual std::chrono::minutes UtcOffset(LocalTime local) = 0;
    virtual THeaderEncoding HeaderEncoding() = 0;
};

// Random boundaries, the system clock and time zone, the host's charset.
IMimeWriterEnvironment& SystemMimeWriterEnvironment();

// Fills message.LastGeneratedHeaders with the header block to write, and
// settles what writing needs on the message: the encoding (meDefault becomes
// meMIME with parts, mePlainText without), unusable transfer encodings of
// parts, the message's content type, the boundary stack and
// IsMsgSinglePartMime. Header values outside US-ASCII are encoded words in
// the environment's header charset.
void GenerateHeader(TMailMessage& message, IMimeWriterEnvironment& environment = SystemMimeWriterEnvironment());

class TMailMessageWriter {
public:
    // Output is collected and handed to the sink in blocks of about this size.
    static constexpr std::size_t kOutputBlock = 256 * 1024;
    // Attachment content is read in blocks of this size (a whole number of
    // base64 lines, so no bytes wait between blocks).
    static constexpr std::size_t kReadBlock = 57 * 4096;

    // `dotStuff`: a line that starts with "." gets a second one in front, as
    // the SMTP DATA phase needs; a file or string output takes the message
    // as it is.
    explicit TMailMessageWriter(TByteSink& output, bool dotStuff = true,
                                IMimeWriterEnvironment& environment = SystemMimeWriterEnvironment());
    // Does not flush: after a failure nothing more goes out.
    ~TMailMessageWriter() = default;
    TMailMessageWriter(const TMailMessageWriter&) = delete;
    TMailMessageWriter& operator=(const TMailMessageWriter&) = delete;

    // Writes the header block and, unless `headersOnly`, the body, then
    // flushes. With message.NoEncode the raw Headers, an empty line and the
    // raw Body are written instead. Errors of the sink and of reading an
    // attachment (EDiraError) pass through; the output then stops where it was.
    void SendMsg(TMailMessage& message, bool headersOnly = false);

    // The lines, each ended by CR LF (and dot-stuffed when so constructed).
    void WriteRFCStrings(const std::vector<std::string>& lines);
    // One line ended by CR LF (dot-stuffed when so constructed).
    void WriteLn(std::string_view line);
    // Hands everything collected to the sink.
    void Flush();

private:
    void WriteHeader(TMailMessage& message);
    void WriteBody(TMailMessage& message);
    void WriteMimeBody(TMailMessage& message);
    void WriteTextPart(TMailText& part);
    void WriteAttachmentPart(TMailAttachment& part);
    void WritePartHeaders(TMailMessagePart& part, const std::string& charset);
    // Text lines in a charset and transfer encoding; lines may hold CR or LF,
    // which end lines as well.
    void WriteText(const std::vector<std::string>& lines, const std::string& charset, const std::string& transfer);
    void WriteAttachmentContent(TMailAttachment& part, const std::string& transfer);
    void MaybeFlush();

    TByteSink& output_;
    bool dotStuff_;
    IMimeWriterEnvironment& environment_;
    std::string buffer_;
};

}  // namespace kdv
