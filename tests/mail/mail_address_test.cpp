#include "mail/mail_address.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace kdv {
namespace {

struct TItemCase {
    const char* text;
    const char* name;
    const char* address;
};

TEST(MailAddressItem, ParsesOneAddressText) {
    const TItemCase cases[] = {
        {"hans@example.org", "", "hans@example.org"},
        {"  hans@example.org  ", "", "hans@example.org"},
        {"Hans Meier <hans@example.org>", "Hans Meier", "hans@example.org"},
        {"Hans   Meier   < hans@example.org >", "Hans Meier", "hans@example.org"},
        {"<hans@example.org>", "", "hans@example.org"},
        {"\"Meier, Hans\" <hans@example.org>", "Meier, Hans", "hans@example.org"},
        {"\" Meier, Hans \"<hans@example.org>", "Meier, Hans", "hans@example.org"},
        // A comment after a bare address gives no name.
        {"hans@example.org (Hans Meier)", "", "hans@example.org"},
        {"hans@example.org (Büro (2. OG))", "", "hans@example.org"},
        {"Hans (Büro) Meier <hans@example.org>", "Hans Meier", "hans@example.org"},
        {"\"Meier\" Hans <hans@example.org>", "Meier Hans", "hans@example.org"},
        {"\"Hans \\\"Hansi\\\" Meier\" <h@example.org>", "Hans \"Hansi\" Meier", "h@example.org"},
        {"\"Hans \"Hansi\" Meier\" <h@example.org>", "Hans \"Hansi\" Meier", "h@example.org"},
        {"<\"john doe\"@example.org>", "", "john doe@example.org"},
        {"\"john doe\"@example.org", "", "john doe@example.org"},
        {"Leitstelle <leit.stelle@example. org>", "Leitstelle", "leit.stelle@example.org"},
        {"a@b.example <c@d.example>", "a@b.example", "c@d.example"},
        {"<h@example.org> Hans Meier", "Hans Meier", "h@example.org"},
        {"Hans <h@example.org> noch@example.org", "Hans noch@example.org", "h@example.org"},
        // Missing parts: nothing of what is there gets lost.
        {"Hans Meier <h@example.org", "Hans Meier", "h@example.org"},
        {"Hans Meier <>", "Hans Meier", ""},
        {"Hans Meier", "Hans Meier", ""},
        {"hans", "", "hans"},
        {"@example.org", "", "@example.org"},
        {"\"Hans Meier <h@example.org>", "Hans Meier <h@example.org>", ""},
        {"h@example.org (offener Kommentar", "", "h@example.org"},
        {"", "", ""},
        {" \t ", "", ""},
    };
    for (const TItemCase& c : cases) {
        TMailEMailAddressItem item("alt@example.org", "Alt");
        item.SetText(c.text);
        EXPECT_EQ(item.Name, c.name) << "text: " << c.text;
        EXPECT_EQ(item.Address, c.address) << "text: " << c.text;
    }
}

TEST(MailAddressItem, TextFormQuotesWhereNeededAndParsesBack) {
    const struct {
        const char* name;
        const char* address;
        const char* text;
    } cases[] = {
        {"", "hans@example.org", "hans@example.org"},
        {"Hans Meier", "hans@example.org", "Hans Meier <hans@example.org>"},
        {"HANS@example.ORG", "hans@example.org", "hans@example.org"},
        {"Meier, Hans", "hans@example.org", "\"Meier, Hans\" <hans@example.org>"},
        {"Dr. Meier", "hans@example.org", "\"Dr. Meier\" <hans@example.org>"},
        {"Jörg", "j@example.org", "\"Jörg\" <j@example.org>"},
        {"Hans \"Hansi\" a\\b", "h@example.org", "\"Hans \\\"Hansi\\\" a\\\\b\" <h@example.org>"},
        {"O'Neil", "o@example.org", "O'Neil <o@example.org>"},
        {"", "john.doe@example.org", "john.doe@example.org"},
        {"", "john doe@example.org", "<\"john doe\"@example.org>"},
        {"", "a.b c@example.org", "<\"a.b c\"@example.org>"},
        {"", "a\"b@example.org", "<\"a\\\"b\"@example.org>"},
        {"", "a^b@example.org", "<\"a^b\"@example.org>"},
        {"John", "john doe@example.org", "John <\"john doe\"@example.org>"},
        {"Hans", "", "Hans <>"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const TMailEMailAddressItem item(c.address, c.name);
        EXPECT_EQ(item.Text(), c.text) << "name: " << c.name << " address: " << c.address;
        TMailEMailAddressItem back;
        back.SetText(item.Text());
        EXPECT_EQ(back.Address, c.address) << "round trip of " << item.Text();
        // A name equal to the address is not written, so it does not come back.
        if (std::string(c.name) != std::string(c.address) && std::string(c.name) != "HANS@example.ORG") {
            EXPECT_EQ(back.Name, c.name) << "round trip of " << item.Text();
        }
    }
}

TEST(MailAddressItem, UserAndDomainSplitAtTheLastAtSign) {
    const TMailEMailAddressItem item("\"a@b\"@example.org", "");
    EXPECT_EQ(item.User(), "\"a@b\"");
    EXPECT_EQ(item.Domain(), "example.org");
    const TMailEMailAddressItem local("postmaster", "");
    EXPECT_EQ(local.User(), "postmaster");
    EXPECT_EQ(local.Domain(), "");
}

std::vector<std::string> Items(const TMailEMailAddressList& list) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < list.Count(); ++i) items.push_back(list[i].Name + "|" + list[i].Address);
    return items;
}

