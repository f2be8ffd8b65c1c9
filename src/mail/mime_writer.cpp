#include "mail/mime_writer.h"

#include <memory>

#include "mail/charset.h"
#include "mail/mail_header_params.h"
#include "mail/mail_message.h"
#include "mail/mail_text_util.h"
#include "mail/mime_encoders.h"
#include "platform/dira_error.h"
#include "platform/utc_offset.h"

namespace kdv {
using namespace mailtext;
namespace {

constexpr std::string_view kMultipartPreamble = "This is a multi-part message in MIME format";

class TSystemEnvironment final : public IMimeWriterEnvironment {
public:
    std::string NewBoundary() override { return NewMimeBoundary(); }
    LocalTime Now() override { return SystemClock().Now(); }
    std::chrono::minutes UtcOffset(LocalTime local) override { return UtcOffsetAt(local); }
    THeaderEncoding HeaderEncoding() override { return HostHeaderEncoding(); }
};

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> names) {
    for (const std::string_view name : names) {
        if (EqualsNoCase(value, name)) return true;
    }
    return false;
}

bool HasHighBytes(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) > 127) return true;
    }
    return false;
}

bool HasHighBytes(const TMailLines& lines) {
    for (const std::string_view line : lines) {
        if (HasHighBytes(line)) return true;
    }
    return false;
}

// Header lines go out as 7-bit text: every character outside US-ASCII
// (one UTF-8 sequence) becomes a single "?". A CR or LF in a raw line becomes
// a blank, so no line can end the header block early or add a header.
std::string SevenBit(std::string_view line) {
    if (!HasHighBytes(line) && line.find_first_of("\r\n") == std::string_view::npos) return std::string(line);
    std::string out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\r' || c == '\n') {
            out += ' ';
        } else if (b < 128) {
            out += c;
        } else if ((b & 0xC0) != 0x80) {
            out += '?';
        }
    }
    return out;
}

// The file name part of a path written on either platform.
std::string_view BaseName(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct TPriorityTexts {
    const char* priority;
    const char* importance;
};

TPriorityTexts PriorityTexts(TMailPriority priority) {
    switch (priority) {
        case TMailPriority::mpHighest:
        case TMailPriority::mpHigh:
            return {"urgent", "high"};
        case TMailPriority::mpLow:
        case TMailPriority::mpLowest:
            return {"non-urgent", "low"};
        case TMailPriority::mpNormal:
            break;
    }
    return {"normal", "normal"};
}

}  // namespace

IMimeWriterEnvironment& SystemMimeWriterEnvironment() {
    static TSystemEnvironment environment;
    return environment;
}

