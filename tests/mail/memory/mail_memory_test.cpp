// How much memory reading one mail takes. Every heap block is counted
// (support/heap), so the figure is exact and the same with or without the
// sanitizers.
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "mail/stream_line_source.h"
#include "support/heap/heap_counter.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>

namespace kdv {
namespace {

constexpr std::size_t kMailBytes = 20u * 1024 * 1024;
constexpr std::size_t kMiB = 1024 * 1024;

// The heap a read takes at its peak, beyond what was in use before it (the
// mail's own bytes included there).
template <class TRead>
std::size_t PeakOf(TRead read) {
    return testing::PeakHeapBytesOf(read);
}

std::string Repeat(std::string_view head, std::string_view line, std::string_view tail = {}) {
    std::string mail(head);
    while (mail.size() + tail.size() < kMailBytes) mail.append(line);
    mail.append(tail);
    return mail;
}

// Presents a mail as a POP3 server sends it (lines as they are, then ".").
class TWireInput final : public ILineInput {
public:
    explicit TWireInput(const std::string& mail) : mail_(mail) {}
    std::size_t Read(char* buffer, std::size_t size) override {
        if (pos_ >= mail_.size() + kEnd.size()) return 0;
        std::size_t n = 0;
        for (; n < size && pos_ < mail_.size() + kEnd.size(); ++n, ++pos_)
            buffer[n] = pos_ < mail_.size() ? mail_[pos_] : kEnd[pos_ - mail_.size()];
        return n;
    }

private:
    static constexpr std::string_view kEnd = ".\r\n";
    const std::string& mail_;
    std::size_t pos_ = 0;
};

// Reading any mail takes at most twice its size plus 16 MB on top of the mail
// itself (three times its size with it): text is kept in one buffer, not as an
// object per line, and attachments go to files.
TEST(MailMemory, ReadingAMailTakesASmallMultipleOfItsSize) {
    const std::string multipart = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\n";
    struct TCase {
        const char* name;
        std::string mail;
        bool stream = false;
    };
    const TCase cases[] = {
        {"plain mail of empty LF lines", Repeat("Subject: leer\n\n", "\n")},
        {"plain mail of empty CR LF lines", Repeat("Subject: leer\r\n\r\n", "\r\n")},
        {"text part of empty CR LF lines", Repeat(multipart + "Content-Type: text/plain\r\n\r\n", "\r\n", "--B--\r\n")},
        {"text part of empty LF lines", Repeat("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=B\n\n--B\n\n",
                                               "\n", "--B--\n")},
        {"8bit text part of long lines",
         Repeat(multipart + "Content-Transfer-Encoding: 8bit\r\n\r\n", std::string(998, 'x') + "\r\n", "--B--\r\n")},
        {"quoted-printable text of umlauts", Repeat("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                                                    "Content-Transfer-Encoding: quoted-printable\r\n\r\n",
                                                    "=E4=F6=FC=DF=E4=F6=FC=DF\r\n")},
        {"base64 attachment", Repeat(multipart + "Content-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n",
                                     "JVBERi0xLjQKJeLjz9MKMSAwIG9iago8PC9UeXBlL0NhdGFsb2c+PmVuZG9iagoxIDAgb2Jq\r\n",
                                     "--B--\r\n")},
        {"empty CR LF lines from a live transfer", Repeat("Subject: leer\r\n\r\n", "\r\n"), true},
    };
    testing::TTempDir temp("diravid-memory");
    for (const auto& c : cases) {
        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = temp.Path();
        const std::size_t peak = PeakOf([&] {
            if (c.stream) {
                TWireInput input(c.mail);
                TMailStreamLineSource source(input);
                TMailMessageReader(source).ProcessMessage(message);
            } else {
                LoadMessageFromMemory(message, c.mail);
            }
        });
        std::cout << c.name << ": mail " << c.mail.size() / kMiB << " MB, peak while reading " << peak / kMiB
                  << " MB beyond it\n";
        EXPECT_LE(peak, 2 * c.mail.size() + 16 * kMiB) << c.name;
        EXPECT_TRUE(message.MessageParts.Count() > 0 || message.Body.size() > 0) << c.name;
    }
}

}  // namespace
}  // namespace kdv
