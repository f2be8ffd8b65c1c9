// The executable as operators call it: switches, installation, exit codes.
#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace kdv {
namespace {

using testing::ReadFileBytes;
using testing::RunProgram;
using testing::TTempDir;

TEST(Program, VersionAndHelp) {
    const auto v = RunProgram(DIRAVID_BINARY, {"--version"});
    EXPECT_EQ(v.ExitCode, 0);
    EXPECT_EQ(v.Stdout, "KorvaneDiraVid V 1.0.6\n");
    const auto h = RunProgram(DIRAVID_BINARY, {"--help"});
    EXPECT_EQ(h.ExitCode, 0);
    EXPECT_NE(h.Stdout.find("--once"), std::string::npos);
    const auto bad = RunProgram(DIRAVID_BINARY, {"--nonsense"});
    EXPECT_NE(bad.ExitCode, 0);
    EXPECT_NE(bad.Stderr.find("--nonsense"), std::string::npos);
}

class Installation : public ::testing::Test {
protected:
    TTempDir units{"diravid-units"};
    TTempDir home{"diravid home"};  // a blank in the path must be quoted in ExecStart
    std::map<std::string, std::string> env{{"DIRAVID_SYSTEMD_DIR", units.Path().string()}};
    std::string Unit() const { return ReadFileBytes((units / "diravid.service").string()); }
    testing::TProgramResult Run(std::vector<std::string> args) {
        args.push_back("--home");
        args.push_back(home.Path().string());
        return RunProgram(DIRAVID_BINARY, args, env);
    }
};

TEST_F(Installation, InstallWritesTheUnitAndRefusesASecondTime) {
    const auto first = Run({"/INSTALL"});
    EXPECT_EQ(first.ExitCode, 0) << first.Stderr;
    EXPECT_EQ(first.Stdout, "Service erfolgreich installiert\n");
    const std::string unit = Unit();
    EXPECT_NE(unit.find("Description=Service-Anwendung für das Empfangen und Versenden von E-Mails in Korvane.\n"),
              std::string::npos);
    EXPECT_NE(unit.find("--home \"" + home.Path().string() + "\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_NE(unit.find("Type=simple\n"), std::string::npos);

    // A failure is reported even with SILENT, in the installation failure format.
    const auto second = Run({"-install", "-silent"});
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_EQ(second.Stdout, "");
    EXPECT_EQ(second.Stderr.rfind("Service \"KorvaneDiraVid\" konnte nicht installiert werden; Fehler: \"", 0), 0u)
        << second.Stderr;
    EXPECT_EQ(Unit(), unit);
}

TEST_F(Installation, UninstallRemovesTheUnitAndFailsWhenNoneIsThere) {
    ASSERT_EQ(Run({"--install", "/SILENT"}).ExitCode, 0);
    const auto removed = Run({"/uninstall"});
    EXPECT_EQ(removed.ExitCode, 0);
    EXPECT_EQ(removed.Stdout, "Service erfolgreich deinstalliert\n");
    EXPECT_FALSE(std::filesystem::exists(units / "diravid.service"));

    const auto again = Run({"/uninstall", "/silent"});
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_EQ(again.Stderr.rfind("Service \"KorvaneDiraVid\" konnte nicht deinstalliert werden; Fehler: \"", 0), 0u)
        << again.Stderr;
}

TEST_F(Installation, SilentSuppressesOnlyTheSuccessMessage) {
    const auto r = Run({"/install", "/silent"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Stdout, "");
    EXPECT_EQ(r.Stderr, "");
}

}  // namespace
}  // namespace kdv
