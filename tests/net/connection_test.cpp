// The plain connection against a scripted peer: connects and their failures,
// line and byte input with their limits and time-outs, line output, and
// what Connected says after the peer is gone.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>
#endif

#include <thread>

#include "net/mail_tls_client.h"
#include "net/net_test_util.h"
#include "support/free_port.h"
#include "support/scripted_peer.h"

namespace kdv::testing {
namespace {

using namespace std::chrono_literals;

// A client connected to `peer` with a short time limit.
struct TConnected {
    TTestClient client;
    explicit TConnected(const TScriptedPeer& peer, int read_timeout_ms = 2000) {
        client.Port = peer.Port();
        client.ReadTimeout = read_timeout_ms;
        client.Connect("127.0.0.1");
    }
};

// ---- reading lines ------------------------------------------------------------

struct TReadCase {
    const char* name;
    std::vector<TPeerStep> script;
    std::function<std::string(TMailLineIO&)> read;
    std::string expected;        // the text read, when no error
    const char* error;           // the error's message, or null
    TErrorKind kind;
};

class ReadLines : public ::testing::TestWithParam<TReadCase> {};

TEST_P(ReadLines, GivesTheLineOrTheError) {
    const TReadCase& c = GetParam();
    TScriptedPeer peer(c.script);
    TConnected connected(peer, 1000);
    TMailLineIO& io = connected.client.IO();
    if (c.error == nullptr) {
        EXPECT_EQ(c.read(io), c.expected);
    } else {
        const EDiraError error = ExpectRaises([&] { c.read(io); });
        EXPECT_STREQ(error.what(), c.error);
        EXPECT_EQ(error.ErrorKind(), c.kind);
    }
}

std::string ReadLn(TMailLineIO& io) { return io.ReadLn(); }
std::string ReadLnWait(TMailLineIO& io) { return io.ReadLnWait(); }
std::string ReadSecondLine(TMailLineIO& io) {
    io.ReadLn();
    return io.ReadLn();
}
std::string ReadRawCrLf(TMailLineIO& io) { return std::string(io.ReadRawLn(TLineEnd::CRLF, 0)); }
std::string ReadFiveBytes(TMailLineIO& io) {
    std::string out;
    io.ReadBytes(5, out);
    return out;
}

const std::string k16384(16384, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, ReadLines,
    ::testing::Values(
        TReadCase{"CrLfLine", {Send("+OK bereit")}, ReadLn, "+OK bereit", nullptr, {}},
        TReadCase{"BareLfLine", {SendRaw("+OK\n")}, ReadLn, "+OK", nullptr, {}},
        TReadCase{"HighBytesReadAsQuestionMarks", {Send("250 Gr\xc3\xbc\xc3\x9f" "e")}, ReadLn, "250 Gr????e",
                  nullptr, {}},
        TReadCase{"LineOf16384Bytes", {SendLineOfLength(16384)}, ReadLn, k16384, nullptr, {}},
        TReadCase{"LineOf16385Bytes", {SendLineOfLength(16385)}, ReadLn, "", "Max. Zeilenlänge überschritten.",
                  TErrorKind::ekLineTooLong},
        TReadCase{"LineAfterA16384ByteLine", {SendLineOfLength(16384), Send("next")}, ReadSecondLine, "next",
                  nullptr, {}},
        TReadCase{"GarbageWithoutLineBreak", {SendGarbage(40000), Stall(3s)}, ReadLn, "",
                  "Max. Zeilenlänge überschritten.", TErrorKind::ekLineTooLong},
        TReadCase{"WaitSkipsBlankLines", {SendLines({"", "   ", "* OK"})}, ReadLnWait, "* OK", nullptr, {}},
        TReadCase{"StallTimesOut", {Stall(5s)}, ReadLn, "", "Zeitüberschreitung beim Lesen.",
                  TErrorKind::ekTimeout},
        TReadCase{"PeerClosesWhileReadWaits", {CloseNow()}, ReadLn, "",
                  "Die Verbindung wurde erfolgreich geschlossen.", TErrorKind::ekPeerClosed},
        TReadCase{"PeerClosesMidLine", {CloseMidLine("+OK unvollst")}, ReadLn, "",
                  "Die Verbindung wurde erfolgreich geschlossen.", TErrorKind::ekPeerClosed},
        TReadCase{"RawLineKeepsBytesAndBareBreaks", {SendRaw("a\nb\rc\xfc\r\n")}, ReadRawCrLf, "a\nb\rc\xfc", nullptr,
                  {}},
        TReadCase{"CountedBytesSpanLineBreaks", {SendRaw("ab\r\ncd")}, ReadFiveBytes, "ab\r\nc", nullptr, {}},
        TReadCase{"CountedBytesCutOff", {CloseMidLine("abc")}, ReadFiveBytes, "",
                  "Die Verbindung wurde erfolgreich geschlossen.", TErrorKind::ekPeerClosed}),
    [](const auto& info) { return std::string(info.param.name); });

// A read's limit is time without progress: mail data from a slow sender
// that keeps sending is not cut off by it. A protocol line is a reply and
// is due within the limit as a whole, however its bytes trickle in.
std::vector<TPeerStep> SlowLine() {
    std::vector<TPeerStep> script;
    for (int i = 0; i < 6; ++i) {
        script.push_back(SendRaw("abc"));
        script.push_back(Stall(200ms));
    }
    script.push_back(Send(""));
    return script;
}

TEST(ReadTimeLimit, DataCountsFromTheLastProgress) {
    TScriptedPeer peer(SlowLine());
    TConnected connected(peer, 500);
    EXPECT_EQ(connected.client.IO().ReadRawLn(TLineEnd::LF, 0), "abcabcabcabcabcabc");
}

TEST(ReadTimeLimit, ProtocolLineIsDueAsAWhole) {
    TScriptedPeer peer(SlowLine());
    TConnected connected(peer, 500);
    const auto start = std::chrono::steady_clock::now();
    try {
        connected.client.IO().ReadLn();
        ADD_FAILURE() << "the line came in whole";
    } catch (const EDiraError& error) {
        EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTimeout);
        EXPECT_STREQ(error.what(), kDeadlinePassed);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
}

TEST(ReadTimeLimit, DefaultsToSixtySeconds) {
    TMailIOHandler handler;
    EXPECT_EQ(handler.ReadLimit(), std::chrono::milliseconds(60000));
    EXPECT_EQ(handler.ConnectLimit(), std::chrono::milliseconds(60000));
    handler.ReadTimeout = 5000;
    EXPECT_EQ(handler.ConnectLimit(), std::chrono::milliseconds(5000));
    handler.ConnectTimeout = 4000;
    EXPECT_EQ(handler.ConnectLimit(), std::chrono::milliseconds(4000));
}

// ---- writing --------------------------------------------------------------

TEST(WriteLn, SendsBytesUnchanged) {
    TScriptedPeer peer({ExpectAny(), ExpectAny()});
    {
        TConnected connected(peer);
        connected.client.IO().WriteLn("PASS p\xc3\xa4\xc3\x9fw\xc2\xa7rd");
        connected.client.IO().Write("raw\xff\r\n");
    }
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"PASS p\xc3\xa4\xc3\x9fw\xc2\xa7rd", "raw\xff"}));
    EXPECT_EQ(peer.Failures(), "");
}

