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
#include "platform/ascii_text.h"
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
constexpr const char* kTooDeep = "Die Nachricht ist zu tief verschachtelt.";
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

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The first ";"-separated item of a transfer encoding, trimmed, lower case.
std::string TransferEncodingOf(std::string_view value) {
    const std::size_t semi = value.find(';');
    return ToLowerAscii(Trim(value.substr(0, semi)));
}

bool IsIdentityEncoding(std::string_view te) { return te == "7bit" || te == "8bit" || te == "binary"; }

enum class TBoundaryLine { None, Separator, Closing };

// Whether a line is "--B" or "--B--" for boundary B (case ignored); blanks
// after it are allowed and ignored.
TBoundaryLine MatchBoundary(std::string_view line, std::string_view boundary) {
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    if (boundary.empty() || line.size() < boundary.size() + 2 || line[0] != '-' || line[1] != '-') return TBoundaryLine::None;
    if (line.size() == boundary.size() + 2)
        return EqualsNoCase(line.substr(2), boundary) ? TBoundaryLine::Separator : TBoundaryLine::None;
    if (line.size() == boundary.size() + 4 && line.substr(line.size() - 2) == "--" &&
        EqualsNoCase(line.substr(2, boundary.size()), boundary))
        return TBoundaryLine::Closing;
    return TBoundaryLine::None;
}

struct TBoundaryMatch {
    TBoundaryLine kind = TBoundaryLine::None;
    // How many newer boundaries lie above the matched one: multiparts that
    // were never closed and end with their enclosing one.
    std::size_t unclosed = 0;
};

// Whether a line is a boundary line of any multipart still open, the newest first.
TBoundaryMatch MatchOpenBoundary(std::string_view line, const TMailMIMEBoundary& open) {
    if (line.size() < 3 || line[0] != '-' || line[1] != '-') return {};
    for (std::size_t i = 0; i < open.Count(); ++i) {
        const TBoundaryLine kind = MatchBoundary(line, open.BoundaryAt(i));
        if (kind != TBoundaryLine::None) return {kind, i};
    }
    return {};
}

// Closes the multiparts above a matched boundary, then the matched one itself
// when its closing line was read.
void CloseBoundaries(TMailMessage& message, const TBoundaryMatch& match) {
    for (std::size_t i = 0; i < match.unclosed; ++i) message.MIMEBoundary.Pop();
    if (match.kind == TBoundaryLine::Closing) message.MIMEBoundary.Pop();
}

// Text decoded to UTF-8 becomes lines; the bytes are let go first, so a large
// text is held at most twice at any moment.
TMailLines LinesOf(std::string& bytes, const TTextEncoding& encoding) {
    std::string text = encoding.ToUtf8(bytes);
    std::string().swap(bytes);
    return TMailLines::FromText(std::move(text));
}

void RemoveLastEmptyLine(TMailLines& body) {
    if (!body.empty() && body.back().empty()) body.pop_back();
}

// Whether a line can belong to a header block: a continuation, or a field
// whose name (printable, without blanks) is followed by a colon.
bool IsHeaderLine(std::string_view line) {
    if (!line.empty() && IsBlank(line[0])) return true;
    std::size_t i = 0;
    while (i < line.size() && static_cast<unsigned char>(line[i]) > 32 && static_cast<unsigned char>(line[i]) < 127 &&
           line[i] != ':')
        ++i;
    if (i == 0) return false;
    while (i < line.size() && IsBlank(line[i])) ++i;
    return i < line.size() && line[i] == ':';
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

// Counts the text of one mail as it is decoded, against kMaxMessageTextBytes.
class TTextBudget {
public:
    void Take(std::size_t bytes) {
        used_ += bytes;
        if (used_ > kMaxMessageTextBytes)
            throw EDiraError(TErrorKind::ekMalformed, "Der Text der Nachricht ist größer als " +
                             std::to_string(kMaxMessageTextBytes / (1024 * 1024)) + " MB.");
    }

private:
    std::size_t used_ = 0;
};

// Collects a text part's decoded bytes within the mail's text budget.
class TTextSink final : public TByteSink {
public:
    TTextSink(std::string& target, TTextBudget& budget) : target_(target), budget_(budget) {}
    void Write(std::string_view bytes) override {
        budget_.Take(bytes.size());
        target_.append(bytes);
    }

private:
    std::string& target_;
    TTextBudget& budget_;
};

struct TReadContext {
    TUnreadLineSource& source;
    TMailMessage& message;
    TTextBudget& text_budget;
};

// How the line breaks of content read line by line reach the decoded bytes.
enum class TBreaks {
    // After every line: text, which becomes lines again anyway.
    AfterEachLine,
    // Between lines only, each as it stood: the break before a boundary
    // belongs to the boundary, and file content keeps its own bytes.
    BetweenLines,
};

// The media type of the multipart that encloses part `parent` (-1: the message).
std::string EnclosingMediaType(const TMailMessage& message, int parent) {
    if (parent < 0) return MediaTypeOf(message.ContentType());
    if (static_cast<std::size_t>(parent) < message.MessageParts.Count())
        return MediaTypeOf(message.MessageParts[static_cast<std::size_t>(parent)].ContentType());
    return {};
}

// The headers of one part as (name, value) pairs in their order.
class TPartHeaders {
public:
    std::vector<std::pair<std::string, std::string>> fields;

    // The first value of that name (case ignored), or empty.
    std::string Value(std::string_view name) const {
        for (const auto& [n, v] : fields)
            if (EqualsNoCase(n, name)) return v;
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
    virtual std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext& ctx, TByteSink& sink, TBreaks breaks) = 0;

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
    std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext& ctx, TByteSink& sink, TBreaks breaks) override;
};

