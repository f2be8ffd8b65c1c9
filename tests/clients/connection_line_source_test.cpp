// A live connection as the MIME reader's line source: the mail data of a
// dot-terminated transfer arrives as raw bytes, the "." line ends it and
// nothing after it is consumed, and a transfer cut off before "." fails.
#include <gtest/gtest.h>

#include "clients/connection_line_source.h"
#include "clients/mail_pop3.h"
#include "mail/byte_sink.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "net/mail_tls_client.h"
#include "support/expect_raises.h"
#include "support/piece_transport.h"
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
        TSourceCase{"BareBreaksStayInsideACrLfMailInCrLfMode",
                    {SendRaw("x\r\na\nb\r\n.\r\n+OK next\r\n")},
                    TLineTerminator::CRLF,
                    {"x", "a\nb"},
                    false},
        TSourceCase{"BareBreaksEndLinesAsInTheMailsFile",
                    {SendRaw("a\nb\rc\r\n.\r\n+OK next\r\n")},
                    TLineTerminator::CRLF,
                    {"a", "b", "c"},
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

// The raw retrieval writes what the mailbox pass spools: every line of the
// transfer as the wire cuts it (at LF, a bare CR staying inside), unstuffed,
// with CR LF after it, however the bytes arrive.
struct TRawCase {
    const char* name;
    std::string wire;  // the transfer after "+OK"
    std::string spooled;
};

class RawRetrieval : public ::testing::TestWithParam<TRawCase> {};

TEST_P(RawRetrieval, SpoolsTheMailText) {
    const TRawCase& c = GetParam();
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
        TPieceTransport transport("+OK hi\r\n-ERR\r\n+OK\r\n+OK\r\n+OK\r\n" + c.wire + "+OK next\r\n", piece);
        TMailPOP3 client;
        client.Username = "anna";
        client.Password = "pw";
        client.SetIOHandler(&transport);
        client.Connect("memory");
        std::string spooled;
        TStringSink sink(spooled);
        ASSERT_TRUE(client.RetrieveRaw(1, sink));
        EXPECT_EQ(spooled, c.spooled) << "pieces of " << piece;
        EXPECT_EQ(client.IO().ReadLn(), "+OK next");
        client.SetIOHandler(nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RawRetrieval,
    ::testing::Values(TRawCase{"CrLfLines", "a\r\n\r\nb\r\n.\r\n", "a\r\n\r\nb\r\n"},
                      TRawCase{"BareCrStaysInsideItsLine", "a\rb\r\n.\r\n", "a\rb\r\n"},
                      TRawCase{"BareLfBecomesCrLf", "a\nb\r\n.\r\n", "a\r\nb\r\n"},
                      TRawCase{"CrRightBeforeCrLfStays", "a\r\r\n.\r\n", "a\r\r\n"},
                      TRawCase{"StuffedDotsUndoneSingleDotsKept", "..x\r\n.y\r\n..\r\n.\r\n", ".x\r\n.y\r\n.\r\n"},
                      TRawCase{"DotAndCrAreData", ".\r\r\n.\r\n", ".\r\r\n"},
                      TRawCase{"DotsAfterBareLfLines", "x\n..y\n.\n", "x\r\n.y\r\n"},
                      TRawCase{"DotsAfterABareCrStay", "a\r..b\r\n.\r\n", "a\r..b\r\n"},
                      TRawCase{"EmptyMail", ".\r\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