TEST(Disconnect, SendsTheFarewellOnlyWhenAsked) {
    TScriptedPeer with_farewell({Send("+OK")});
    TScriptedPeer without({Send("+OK")});
    {
        TConnected a(with_farewell);
        a.client.IO().ReadLn();
        a.client.Disconnect();
        TConnected b(without);
        b.client.IO().ReadLn();
        b.client.Disconnect(false);
    }
    EXPECT_EQ(with_farewell.Transcript(), (std::vector<std::string>{"QUIT"}));
    EXPECT_EQ(without.Transcript(), (std::vector<std::string>{}));
}

// ---- Connected --------------------------------------------------------------

TEST(Connected, TrueWhileThePeerListens) {
    TScriptedPeer peer({Stall(3s)});
    TConnected connected(peer);
    EXPECT_TRUE(connected.client.Connected());
}

TEST(Connected, FalseAfterThePeerClosed) {
    TScriptedPeer peer({CloseNow()});
    TConnected connected(peer);
    peer.Transcript();  // the peer has closed
    EXPECT_FALSE(connected.client.Connected());
}

TEST(Connected, TrueWhileReceivedLinesRemain) {
    TScriptedPeer peer({Send("* BYE"), CloseNow()});
    TConnected connected(peer);
    peer.Transcript();
    EXPECT_TRUE(connected.client.Connected());
    EXPECT_EQ(connected.client.IO().ReadLn(), "* BYE");
    EXPECT_FALSE(connected.client.Connected());
}