TEST(MailAddressList, SplitsListTextsIntoItems) {
    using V = std::vector<std::string>;
    const struct {
        const char* text;
        V items;
    } cases[] = {
        {"a@example.org", V{"|a@example.org"}},
        {"a@example.org, b@example.org", V{"|a@example.org", "|b@example.org"}},
        {"a@example.org;b@example.org", V{"|a@example.org", "|b@example.org"}},
        {"Team: a@example.org;", V{"|a@example.org"}},
        {"Team: a@example.org, b@example.org;, c@example.org", V{"|a@example.org", "|b@example.org", "|c@example.org"}},
        {"\"Meier, Hans\" <h@example.org>, b@example.org", V{"Meier, Hans|h@example.org", "|b@example.org"}},
        {"h@example.org (Meier, Hans; Büro), b@example.org", V{"|h@example.org", "|b@example.org"}},
        {"\"a\\\"b, c\" <h@example.org>", V{"a\"b, c|h@example.org"}},
        {"Hans <h@example.org>,, b@example.org,", V{"Hans|h@example.org", "|b@example.org"}},
        {"a@example.org;<>;", V{"|a@example.org"}},
        {"Hans Meier, a@example.org", V{"Hans Meier|", "|a@example.org"}},
        // Text forms longer than a short-string buffer (found by fuzzing).
        {"Hans Meier aus der Leitstelle Nord, x", V{"Hans Meier aus der Leitstelle Nord|", "|x"}},
        {" , ,  , ", V{}},
        {"<>", V{}},
        {"<>, <>", V{}},
        {"", V{}},
        {"   ", V{}},
        {"Leer:;", V{}},
    };
    for (const auto& c : cases) {
        TMailEMailAddressList list;
        list.Add().Address = "alt@example.org";
        list.SetEMailAddresses(c.text);
        EXPECT_EQ(Items(list), c.items) << "text: " << c.text;
    }
}

TEST(MailAddressList, HugeTextsParseInLinearTime) {
    const auto repeat = [](const std::string& unit) {
        std::string text;
        while (text.size() < (1u << 20)) text += unit;
        return text;
    };
    const struct {
        const char* what;
        std::string text;
        std::size_t items;
    } cases[] = {
        {"many items", repeat("a@b,"), 262144},
        {"many angle brackets in one item", repeat("<>a "), 1},
        {"many escapes in unclosed quotes", "\"" + repeat("\\a"), 1},
        {"one long name", repeat("Hans "), 1},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        TMailEMailAddressList list;
        list.SetEMailAddresses(c.text);
        EXPECT_EQ(list.Count(), c.items) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.what;
    }
}

TEST(MailAddressList, TextFormJoinsItemsAndParsesBack) {
    TMailEMailAddressList list;
    list.SetEMailAddresses("\"Meier, Hans\" <h@example.org>; Team: b@example.org, Jörg <j@example.org>;");
    EXPECT_EQ(list.EMailAddresses(), "\"Meier, Hans\" <h@example.org>, b@example.org, \"Jörg\" <j@example.org>");
    TMailEMailAddressList back;
    back.SetEMailAddresses(list.EMailAddresses());
    EXPECT_EQ(Items(back), Items(list));
}

TEST(MailAddressList, CopiesAreIndependentAndAddItemsMayCopyItself) {
    TMailEMailAddressList list;
    list.SetEMailAddresses("a@example.org, b@example.org");
    TMailEMailAddressList copy = list;
    copy[0].Address = "x@example.org";
    EXPECT_EQ(list[0].Address, "a@example.org");
    TMailEMailAddressItem& first = list[0];
    list.AddItems(list);
    EXPECT_EQ(list.EMailAddresses(), "a@example.org, b@example.org, a@example.org, b@example.org");
    EXPECT_EQ(&first, &list[0]) << "items keep their place while the list grows";
}

}  // namespace
}  // namespace kdv
