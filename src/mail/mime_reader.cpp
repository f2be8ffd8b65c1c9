#include "mail/mime_reader.h"

#include "mail/base64_decoder.h"
#include "mail/binhex_decoder.h"
#include "mail/byte_sink.h"
#include "mail/charset.h"
#include "mail/mail_date.h"
#include "mail/mail_header_params.h"
#include "mail/mail_text_util.h"
#include "mail/mail_message.h"
#include "mail/memory_line_source.h"
#include "mail/mime_header_words.h"
#include "mail/mime_part_type.h"
#include "mail/mime_text_decoding.h"
#include "mail/quoted_printable_decoder.h"
#include "mail/uue_decoder.h"
#include "platform/dira_error.h"
#include "platform/local_time_zone.h"

#include <cctype>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

namespace kdv {
namespace {

constexpr const char* kTooManyParts = "Die Nachricht hat zu viele Teile.";
// Decoded attachment bytes are gathered to this size before they go to the
// file stream, so a base64 body is written in a few large blocks.
constexpr std::size_t kAttachmentWriteBlock = 64 * 1024;

using TPartType = TMailMessageCoderPartType;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = mailtext::LowerAscii(c);
    return r;
}

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (mailtext::LowerAscii(a[i]) != mailtext::LowerAscii(b[i])) return false;
    return true;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The first ";"-separated item of a transfer encoding, trimmed, lower case.
std::string TransferEncodingOf(std::string_view value) {
    const std::size_t semi = value.find(';');
    return Lower(Trim(value.substr(0, semi)));
}

bool IsIdentityEncoding(std::string_view te) { return te == "7bit" || te == "8bit" || te == "binary"; }

enum class TBoundaryLine { None, Separator, Closing };

// Whether a line is "--B" or "--B--" for boundary B (case ignored).
TBoundaryLine MatchBoundary(std::string_view line, std::string_view boundary) {
    if (boundary.empty() || line.size() < boundary.size() + 2 || line[0] != '-' || line[1] != '-') return TBoundaryLine::None;
    if (line.size() == boundary.size() + 2)
        return IEquals(line.substr(2), boundary) ? TBoundaryLine::Separator : TBoundaryLine::None;
    if (line.size() == boundary.size() + 4 && line.substr(line.size() - 2) == "--" &&
        IEquals(line.substr(2, boundary.size()), boundary))
        return TBoundaryLine::Closing;
    return TBoundaryLine::None;
}

// Splits decoded text at CR LF, LF or CR; a last empty line is dropped.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') continue;
        lines.emplace_back(text.substr(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    lines.emplace_back(text.substr(start));
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

void RemoveLastEmptyLine(std::vector<std::string>& body) {
    if (!body.empty() && body.back().empty()) body.pop_back();
}

// Buffers decoded attachment bytes in front of the part's file stream.
class TAttachmentSink final : public TByteSink {
public:
    explicit TAttachmentSink(std::ostream& out) : out_(out) { buffer_.reserve(kAttachmentWriteBlock); }
    void Write(std::string_view bytes) override {
        if (buffer_.size() + bytes.size() > kAttachmentWriteBlock) Flush();
        if (bytes.size() >= kAttachmentWriteBlock) {
            out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        } else {
            buffer_.append(bytes);
        }
    }
    void Flush() {
        if (buffer_.empty()) return;
        out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        buffer_.clear();
    }

private:
    std::ostream& out_;
    std::string buffer_;
};

struct TReadContext {
    TMailLineSource& source;
    TMailMessage& message;
};

// The headers of one part as (name, value) pairs in their order.
class TPartHeaders {
public:
    std::vector<std::pair<std::string, std::string>> fields;

    // The first value of that name (case ignored), or empty.
    std::string Value(std::string_view name) const {
        for (const auto& [n, v] : fields)
            if (IEquals(n, name)) return v;
        return {};
    }
};

// Reads one part of a mail: its header and then its body.
class TMailMessageDecoder {
public:
    virtual ~TMailMessageDecoder() = default;

    // Reads the part header and sets PartType (and FileName).
    virtual void ReadHeader(TReadContext& ctx) = 0;
    // Writes the decoded body to `sink` and returns the decoder of the part
    // that follows directly, or null.
    virtual std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext& ctx, TByteSink& sink) = 0;

    TPartType PartType = TPartType::mcptText;
    std::string FileName;
    // The boundary that ends this part (empty: the end of the message).
    std::string Boundary;
    // The part is the message's own body: its headers are the message's.
    bool BodyEncoded = false;
    // Index of the enclosing multipart part, taken before the part's own
    // boundary (if any) was pushed.
    int ParentPart = -1;
    TPartHeaders Headers;
    // Set for UUE parts: "UUE" or "XXE" once the body was read.
    std::string SchemeName;
};

class TMailMessageDecoderMIME final : public TMailMessageDecoder {
public:
    void ReadHeader(TReadContext& ctx) override;
    std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext& ctx, TByteSink& sink) override;
};

class TMailMessageDecoderUUE final : public TMailMessageDecoder {
public:
    void ReadHeader(TReadContext&) override { PartType = TPartType::mcptAttachment; }
    std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext& ctx, TByteSink& sink) override;
};