void GenerateHeader(TMailMessage& message, IMimeWriterEnvironment& environment) {
    TMailMessageParts& parts = message.MessageParts;
    parts.CountParts();
    if (message.Encoding() == TMailEncoding::meDefault) {
        message.SetEncoding(parts.Empty() ? TMailEncoding::mePlainText : TMailEncoding::meMIME);
    }
    // Parts can only be written as MIME: no other attachment encoder exists.
    if (!parts.Empty()) message.SetEncoding(TMailEncoding::meMIME);
    const bool mime = message.Encoding() == TMailEncoding::meMIME;

    for (std::size_t i = 0; i < parts.Count(); ++i) {
        TMailMessagePart& part = parts[i];
        const std::string transfer = part.ContentTransfer();
        if (mime && !transfer.empty() &&
            !IsOneOf(transfer, {"7bit", "8bit", "binary", "base64", "quoted-printable", "binhex40"})) {
            part.SetContentTransfer("base64");
        }
    }
    if (!parts.Empty() && !message.ContentTransferEncoding.empty() &&
        !IsOneOf(message.ContentTransferEncoding, {"7bit", "8bit", "binary"})) {
        message.ContentTransferEncoding.clear();
    }
    if (mime) {
        message.MIMEBoundary.Clear();
        message.MIMEBoundary.Push(environment.NewBoundary(), -1);
        if (message.ContentType().empty()) {
            const std::string charset = message.CharSet;
            if (parts.TextPartCount <= 1) {
                message.SetContentType(parts.AttachmentCount == 0 ? "text/plain" : "multipart/mixed");
            } else {
                message.SetContentType(parts.AttachmentCount == 0 ? "multipart/alternative" : "multipart/mixed");
            }
            if (!charset.empty()) message.CharSet = charset;
        }
    }
    const THeaderEncoding encoding = environment.HeaderEncoding();
    TMailHeaderList& h = message.LastGeneratedHeaders;
    h.Assign(message.Headers);
    message.IsMsgSinglePartMime = mime && parts.Count() == 1 && message.Body.empty();

    h.SetValue("From", FormatAddressList(message.FromList, encoding, true));
    h.SetValue("Subject", EncodeHeaderWords(message.Subject, encoding));
    h.SetValue("To", FormatAddressList(message.Recipients, encoding));
    h.SetValue("Cc", FormatAddressList(message.CCList, encoding));
    h.Remove("Bcc");
    std::string newsgroups;
    for (const std::string& group : message.NewsGroups) {
        if (!newsgroups.empty()) newsgroups += ',';
        newsgroups += group;
    }
    h.SetValue("Newsgroups", newsgroups);
    if (message.IsMsgSinglePartMime) {
        h.SetValue("MIME-Version", "1.0");
        // The one part brings its own.
        h.Remove("Content-Type");
        h.Remove("Content-Transfer-Encoding");
        h.Remove("Content-Disposition");
    } else if (mime) {
        if (!message.ContentType().empty()) {
            std::string type = message.ContentType();
            std::string charset = message.CharSet;
            if (charset.empty() && StartsWithNoCase(type, "text/")) charset = "us-ascii";
            if (!charset.empty()) type = SetHeaderParam(type, "charset", charset, THeaderQuoting::Mime);
            if (!parts.Empty()) {
                type = SetHeaderParam(type, "boundary", message.MIMEBoundary.Boundary(), THeaderQuoting::Mime);
            }
            h.SetValue("Content-Type", type);
        }
        h.SetValue("MIME-Version", "1.0");
        h.SetValue("Content-Transfer-Encoding", message.ContentTransferEncoding);
    }
    h.SetValue("Sender", message.Sender.Address.empty() && message.Sender.Name.empty()
                             ? std::string()
                             : FormatAddressItem(message.Sender, encoding));
    h.SetValue("Reply-To", FormatAddressList(message.ReplyTo, encoding));
    h.SetValue("Organization", EncodeHeaderWords(message.Organization, encoding));
    const std::string receipt = message.ReceiptRecipient.Address.empty()
                                    ? std::string()
                                    : FormatAddressItem(message.ReceiptRecipient, encoding);
    h.SetValue("Disposition-Notification-To", receipt);
    h.SetValue("Return-Receipt-To", receipt);
    h.SetValue("References", message.References);
    const LocalTime date = message.UseNowForDate() ? environment.Now() : message.Date;
    h.SetValue("Date", FormatMailDate(date, environment.UtcOffset(date)));
    if (message.Priority == TMailPriority::mpNormal) {
        h.Remove("Priority");
        h.Remove("X-Priority");
        h.Remove("Importance");
    } else {
        const TPriorityTexts texts = PriorityTexts(message.Priority);
        h.SetValue("Priority", texts.priority);
        h.SetValue("X-Priority", std::to_string(static_cast<int>(message.Priority) + 1));
        h.SetValue("Importance", texts.importance);
    }
    h.SetValue("Message-ID", message.MsgId);
    h.SetValue("In-Reply-To", message.InReplyTo);
    for (const std::string& line : message.ExtraHeaders) h.Add(line);
}

TMailMessageWriter::TMailMessageWriter(TByteSink& output, bool dotStuff, IMimeWriterEnvironment& environment)
    : output_(output), dotStuff_(dotStuff), environment_(environment) {
    buffer_.reserve(kOutputBlock + 2 * kReadBlock);
}

void TMailMessageWriter::Flush() {
    if (buffer_.empty()) return;
    output_.Write(buffer_);
    buffer_.clear();
}

void TMailMessageWriter::MaybeFlush() {
    if (buffer_.size() >= kOutputBlock) Flush();
}

void TMailMessageWriter::WriteLn(std::string_view line) {
    if (dotStuff_ && !line.empty() && line.front() == '.') buffer_ += '.';
    buffer_ += line;
    buffer_ += "\r\n";
    MaybeFlush();
}

void TMailMessageWriter::WriteRFCStrings(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) WriteLn(line);
}

void TMailMessageWriter::WriteRFCStrings(const TMailLines& lines) {
    for (const std::string_view line : lines) WriteLn(line);
}

void TMailMessageWriter::SendMsg(TMailMessage& message, bool headersOnly) {
    if (message.NoEncode) {
        WriteRFCStrings(message.Headers.Lines());
        WriteLn("");
        if (!headersOnly) WriteRFCStrings(message.Body);
        Flush();
        return;
    }
    WriteHeader(message);
    if (!headersOnly) WriteBody(message);
    Flush();
}