class TMailMessageDecoderUUE final : public TMailMessageDecoder {
public:
    void ReadHeader(TReadContext&) override { PartType = TPartType::mcptAttachment; }
    std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext& ctx, TByteSink& sink, TBreaks breaks) override;
};

class TMailMessageDecoderMIMEIgnore final : public TMailMessageDecoder {
public:
    void ReadHeader(TReadContext&) override { PartType = TPartType::mcptIgnore; }
    std::unique_ptr<TMailMessageDecoder> ReadBody(TReadContext&, TByteSink&, TBreaks) override { return nullptr; }
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
        if (!IsHeaderLine(raw)) {
            // The sender left out the blank line: this line is the body's first.
            ctx.source.Unread(raw, ctx.source.LineBreak());
            break;
        }
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
        std::string_view name(line.data(), colon);
        std::string_view value(line.data() + colon + 1, line.size() - colon - 1);
        while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
        while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
        Headers.fields.emplace_back(std::string(name), std::string(value));
    }
    std::string content_type = Headers.Value("Content-Type");
    if (StartsWith(MediaTypeOf(content_type), "multipart/")) {
        std::string boundary = MimeParam(content_type, "boundary").value_or(std::string());
        if (boundary.empty()) boundary = Boundary;
        if (ctx.message.MIMEBoundary.Count() >= kMaxMultipartDepth) throw EDiraError(TErrorKind::ekMalformed, kTooDeep);
        ctx.message.MIMEBoundary.Push(boundary, static_cast<int>(ctx.message.MessageParts.Count()));
        Boundary = std::move(boundary);
    }
    // A part without a type is plain text, or a mail inside a digest.
    if (MediaTypeOf(content_type).empty())
        content_type = EnclosingMediaType(ctx.message, ParentPart) == "multipart/digest" ? "message/rfc822" : "text/plain";
    TMailPartKind kind = CheckAndSetType(content_type, Headers.Value("Content-Disposition"));
    PartType = kind.type;
    FileName = std::move(kind.file_name);
}

std::unique_ptr<TMailMessageDecoder> TMailMessageDecoderMIME::ReadBody(TReadContext& ctx, TByteSink& sink,
                                                                       TBreaks breaks) {
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
    // Lines read up to CR LF were always joined between lines only.
    if (mode == TLineTerminator::CRLF) breaks = TBreaks::BetweenLines;

    TBase64Decoder base64(sink);
    TQuotedPrintableDecoder quoted(sink);
    TBinHexDecoder binhex(sink);
    std::unique_ptr<TMailMessageDecoder> next;
    std::string pending_break;  // the break after the last line, written only when another line follows
    std::string_view line;
    while (ctx.source.ReadLnRFC(line, mode)) {
        const TBoundaryMatch match = MatchOpenBoundary(line, message.MIMEBoundary);
        if (match.kind != TBoundaryLine::None) {
            CloseBoundaries(message, match);
            if (match.kind == TBoundaryLine::Separator) next = NewMimeDecoder(message);
            break;
        }
        const std::string_view line_break = ctx.source.LineBreak();
        switch (codec) {
        case TCodec::QuotedPrintable:
            if (breaks == TBreaks::AfterEachLine) {
                quoted.DecodeLine(line);
            } else {
                if (!pending_break.empty()) sink.Write(pending_break);
                pending_break.clear();
                if (quoted.DecodeLineContent(line)) pending_break.assign(line_break);
            }
            break;
        case TCodec::Base64:
            if (!line.empty()) base64.Step(line);
            break;
        case TCodec::BinHex:
            binhex.Step(line);
            binhex.Step("\n");
            break;
        case TCodec::None:
            if (breaks == TBreaks::AfterEachLine) {
                sink.Write(line);
                sink.Write(line_break);
            } else {
                sink.Write(pending_break);
                sink.Write(line);
                pending_break.assign(line_break);
            }
            break;
        }
    }
    switch (codec) {
    case TCodec::QuotedPrintable: quoted.Finish(); break;
    case TCodec::Base64: base64.Finish(); break;
    case TCodec::BinHex: binhex.Finish(); break;
    case TCodec::None: break;
    }
    return next;
}