class TMailMessageDecoderMIMEIgnore final : public TMailMessageDecoder {
public:
    void ReadHeader(TReadContext&) override { PartType = TPartType::mcptIgnore; }
    std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext&, TByteSink&) override { return nullptr; }
};

std::unique_ptr<TMailMessageDecoder> NewMimeDecoder(const TMailMessage& message) {
    auto decoder = std::make_unique<TMailMessageDecoderMIME>();
    decoder->Boundary = message.MIMEBoundary.Boundary();
    decoder->ParentPart = message.MIMEBoundary.ParentPart();
    return decoder;
}

void TMailMessageDecoderMIME::ReadHeader(TReadContext& ctx) {
    const TTextEncoding& decoding = ctx.source.DefStringEncoding();
    std::string_view raw;
    for (;;) {
        if (!ctx.source.ReadLnRFC(raw, TLineTerminator::LF)) {
            PartType = TPartType::mcptEOF;
            return;
        }
        if (raw.empty()) break;
        std::string line = decoding.ToUtf8(raw);
        if (IsBlank(line[0])) {
            if (!Headers.fields.empty()) {
                std::string& value = Headers.fields.back().second;
                value.push_back(' ');
                std::string_view rest(line);
                while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
                value.append(rest);
            }
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            Headers.fields.emplace_back(std::move(line), std::string());
            continue;
        }
        std::string_view name(line.data(), colon);
        std::string_view value(line.data() + colon + 1, line.size() - colon - 1);
        while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
        while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
        Headers.fields.emplace_back(std::string(name), std::string(value));
    }
    const std::string content_type = Headers.Value("Content-Type");
    if (StartsWith(MediaTypeOf(content_type), "multipart/")) {
        std::string boundary = HeaderParam(content_type, "boundary");
        if (boundary.empty()) boundary = Boundary;
        ctx.message.MIMEBoundary.Push(boundary, static_cast<int>(ctx.message.MessageParts.Count()));
        Boundary = std::move(boundary);
    }
    TMailPartKind kind = CheckAndSetType(content_type, Headers.Value("Content-Disposition"));
    PartType = kind.type;
    FileName = std::move(kind.file_name);
}

