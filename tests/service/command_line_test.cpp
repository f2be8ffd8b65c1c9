#include "service/command_line.h"

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace kdv {
namespace {

struct LineCase {
    std::vector<std::string> args;
    bool install, uninstall, silent, once;
    std::string home;
    size_t imports;
    bool error;
    bool check = false;
    std::string oauth_section = "";  // "-": no --oauth2-anmelden
};

class CommandLineCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLineCases, Parses) {
    const LineCase& c = GetParam();
    const TCommandLine cl = ParseCommandLine(c.args);
    EXPECT_EQ(!cl.Error.empty(), c.error) << cl.Error;
    if (c.error) return;
    EXPECT_EQ(cl.Install, c.install);
    EXPECT_EQ(cl.Uninstall, c.uninstall);
    EXPECT_EQ(cl.Silent, c.silent);
    EXPECT_EQ(cl.Once, c.once);
    EXPECT_EQ(cl.Home ? cl.Home->string() : "", c.home);
    EXPECT_EQ(cl.ImportFiles.size(), c.imports);
    EXPECT_EQ(cl.Check, c.check);
    EXPECT_EQ(cl.OAuthSignIn.value_or("-"), c.oauth_section.empty() ? "-" : c.oauth_section);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLineCases,
    ::testing::Values(LineCase{{}, false, false, false, false, "", 0, false},
                      LineCase{{"/INSTALL"}, true, false, false, false, "", 0, false},
                      LineCase{{"-install", "/Silent"}, true, false, true, false, "", 0, false},
                      LineCase{{"--install", "--home", "/srv/dv"}, true, false, false, false, "/srv/dv", 0, false},
                      LineCase{{"/uninstall", "-SILENT"}, false, true, true, false, "", 0, false},
                      LineCase{{"--home", "/x", "--once"}, false, false, false, true, "/x", 0, false},
                      LineCase{{"--import", "/tmp/a.eml", "b.eml", "--home", "h"}, false, false, false, false, "h", 2, false},
                      LineCase{{"--import"}, false, false, false, false, "", 0, true},
                      LineCase{{"--home"}, false, false, false, false, "", 0, true},
                      LineCase{{"INSTALL"}, false, false, false, false, "", 0, true},
                      LineCase{{"--bogus"}, false, false, false, false, "", 0, true},
                      LineCase{{"/install", "/uninstall"}, false, false, false, false, "", 0, true},
                      LineCase{{"--check", "--home", "h"}, false, false, false, false, "h", 0, false, true},
                      LineCase{{"/CHECK"}, false, false, false, false, "", 0, false, true},
                      LineCase{{"--check", "--once"}, false, false, false, false, "", 0, true},
                      LineCase{{"--check", "/install"}, false, false, false, false, "", 0, true},
                      LineCase{{"--check", "--import", "a.eml"}, false, false, false, false, "", 0, true},
                      LineCase{{"--oauth2-anmelden", "--home", "h"}, false, false, false, false, "h", 0, false, false,
                               "OAuth2"},
                      LineCase{{"--home", "h", "/OAUTH2-ANMELDEN", "Privat"}, false, false, false, false, "h", 0, false,
                               false, "Privat"},
                      LineCase{{"--oauth2-anmelden", "--once"}, false, false, false, false, "", 0, true}),
    [](const ::testing::TestParamInfo<LineCase>& info) {
        std::string args;
        for (const std::string& arg : info.param.args) args += arg + " ";
        return kdv::testing::CaseNameFrom(args.empty() ? "ohne Schalter" : args, info.index);
    });

}  // namespace
}  // namespace kdv
