#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "mail/stream_line_source.h"
#include "platform/dira_error.h"
#include "support/expect_raises.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using kdv::testing::ExpectRaises;
using kdv::testing::ReadFile;

namespace kdv {
namespace {

namespace fs = std::filesystem;

const fs::path kDataDir = fs::path(DIRAVID_SOURCE_DIR) / "tests" / "mail" / "data";

// Stored mails keep LF line ends for readability; on the wire they are CR LF.
std::string ToWire(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

// Every line break (CR LF, LF or CR alone) as CR LF, as a server sends the mail.
std::string AllBreaksToWire(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            out.append("\r\n");
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Mails named raw_* are stored with the line breaks they are to be read with
// (LF alone, CR alone), as mail files saved to disk come.
bool IsRawMail(const fs::path& path) { return path.filename().string().rfind("raw_", 0) == 0; }

// Bytes outside printable ASCII and UTF-8 shown as \xNN, so a dump stays readable text.
std::string Escaped(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            static const char* hex = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string Fnv1a(std::string_view bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    std::ostringstream s;
    s << std::hex << h;
    return s.str();
}

// A readable picture of everything the reader fills (the date depends on the
// machine's zone and is checked on its own).
std::string Dump(TMailMessage& m) {
    std::ostringstream d;
    const auto field = [&](const char* name, const std::string& value) {
        if (!value.empty()) d << name << ": " << Escaped(value) << "\n";
    };
    const char* encodings[] = {"Default", "MIME", "PlainText"};
    const char* priorities[] = {"Highest", "High", "Normal", "Low", "Lowest"};
    field("Subject", m.Subject);
    field("From", m.FromList.EMailAddresses());
    for (std::size_t i = 0; i < m.FromList.Count(); ++i) field("  From.Name", m.FromList[i].Name);
    field("To", m.Recipients.EMailAddresses());
    field("Cc", m.CCList.EMailAddresses());
    field("Bcc", m.BccList.EMailAddresses());
    field("Reply-To", m.ReplyTo.EMailAddresses());
    field("Sender", m.Sender.Text());
    field("ReceiptRecipient", m.ReceiptRecipient.Text());
    field("MsgId", m.MsgId);
    field("InReplyTo", m.InReplyTo);
    field("References", m.References);
    field("Organization", m.Organization);
    for (const auto& g : m.NewsGroups) field("Newsgroup", g);
    field("ContentType", m.ContentType());
    field("CharSet", m.CharSet);
    field("ContentTransferEncoding", m.ContentTransferEncoding);
    field("ContentDisposition", m.ContentDisposition);
    d << "Encoding: " << encodings[static_cast<int>(m.Encoding())] << "\n";
    d << "Priority: " << priorities[static_cast<int>(m.Priority)] << "\n";
    if (m.IsMsgSinglePartMime) d << "IsMsgSinglePartMime\n";
    d << "Body: " << m.Body.size() << " lines\n";
    for (const auto& line : m.Body) d << "  |" << Escaped(line) << "\n";
    for (std::size_t i = 0; i < m.MessageParts.Count(); ++i) {
        TMailMessagePart& part = m.MessageParts[i];
        const bool text = part.PartType() == TMailPartType::mptText;
        d << "Part " << i << ": " << (text ? "text" : "attachment") << ", parent " << part.ParentPart << "\n";
        const auto pfield = [&](const char* name, const std::string& value) {
            if (!value.empty()) d << "  " << name << ": " << Escaped(value) << "\n";
        };
        pfield("ContentType", part.ContentType());
        pfield("CharSet", part.CharSet);
        pfield("Name", part.Name);
        pfield("FileName", part.FileName);
        pfield("ContentTransfer", part.ContentTransfer());
        pfield("ContentDisposition", part.ContentDisposition());
        pfield("ContentID", part.ContentID());
        pfield("ContentDescription", part.ContentDescription());
        pfield("ContentLocation", part.ContentLocation());
        for (const auto& line : part.ExtraHeaders) pfield("Extra", line);
        if (text) {
            const auto& body = static_cast<TMailText&>(part).Body;
            d << "  Body: " << body.size() << " lines\n";
            for (const auto& line : body) d << "    |" << Escaped(line) << "\n";
        } else {
            auto& file = static_cast<TMailAttachmentFile&>(part);
            const std::string content = ReadFile(file.StoredPathName());
            d << "  Content: " << content.size() << " bytes, fnv " << Fnv1a(content);
            if (content.size() <= 80) d << ", \"" << Escaped(content) << "\"";
            d << "\n";
        }
    }
    return d.str();
}

// Presents a mail as a POP3 server sends it, one byte per read.
class TOneByteInput final : public ILineInput {
public:
    explicit TOneByteInput(std::string_view mail) {
        // Dot-stuffing and the end line, as the server does it.
        std::size_t pos = 0;
        while (pos < mail.size()) {
            std::size_t end = mail.find('\n', pos);
            end = end == std::string_view::npos ? mail.size() : end + 1;
            if (mail[pos] == '.') wire_.push_back('.');
            wire_.append(mail.substr(pos, end - pos));
            pos = end;
        }
        if (!wire_.empty() && wire_.back() != '\n') wire_.append("\r\n");
        wire_.append(".\r\n");
    }
    std::size_t Read(char* buffer, std::size_t size) override {
        if (pos_ >= wire_.size() || size == 0) return 0;
        buffer[0] = wire_[pos_++];
        return 1;
    }

private:
    std::string wire_;
    std::size_t pos_ = 0;
};

std::vector<fs::path> GoldenMails() {
    std::vector<fs::path> mails;
    for (const auto& entry : fs::directory_iterator(kDataDir))
        if (entry.path().extension() == ".eml") mails.push_back(entry.path());
    std::sort(mails.begin(), mails.end());
    return mails;
}

class MimeReaderGolden : public ::testing::TestWithParam<fs::path> {};

// Each stored mail is read on both roads (in memory, and from a stream one
// byte at a time); both must give the stored dump. A raw mail is read in
// memory as stored and from the stream as a server sends it, in CR LF lines.
// Set DIRAVID_UPDATE_GOLDEN=1 to write the dumps afresh after a deliberate
// change, then review the diff.
TEST_P(MimeReaderGolden, MatchesStoredDump) {
    const fs::path mail_path = GetParam();
    fs::path dump_path = mail_path;
    dump_path.replace_extension(".dump");
    const bool raw = IsRawMail(mail_path);
    const std::string mail = raw ? ReadFile(mail_path) : ToWire(ReadFile(mail_path));

    testing::TTempDir temp("diravid-mime");
    TMailMessage from_memory;
    from_memory.MessageParts.AttachmentTempDirectory = temp.Path();
    LoadMessageFromMemory(from_memory, mail);
    const std::string dump = Dump(from_memory);

    if (std::getenv("DIRAVID_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(dump_path, std::ios::binary) << dump;
    }
    EXPECT_EQ(dump, ReadFile(dump_path)) << mail_path.filename();

    TOneByteInput input(raw ? AllBreaksToWire(mail) : mail);
    TMailStreamLineSource source(input);
    TMailMessage from_stream;
    from_stream.MessageParts.AttachmentTempDirectory = temp.Path();
    TMailMessageReader(source).ProcessMessage(from_stream);
    EXPECT_EQ(Dump(from_stream), dump) << mail_path.filename() << " read one byte at a time";
}

INSTANTIATE_TEST_SUITE_P(Mails, MimeReaderGolden, ::testing::ValuesIn(GoldenMails()),
                         [](const ::testing::TestParamInfo<fs::path>& info) {
                             std::string name = info.param.stem().string();
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

std::size_t FilesIn(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

const char* kTwoAttachments =
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"B\"\r\n"
    "\r\n"
    "--B\r\n"
    "Content-Type: application/pdf; name=a.pdf\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0xLjQK\r\n"
    "--B\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "raw\r\n"
    "--B--\r\n";

TEST(MimeReader, TemporaryFilesGoWithTheMessage) {
    testing::TTempDir temp("diravid-mime");
    {
        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = temp.Path();
        LoadMessageFromMemory(message, kTwoAttachments);
        ASSERT_EQ(message.MessageParts.Count(), 2u);
        EXPECT_EQ(FilesIn(temp.Path()), 2u);
        // Reading the next mail into the same message drops the old files.
        LoadMessageFromMemory(message, kTwoAttachments);
        EXPECT_EQ(FilesIn(temp.Path()), 2u);
        message.Clear();
        EXPECT_EQ(FilesIn(temp.Path()), 0u);
        LoadMessageFromMemory(message, kTwoAttachments);
    }
    EXPECT_EQ(FilesIn(temp.Path()), 0u) << "freeing the message deletes its files";
}

TEST(MimeReader, FailuresKeepWhatWasReadAndLeakNoFile) {
    testing::TTempDir temp("diravid-mime");
    std::string too_many = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n";
    for (std::size_t i = 0; i <= kMaxMessageParts; ++i) too_many += "--B\r\nContent-Type: text/plain\r\n\r\nx\r\n";
    std::string too_deep = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=B0\r\n\r\n";
    for (std::size_t i = 0; i <= kMaxMultipartDepth; ++i)
        too_deep += "--B" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=B" + std::to_string(i + 1) +
                    "\r\n\r\n";
    const std::string text_line = std::string(1000, 't') + "\r\n";
    std::string too_much_text = "Subject: x\r\n\r\n";
    while (too_much_text.size() <= kMaxMessageTextBytes + text_line.size() * 100) too_much_text += text_line;
    std::string too_much_part_text =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\n\r\n";
    while (too_much_part_text.size() <= kMaxMessageTextBytes + text_line.size() * 100) too_much_part_text += text_line;
    struct TCase {
        const char* name;
        std::string mail;
        const char* error;
        std::size_t parts;
    };
    const TCase cases[] = {
        {"endless parts", too_many, "Die Nachricht hat zu viele Teile.", kMaxMessageParts},
        {"multiparts nested too deep", too_deep, "Die Nachricht ist zu tief verschachtelt.", kMaxMultipartDepth - 1},
        {"too much body text", too_much_text, "Der Text der Nachricht ist größer als 32 MB.", 0},
        {"too much text in a part", too_much_part_text, "Der Text der Nachricht ist größer als 32 MB.", 0},
    };
    for (const auto& c : cases) {
        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = temp.Path();
        const EDiraError e = ExpectRaises([&] { LoadMessageFromMemory(message, c.mail); });
        EXPECT_STREQ(e.what(), c.error) << c.name;
        // Read again, the mail fails alike: never taken for a lost connection.
        EXPECT_EQ(e.ErrorKind(), TErrorKind::ekMalformed) << c.name;
        EXPECT_EQ(message.MessageParts.Count(), c.parts) << c.name;
        message.Clear();
        EXPECT_EQ(FilesIn(temp.Path()), 0u) << c.name;
    }
}

TEST(MimeReader, HeaderOnlyMailHasNoBody) {
    TMailMessage message;
    LoadMessageFromMemory(message, "Subject: nur Kopf\r\nX-A: b");
    EXPECT_EQ(message.Subject, "nur Kopf");
    EXPECT_TRUE(message.Body.empty());
    EXPECT_EQ(message.Headers.Count(), 2u);
}

TEST(MimeReader, LfOnlyMailReadsLikeCrLf) {
    const std::string mail = ReadFile(kDataDir / "mixed_nested.eml");
    testing::TTempDir temp("diravid-mime");
    TMailMessage lf, crlf;
    lf.MessageParts.AttachmentTempDirectory = temp.Path();
    crlf.MessageParts.AttachmentTempDirectory = temp.Path();
    LoadMessageFromMemory(lf, mail);
    LoadMessageFromMemory(crlf, ToWire(mail));
    EXPECT_EQ(Dump(lf), Dump(crlf));
}

// The line break before a boundary belongs to the boundary; the bytes of a
// part read line by line keep the breaks they stood with.
TEST(MimeReader, AttachmentBytesStayAsTheyStand) {
    struct TCase {
        const char* name;
        const char* line_break;
        const char* encoding;
        const char* body;  // lines separated by "|", like the mail's own
        std::string content;
    };
    const TCase cases[] = {
        {"7bit from a CR LF mail", "\r\n", "7bit", "Zeile 1|Zeile 2", "Zeile 1\r\nZeile 2"},
        {"7bit from an LF file", "\n", "7bit", "Zeile 1|Zeile 2", "Zeile 1\nZeile 2"},
        {"7bit ending with a line break", "\r\n", "7bit", "Zeile 1|", "Zeile 1\r\n"},
        {"8bit from an LF file", "\n", "8bit", "Gr\xFC\xDF" "e|Ende", "Gr\xFC\xDF" "e\nEnde"},
        {"binary from a CR file", "\r", "binary", "a|b", "a\rb"},
        {"quoted-printable from an LF file", "\n", "quoted-printable", "x=3Dy=|z|w", "x=yz\nw"},
        {"quoted-printable from a CR LF mail", "\r\n", "quoted-printable", "a=20|b", "a \r\nb"},
    };
    testing::TTempDir temp("diravid-mime");
    for (const auto& c : cases) {
        const std::string mail = "MIME-Version: 1.0|Content-Type: multipart/mixed; boundary=B||--B|"
                                 "Content-Type: application/octet-stream|Content-Transfer-Encoding: " +
                                 std::string(c.encoding) + "||" + c.body + "|--B--|";
        std::string with_breaks;
        for (const char ch : mail) {
            if (ch == '|') with_breaks += c.line_break;
            else with_breaks += ch;
        }
        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = temp.Path();
        LoadMessageFromMemory(message, with_breaks);
        ASSERT_EQ(message.MessageParts.Count(), 1u) << c.name;
        auto& file = static_cast<TMailAttachmentFile&>(message.MessageParts[0]);
        EXPECT_EQ(ReadFile(file.StoredPathName()), c.content) << c.name;
    }
}

TEST(MimeReader, DateBecomesLocalTime) {
    using namespace std::chrono;
    TMailMessage message;
    LoadMessageFromMemory(message, "Date: Tue, 1 Jul 2003 10:52:37 +0200\r\n\r\n");
    // 08:52:37 UTC, shifted by the machine's zone (never more than 14 hours).
    const LocalTime utc{sys_days{2003y / July / 1}.time_since_epoch() + hours{8} + minutes{52} + seconds{37}};
    EXPECT_LE(abs(message.Date - utc), hours{14});
    LoadMessageFromMemory(message, "Date: kein Datum\r\n\r\n");
    EXPECT_EQ(message.Date, LocalTime{});
}

// Shapes of hostile mail that must neither hang nor exhaust memory.
TEST(MimeReader, HostileShapesStayFast) {
    const std::string head = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n";
    std::string nested = head;
    for (int i = 0; i < 3000; ++i) {
        const std::string outer = i == 0 ? "B" : "B" + std::to_string(i - 1);
        nested += "--" + outer + "\r\nContent-Type: multipart/mixed; boundary=B" + std::to_string(i) + "\r\n\r\n";
    }
    std::string many_headers = head + "--B\r\nContent-Type: text/plain\r\n";
    for (int i = 0; i < 50000; ++i) many_headers += "X-H" + std::to_string(i) + ": v\r\n";
    many_headers += "\r\nx\r\n--B--\r\n";
    std::string commas;
    while (commas.size() < (2u << 20)) commas += "a,";
    struct TCase {
        const char* name;
        std::string mail;
    };
    const TCase cases[] = {
        {"one header line of 2 MB without blanks", head + "--B\r\nX-Long: " + std::string(2 << 20, 'a') + "\r\n\r\nx\r\n"},
        {"an extra part header of 2 MB with commas", head + "--B\r\nX-Long: " + commas + "\r\n\r\nx\r\n"},
        {"a content type of 2 MB with commas", head + "--B\r\nContent-Type: text/plain; x=" + commas + "\r\n\r\nx\r\n"},
        {"a body line of 8 MB", head + "--B\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + std::string(8 << 20, 'b')},
        {"deep nesting", nested},
        {"many part headers", many_headers},
        {"many encoded-word openings in the subject", "Subject: " + [] {
             std::string s;
             while (s.size() < (1u << 20)) s += "=?a?q?";
             return s;
         }() + "\r\n\r\n"},
    };
    testing::TTempDir temp("diravid-mime");
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = temp.Path();
        try {
            LoadMessageFromMemory(message, c.mail);
        } catch (const EDiraError&) {
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.name;
    }
    EXPECT_EQ(FilesIn(temp.Path()), 0u);
}

}  // namespace
}  // namespace kdv
