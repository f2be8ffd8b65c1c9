// A live connection as the MIME reader's line source: the mail data of a
// dot-terminated transfer arrives as raw bytes, the "." line ends it and
// nothing after it is consumed, and a transfer cut off before "." fails.
#include <gtest/gtest.h>

#include "clients/connection_line_source.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "net/mail_tls_client.h"
#include "support/expect_raises.h"
#include "support/scripted_peer.h"

using kdv::testing::ExpectRaises;

namespace kdv::testing {
namespace {

class TPlainClient : public TMailExplicitTLSClient {
public:
    TPlainClient() : TMailExplicitTLSClient(110, 995, 110) {}
};

struct TSourceCase {
    const char* name;
    std::vector<TPeerStep> script;
    TLineTerminator terminator;
    std::vector<std::string> lines;  // the data lines read
    bool fails;                      // the read after them raises
};

class ConnectionLineSource : public ::testing::TestWithParam<TSourceCase> {};

TEST_P(ConnectionLineSource, ReadsTheTransfer) {
    const TSourceCase& c = GetParam();
    TScriptedPeer peer(c.script);
    TPlainClient client;
    client.Port = peer.Port();
    client.ReadTimeout = 2000;
    client.Connect("127.0.0.1");
    TMailConnectionLineSource source(client.IO());
    std::vector<std::string> lines;
    std::string_view line;
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
        ASSERT_TRUE(source.ReadLnRFC(line, c.terminator)) << i;
        lines.emplace_back(line);
    }
    EXPECT_EQ(lines, c.lines);
    if (c.fails) {
        const EDiraError error = ExpectRaises([&] { source.ReadLnRFC(line, c.terminator); });
        EXPECT_EQ(error.ErrorKind(), TErrorKind::ekPeerClosed);
        return;
    }
    EXPECT_FALSE(source.ReadLnRFC(line, c.terminator));
    EXPECT_FALSE(source.ReadLnRFC(line, c.terminator));
    // The reply after the transfer is still there for the protocol.
    EXPECT_EQ(client.IO().ReadLn(), "+OK next");
}

const std::string kLongLine(40000, 'z');

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectionLineSource,
    ::testing::Values(
        TSourceCase{"DotStuffingUndone",
                    {SendLines({"Subject: x", "", "..hidden", "...", ".", "+OK next"})},
                    TLineTerminator::LF,
                    {"Subject: x", "", ".hidden", ".."},
                    false},
        TSourceCase{"RawBytesKept",
                    {SendRaw("Gr\xfc\xdf" "e \xc3\xa4\r\n.\r\n+OK next\r\n")},
                    TLineTerminator::LF,
                    {"Gr\xfc\xdf" "e \xc3\xa4"},
                    false},
        TSourceCase{"BareBreaksStayInCrLfMode",
                    {SendRaw("a\nb\rc\r\n.\r\n+OK next\r\n")},
                    TLineTerminator::CRLF,
                    {"a\nb\rc"},
                    false},
        TSourceCase{"DataLineBeyondTheReplyLimit",
                    {SendLines({kLongLine, ".", "+OK next"})},
                    TLineTerminator::LF,
                    {kLongLine},
                    false},
        TSourceCase{"PeerClosesBeforeTheEnd", {SendLines({"Subject: x", "", "Text"}), CloseNow()},
                    TLineTerminator::LF, {"Subject: x", "", "Text"}, true},
        TSourceCase{"PeerClosesMidLine", {SendLines({"Subject: x"}), CloseMidLine("Tex")}, TLineTerminator::LF,
                    {"Subject: x"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A mail cut off in transfer never reaches the caller as a complete mail.
TEST(ConnectionLineSource, CutOffMailFailsInTheReader) {
    TScriptedPeer peer({SendLines({"From: a@example.org", "Subject: Teil", "", "erste Zeile"}), CloseNow()});
    TPlainClient client;
    client.Port = peer.Port();
    client.Connect("127.0.0.1");
    TMailConnectionLineSource source(client.IO());
    TMailMessage message;
    TMailMessageReader reader(source);
    EXPECT_THROW(reader.ProcessMessage(message), EDiraError);
}

TEST(ConnectionLineSource, CompleteMailReadsThrough) {
    TScriptedPeer peer({SendLines({"From: a@example.org", "Subject: Ganz", "", "erste Zeile", "..zweite", "."})});
    TPlainClient client;
    client.Port = peer.Port();
    client.Connect("127.0.0.1");
    TMailConnectionLineSource source(client.IO());
    TMailMessage message;
    TMailMessageReader reader(source);
    reader.ProcessMessage(message);
    EXPECT_EQ(message.Subject, "Ganz");
    EXPECT_EQ(message.Body, (TMailLines{"erste Zeile", ".zweite"}));
}

}  // namespace
}  // namespace kdv::testing