std::unique_ptr<TMailMessageDecoder> TMailMessageDecoderMIME::ReadBody(TReadContext& ctx, TByteSink& sink) {
    TMailMessage& message = ctx.message;
    const std::string content_type = BodyEncoded ? message.ContentType() : Headers.Value("Content-Type");
    const std::string media = MediaTypeOf(content_type);
    std::string te = TransferEncodingOf(BodyEncoded ? message.ContentTransferEncoding : Headers.Value("Content-Transfer-Encoding"));
    if (te.empty()) {
        if (media == "application/mac-binhex40") te = "binhex40";
        else if (media != "application/octet-stream") te = "7bit";
    }
    if (StartsWith(media, "multipart/") && !IsIdentityEncoding(te)) te.clear();

    enum class TCodec { None, Base64, QuotedPrintable, BinHex } codec = TCodec::None;
    if (te == "base64") codec = TCodec::Base64;
    else if (te == "quoted-printable") codec = TCodec::QuotedPrintable;
    else if (te == "binhex40") codec = TCodec::BinHex;
    const TLineTerminator mode = (te == "7bit" || te == "quoted-printable" || te == "base64") ? TLineTerminator::LF
                                                                                              : TLineTerminator::CRLF;

    TBase64Decoder base64(sink);
    TQuotedPrintableDecoder quoted(sink);
    TBinHexDecoder binhex(sink);
    std::unique_ptr<TMailMessageDecoder> next;
    bool first = true;
    std::string_view line;
    while (ctx.source.ReadLnRFC(line, mode)) {
        const TBoundaryLine boundary_line = MatchBoundary(line, Boundary);
        if (boundary_line == TBoundaryLine::Separator) {
            next = NewMimeDecoder(message);
            break;
        }
        if (boundary_line == TBoundaryLine::Closing) {
            message.MIMEBoundary.Pop();
            break;
        }
        switch (codec) {
        case TCodec::QuotedPrintable:
            quoted.DecodeLine(line);
            break;
        case TCodec::Base64:
            if (!line.empty()) base64.Step(line);
            break;
        case TCodec::BinHex:
            binhex.Step(line);
            binhex.Step("\n");
            break;
        case TCodec::None:
            if (mode == TLineTerminator::LF) {
                sink.Write(line);
                sink.Write("\r\n");
            } else {
                // The break before the boundary belongs to the boundary, not the content.
                if (!first) sink.Write("\r\n");
                sink.Write(line);
            }
            break;
        }
        first = false;
    }
    switch (codec) {
    case TCodec::QuotedPrintable: quoted.Finish(); break;
    case TCodec::Base64: base64.Finish(); break;
    case TCodec::BinHex: binhex.Finish(); break;
    case TCodec::None: break;
    }
    return next;
}

std::unique_ptr<TMailMessageDecoder> TMailMessageDecoderUUE::ReadBody(TReadContext& ctx, TByteSink& sink) {
    TUueDecoder uue(sink);
    std::string_view line;
    while (ctx.source.ReadLnRFC(line, TLineTerminator::LF)) {
        const bool more = uue.DecodeLine(line);
        SchemeName = uue.SchemeName();
        if (!more) break;
    }
    return nullptr;
}

// Whether a body line opens a part: a boundary of the current multipart, or
// the "begin nnn name" line of a UUE block.
std::unique_ptr<TMailMessageDecoder> CheckForStart(TReadContext& ctx, std::string_view line) {
    TMailMessage& message = ctx.message;
    const std::string boundary = message.MIMEBoundary.Boundary();
    switch (MatchBoundary(line, boundary)) {
    case TBoundaryLine::Separator:
        return NewMimeDecoder(message);
    case TBoundaryLine::Closing:
        message.MIMEBoundary.Pop();
        return std::make_unique<TMailMessageDecoderMIMEIgnore>();
    case TBoundaryLine::None:
        break;
    }
    if (line.size() >= 10 && IEquals(line.substr(0, 6), "begin ") && line[9] == ' ' &&
        std::isdigit(static_cast<unsigned char>(line[6])) && std::isdigit(static_cast<unsigned char>(line[7])) &&
        std::isdigit(static_cast<unsigned char>(line[8]))) {
        auto decoder = std::make_unique<TMailMessageDecoderUUE>();
        // The name is used as a file name later; it must not lead out of its folder.
        decoder->FileName = RemoveInvalidCharsFromFilename(ctx.source.DefStringEncoding().ToUtf8(line.substr(10)));
        decoder->ParentPart = message.MIMEBoundary.ParentPart();
        decoder->PartType = TPartType::mcptAttachment;
        return decoder;
    }
    return nullptr;
}

