// The POP3 dialogue against a scripted server: the exact lines the client
// sends, what it takes from the replies, and the errors with their kinds.
#include <gtest/gtest.h>

#include <functional>

#include "clients/mail_pop3.h"
#include "mail/byte_sink.h"
#include "mail/mail_message.h"
#include "net/mail_ssl_io_handler.h"
#include "support/error_kind_name.h"
#include "support/scripted_mail_client.h"

namespace kdv::testing {
namespace {

std::vector<TPeerStep> Greeting(std::vector<TPeerStep> rest, const std::string& greeting = "+OK ready") {
    std::vector<TPeerStep> steps{Send(greeting), Expect("CAPA"), SendLines({"+OK", "USER", "UIDL", "."}),
                                 Expect("USER anna"), Send("+OK"), Expect("PASS ge\"h eim"), Send("+OK")};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

struct TPop3Case {
    const char* name;
    std::vector<TPeerStep> script;
    // Runs on a connected client (or connects itself when `connect` is false).
    std::function<std::string(TMailPOP3&)> action;
    std::vector<std::string> transcript;
    std::string result;
    bool connect = true;
};

class Pop3Dialogue : public ::testing::TestWithParam<TPop3Case> {};

TEST_P(Pop3Dialogue, SendsAndReads) {
    const TPop3Case& c = GetParam();
    TScriptedMailClient<TMailPOP3> dialogue(c.script, "anna", "ge\"h eim");
    const std::string result = dialogue.Outcome([&](TMailPOP3& client) {
        try {
            if (c.connect) client.Connect("127.0.0.1");
            return c.action(client);
        } catch (const EMailReplyPOP3Error& e) {
            return std::string("pop3 error ") + KindName(e.ErrorKind()) + " " + e.EnhancedCode + " " + e.what();
        }
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(dialogue.Transcript(), c.transcript);
    EXPECT_EQ(dialogue.Failures(), "");
}

std::string Raw(TMailPOP3& client, int number) {
    std::string data;
    TStringSink sink(data);
    const bool ok = client.RetrieveRaw(number, sink);
    return (ok ? "ok:" : "refused:") + data;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Pop3Dialogue,
    ::testing::Values(
        TPop3Case{"ApopTokenInGreetingStillUserPass",
                  Greeting({}, "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>"),
                  [](TMailPOP3& c) {
                      return std::string(c.HasAPOP ? "apop " : "") + c.APOPToken + " caps=" +
                             std::to_string(c.Capabilities.size());
                  },
                  {"CAPA", "USER anna", "PASS ge\"h eim"},
                  "apop <1896.697170952@dbc.mtview.ca.us> caps=2"},
        TPop3Case{"CapaRefusedLoginGoesOn",
                  {Send("+OK hi"), Expect("CAPA"), Send("-ERR unknown command"), Expect("USER anna"), Send("+OK"),
                   Expect("PASS ge\"h eim"), Send("+OK")},
                  [](TMailPOP3& c) { return std::string(c.HasCAPA ? "capa" : "no capa"); },
                  {"CAPA", "USER anna", "PASS ge\"h eim"},
                  "no capa"},
        TPop3Case{"PasswordRefusedWithResponseCode",
                  {Send("+OK hi"), Expect("CAPA"), Send("-ERR"), Expect("USER anna"), Send("+OK"),
                   Expect("PASS ge\"h eim"), Send("-ERR [AUTH] invalid password")},
                  [](TMailPOP3& c) {
                      c.Connect("127.0.0.1");
                      return std::string("connected");
                  },
                  {"CAPA", "USER anna", "PASS ge\"h eim"},
                  "pop3 error auth [AUTH] invalid password\r\n",
                  false},
        TPop3Case{"GreetingRefused",
                  {Send("-ERR [SYS/TEMP] busy, try later")},
                  [](TMailPOP3& c) {
                      c.Connect("127.0.0.1");
                      return std::string("connected");
                  },
                  {},
                  "pop3 error reply [SYS/TEMP] busy, try later\r\n",
                  false},
        TPop3Case{"StatEmptyMailbox",
                  Greeting({Expect("STAT"), Send("+OK 0 0")}),
                  [](TMailPOP3& c) { return std::to_string(c.CheckMessages()); },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "STAT"},
                  "0"},
        TPop3Case{"StatCountAndMalformedSize",
                  Greeting({Expect("STAT"), Send("+OK 3 lots")}),
                  [](TMailPOP3& c) { return std::to_string(c.CheckMessages()); },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "STAT"},
                  "3"},
        TPop3Case{"StatRefused",
                  Greeting({Expect("STAT"), Send("-ERR [IN-USE] locked")}),
                  [](TMailPOP3& c) { return std::to_string(c.CheckMessages()); },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "STAT"},
                  "pop3 error reply [IN-USE] locked\r\n"},
        TPop3Case{"RetrieveUndoesDotStuffing",
                  Greeting({Expect("RETR 2"), SendLines({"+OK 30 octets", "Subject: x", "", "..x", "...", "end", "."}),
                            Expect("NOOP"), Send("+OK")}),
                  [](TMailPOP3& c) {
                      std::string r = Raw(c, 2);
                      c.KeepAlive();
                      return r;
                  },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "RETR 2", "NOOP"},
                  "ok:Subject: x\r\n\r\n.x\r\n..\r\nend\r\n"},
        TPop3Case{"RetrieveRefusedWritesNothing",
                  Greeting({Expect("RETR 1"), Send("-ERR no such message")}),
                  [](TMailPOP3& c) { return Raw(c, 1); },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "RETR 1"},
                  "refused:"},
        TPop3Case{"RetrieveCutOffRaises",
                  Greeting({Expect("RETR 1"), SendLines({"+OK", "Subject: x", ""}), CloseMidLine("body wi")}),
                  [](TMailPOP3& c) { return Raw(c, 1); },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "RETR 1"},
                  "error closed Die Verbindung wurde erfolgreich geschlossen."},
        TPop3Case{"RetrieveIntoMessage",
                  Greeting({Expect("RETR 1"),
                            SendLines({"+OK", "From: a@b.example", "Subject: Hallo", "", "Text", "..", "."}),
                            Expect("DELE 1"), Send("+OK")}),
                  [](TMailPOP3& c) {
                      TMailMessage m;
                      const bool ok = c.Retrieve(1, m);
                      const bool deleted = c.Delete(1);
                      return std::string(ok ? "ok " : "no ") + m.Subject + (deleted ? " deleted" : "");
                  },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "RETR 1", "DELE 1"},
                  "ok Hallo deleted"},
        TPop3Case{"UidlAndSize",
                  Greeting({Expect("UIDL 4"), Send("+OK 4 whqtswO00WBw418f9t5JxYwZ"), Expect("LIST 4"),
                            Send("+OK 4 1205"), Expect("UIDL 5"), Send("-ERR no such message")}),
                  [](TMailPOP3& c) {
                      const std::string uid = c.UIDL(4);
                      const auto size = c.RetrieveMsgSize(4);
                      return uid + " " + std::to_string(size.value_or(0)) + " [" + c.UIDL(5) + "]";
                  },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "UIDL 4", "LIST 4", "UIDL 5"},
                  "whqtswO00WBw418f9t5JxYwZ 1205 []"},
        TPop3Case{"QuitConfirmed",
                  Greeting({Expect("QUIT"), Send("+OK bye")}),
                  [](TMailPOP3& c) { return std::string(c.Quit() ? "removed" : "kept"); },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "QUIT"},
                  "removed"},
        TPop3Case{"QuitUnansweredKeepsTheMarks",
                  Greeting({Expect("QUIT"), CloseNow()}),
                  [](TMailPOP3& c) { return std::string(c.Quit() ? "removed" : "kept"); },
                  {"CAPA", "USER anna", "PASS ge\"h eim", "QUIT"},
                  "kept"}),
    [](const ::testing::TestParamInfo<TPop3Case>& info) { return std::string(info.param.name); });

