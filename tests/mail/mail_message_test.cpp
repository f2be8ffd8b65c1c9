#include "mail/mail_message.h"

#include <gtest/gtest.h>

#include <string>

namespace kdv {
namespace {

// Every field the reader or a caller can fill, set to something non-initial.
void Fill(TMailMessage& m) {
    m.FromList.SetEMailAddresses("a@example.org");
    m.Recipients.SetEMailAddresses("b@example.org");
    m.CCList.SetEMailAddresses("c@example.org");
    m.BccList.SetEMailAddresses("d@example.org");
    m.ReplyTo.SetEMailAddresses("e@example.org");
    m.Sender.SetText("f@example.org");
    m.ReceiptRecipient.SetText("g@example.org");
    m.Subject = "Betreff";
    m.Body = {"Zeile"};
    m.MessageParts.AddText({"Teil"});
    m.SetContentType("multipart/mixed; boundary=x");
    m.CharSet = "utf-8";
    m.ContentTransferEncoding = "7bit";
    m.ContentDisposition = "inline";
    m.SetEncoding(TMailEncoding::mePlainText);
    m.Priority = TMailPriority::mpHighest;
    m.Date = LocalTime{std::chrono::milliseconds{1'700'000'000'000}};
    m.MsgId = "<id@x>";
    m.InReplyTo = "<alt@x>";
    m.References = "<alt@x>";
    m.Organization = "Leitstelle";
    m.NewsGroups = {"de.test"};
    m.Headers.SetValue("X-A", "1");
    m.ExtraHeaders.SetValue("X-B", "2");
    m.LastGeneratedHeaders.SetValue("X-C", "3");
    m.MIMEBoundary.Push("x", -1);
    m.ConvertPreamble = false;
    m.IsMsgSinglePartMime = true;
}

void ExpectInitial(TMailMessage& m) {
    EXPECT_TRUE(m.FromList.Empty());
    EXPECT_TRUE(m.Recipients.Empty());
    EXPECT_TRUE(m.CCList.Empty());
    EXPECT_TRUE(m.BccList.Empty());
    EXPECT_TRUE(m.ReplyTo.Empty());
    EXPECT_EQ(m.Sender, TMailEMailAddressItem());
    EXPECT_EQ(m.ReceiptRecipient, TMailEMailAddressItem());
    EXPECT_EQ(m.Subject, "");
    EXPECT_TRUE(m.Body.empty());
    EXPECT_TRUE(m.MessageParts.Empty());
    EXPECT_EQ(m.MessageParts.AttachmentEncoding, "MIME");
    EXPECT_EQ(m.ContentType(), "");
    EXPECT_EQ(m.CharSet, "");
    EXPECT_EQ(m.ContentTransferEncoding, "");
    EXPECT_EQ(m.ContentDisposition, "");
    EXPECT_EQ(m.Encoding(), TMailEncoding::meDefault);
    EXPECT_EQ(m.Priority, TMailPriority::mpNormal);
    EXPECT_TRUE(m.UseNowForDate());
    EXPECT_EQ(m.MsgId, "");
    EXPECT_EQ(m.InReplyTo, "");
    EXPECT_EQ(m.References, "");
    EXPECT_EQ(m.Organization, "");
    EXPECT_TRUE(m.NewsGroups.empty());
    EXPECT_TRUE(m.Headers.Empty());
    EXPECT_TRUE(m.ExtraHeaders.Empty());
    EXPECT_TRUE(m.LastGeneratedHeaders.Empty());
    EXPECT_TRUE(m.MIMEBoundary.Empty());
    EXPECT_TRUE(m.ConvertPreamble);
    EXPECT_FALSE(m.IsMsgSinglePartMime);
}

TEST(MailMessage, StartsClearedAndClearRestoresThatState) {
    TMailMessage message;
    ExpectInitial(message);
    Fill(message);
    message.Clear();
    ExpectInitial(message);
}

TEST(MailMessage, ClearHeaderKeepsTheBodyAndClearBodyKeepsTheHeader) {
    TMailMessage message;
    Fill(message);
    message.ClearHeader();
    EXPECT_EQ(message.Body, TMailLines{"Zeile"});
    EXPECT_EQ(message.MessageParts.Count(), 1u);
    EXPECT_EQ(message.Subject, "");
    Fill(message);
    message.ClearBody();
    EXPECT_TRUE(message.Body.empty());
    EXPECT_TRUE(message.MessageParts.Empty());
    EXPECT_EQ(message.Subject, "Betreff");
    EXPECT_EQ(message.Recipients.EMailAddresses(), "b@example.org");
}

TEST(MailMessage, FromNeverFails) {
    TMailMessage message;
    EXPECT_EQ(message.From().Address, "");
    EXPECT_EQ(message.From().Name, "");
    EXPECT_EQ(message.FromList.Count(), 1u) << "the empty author is appended once";
    message.FromList.SetEMailAddresses("Leitstelle <l@example.org>, b@example.org");
    EXPECT_EQ(message.From().Address, "l@example.org");
    EXPECT_EQ(message.FromList.Count(), 2u);
}

TEST(MailMessage, EncodingSelectsTheAttachmentEncoderFamily) {
    TMailMessage message;
    message.SetEncoding(TMailEncoding::mePlainText);
    EXPECT_EQ(message.MessageParts.AttachmentEncoding, "UUE");
    message.SetEncoding(TMailEncoding::meMIME);
    EXPECT_EQ(message.MessageParts.AttachmentEncoding, "MIME");
    message.SetEncoding(TMailEncoding::meDefault);
    EXPECT_EQ(message.MessageParts.AttachmentEncoding, "UUE");
    EXPECT_EQ(message.Encoding(), TMailEncoding::meDefault);
}

TEST(MailMessage, ContentTypeSplitsOffTheCharset) {
    const struct {
        const char* value;
        bool loading;
        const char* type;
        const char* charset;
    } cases[] = {
        {"", false, "text/plain", "us-ascii"},
        {"  ", true, "text/plain", "vorher"},
        {"text/html; charset=\"UTF-8\"", false, "text/html", "UTF-8"},
        {"TEXT/html; format=flowed; CHARSET=iso-8859-1", false, "TEXT/html; format=flowed", "iso-8859-1"},
        {"text/plain", false, "text/plain", "us-ascii"},
        {"text/plain", true, "text/plain", "us-ascii"},
        {"application/pdf", false, "application/pdf", ""},
        {"multipart/mixed; boundary=\"=_a\"", false, "multipart/mixed; boundary=\"=_a\"", ""},
        {"textual/x", false, "textual/x", ""},
    };
    for (const auto& c : cases) {
        TMailMessage message;
        message.CharSet = "vorher";
        message.Loading = c.loading;
        message.SetContentType(c.value);
        EXPECT_EQ(message.ContentType(), c.type) << c.value;
        EXPECT_EQ(message.CharSet, c.charset) << c.value;
    }
}

TEST(MailMessage, BodyIsEmptyWhenOnlyWhiteSpace) {
    TMailMessage message;
    EXPECT_TRUE(message.IsBodyEmpty());
    message.Body = {"", " \t", "\r\n"};
    EXPECT_TRUE(message.IsBodyEmpty());
    message.Body.push_back("  .");
    EXPECT_FALSE(message.IsBodyEmpty());
}

TEST(MailMIMEBoundary, StackOfBoundariesWithParents) {
    TMailMIMEBoundary stack;
    EXPECT_EQ(stack.Boundary(), "");
    EXPECT_EQ(stack.ParentPart(), -1);
    stack.Pop();
    stack.Push("aussen", -1);
    stack.Push("innen", 0);
    EXPECT_EQ(stack.Count(), 2u);
    EXPECT_EQ(stack.Boundary(), "innen");
    EXPECT_EQ(stack.ParentPart(), 0);
    stack.Pop();
    EXPECT_EQ(stack.Boundary(), "aussen");
    EXPECT_EQ(stack.ParentPart(), -1);
}

}  // namespace
}  // namespace kdv