void CheckPartLimit(const TMailMessage& message) {
    if (message.MessageParts.Count() >= kMaxMessageParts) throw EDiraError(kTooManyParts);
}

// The standard part headers go to their properties; every other one of a
// multipart mail's part goes to ExtraHeaders.
void FillPartHeaders(TMailMessage& message, TMailMessagePart& part, const TMailMessageDecoder& decoder,
                     bool attachment) {
    if (decoder.BodyEncoded) {
        part.SetContentType(message.ContentType());
        part.CharSet = message.CharSet;
        part.SetContentTransfer(message.ContentTransferEncoding);
        part.SetContentDisposition(message.ContentDisposition);
    } else {
        std::string content_type = decoder.Headers.Value("Content-Type");
        if (content_type.empty()) {
            std::string enclosing;
            if (decoder.ParentPart < 0) {
                enclosing = message.ContentType();
            } else if (static_cast<std::size_t>(decoder.ParentPart) < message.MessageParts.Count()) {
                enclosing = message.MessageParts[static_cast<std::size_t>(decoder.ParentPart)].ContentType();
            }
            if (MediaTypeOf(enclosing) == "multipart/digest") content_type = "message/rfc822";
            else if (message.Encoding() == TMailEncoding::meMIME) content_type = "text/plain";
        }
        part.SetContentType(content_type);
        std::string transfer = decoder.Headers.Value("Content-Transfer-Encoding");
        if (!attachment && StartsWith(MediaTypeOf(content_type), "multipart/") &&
            !IsIdentityEncoding(TransferEncodingOf(transfer)))
            transfer.clear();
        part.SetContentTransfer(transfer);
        part.SetContentID(decoder.Headers.Value("Content-ID"));
        part.SetContentLocation(decoder.Headers.Value("Content-Location"));
        part.SetContentDescription(decoder.Headers.Value("Content-Description"));
        part.SetContentDisposition(decoder.Headers.Value("Content-Disposition"));
        static constexpr std::string_view kStandard[] = {"Content-Type", "Content-Transfer-Encoding", "Content-ID",
                                                          "Content-Location", "Content-Description",
                                                          "Content-Disposition"};
        for (const auto& [name, value] : decoder.Headers.fields) {
            bool standard = false;
            for (std::string_view s : kStandard) standard = standard || IEquals(name, s);
            if (!standard) part.ExtraHeaders.AddValue(name, value);
        }
    }
    if (attachment) {
        if (!decoder.SchemeName.empty()) part.SetContentTransfer(decoder.SchemeName);
        else if (MediaTypeOf(part.ContentType()) == "application/mac-binhex40") part.SetContentTransfer("binhex40");
    }
    part.FileName = decoder.FileName;
    part.ParentPart = decoder.ParentPart;
}

std::unique_ptr<TMailMessageDecoder> ReadTextPart(TReadContext& ctx, TMailMessageDecoder& decoder) {
    CheckPartLimit(ctx.message);
    std::string bytes;
    TStringSink sink(bytes);
    auto next = decoder.ReadBody(ctx, sink);
    TMailText& part = ctx.message.MessageParts.AddText();
    const std::string charset = HeaderParam(decoder.Headers.Value("Content-Type"), "charset");
    part.Body = SplitLines(TextEncodingForCharset(charset)->ToUtf8(bytes));
    FillPartHeaders(ctx.message, part, decoder, false);
    return next;
}

std::unique_ptr<TMailMessageDecoder> ReadAttachmentPart(TReadContext& ctx, TMailMessageDecoder& decoder) {
    CheckPartLimit(ctx.message);
    // The part exists before its file is filled, so the file belongs to the
    // message even when reading fails halfway.
    TMailAttachmentFile& part = ctx.message.MessageParts.AddTempAttachment();
    std::ostream& out = part.PrepareTempStream();
    TAttachmentSink sink(out);
    auto next = decoder.ReadBody(ctx, sink);
    sink.Flush();
    part.FinishTempStream();
    FillPartHeaders(ctx.message, part, decoder, true);
    return next;
}

