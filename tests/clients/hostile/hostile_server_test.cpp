// Mail servers that misbehave on purpose: they drip their replies a byte at
// a time, flood the client with lines or literals nobody asked for, or
// announce more than they send. Each case must end within the time a reply
// or transfer is granted, with a bounded amount of memory, and with the
// error kind that tells the caller what happened. Every heap block is
// counted (support/heap), so the memory figure is exact.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "clients/mail_imap4.h"
#include "clients/mail_pop3.h"
#include "clients/mail_smtp.h"
#include "mail/byte_sink.h"
#include "net/mail_ssl_io_handler.h"
#include "support/error_kind_name.h"
#include "support/heap/heap_counter.h"
#include "support/scripted_peer.h"

namespace kdv::testing {
namespace {

using namespace std::chrono_literals;

// The time limit of every case: long against a dripping byte (300 ms),
// short for the test.
constexpr int kTimeLimitMs = 2000;
constexpr std::size_t kMiB = 1024 * 1024;

// Counts what a retrieval hands on, keeps nothing.
class TCountingSink final : public TByteSink {
public:
    void Write(std::string_view bytes) override { written += bytes.size(); }
    std::uint64_t written = 0;
};

// The time limit of the case running.
int time_limit_ms = kTimeLimitMs;

template <typename Client>
void Prepare(Client& client, std::uint16_t port) {
    client.Host = "127.0.0.1";
    client.Port = port;
    client.ReadTimeout = time_limit_ms;
    client.Username = "anna";
    client.Password = "pw";
}

std::vector<TPeerStep> Steps(std::initializer_list<std::vector<TPeerStep>> parts) {
    std::vector<TPeerStep> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::vector<TPeerStep> kPop3Login{Send("+OK ready"), Expect("CAPA"), SendLines({"+OK", "UIDL", "."}),
                                        Expect("USER anna"), Send("+OK"), Expect("PASS pw"), Send("+OK")};
const std::vector<TPeerStep> kImapSelected{
    Send("* OK [CAPABILITY IMAP4rev1] ready"), Expect("C1 LOGIN anna \"pw\""),
    Send("C1 OK [CAPABILITY IMAP4rev1] in"), Expect("C2 SELECT \"INBOX\""),
    SendLines({"* 1 EXISTS", "* OK [UIDVALIDITY 77] ok", "C2 OK [READ-WRITE] done"})};

void Pop3Connect(std::uint16_t port) {
    TMailPOP3 client;
    Prepare(client, port);
    client.Connect();
}

void Pop3Stat(std::uint16_t port) {
    TMailPOP3 client;
    Prepare(client, port);
    client.Connect();
    client.CheckMessages();
}

void Pop3Retrieve(std::uint16_t port) {
    TMailPOP3 client;
    Prepare(client, port);
    client.Connect();
    TCountingSink sink;
    client.RetrieveRaw(1, sink, 100, 1 * kMiB);
}

void ImapConnect(std::uint16_t port) {
    TMailIMAP4 client;
    Prepare(client, port);
    client.Connect(true);
}

void ImapConnectImplicitTls(std::uint16_t port) {
    TMailSSLIOHandlerSocketOpenSSL tls;
    TMailIMAP4 client;
    client.SetIOHandler(&tls);
    client.SetUseTLS(TUseTLS::utUseImplicitTLS);
    Prepare(client, port);
    client.Connect(true);
}

void ImapSelect(std::uint16_t port) {
    TMailIMAP4 client;
    Prepare(client, port);
    client.Connect(true);
    client.SelectMailBox("INBOX");
}

void ImapList(std::uint16_t port) {
    TMailIMAP4 client;
    Prepare(client, port);
    client.Connect(true);
    client.SelectMailBox("INBOX");
    std::vector<TIMAPFetchItems> mails;
    client.ListMessages(mails);
}

void ImapFetch(std::uint16_t port) {
    TMailIMAP4 client;
    Prepare(client, port);
    client.Connect(true);
    client.SelectMailBox("INBOX");
    TCountingSink sink;
    client.RetrieveRawByUID("40", sink, 1 * kMiB);
}

void SmtpConnect(std::uint16_t port) {
    TMailSMTP client;
    Prepare(client, port);
    client.Connect();
}

struct THostileCase {
    std::string name;
    std::vector<TPeerStep> script;
    std::function<void(std::uint16_t)> run;
    TErrorKind kind;
    // Beyond the time limit; what the case may take in all is the sum.
    std::chrono::milliseconds slack;
    std::size_t max_peak_bytes;
    int time_limit_ms = kTimeLimitMs;
};

std::string Repeat(const std::string& unit, std::size_t times) {
    std::string out;
    out.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

const std::string kMailLines = Repeat("Subject: drip drip drip\r\n", 200);
const std::string kMegaLiteral = "* 9 FETCH (BODY[] {1048576}\r\n" + std::string(1048576, 'L') + ")\r\n";

std::vector<THostileCase> Cases() {
    return {
        {"Pop3GreetingDrips", {Drip("+OK " + std::string(100, 'x') + "\r\n", 300ms)}, Pop3Connect,
         TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
        {"Pop3ReplyDrips", Steps({kPop3Login, {Expect("STAT"), Drip("+OK 1 " + std::string(100, '9') + "\r\n", 300ms)}}),
         Pop3Stat, TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
        {"Pop3RetrievalDrips", Steps({kPop3Login, {Expect("RETR 1"), Send("+OK"), Drip(kMailLines, 300ms)}}),
         Pop3Retrieve, TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
        {"Pop3RetrievalBeyondItsLimit",
         Steps({kPop3Login, {Expect("RETR 1"), Send("+OK"), Flood(std::string(999, 'a') + "\r\n", 10s)}}),
         Pop3Retrieve, TErrorKind::ekTooLarge, 1500ms, 3 * kMiB},
        {"Pop3CapabilitiesFlood",
         {Send("+OK ready"), Expect("CAPA"), Send("+OK"), Flood("X-NOISE\r\n", 10s)}, Pop3Connect,
         TErrorKind::ekTooLarge, 1500ms, 1 * kMiB},
        {"ImapGreetingDrips", {Drip("* OK " + std::string(100, 'x') + "\r\n", 300ms)}, ImapConnect,
         TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
        // A handshake record announced at full length, its bytes dripping.
        {"ImapTlsHandshakeDrips", {Drip(std::string("\x16\x03\x03\x40\x00", 5) + std::string(16384, '\x01'), 300ms)},
         ImapConnectImplicitTls, TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
        {"ImapUnaskedLinesFlood",
         {Send("* OK [CAPABILITY IMAP4rev1] ready"), Expect("C1 LOGIN anna \"pw\""),
          Send("C1 OK [CAPABILITY IMAP4rev1] in"), Expect("C2 SELECT \"INBOX\""),
          Flood("* 5 FETCH (FLAGS (\\Seen))\r\n", 10s)},
         ImapSelect, TErrorKind::ekTimeout, 1500ms, 2 * kMiB},
        {"ImapUnaskedLiteralsFlood",
         {Send("* OK [CAPABILITY IMAP4rev1] ready"), Expect("C1 LOGIN anna \"pw\""),
          Send("C1 OK [CAPABILITY IMAP4rev1] in"), Expect("C2 SELECT \"INBOX\""), Flood(kMegaLiteral, 10s)},
         ImapSelect, TErrorKind::ekTimeout, 1500ms, 6 * kMiB},
        {"ImapListingFlood",
         Steps({kImapSelected,
                {Expect("C3 UID FETCH 1:* (UID FLAGS RFC822.SIZE)"),
                 Flood("* 1 FETCH (UID 1 FLAGS () RFC822.SIZE 100)\r\n", 20s)}}),
         // A long time limit: the bound on what is kept must end it, not the clock.
         ImapList, TErrorKind::ekTooLarge, 0ms, 48 * kMiB, 60000},
        {"ImapAnnouncesAHugeLiteral",
         Steps({kImapSelected,
                {Expect("C3 UID FETCH 40 (UID RFC822)"), Send("* 1 FETCH (UID 40 RFC822 {999999999999}"),
                 Flood(std::string(65536, 'x'), 10s)}}),
         ImapFetch, TErrorKind::ekTooLarge, 0ms, 2 * kMiB},
        {"ImapFetchDrips",
         Steps({kImapSelected,
                {Expect("C3 UID FETCH 40 (UID RFC822)"), Send("* 1 FETCH (UID 40 RFC822 {5000}"),
                 Drip(std::string(5000, 'd'), 300ms)}}),
         ImapFetch, TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
        {"SmtpGreetingDrips", {Drip("220 " + std::string(100, 'x') + "\r\n", 300ms)}, SmtpConnect,
         TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
        {"SmtpMultiLineReplyDrips",
         {Send("220 ready"), ExpectAny(), Drip(Repeat("250-LINE\r\n", 100) + "250 OK\r\n", 300ms)},
         SmtpConnect, TErrorKind::ekTimeout, 1500ms, 1 * kMiB},
    };
}

class HostileServer : public ::testing::TestWithParam<THostileCase> {};

TEST_P(HostileServer, EndsInTimeWithBoundedMemory) {
    const THostileCase& c = GetParam();
    time_limit_ms = c.time_limit_ms;
    TScriptedPeer peer(c.script);
    const std::size_t base = RestartHeapPeak();
    const auto start = std::chrono::steady_clock::now();
    TErrorKind kind = TErrorKind::ekOther;
    std::string message = "(no error)";
    try {
        c.run(peer.Port());
    } catch (const EDiraError& error) {
        kind = error.ErrorKind();
        message = error.what();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const std::size_t peak = HeapPeak() - base;
    std::cout << c.name << ": " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms, peak "
              << peak / 1024 << " KiB, " << KindName(kind) << ": " << message << "\n";
    EXPECT_STREQ(KindName(kind), KindName(c.kind)) << message;
    EXPECT_LE(took, std::chrono::milliseconds(c.time_limit_ms) + c.slack);
    EXPECT_LE(peak, c.max_peak_bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileServer, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kdv::testing