void TMailMessageWriter::WriteHeader(TMailMessage& message) {
    GenerateHeader(message, environment_);
    for (const std::string& line : message.LastGeneratedHeaders) WriteLn(SevenBit(line));
}

void TMailMessageWriter::WriteBody(TMailMessage& message) {
    if (message.Encoding() == TMailEncoding::meMIME) {
        WriteMimeBody(message);
        return;
    }
    WriteLn("");
    WriteText(message.Body, std::string(), std::string());
}

void TMailMessageWriter::WriteMimeBody(TMailMessage& message) {
    TMailMessageParts& parts = message.MessageParts;
    TMailMIMEBoundary& boundaries = message.MIMEBoundary;
    if (parts.Empty()) {
        // A MIME message of its own text: the body in the message's charset
        // and transfer encoding.
        WriteLn("");
        WriteText(message.Body, message.CharSet, message.ContentTransferEncoding);
        return;
    }
    const bool single = message.IsMsgSinglePartMime;
    if (!single) {
        WriteLn("");
        const bool bodyAsPart = !message.Body.empty() && message.ConvertPreamble && parts.TextPartCount == 0;
        if (message.Body.empty() || bodyAsPart) {
            WriteLn(kMultipartPreamble);
        } else {
            WriteRFCStrings(message.Body);
        }
        WriteLn("");
        if (boundaries.Empty()) boundaries.Push(environment_.NewBoundary(), -1);
        if (bodyAsPart) {
            const std::string charset = HasHighBytes(message.Body) ? "UTF-8" : "us-ascii";
            WriteLn("--" + boundaries.Boundary());
            WriteLn("Content-Type: text/plain; charset=" + QuotedString(charset));
            WriteLn("Content-Transfer-Encoding: quoted-printable");
            WriteLn("Content-Disposition: inline");
            WriteLn("");
            WriteText(message.Body, charset, "quoted-printable");
            WriteLn("");
        }
    }
    for (std::size_t i = 0; i < parts.Count(); ++i) {
        TMailMessagePart& part = parts[i];
        const std::string type = part.ContentType();
        if (!single) {
            // Leave the nested multiparts this part is not inside of.
            while (boundaries.Count() > 1 && boundaries.ParentPart() != part.ParentPart) {
                WriteLn("--" + boundaries.Boundary() + "--");
                WriteLn("");
                boundaries.Pop();
            }
            WriteLn("--" + boundaries.Boundary());
        }
        if (StartsWithNoCase(type, "multipart/")) {
            const std::string boundary = environment_.NewBoundary();
            boundaries.Push(boundary, static_cast<int>(i));
            WriteLn("Content-Type: " + SevenBit(type) + ";");
            WriteLn("\tboundary=\"" + boundary + "\"");
            WriteLn("");
            continue;
        }
        if (part.PartType() == TMailPartType::mptText) {
            WriteTextPart(static_cast<TMailText&>(part));
        } else {
            WriteAttachmentPart(static_cast<TMailAttachment&>(part));
        }
        // In a multipart body this line break belongs to the next boundary
        // line; after the one part of a single-part body it would be one more
        // empty line of its text.
        if (!single) WriteLn("");
    }
    if (single) {
        boundaries.Clear();
        return;
    }
    while (!boundaries.Empty()) {
        WriteLn("--" + boundaries.Boundary() + "--");
        WriteLn("");
        boundaries.Pop();
    }
}

void TMailMessageWriter::WritePartHeaders(TMailMessagePart& part, const std::string& charset) {
    std::string fileName;
    if (!part.FileName.empty()) {
        fileName = QuotedString(EncodeHeaderWords(BaseName(part.FileName), environment_.HeaderEncoding()));
    }
    std::string line = "Content-Type: " + part.ContentType();
    if (!charset.empty()) line += "; charset=" + QuotedString(charset);
    if (!fileName.empty()) {
        WriteLn(SevenBit(line + ";"));
        line = "\tname=" + fileName;
    }
    WriteLn(SevenBit(line));
    const std::string transfer = part.ContentTransfer();
    if (!transfer.empty()) WriteLn(SevenBit("Content-Transfer-Encoding: " + transfer));
    line = "Content-Disposition: " + part.ContentDisposition();
    if (!fileName.empty()) {
        WriteLn(SevenBit(line + ";"));
        line = "\tfilename=" + fileName;
    }
    WriteLn(SevenBit(line));
    const std::string id = part.ContentID();
    if (!id.empty()) WriteLn(SevenBit("Content-ID: " + id));
    const std::string description = part.ContentDescription();
    if (!description.empty()) WriteLn(SevenBit("Content-Description: " + description));
    for (const std::string& extra : part.ExtraHeaders) WriteLn(SevenBit(extra));
    WriteLn("");
}