TMailPriority PriorityOf(std::string_view value) {
    const std::string lower = Lower(value);
    if (lower.find("non-urgent") != std::string::npos || lower.find("low") != std::string::npos)
        return TMailPriority::mpLowest;
    if (lower.find("urgent") != std::string::npos || lower.find("high") != std::string::npos)
        return TMailPriority::mpHighest;
    std::string_view word = Trim(value);
    word = word.substr(0, word.find_first_of(" \t"));
    if (word.size() == 1 && word[0] >= '1' && word[0] <= '5') return static_cast<TMailPriority>(word[0] - '1');
    return TMailPriority::mpNormal;
}

void SetAddressList(TMailEMailAddressList& list, std::string_view value) {
    list.SetEMailAddresses(value);
    for (std::size_t i = 0; i < list.Count(); ++i) {
        std::string name = DecodeHeaderWords(list[i].Name);
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
        list[i].Name = std::move(name);
    }
}

// Keeps the message's Loading flag set while a reader fills it.
class TLoadingGuard {
public:
    explicit TLoadingGuard(TMailMessage& message) : message_(message), previous_(message.Loading) {
        message_.Loading = true;
    }
    ~TLoadingGuard() { message_.Loading = previous_; }
    TLoadingGuard(const TLoadingGuard&) = delete;
    TLoadingGuard& operator=(const TLoadingGuard&) = delete;

private:
    TMailMessage& message_;
    bool previous_;
};

}  // namespace

