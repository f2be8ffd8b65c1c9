// The IMAP dialogue against a scripted server: tags and the counter,
// greetings, STARTTLS, LOGIN argument forms, SELECT, FETCH with literals,
// UID STORE, EXPUNGE, LOGOUT, and the errors with their kinds.
#include <gtest/gtest.h>

#include <functional>

#include "clients/mail_imap4.h"
#include "mail/byte_sink.h"
#include "mail/mail_message.h"
#include "net/mail_ssl_io_handler.h"
#include "support/scripted_mail_client.h"

namespace kdv::testing {
namespace {

// A password with a quote and a backslash, both escaped in the LOGIN line.
const std::string kPassword = "ge\"h\\eim";
const std::string kLogin = "C1 LOGIN anna \"ge\\\"h\\\\eim\"";

// Greeting with capabilities, login, SELECT of INBOX with `exists` mails.
std::vector<TPeerStep> Selected(std::vector<TPeerStep> rest, int exists = 1) {
    std::vector<TPeerStep> steps{Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] ready"), Expect(kLogin),
                                 Send("C1 OK [CAPABILITY IMAP4rev1 UIDPLUS] Logged in"),
                                 Expect("C2 SELECT \"INBOX\""),
                                 SendLines({"* FLAGS (\\Answered \\Deleted \\Seen)", "* " + std::to_string(exists) + " EXISTS",
                                            "* 0 RECENT", "* OK [UIDVALIDITY 1700000000] UIDs valid",
                                            "* OK [UIDNEXT 18] next", "C2 OK [READ-WRITE] Select completed."})};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

std::vector<std::string> SelectedLines(std::vector<std::string> rest) {
    std::vector<std::string> lines{kLogin, "C2 SELECT \"INBOX\""};
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
}

std::string Literal(const std::string& head, const std::string& mail, const std::string& tail) {
    return head + " {" + std::to_string(mail.size()) + "}\r\n" + mail + tail;
}

const std::string kMail = "From: a@b.example\r\nSubject: Hallo\r\n\r\n.\r\n..zwei\r\nEnde\r\n";

struct TImapCase {
    const char* name;
    std::vector<TPeerStep> script;
    std::function<std::string(TMailIMAP4&)> action;
    std::vector<std::string> transcript;
    std::string result;
    bool explicit_tls = false;
};

class ImapDialogue : public ::testing::TestWithParam<TImapCase> {};

std::string Fetch(TMailIMAP4& c, std::uint32_t n) {
    std::string data;
    TStringSink sink(data);
    TIMAPFetchItems items;
    const bool ok = c.RetrieveRaw(n, sink, &items);
    return std::string(ok ? "ok" : "no") + " uid=" + items.UID + " data=" + data;
}

TEST_P(ImapDialogue, SendsAndReads) {
    const TImapCase& c = GetParam();
    TMailSSLIOHandlerSocketOpenSSL tls;
    TScriptedMailClient<TMailIMAP4> dialogue(c.script, "anna", kPassword);
    if (c.explicit_tls) {
        tls.SSLOptions.SetSSLVersions({TMailSSLVersion::sslvTLSv1_2});
        dialogue.Client.SetIOHandler(&tls);
        dialogue.Client.SetUseTLS(TUseTLS::utUseRequireTLS);
        dialogue.Client.Port = dialogue.Peer.Port();
    }
    std::string result = dialogue.Outcome(c.action);
    result += std::string(" | ") + ConnectionStateName(dialogue.Client.ConnectionState);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(dialogue.Transcript(), c.transcript);
    EXPECT_EQ(dialogue.Failures(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImapDialogue,
    ::testing::Values(
        TImapCase{"WholePassOverPlainTcp",
                  {Send("* OK ready"), Expect("C1 CAPABILITY"), SendLines({"* CAPABILITY IMAP4rev1", "C1 OK"}),
                   Expect(kLogin), Send("C1 OK Logged in"), Expect("C2 CAPABILITY"),
                   SendLines({"* CAPABILITY IMAP4rev1 IDLE", "C2 OK"}), Expect("C3 SELECT \"INBOX\""),
                   SendLines({"* 1 EXISTS", "* OK [UIDVALIDITY 42] x", "C3 OK [READ-WRITE] done"}),
                   Expect("C4 FETCH 1 (RFC822)"), SendRaw(Literal("* 1 FETCH (RFC822", kMail, ")\r\nC4 OK done\r\n")),
                   Expect("C5 FETCH 1 (UID)"), SendLines({"* 1 FETCH (UID 17)", "C5 OK"}),
                   Expect("C6 UID STORE 17 +FLAGS.SILENT (\\Deleted)"), Send("C6 OK"), Expect("C7 EXPUNGE"),
                   SendLines({"* 1 EXPUNGE", "C7 OK"}), Expect("C8 LOGOUT"), SendLines({"* BYE bye", "C8 OK"})},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      const bool selected = c.SelectMailBox("INBOX");
                      const std::string fetched = Fetch(c, 1);
                      std::string uid;
                      const bool got = c.GetUID(1, uid);
                      const bool stored = c.UIDDeleteMsg(uid);
                      const bool expunged = c.ExpungeMailBox();
                      const std::string r = std::to_string(selected) + " " + c.MailBox.UIDValidity + " " + fetched +
                                            " " + std::to_string(got) + uid + std::to_string(stored) +
                                            std::to_string(expunged) + " total=" + std::to_string(c.MailBox.TotalMsgs) +
                                            " caps=" + std::to_string(c.Capabilities.count("IDLE"));
                      c.Disconnect();
                      return r;
                  },
                  {"C1 CAPABILITY", kLogin, "C2 CAPABILITY", "C3 SELECT \"INBOX\"", "C4 FETCH 1 (RFC822)",
                   "C5 FETCH 1 (UID)", "C6 UID STORE 17 +FLAGS.SILENT (\\Deleted)", "C7 EXPUNGE", "C8 LOGOUT"},
                  "1 42 ok uid= data=" + kMail + " 11711 total=0 caps=1 | Nicht authentifiziert"},
        TImapCase{"GreetingCapabilitiesSaveTheCommand",
                  Selected({}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return std::to_string(c.MailBox.TotalMsgs) + " next=" + c.MailBox.UIDNext +
                             (c.MailBox.ReadOnly ? " ro" : " rw") + " uidplus=" +
                             std::to_string(c.Capabilities.count("UIDPLUS"));
                  },
                  SelectedLines({}),
                  "1 next=18 rw uidplus=1 | Ausgewählt"},
        TImapCase{"PreauthSkipsLogin",
                  {Send("* PREAUTH [CAPABILITY IMAP4rev1] welcome"), Expect("C1 SELECT \"INBOX\""),
                   SendLines({"* 0 EXISTS", "C1 OK done"})},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      const bool ok = c.SelectMailBox("INBOX");
                      return std::to_string(ok) + " " + c.GreetingBanner;
                  },
                  {"C1 SELECT \"INBOX\""},
                  "1 [CAPABILITY IMAP4rev1] welcome | Ausgewählt"},
        TImapCase{"UserNameWithBlankIsQuoted",
                  {Send("* OK [CAPABILITY IMAP4rev1] hi"), Expect("C1 LOGIN \"anna maria\" \"x\""),
                   Send("C1 OK [CAPABILITY IMAP4rev1] in")},
                  [](TMailIMAP4& c) {
                      c.Username = "anna maria";
                      c.Password = "x";
                      c.Connect();
                      return std::string("in");
                  },
                  {"C1 LOGIN \"anna maria\" \"x\""},
                  "in | Authentifiziert"},
        TImapCase{"EightBitPasswordAsLiteral",
                  {Send("* OK [CAPABILITY IMAP4rev1] hi"), Expect("C1 LOGIN anna {6}"), Send("+ go on"),
                   Expect("gr\xc3\xbc\xc3\x9f"), Send("C1 OK [CAPABILITY IMAP4rev1] in")},
                  [](TMailIMAP4& c) {
                      c.Password = "gr\xc3\xbc\xc3\x9f";
                      c.Connect();
                      return std::string("in");
                  },
                  {"C1 LOGIN anna {6}", "gr\xc3\xbc\xc3\x9f"},
                  "in | Authentifiziert"},
        TImapCase{"LiteralRefused",
                  {Send("* OK [CAPABILITY IMAP4rev1] hi"), Expect("C1 LOGIN {5}"), Send("C1 BAD no literals"),
                   Expect("C2 LOGOUT"), SendLines({"* BYE", "C2 OK"})},
                  [](TMailIMAP4& c) {
                      c.Username = "\xc3\xa4nna";
                      c.Connect();
                      return std::string("in");
                  },
                  {"C1 LOGIN {5}", "C2 LOGOUT"},
                  "error auth no literals | Nicht authentifiziert"},
        TImapCase{"LoginRefused",
                  {Send("* OK [CAPABILITY IMAP4rev1] hi"), Expect(kLogin),
                   Send("C1 NO [AUTHENTICATIONFAILED] Authentication failed."), Expect("C2 LOGOUT"),
                   SendLines({"* BYE", "C2 OK"})},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      return std::string("in");
                  },
                  {kLogin, "C2 LOGOUT"},
                  "error auth [AUTHENTICATIONFAILED] Authentication failed. | Nicht authentifiziert"},
        TImapCase{"ByeGreeting",
                  {Send("* BYE too many connections")},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      return std::string("in");
                  },
                  {},
                  std::string("error closed ") + kImapByeText + " | Nicht authentifiziert"},
        TImapCase{"StartTlsThenCapabilityAgain",
                  {Send("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] hi"), Expect("C1 STARTTLS"),
                   Send("C1 OK Begin TLS"), StartTls(), Expect("C2 CAPABILITY"),
                   SendLines({"* CAPABILITY IMAP4rev1 AUTH=PLAIN", "C2 OK"}), Expect(kLogin),
                   Send("C1 OK [CAPABILITY IMAP4rev1] in")},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      return std::string("in");
                  },
                  {"C1 STARTTLS", "C2 CAPABILITY", kLogin},
                  "in | Authentifiziert",
                  true},
        TImapCase{"StartTlsNotOfferedWhenRequired",
                  {Send("* OK [CAPABILITY IMAP4rev1] hi")},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      return std::string("in");
                  },
                  {},
                  "error tls SSL ist auf diesem Server nicht verfügbar. | Nicht authentifiziert",
                  true},
        TImapCase{"SelectRefusedKeepsThePreviousCount",
                  Selected({Expect("C3 SELECT \"INBOX\""), Send("C3 NO [NONEXISTENT] gone")}, 3),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      const bool again = c.SelectMailBox("INBOX");
                      return std::to_string(again) + " " + std::to_string(c.MailBox.TotalMsgs);
                  },
                  SelectedLines({"C3 SELECT \"INBOX\""}),
                  "0 3 | Ausgewählt"},
        TImapCase{"ReadOnlySelect",
                  {Send("* OK [CAPABILITY IMAP4rev1] hi"), Expect(kLogin), Send("C1 OK [CAPABILITY IMAP4rev1] in"),
                   Expect("C2 SELECT \"INBOX\""), SendLines({"* 2 EXISTS", "C2 OK [READ-ONLY] Select done"})},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return std::string(c.MailBox.ReadOnly ? "read-only" : "writable");
                  },
                  SelectedLines({}),
                  "read-only | Ausgewählt"},
        TImapCase{"EmptyLiteral",
                  Selected({Expect("C3 FETCH 1 (RFC822)"),
                            SendRaw("* 1 FETCH (UID 9 RFC822 {0}\r\n FLAGS (\\Seen))\r\nC3 OK\r\n")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return Fetch(c, 1);
                  },
                  SelectedLines({"C3 FETCH 1 (RFC822)"}),
                  "ok uid=9 data= | Ausgewählt"},
        TImapCase{"UnsolicitedFlagsBeforeTheMail",
                  Selected({Expect("C3 FETCH 1 (RFC822)"),
                            SendRaw("* 2 FETCH (FLAGS (\\Seen))\r\n* 1 EXISTS\r\n" +
                                    Literal("* 1 FETCH (RFC822", "Subject: x\r\n", " UID 5)\r\n") + "C3 OK\r\n")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return Fetch(c, 1);
                  },
                  SelectedLines({"C3 FETCH 1 (RFC822)"}),
                  "ok uid=5 data=Subject: x\r\n | Ausgewählt"},
        TImapCase{"FetchRefused",
                  Selected({Expect("C3 FETCH 7 (RFC822)"), Send("C3 NO no such message")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return Fetch(c, 7);
                  },
                  SelectedLines({"C3 FETCH 7 (RFC822)"}),
                  "no uid= data= | Ausgewählt"},
        TImapCase{"FetchCutInTheLiteral",
                  Selected({Expect("C3 FETCH 1 (RFC822)"), CloseMidLine("* 1 FETCH (RFC822 {100}\r\nFrom: x")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return Fetch(c, 1);
                  },
                  SelectedLines({"C3 FETCH 1 (RFC822)"}),
                  "error closed Die Verbindung wurde erfolgreich geschlossen. | Verbindung unerwartet getrennt"},
        TImapCase{"UnexpectedBye",
                  Selected({Expect("C3 FETCH 1 (UID)"), Send("* BYE Server shutting down")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      std::string uid;
                      c.GetUID(1, uid);
                      return uid;
                  },
                  SelectedLines({"C3 FETCH 1 (UID)"}),
                  std::string("error closed ") + kImapByeText + " | Verbindung unerwartet getrennt"},
        TImapCase{"UnsolicitedExistsIsDropped",
                  Selected({Expect("C3 FETCH 1 (UID)"), SendLines({"* 1 FETCH (UID 4)", "C3 OK", "* 2 EXISTS"}),
                            Expect("C4 FETCH 2 (UID)"), SendLines({"* 2 FETCH (UID 5)", "C4 OK"})}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      std::string a, b;
                      c.GetUID(1, a);
                      c.GetUID(2, b);
                      return a + "," + b;
                  },
                  SelectedLines({"C3 FETCH 1 (UID)", "C4 FETCH 2 (UID)"}),
                  "4,5 | Ausgewählt"},
        TImapCase{"NoUidMeansNoStore",
                  Selected({Expect("C3 FETCH 1 (UID)"), Send("C3 NO gone")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      std::string uid = "x";
                      const bool got = c.GetUID(1, uid);
                      return std::to_string(got) + "[" + uid + "] " + (c.UIDDeleteMsg(uid) ? "stored" : "not");
                  },
                  SelectedLines({"C3 FETCH 1 (UID)"}),
                  std::string("error usage ") + kImapNumberText + " | Ausgewählt"},
        TImapCase{"WrongStateSendsNothing",
                  {Send("* OK [CAPABILITY IMAP4rev1] hi"), Expect(kLogin), Send("C1 OK in"),
                   Expect("C2 CAPABILITY"), SendLines({"* CAPABILITY IMAP4rev1", "C2 OK"})},
                  [](TMailIMAP4& c) {
                      c.Connect();
                      return Fetch(c, 1);
                  },
                  {kLogin, "C2 CAPABILITY"},
                  "error usage Befehl kann nicht ausgeführt werden, falscher Verbindungsstatus; Aktueller "
                  "Verbindungsstatus: Authentifiziert. | Authentifiziert"},
        TImapCase{"MalformedReplyLine",
                  Selected({Expect("C3 EXPUNGE"), Send("garbage here")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return std::to_string(c.ExpungeMailBox());
                  },
                  SelectedLines({"C3 EXPUNGE"}),
                  "error reply Unexpected: Non-last response line (i.e. a data line) did not start with a *, "
                  "offending line: garbage here | Verbindung unerwartet getrennt"},
        TImapCase{"StoreRefused",
                  Selected({Expect("C3 UID STORE 4 +FLAGS.SILENT (\\Deleted)"), Send("C3 NO [READ-ONLY] no")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      return std::to_string(c.UIDDeleteMsg("4"));
                  },
                  SelectedLines({"C3 UID STORE 4 +FLAGS.SILENT (\\Deleted)"}),
                  "0 | Ausgewählt"},
        TImapCase{"LiteralInsideAReply",
                  Selected({Expect("C3 FETCH 1 (UID FLAGS)"),
                            SendRaw("* 1 FETCH (UID 8 FLAGS (\\Deleted) X-NAME {3}\r\na}b)\r\nC3 OK\r\n")}),
                  [](TMailIMAP4& c) {
                      c.Connect();
                      c.SelectMailBox("INBOX");
                      TIMAPFetchItems items;
                      const bool ok = c.GetUIDAndFlags(1, items);
                      return std::to_string(ok) + " " + items.UID + " " + std::to_string(items.Flags.count("\\Deleted"));
                  },
                  SelectedLines({"C3 FETCH 1 (UID FLAGS)"}),
                  "1 8 1 | Ausgewählt"}),
    [](const ::testing::TestParamInfo<TImapCase>& info) { return std::string(info.param.name); });

TEST(ImapCounter, KeepsCountingAcrossPassesUntilTheNextLogin) {
    TScriptedMailClient<TMailIMAP4> dialogue(
        Selected({Expect("C3 EXPUNGE"), Send("C3 OK"), Expect("C4 SELECT \"INBOX\""), SendLines({"* 0 EXISTS", "C4 OK"}),
                  Expect("C5 EXPUNGE"), Send("C5 OK")}),
        "anna", kPassword);
    TMailIMAP4& client = dialogue.Client;
    client.Connect();
    for (int pass = 0; pass < 2; ++pass) {
        if (!client.Connected()) client.Connect();
        ASSERT_TRUE(client.SelectMailBox("INBOX"));
        ASSERT_TRUE(client.ExpungeMailBox());
    }
    EXPECT_EQ(client.CommandCounter(), 5u);
    EXPECT_EQ(dialogue.Transcript(), SelectedLines({"C3 EXPUNGE", "C4 SELECT \"INBOX\"", "C5 EXPUNGE"}));
    EXPECT_EQ(dialogue.Failures(), "");
}

struct TArgCase {
    const char* name;
    std::string text;
    bool atom_allowed;
    TMailIMAP4::TArgForm form;
};

class ImapLoginArgument : public ::testing::TestWithParam<TArgCase> {};

TEST_P(ImapLoginArgument, Form) {
    EXPECT_EQ(TMailIMAP4::ArgFormOf(GetParam().text, GetParam().atom_allowed), GetParam().form);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImapLoginArgument,
    ::testing::Values(TArgCase{"PlainName", "anna.b@example.org", true, TMailIMAP4::TArgForm::Atom},
                      TArgCase{"EmptyName", "", true, TMailIMAP4::TArgForm::Quoted},
                      TArgCase{"NameWithParen", "anna(x)", true, TMailIMAP4::TArgForm::Quoted},
                      TArgCase{"NameWithStar", "a*", true, TMailIMAP4::TArgForm::Quoted},
                      TArgCase{"PasswordAlwaysQuoted", "secret", false, TMailIMAP4::TArgForm::Quoted},
                      TArgCase{"Umlaut", "m\xc3\xbcller", true, TMailIMAP4::TArgForm::Literal},
                      TArgCase{"LineBreak", "a\nb", false, TMailIMAP4::TArgForm::Literal}),
    [](const ::testing::TestParamInfo<TArgCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