TEST(Connected, FalseBeforeAnyConnect) {
    TTestClient client;
    EXPECT_FALSE(client.Connected());
    EXPECT_STREQ(ExpectRaises([&] { client.IO(); }).what(), "Nicht verbunden");
}

TEST(Connect, RefusedWhileConnected) {
    TScriptedPeer peer({Stall(3s)});
    TConnected connected(peer);
    EXPECT_STREQ(ExpectRaises([&] { connected.client.Connect(); }).what(), "Verbindung besteht bereits.");
}

TEST(Connect, AgainAfterThePeerClosed) {
    TScriptedPeer first({CloseNow()});
    TScriptedPeer second({Send("+OK again")});
    TConnected connected(first);
    first.Transcript();
    connected.client.Port = second.Port();
    connected.client.Connect();
    EXPECT_EQ(connected.client.IO().ReadLn(), "+OK again");
}

// ---- connect failures ---------------------------------------------------------

struct TConnectCase {
    const char* name;
    std::string host;
    bool free_port;
    std::string message_start;
    std::string message_part;
    TErrorKind kind;
};

class ConnectFailures : public ::testing::TestWithParam<TConnectCase> {};

TEST_P(ConnectFailures, SayWhy) {
    const TConnectCase& c = GetParam();
    TTestClient client;
    client.Host = c.host;
    client.Port = c.free_port ? FreePort() : 110;
    client.ReadTimeout = 5000;
    const EDiraError error = ExpectRaises([&] { client.Connect(); });
    const std::string message = error.what();
    EXPECT_EQ(message.substr(0, c.message_start.size()), c.message_start) << message;
    EXPECT_NE(message.find(c.message_part), std::string::npos) << message;
    EXPECT_EQ(error.ErrorKind(), c.kind);
    EXPECT_FALSE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectFailures,
    ::testing::Values(
#ifdef _WIN32
        TConnectCase{"Refused", "127.0.0.1", true, "Socket-Fehler # 10061\r\n", "Verbindung abgelehnt.",
#else
        TConnectCase{"Refused", "127.0.0.1", true, "Socket-Fehler # 111\r\n", "Verbindung abgelehnt.",
#endif
                     TErrorKind::ekRefused},
        TConnectCase{"HostNotFound", "host.invalid", false, "Socket-Fehler # ", "\r\nHost nicht gefunden.",
                     TErrorKind::ekRefused},
        TConnectCase{"EmptyHost", "", false, "A Host is required", "A Host is required", TErrorKind::ekUsage}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConnectFailures, PortZero) {
    TTestClient client;
    client.Host = "127.0.0.1";
    client.Port = 0;
    EXPECT_STREQ(ExpectRaises([&] { client.Connect(); }).what(), "A Port is required");
}

// A listener whose queue is full drops further connection requests, so the
// connect neither succeeds nor fails until its own limit passes.
TEST(ConnectFailures, TimesOutOnASilentServer) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows answers a full listen queue with a reset, so this server is not silent there";
#else
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ::listen(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(100ms);
    TTestClient client;
    client.Host = "127.0.0.1";
    client.Port = ntohs(address.sin_port);
    client.ConnectTimeout = 400;
    const auto start = std::chrono::steady_clock::now();
    const EDiraError error = ExpectRaises([&] { client.Connect(); });
    const auto took = std::chrono::steady_clock::now() - start;
    for (int fd : fillers) ::close(fd);
    ::close(listener);
    EXPECT_STREQ(error.what(), "Zeitüberschreitung der Verbindung.");
    EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTimeout);
    EXPECT_GE(took, 350ms);
    EXPECT_LT(took, 3s);
#endif
}

}  // namespace
}  // namespace kdv::testing
