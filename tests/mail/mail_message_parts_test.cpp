#include "mail/mail_message_parts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "mail/mail_message.h"
#include "platform/dira_error.h"
#include "support/test_files.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

// A folder of its own per test, so leftover files are easy to see.
class MailPartsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kdv_parts_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::size_t FilesInDir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    // A received attachment with `content` in a temporary file of dir_.
    TMailAttachmentFile& Received(TMailMessage& message, const std::string& content) {
        message.MessageParts.AttachmentTempDirectory = dir_;
        TMailAttachmentFile& part = message.MessageParts.AddTempAttachment();
        part.PrepareTempStream() << content;
        part.FinishTempStream();
        return part;
    }

    fs::path dir_;
};

TEST_F(MailPartsTest, TemporaryFileGoesWithItsPart) {
    const struct {
        const char* how;
        std::function<void(TMailMessage&)> remove;
    } cases[] = {
        {"message cleared", [](TMailMessage& m) { m.Clear(); }},
        {"body cleared", [](TMailMessage& m) { m.ClearBody(); }},
        {"part deleted", [](TMailMessage& m) { m.MessageParts.Delete(1); }},
        {"parts cleared", [](TMailMessage& m) { m.MessageParts.Clear(); }},
        {"content refilled", [](TMailMessage& m) {
             auto& part = static_cast<TMailAttachmentFile&>(m.MessageParts[1]);
             part.PrepareTempStream() << "neu";
             part.FinishTempStream();
             m.MessageParts.Delete(1);
         }},
    };
    for (const auto& c : cases) {
        TMailMessage message;
        message.MessageParts.AddText({"Hallo"});
        const TMailAttachmentFile& part = Received(message, "Inhalt");
        const fs::path path = part.StoredPathName();
        EXPECT_TRUE(part.FileIsTempFile());
        EXPECT_EQ(path.parent_path(), dir_);
        EXPECT_EQ(path.extension(), ".tmp");
        EXPECT_EQ(ReadFile(path), "Inhalt");
        c.remove(message);
        EXPECT_FALSE(fs::exists(path)) << c.how;
        EXPECT_EQ(FilesInDir(), 0u) << c.how;
    }
    {
        TMailMessage message;
        Received(message, "a");
        Received(message, "b");
        EXPECT_EQ(FilesInDir(), 2u) << "each part has a file of its own";
    }
    EXPECT_EQ(FilesInDir(), 0u) << "destroying the message deletes its files";
}

TEST_F(MailPartsTest, FileAttachedFromDiskIsNeverDeleted) {
    const fs::path file = dir_ / "Bericht.PDF";
    WriteFile(file, "%PDF");
    {
        TMailMessage message;
        TMailAttachmentFile& part = message.MessageParts.AddAttachmentFile(file);
        EXPECT_FALSE(part.FileIsTempFile());
        EXPECT_EQ(part.FileName, "Bericht.PDF");
        EXPECT_EQ(part.ContentType(), "application/pdf");
        EXPECT_EQ(part.StoredPathName(), file);
        message.MessageParts.AttachmentTempDirectory = dir_;
        std::istringstream replacement("ersetzt");
        part.LoadFromStream(replacement);
        EXPECT_TRUE(part.FileIsTempFile());
        EXPECT_NE(part.StoredPathName(), file);
    }
    EXPECT_EQ(ReadFile(file), "%PDF");
    EXPECT_EQ(FilesInDir(), 1u);
}

TEST_F(MailPartsTest, ContentCopiesInAndOutUnchanged) {
    // More than one copy block, with every byte value, so block seams and
    // text-mode conversions would show.
    std::string content;
    for (std::size_t i = 0; i < kAttachmentCopyBlock + 1000; ++i) content += static_cast<char>(i * 7 % 256);
    const fs::path source = dir_ / "quelle.bin";
    WriteFile(source, content);

    TMailMessage message;
    message.MessageParts.AttachmentTempDirectory = dir_;
    TMailAttachmentFile& part = message.MessageParts.AddTempAttachment();
    part.LoadFromFile(source);
    std::ostringstream out;
    part.SaveToStream(out);
    EXPECT_EQ(out.str(), content);
    part.SaveToFile(dir_ / "ziel.bin");
    EXPECT_EQ(ReadFile(dir_ / "ziel.bin"), content);
    WriteFile(dir_ / "ziel.bin", "alter, längerer Inhalt als neu");
    Received(message, "neu").SaveToFile(dir_ / "ziel.bin");
    EXPECT_EQ(ReadFile(dir_ / "ziel.bin"), "neu") << "saving overwrites";
}

