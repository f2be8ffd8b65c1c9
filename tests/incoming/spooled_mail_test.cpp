// The spool of a pass holds one mail at a time, byte for byte as it arrived,
// however the connection cut it into pieces.
#include "incoming/spooled_mail.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mail/mail_message.h"
#include "mail/mail_message_parts.h"
#include "platform/sha256.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {
namespace {

std::string Sha256Hex(const std::string& bytes) {
    TSha256 sha;
    sha.Update(bytes);
    return sha.FinishHex();
}

TEST(SpoolFile, EachMailIsAllTheFileHolds) {
    TTempDir home("diravid-spool");
    struct TMail {
        const char* name;
        std::string text;
        std::size_t piece;  // the size of the pieces it arrives in
    };
    std::string lines;
    for (int i = 0; i < 5000; ++i) lines += "Zeile " + std::to_string(i) + " der Lagemeldung\r\n";
    const std::vector<TMail> mails = {
        {"POP3 lines", lines, 30},
        {"a shorter one after it", "Subject: kurz\r\n\r\nText\r\n", 7},
        {"one large piece", std::string(200000, 'q'), 200000},
        {"pieces around the block size", lines + std::string(70000, 'z'), 65535},
        {"empty", "", 1},
    };
    const std::filesystem::path folder = home.Path() / "temp" / "4711";
    std::filesystem::path path;
    {
        TSpoolFile spool(folder);
        path = spool.Path();
        EXPECT_EQ(path.parent_path(), folder);
        for (const TMail& mail : mails) {
            SCOPED_TRACE(mail.name);
            spool.Restart();
            for (std::size_t at = 0; at < mail.text.size(); at += mail.piece) {
                spool.Write(std::string_view(mail.text).substr(at, mail.piece));
            }
            spool.Finish();
            EXPECT_EQ(spool.Path(), path);
            EXPECT_EQ(spool.Size(), mail.text.size());
            EXPECT_TRUE(ReadFile(path) == mail.text);
            EXPECT_EQ(spool.Hash(), Sha256Hex(mail.text));
        }
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

// A mail read while it arrives: the reader sees exactly the mail, never the
// longer one the file held before, and a transfer that ends early fails the
// reading instead of ending the mail.
TEST(SpoolReader, ReadsTheMailWhileItArrives) {
    TTempDir home("diravid-spool-reader");
    const std::string attachment(300000, 'A');
    std::string mail =
        "From: hans@example.org\r\nSubject: Lage\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nPegel 4,20 m\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=\"plan.bin\"\r\n"
        "Content-Disposition: attachment; filename=\"plan.bin\"\r\n\r\n";
    // Lines of a thousand bytes; the line end before the boundary belongs to it.
    std::string stored;
    for (std::size_t i = 0; i < attachment.size(); i += 1000) {
        if (!stored.empty()) stored += "\r\n";
        stored += attachment.substr(i, 1000);
    }
    mail += stored + "\r\n--b--\r\n";
    const std::string longer(mail.size() + 500000, 'x');

    struct TCase {
        const char* name;
        bool whole;  // the transfer ends with the mail, else it breaks off halfway
    };
    for (const TCase& c : {TCase{"whole", true}, TCase{"broken off", false}}) {
        SCOPED_TRACE(c.name);
        TSpoolFile spool(home.Path() / "temp");
        // The file held a longer mail before: its tail must stay unseen.
        spool.Restart();
        spool.Write(longer);
        spool.Finish();

        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = home.Path() / "temp";
        spool.Restart();
        TSpoolReader reader(spool, message);
        const std::size_t end = c.whole ? mail.size() : mail.size() / 2;
        // Small pieces and large ones in turn: the reader is handed short
        // stretches of the file, right before bytes of the earlier mail.
        std::size_t piece = 0;
        for (std::size_t at = 0; at < end; at += piece) {
            piece = std::min<std::size_t>(at / 100 % 2 == 0 ? 100 : 70000, end - at);
            spool.Write(std::string_view(mail).substr(at, piece));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (c.whole) {
            spool.Finish();
        } else {
            spool.Abort();
        }
        const std::exception_ptr failure = reader.Wait();
        if (!c.whole) {
            ASSERT_NE(failure, nullptr);
            continue;
        }
        ASSERT_EQ(failure, nullptr);
        EXPECT_EQ(message.Subject, "Lage");
        ASSERT_EQ(message.MessageParts.Count(), 2u);
        const auto* file = dynamic_cast<const TMailAttachmentFile*>(&message.MessageParts[1]);
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(ReadFile(file->StoredPathName()) == stored);
    }
}

// A reader whose transfer never ends in order is stopped, not left waiting.
TEST(SpoolReader, EndsWithItsSpoolUnfinished) {
    TTempDir home("diravid-spool-reader");
    TSpoolFile spool(home.Path() / "temp");
    TMailMessage message;
    spool.Restart();
    spool.Write("From: hans@example.org\r\n");
    { TSpoolReader reader(spool, message); }
    SUCCEED();
}

}  // namespace
}  // namespace kdv::testing