struct TReplyCase {
    const char* name;
    std::vector<std::string> lines;
    std::string code;
    std::string enhanced;
    std::string text;
};

class Pop3Reply : public ::testing::TestWithParam<TReplyCase> {};

TEST_P(Pop3Reply, Parses) {
    const TReplyCase& c = GetParam();
    TMailReplyPOP3 reply;
    reply.Parse(c.lines);
    EXPECT_EQ(reply.Code, c.code);
    EXPECT_EQ(reply.EnhancedCode, c.enhanced);
    EXPECT_EQ(reply.FormattedText(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Pop3Reply,
    ::testing::Values(TReplyCase{"Ok", {"+OK 2 320"}, "+OK", "", "2 320\r\n"},
                      TReplyCase{"OkAlone", {"+OK"}, "+OK", "", "\r\n"},
                      TReplyCase{"Continuation", {"+ dGVzdA=="}, "+", "", "dGVzdA==\r\n"},
                      TReplyCase{"ErrCodeAnyCase", {"-ERR [login-delay 60] wait"}, "-ERR", "[login-delay 60]", "wait\r\n"},
                      TReplyCase{"ErrUnknownBracketStays", {"-ERR [FOO] x"}, "-ERR", "", "[FOO] x\r\n"},
                      TReplyCase{"OkBracketIsText", {"+OK [AUTH] fine"}, "+OK", "", "[AUTH] fine\r\n"},
                      TReplyCase{"NoCodeIsErr", {"hello there"}, "-ERR", "", "hello there\r\n"},
                      TReplyCase{"DashAfterCode", {"+OK-ish"}, "+OK", "", "ish\r\n"},
                      TReplyCase{"Empty", {}, "-ERR", "", ""}),
    [](const ::testing::TestParamInfo<TReplyCase>& info) { return std::string(info.param.name); });

struct TPortCase {
    const char* name;
    std::uint16_t port;
    TUseTLS mode;
    std::uint16_t expected;
};

class Pop3Ports : public ::testing::TestWithParam<TPortCase> {};

TEST_P(Pop3Ports, FollowTheTlsMode) {
    TMailSSLIOHandlerSocketOpenSSL tls;
    TMailPOP3 client;
    client.Port = GetParam().port;
    client.SetIOHandler(&tls);
    client.SetUseTLS(GetParam().mode);
    EXPECT_EQ(client.Port, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Pop3Ports,
                         ::testing::Values(TPortCase{"RegularToImplicit", 110, TUseTLS::utUseImplicitTLS, 995},
                                           TPortCase{"OwnPortStays", 2110, TUseTLS::utUseImplicitTLS, 2110},
                                           TPortCase{"PlainOn995Stays", 995, TUseTLS::utNoTLSSupport, 995}),
                         [](const ::testing::TestParamInfo<TPortCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
