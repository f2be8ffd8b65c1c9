#include "mail/mail_header_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace kdv {
namespace {

using Lines = std::vector<std::string>;

TMailHeaderList Received() {
    TMailHeaderList headers;
    for (const char* line : {"Received: from a.example.org", "\tby b.example.org;", "  Mon, 1 Jan 2024 10:00:00 +0100",
                             "Content-Type: text/plain;", " charset=\"iso-8859-1\"", "Subject : Lagemeldung",
                             "subject: zweite", "X-Leer:", "keine Kopfzeile"}) {
        headers.Add(line);
    }
    return headers;
}

TEST(MailHeaderList, LooksUpNamesWithoutCaseAndUnfoldsValues) {
    const TMailHeaderList headers = Received();
    EXPECT_EQ(headers.Values("RECEIVED"), "from a.example.org by b.example.org; Mon, 1 Jan 2024 10:00:00 +0100");
    EXPECT_EQ(headers.Values("content-type"), "text/plain; charset=\"iso-8859-1\"");
    EXPECT_EQ(headers.Values("Subject"), "Lagemeldung") << "first occurrence, blanks before the colon allowed";
    EXPECT_EQ(headers.Values("X-Leer"), "");
    EXPECT_EQ(headers.Values("X-Fehlt"), "");
    EXPECT_EQ(headers.Values("keine Kopfzeile"), "");
    EXPECT_EQ(headers.IndexOfName("Content-Type"), 3);
    EXPECT_EQ(headers.IndexOfName("Content"), -1) << "a prefix of a name is not the name";
    EXPECT_EQ(headers.Name(1), "") << "continuation lines have no name";
    EXPECT_EQ(headers.Name(5), "Subject");
    const auto unfolded = headers.Unfolded();
    ASSERT_EQ(unfolded.size(), 5u);
    EXPECT_EQ(unfolded[1].first, "Content-Type");
    EXPECT_EQ(unfolded[3].second, "zweite");
}

TEST(MailHeaderList, SettingReplacesInPlaceAppendsOrRemoves) {
    TMailHeaderList headers = Received();
    headers.SetValue("received", "neu");
    EXPECT_EQ(headers.Lines(), (Lines{"received: neu", "Content-Type: text/plain;", " charset=\"iso-8859-1\"",
                                      "Subject : Lagemeldung", "subject: zweite", "X-Leer:", "keine Kopfzeile"}))
        << "old continuation lines go with the replaced header";
    headers.SetValue("SUBJECT", "");
    headers.SetValue("Content-Type", "  ");
    headers.SetValue("X-Neu", "angehängt");
    EXPECT_EQ(headers.Lines(),
              (Lines{"received: neu", "subject: zweite", "X-Leer:", "keine Kopfzeile", "X-Neu: angehängt"}));
    headers.AddValue("X-Neu", "zweimal");
    headers.AddValue("X-Nichts", "");
    EXPECT_EQ(headers.Count(), 6u);
    EXPECT_EQ(headers.Text(), "received: neu\r\nsubject: zweite\r\nX-Leer:\r\nkeine Kopfzeile\r\n"
                              "X-Neu: angehängt\r\nX-Neu: zweimal\r\n");
}

TEST(MailHeaderList, ValueWithLineBreaksCannotInjectHeaders) {
    TMailHeaderList headers;
    headers.SetValue("Subject", "Hallo\r\n\r\nBcc: opfer@example.org\nX: y\r");
    EXPECT_EQ(headers.Lines(), (Lines{"Subject: Hallo Bcc: opfer@example.org X: y"}));
    EXPECT_EQ(headers.IndexOfName("Bcc"), -1);
}

TEST(MailHeaderList, FoldsLongLinesAtBlanksAndCommasOutsideQuotes) {
    TMailHeaderList headers;
    const std::string to =
        "Hans Meier <hans.meier@leitstelle.example.org>, \"Müller, Erika\" "
        "<erika.mueller@feuerwehr.example.org>, Dienststelle Nord <nord@example.org>";
    const std::string subject =
        "Lagemeldung: Unwetter im Landkreis, Straßensperrungen auf der B 27 zwischen Nordstadt und Südheim, "
        "weitere Meldungen folgen";
    const std::string word(80, 'x');
    headers.SetValue("To", to);
    headers.SetValue("Subject", subject);
    headers.SetValue("X-Lang", word + " und mehr");
    headers.SetValue("X-Kurz", std::string(70, 'k'));
    const Lines expected = {
        "To: Hans Meier <hans.meier@leitstelle.example.org>, \"Müller, Erika\"",
        " <erika.mueller@feuerwehr.example.org>, Dienststelle Nord <nord@example.org>",
        "Subject: Lagemeldung: Unwetter im Landkreis, Straßensperrungen auf der B 27",
        " zwischen Nordstadt und Südheim, weitere Meldungen folgen",
        "X-Lang: " + word,
        " und mehr",
        "X-Kurz: " + std::string(70, 'k'),
    };
    EXPECT_EQ(headers.Lines(), expected);
    EXPECT_EQ(headers.Values("To"), to) << "unfolding restores the value";
    EXPECT_EQ(headers.Values("Subject"), subject);
}

TEST(MailHeaderList, FoldHeaderLineEdgeCases) {
    const struct {
        const char* what;
        std::string line;
        std::size_t length;
        std::size_t minBreak;
        Lines pieces;
    } cases[] = {
        {"short line unchanged", "X: a b c", 78, 0, {"X: a b c"}},
        {"exactly the limit", "X: 12345 7890", 13, 0, {"X: 12345 7890"}},
        {"comma break keeps the comma", "X: aaa,bbb,ccc", 10, 3, {"X: aaa,", " bbb,ccc"}},
        {"a comma after the break is content, not skipped", "X: aaaaaa,,bbb", 10, 3, {"X: aaaaaa,", " ,bbb"}},
        {"white space after the break skipped", "X: aaaa  \t  bbbb", 10, 3, {"X: aaaa", " bbbb"}},
        {"no break inside quotes", "X: \"a b c d e f\" g", 10, 3, {"X: \"a b c d e f\"", " g"}},
        {"escaped quote keeps the quotes open", "X: \"a\\\" b c d e\" f", 10, 3, {"X: \"a\\\" b c d e\"", " f"}},
        {"no break point at all", "X: aaaaaaaaaaaaaaaa", 10, 3, {"X: aaaaaaaaaaaaaaaa"}},
        {"trailing blanks never make an empty line", "X: aaaaaaa           ", 10, 3, {"X: aaaaaaa"}},
        {"not before the value", "Subject: abcdefghijkl", 10, 9, {"Subject: abcdefghijkl"}},
        {"pieces fold again", "X: aa bb cc dd ee ff", 6, 3, {"X: aa", " bb", " cc", " dd", " ee ff"}},
        {"characters, not bytes", "X: äöü äöü", 10, 3, {"X: äöü äöü"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FoldHeaderLine(c.line, c.length, c.minBreak), c.pieces) << c.what;
    }
}

TEST(MailHeaderList, HugeValuesFoldInLinearTime) {
    std::string commas;
    while (commas.size() < (2u << 20)) commas += "a,";
    const auto start = std::chrono::steady_clock::now();
    TMailHeaderList headers;
    headers.SetValue("X-Lang", commas);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_GT(headers.Count(), 20000u);
    for (const std::string& line : headers) ASSERT_LE(line.size(), kHeaderFoldLength);
    EXPECT_EQ(headers.Values("X-Lang").size(), commas.size() + headers.Count() - 1)
        << "nothing lost, every break adds one blank";
}

TEST(MailHeaderList, ParametersQuotedByTheHeadersRule) {
    TMailHeaderList headers;
    headers.SetValue("Content-Type", "multipart/mixed");
    headers.SetParams("Content-Type", "boundary", "----=_Teil_1");
    headers.SetParams("content-disposition", "filename", "Bericht 1.pdf");
    headers.SetParams("X-Info", "pfad", "a/b=c");
    headers.SetParams("X-Info", "datei", "bericht.pdf");
    EXPECT_EQ(headers.Values("Content-Type"), "multipart/mixed; boundary=\"----=_Teil_1\"");
    EXPECT_EQ(headers.Values("Content-Disposition"), "; filename=\"Bericht 1.pdf\"");
    EXPECT_EQ(headers.Values("X-Info"), "; pfad=a/b=c; datei=\"bericht.pdf\"");
    EXPECT_EQ(headers.Params("CONTENT-TYPE", "BOUNDARY"), "----=_Teil_1");
    EXPECT_EQ(headers.Params("X-Info", "datei"), "bericht.pdf");
    headers.SetParams("Content-Type", "boundary", "");
    EXPECT_EQ(headers.Values("Content-Type"), "multipart/mixed");
    EXPECT_EQ(headers.Params("Content-Type", "boundary"), "");
}

TEST(MailHeaderParams, ReadsItemsAndParameters) {
    const std::string value =
        "text/plain ; Charset = \"utf-8\";name=\"a;b\\\"c.txt\" ; format=flowed;x= ;delsp";
    EXPECT_EQ(HeaderItem(value), "text/plain");
    EXPECT_EQ(HeaderItem("\"a;b\"; c=d"), "\"a;b\"");
    EXPECT_EQ(HeaderParam(value, "charset"), "utf-8");
    EXPECT_EQ(HeaderParam(value, "NAME"), "a;b\"c.txt");
    EXPECT_EQ(HeaderParam(value, "format"), "flowed");
    EXPECT_EQ(FindHeaderParam(value, "x"), std::string());
    EXPECT_EQ(FindHeaderParam(value, "delsp"), std::nullopt) << "no equals sign, no parameter";
    EXPECT_EQ(FindHeaderParam(value, "text/plain"), std::nullopt) << "the item is not a parameter";
    EXPECT_EQ(FindHeaderParam("text/plain", "charset"), std::nullopt);
    EXPECT_EQ(HeaderParam("a; n=\" x \"", "n"), " x ") << "quoted blanks belong to the value";
    EXPECT_EQ(HeaderParam("a; n=\"offen", "n"), "offen");
}

TEST(MailHeaderParams, SetsRemovesAndQuotes) {
    EXPECT_EQ(SetHeaderParam("text/plain;charset=x; name=a", "CHARSET", "utf-8", THeaderQuoting::Mime),
              "text/plain; CHARSET=utf-8; name=a");
    EXPECT_EQ(SetHeaderParam("text/plain; charset=x; charset=y", "charset", "z", THeaderQuoting::Mime),
              "text/plain; charset=z");
    EXPECT_EQ(RemoveHeaderParam("text/plain; charset=x; name=\"a;b\"; charset=y", "charset"), "text/plain; name=\"a;b\"");
    const struct {
        const char* value;
        const char* mime;
        const char* rfc822;
    } cases[] = {
        {"plain", "plain", "plain"},
        {"", "\"\"", "\"\""},
        {"a b", "\"a b\"", "\"a b\""},
        {"a/b?c=d", "\"a/b?c=d\"", "a/b?c=d"},
        {"bericht.pdf", "bericht.pdf", "\"bericht.pdf\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\"", "\"a\\\"b\\\\c\""},
        {"tab\there", "\"tab\there\"", "\"tab\there\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuoteParamValue(c.value, THeaderQuoting::Mime), c.mime) << c.value;
        EXPECT_EQ(QuoteParamValue(c.value, THeaderQuoting::Rfc822), c.rfc822) << c.value;
        // What is written reads back unchanged.
        EXPECT_EQ(HeaderParam(SetHeaderParam("x", "p", c.value, THeaderQuoting::Rfc822), "p"), c.value);
    }
    EXPECT_EQ(QuotingForHeader(" content-disposition"), THeaderQuoting::Mime);
    EXPECT_EQ(QuotingForHeader("X-Info"), THeaderQuoting::Rfc822);
}

}  // namespace
}  // namespace kdv