TEST_F(MailPartsTest, FailuresAreReported) {
    TMailMessage message;
    TMailAttachmentFile& empty = message.MessageParts.AddTempAttachment();
    EXPECT_THROW(empty.SaveToFile(dir_ / "x"), EDiraError) << "no content yet";
    EXPECT_THROW(empty.OpenLoadStream(), EDiraError);
    TMailAttachmentFile& part = Received(message, "Inhalt");
    EXPECT_THROW(part.SaveToFile(dir_ / "fehlt" / "x.bin"), EDiraError);
    EXPECT_THROW(part.LoadFromFile(dir_ / "fehlt.bin"), EDiraError);
    TMailAttachmentFile& missing = message.MessageParts.AddAttachmentFile(dir_ / "gibt-es-nicht.txt");
    EXPECT_THROW(missing.SaveToFile(dir_ / "y.txt"), EDiraError);
    message.MessageParts.AttachmentTempDirectory = dir_ / "fehlt";
    EXPECT_THROW(message.MessageParts.AddTempAttachment().PrepareTempStream(), EDiraError);
}

TEST_F(MailPartsTest, FileRemovedWhileFillingMarksThePartBlocked) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows refuses to remove a file that is open for writing";
#endif
    TMailMessage message;
    message.MessageParts.AttachmentTempDirectory = dir_;
    TMailAttachmentFile& part = message.MessageParts.AddTempAttachment();
    part.PrepareTempStream() << "Virus";
    fs::remove(part.StoredPathName());
    EXPECT_NO_THROW(part.FinishTempStream());
    EXPECT_TRUE(part.AttachmentBlocked);
}

TEST(MailMessagePart, ContentHeadersSplitOffTheirParameters) {
    TMailMessageParts parts;
    TMailText& text = parts.AddText({"a", "a"});
    EXPECT_EQ(text.Body, (TMailLines{"a", "a"}));
    text.SetContentType("text/plain; charset=\"ISO-8859-1\"; name=\"Grüße.txt\"; format=flowed");
    text.SetContentDisposition("inline; filename=\"Grüße 1.txt\"; size=10");
    text.SetContentTransfer("quoted-printable");
    text.SetContentID("<id@example.org>");
    text.SetContentDescription("Beschreibung");
    text.SetContentLocation("http://example.org/x");
    EXPECT_EQ(text.ContentType(), "text/plain; format=flowed");
    EXPECT_EQ(text.CharSet, "ISO-8859-1");
    EXPECT_EQ(text.Name, "Grüße.txt");
    EXPECT_EQ(text.ContentDisposition(), "inline; size=10");
    EXPECT_EQ(text.FileName, "Grüße 1.txt");
    EXPECT_EQ(text.Headers.Values("content-transfer-encoding"), "quoted-printable");
    EXPECT_EQ(text.ContentID(), "<id@example.org>");
    EXPECT_EQ(text.ContentDescription(), "Beschreibung");
    EXPECT_EQ(text.ContentLocation(), "http://example.org/x");
    text.SetContentDisposition("attachment; filename=\"=?UTF-8?Q?Gr=C3=BC=C3=9Fe.txt?=\"");
    EXPECT_EQ(text.FileName, "Grüße.txt");
    EXPECT_EQ(text.ContentDisposition(), "attachment");
    text.SetContentType("text/html");
    EXPECT_EQ(text.CharSet, "ISO-8859-1") << "an absent parameter leaves the field alone";
    EXPECT_EQ(text.ParentPart, -1);
    EXPECT_EQ(text.PartType(), TMailPartType::mptText);
    EXPECT_EQ(&text.Collection(), &parts);
}

TEST(MailMessageParts, CountsAndIndexes) {
    TMailMessageParts parts;
    EXPECT_EQ(parts.AttachmentEncoding, "MIME");
    parts.AddText();
    TMailText& related = parts.AddText();
    related.SetContentID("<bild@x>");
    TMailAttachmentFile& file = parts.AddAttachmentFile("/ohne/Endung");
    EXPECT_EQ(file.ContentType(), "application/octet-stream");
    EXPECT_EQ(file.PartType(), TMailPartType::mptAttachment);
    parts.CountParts();
    EXPECT_EQ(parts.TextPartCount, 2);
    EXPECT_EQ(parts.AttachmentCount, 1);
    EXPECT_EQ(parts.RelatedPartCount, 1);
    EXPECT_EQ(parts.IndexOf(file), 2);
    parts.Delete(0);
    EXPECT_EQ(parts.IndexOf(related), 0);
    parts.Delete(7);
    EXPECT_EQ(parts.Count(), 2u);
    EXPECT_THROW(parts[2], std::out_of_range);
}

}  // namespace
}  // namespace kdv