void TMailMessageWriter::WriteTextPart(TMailText& part) {
    if (part.ContentType().empty()) part.SetContentType("text/plain");
    const std::string transfer = part.ContentTransfer();
    if (transfer.empty()) {
        part.SetContentTransfer("quoted-printable");
    } else if (!IsOneOf(transfer, {"quoted-printable", "base64"}) && HasHighBytes(part.Body)) {
        part.SetContentTransfer("8bit");
    }
    if (part.ContentDisposition().empty()) part.SetContentDisposition("inline");
    // Text without a declared charset that is not plain ASCII is declared as
    // what it is held in, so no character is lost.
    std::string charset = part.CharSet;
    if (charset.empty() && HasHighBytes(part.Body)) charset = "UTF-8";
    WritePartHeaders(part, charset);
    WriteText(part.Body, charset, part.ContentTransfer());
}

void TMailMessageWriter::WriteText(const TMailLines& lines, const std::string& charset,
                                   const std::string& transfer) {
    // Every line ends with CR LF; a CR LF, CR or LF inside a line ends a line too.
    std::string text;
    for (const std::string_view line : lines) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n') ++i;
                text += "\r\n";
            } else {
                text += c;
            }
        }
        text += "\r\n";
    }
    if (!charset.empty() && !IsUtf8CharsetName(charset)) text = CharsetToTextEncoding(charset)->FromUtf8(text);
    if (EqualsNoCase(transfer, "quoted-printable")) {
        TQuotedPrintableEncoder encoder;
        encoder.Step(text, buffer_);
        encoder.Finish(buffer_);
        MaybeFlush();
    } else if (EqualsNoCase(transfer, "base64")) {
        TBase64Encoder encoder;
        encoder.Step(text, buffer_);
        encoder.Finish(buffer_);
        MaybeFlush();
    } else {
        std::string_view rest = text;
        while (!rest.empty()) {
            const std::size_t end = rest.find("\r\n");
            WriteLn(rest.substr(0, end));
            rest.remove_prefix(end + 2);
        }
    }
}

void TMailMessageWriter::WriteAttachmentPart(TMailAttachment& part) {
    if (part.ContentTransfer().empty()) part.SetContentTransfer("base64");
    if (part.ContentDisposition().empty()) part.SetContentDisposition("attachment");
    if (part.ContentType().empty()) {
        part.SetContentType(EqualsNoCase(part.ContentTransfer(), "base64") ? "application/octet-stream"
                                                                            : "text/plain");
    }
    WritePartHeaders(part, part.CharSet);
    WriteAttachmentContent(part, part.ContentTransfer());
}

void TMailMessageWriter::WriteAttachmentContent(TMailAttachment& part, const std::string& transfer) {
    const bool base64 = EqualsNoCase(transfer, "base64");
    const bool quotedPrintable = EqualsNoCase(transfer, "quoted-printable");
    TBase64Encoder base64Encoder;
    TQuotedPrintableEncoder qpEncoder;
    std::string pendingLine;  // an unfinished line of content copied as it is
    std::istream& in = part.OpenLoadStream();
    try {
        const std::unique_ptr<char[]> block(new char[kReadBlock]);
        for (;;) {
            in.read(block.get(), static_cast<std::streamsize>(kReadBlock));
            const auto got = static_cast<std::size_t>(in.gcount());
            const std::string_view bytes(block.get(), got);
            if (base64) {
                base64Encoder.Step(bytes, buffer_);
            } else if (quotedPrintable) {
                qpEncoder.Step(bytes, buffer_);
            } else {
                std::string_view rest = bytes;
                for (std::size_t lf; (lf = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(lf + 1)) {
                    pendingLine.append(rest.substr(0, lf));
                    if (!pendingLine.empty() && pendingLine.back() == '\r') pendingLine.pop_back();
                    WriteLn(pendingLine);
                    pendingLine.clear();
                }
                pendingLine.append(rest);
            }
            MaybeFlush();
            if (!in) break;
        }
        if (in.bad()) throw EDiraError(TErrorKind::ekLocal, "Anlage konnte nicht gelesen werden.");
    } catch (...) {
        part.CloseLoadStream();
        throw;
    }
    part.CloseLoadStream();
    if (base64) {
        base64Encoder.Finish(buffer_);
    } else if (quotedPrintable) {
        qpEncoder.Finish(buffer_);
    } else if (!pendingLine.empty()) {
        WriteLn(pendingLine);
    }
    MaybeFlush();
}

}  // namespace kdv