void ProcessHeaders(TMailMessage& message) {
    TLoadingGuard loading(message);
    const TMailHeaderList& h = message.Headers;

    const std::string content_type = h.Values("Content-Type");
    const std::optional<std::string> boundary = FindHeaderParam(content_type, "boundary");
    if (content_type.empty()) {
        message.SetContentType("");
        message.CharSet = "us-ascii";
    } else {
        message.SetContentType(boundary ? RemoveHeaderParam(content_type, "boundary") : content_type);
    }
    message.ContentTransferEncoding = h.Values("Content-Transfer-Encoding");
    message.ContentDisposition = h.Values("Content-Disposition");
    message.Subject = DecodeHeaderWords(h.Values("Subject"));

    SetAddressList(message.FromList, h.Values("From"));
    SetAddressList(message.Recipients, h.Values("To"));
    SetAddressList(message.CCList, h.Values("Cc"));
    SetAddressList(message.BccList, h.Values("Bcc"));
    SetAddressList(message.ReplyTo, h.Values("Reply-To"));

    message.MsgId = h.Values("Message-Id");
    message.NewsGroups.clear();
    {
        const std::string groups = h.Values("Newsgroups");
        std::size_t start = 0;
        while (start <= groups.size() && !groups.empty()) {
            const std::size_t comma = groups.find(',', start);
            const std::string_view item = Trim(std::string_view(groups).substr(start, comma - start));
            if (!item.empty()) message.NewsGroups.emplace_back(item);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    message.Organization = h.Values("Organization");
    message.InReplyTo = h.Values("In-Reply-To");
    message.References = h.Values("References");
    message.Sender.SetText(h.Values("Sender"));
    message.ReceiptRecipient.SetText(h.Values("Disposition-Notification-To"));
    if (message.ReceiptRecipient.Address.empty()) message.ReceiptRecipient.SetText(h.Values("Return-Receipt-To"));

    message.Date = LocalTime{};
    if (const auto when = ParseMailDate(h.Values("Date"))) message.Date = UtcToLocalTime(*when);

    message.Priority = TMailPriority::mpNormal;
    for (const char* name : {"X-Priority", "Priority", "Importance", "X-MSMail-Priority"}) {
        const std::string value = h.Values(name);
        if (value.empty()) continue;
        message.Priority = PriorityOf(value);
        break;
    }

    if (boundary && !boundary->empty()) message.MIMEBoundary.Push(*boundary, -1);
    message.SetEncoding(h.IndexOfName("MIME-Version") >= 0 ? TMailEncoding::meMIME : TMailEncoding::mePlainText);
}

std::string TMailMessageReader::ReadMessageHeader(TMailMessage& message) {
    const TTextEncoding& decoding = source_.DefStringEncoding();
    std::string ended_by = ".";
    std::string_view line;
    while (source_.ReadLnRFC(line, TLineTerminator::LF)) {
        if (line.empty()) {
            ended_by.clear();
            break;
        }
        message.Headers.Add(decoding.ToUtf8(line));
    }
    ProcessHeaders(message);
    return ended_by;
}

void TMailMessageReader::ReadMessageBody(TMailMessage& message) {
    TLoadingGuard loading(message);
    TReadContext ctx{source_, message};

    const std::string media = MediaTypeOf(message.ContentType());
    const bool mime = message.Encoding() == TMailEncoding::meMIME;
    std::string te = TransferEncodingOf(message.ContentTransferEncoding);
    if (te.empty()) {
        if (media == "application/mac-binhex40") te = "binhex40";
        else if (mime && !message.MIMEBoundary.Empty()) te = "7bit";
    }
    if (StartsWith(media, "multipart/") && !IsIdentityEncoding(te)) te.clear();
    const bool unknown = !te.empty() && !IsIdentityEncoding(te) && te != "quoted-printable" && te != "base64";
    if (unknown) te.clear();

    const bool line_road = (mime && !message.MIMEBoundary.Empty() && !unknown) ||
                           (!mime && te != "base64" && te != "quoted-printable");
    if (line_road) {
        const auto text_decoding = TextEncodingForCharset(message.CharSet);
        std::string_view line;
        while (source_.ReadLnRFC(line, TLineTerminator::LF)) {
            std::unique_ptr<TMailMessageDecoder> decoder = CheckForStart(ctx, line);
            if (!decoder) {
                message.Body.push_back(text_decoding->ToUtf8(line));
                continue;
            }
            RemoveLastEmptyLine(message.Body);
            bool ended = false;
            while (decoder) {
                decoder->ReadHeader(ctx);
                switch (decoder->PartType) {
                case TPartType::mcptText: decoder = ReadTextPart(ctx, *decoder); break;
                case TPartType::mcptAttachment: decoder = ReadAttachmentPart(ctx, *decoder); break;
                case TPartType::mcptIgnore: decoder.reset(); break;
                case TPartType::mcptEOF:
                    decoder.reset();
                    ended = true;
                    break;
                }
            }
            if (ended) break;
        }
        RemoveLastEmptyLine(message.Body);
        return;
    }

    message.IsMsgSinglePartMime = true;
    TMailMessageDecoderMIME decoder;
    decoder.BodyEncoded = true;
    decoder.Boundary = message.MIMEBoundary.Boundary();
    TMailPartKind kind = CheckAndSetType(message.ContentType(), message.ContentDisposition);
    decoder.PartType = kind.type;
    decoder.FileName = std::move(kind.file_name);
    if (decoder.PartType == TPartType::mcptText && !unknown) {
        std::string bytes;
        TStringSink sink(bytes);
        decoder.ReadBody(ctx, sink);
        std::vector<std::string> lines = SplitLines(TextEncodingForCharset(message.CharSet)->ToUtf8(bytes));
        for (auto& l : lines) message.Body.push_back(std::move(l));
        return;
    }
    ReadAttachmentPart(ctx, decoder);
}

void TMailMessageReader::ProcessMessage(TMailMessage& message) {
    message.Clear();
    if (ReadMessageHeader(message).empty()) ReadMessageBody(message);
}

void LoadMessageFromMemory(TMailMessage& message, std::string_view mail) {
    TMailMemoryLineSource source(mail);
    TMailMessageReader reader(source);
    reader.ProcessMessage(message);
}

}  // namespace kdv