std::unique_ptr<TMailMessageDecoder> TMailMessageDecoderUUE::ReadBody(TReadContext& ctx, TByteSink& sink, TBreaks) {
    TUueDecoder uue(sink);
    std::string_view line;
    while (ctx.source.ReadLnRFC(line, TLineTerminator::LF)) {
        const bool more = uue.DecodeLine(line);
        SchemeName = uue.SchemeName();
        if (!more) break;
    }
    return nullptr;
}

// Whether a body line opens a part: a boundary of an open multipart, or the
// "begin nnn name" line of a UUE block. Looking ahead to tell uuencode from
// prose reads on; `line` is then moved into `kept` so it stays valid.
std::unique_ptr<TMailMessageDecoder> CheckForStart(TReadContext& ctx, std::string_view& line, std::string& kept) {
    TMailMessage& message = ctx.message;
    const TBoundaryMatch match = MatchOpenBoundary(line, message.MIMEBoundary);
    if (match.kind != TBoundaryLine::None) {
        CloseBoundaries(message, match);
        if (match.kind == TBoundaryLine::Separator) return NewMimeDecoder(message);
        return std::make_unique<TMailMessageDecoderMIMEIgnore>();
    }
    if (line.size() >= 10 && EqualsNoCase(line.substr(0, 6), "begin ") && line[9] == ' ' &&
        std::isdigit(static_cast<unsigned char>(line[6])) && std::isdigit(static_cast<unsigned char>(line[7])) &&
        std::isdigit(static_cast<unsigned char>(line[8]))) {
        // The name is used as a file name later; it must not lead out of its folder.
        std::string name = RemoveInvalidCharsFromFilename(ctx.source.DefStringEncoding().ToUtf8(line.substr(10)));
        kept.assign(line);
        line = kept;
        // Only a block that is uuencode starts one: "begin 644 bericht.txt"
        // followed by prose is prose.
        std::string_view first;
        if (!ctx.source.ReadLnRFC(first, TLineTerminator::LF)) return nullptr;
        const bool uue = TUueDecoder::IsFirstDataLine(first);
        ctx.source.Unread(first, ctx.source.LineBreak());
        if (!uue) return nullptr;
        auto decoder = std::make_unique<TMailMessageDecoderUUE>();
        decoder->FileName = std::move(name);
        decoder->ParentPart = message.MIMEBoundary.ParentPart();
        decoder->PartType = TPartType::mcptAttachment;
        return decoder;
    }
    return nullptr;
}

void CheckPartLimit(const TMailMessage& message) {
    if (message.MessageParts.Count() >= kMaxMessageParts) throw EDiraError(TErrorKind::ekMalformed, kTooManyParts);
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
            if (EnclosingMediaType(message, decoder.ParentPart) == "multipart/digest") content_type = "message/rfc822";
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
            for (std::string_view s : kStandard) standard = standard || EqualsNoCase(name, s);
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
    TTextSink sink(bytes, ctx.text_budget);
    auto next = decoder.ReadBody(ctx, sink, TBreaks::AfterEachLine);
    TMailText& part = ctx.message.MessageParts.AddText();
    const std::string charset = HeaderParam(decoder.Headers.Value("Content-Type"), "charset");
    part.Body = LinesOf(bytes, *TextEncodingForCharset(charset));
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
    auto next = decoder.ReadBody(ctx, sink, TBreaks::BetweenLines);
    sink.Flush();
    part.FinishTempStream();
    FillPartHeaders(ctx.message, part, decoder, true);
    return next;
}

TMailPriority PriorityOf(std::string_view value) {
    const std::string lower = ToLowerAscii(value);
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
    const std::optional<std::string> boundary = MimeParam(content_type, "boundary");
    if (content_type.empty()) {
        message.SetContentType("");
        message.CharSet = "us-ascii";
    } else {
        message.SetContentType(boundary ? RemoveMimeParam(content_type, "boundary") : content_type);
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
        // The separator line of a mailbox file ("From sender date") leads some saved mails.
        const bool mbox_separator = message.Headers.Count() == 0 && StartsWith(line, "From ");
        if (!mbox_separator && !IsHeaderLine(line)) {
            // The sender left out the blank line: this line is the body's first.
            source_.Unread(line, source_.LineBreak());
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
    TTextBudget text_budget;
    TReadContext ctx{source_, message, text_budget};

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
        std::string kept;
        while (source_.ReadLnRFC(line, TLineTerminator::LF)) {
            std::unique_ptr<TMailMessageDecoder> decoder = CheckForStart(ctx, line, kept);
            if (!decoder) {
                text_budget.Take(line.size() + 1);
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
    // An unknown transfer encoding is read as it stands.
    if (decoder.PartType == TPartType::mcptText) {
        std::string bytes;
        TTextSink sink(bytes, text_budget);
        decoder.ReadBody(ctx, sink, TBreaks::AfterEachLine);
        TMailLines lines = LinesOf(bytes, *TextEncodingForCharset(message.CharSet));
        if (message.Body.empty()) {
            message.Body = std::move(lines);
        } else {
            for (const std::string_view l : lines) message.Body.push_back(l);
        }
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
