#include "log/log_rotation_names.h"

#include <gtest/gtest.h>

#include "log_test_support.h"

namespace kdv {
namespace {

using kdv::testing::At;

TEST(RotationNames, DailyTargetIsNamedAfterTheDayBefore) {
    const struct {
        std::string log, folder;
        LocalTime now;
        std::string target;
    } cases[] = {
        {"/srv/KorvaneDiraVid.log", "/srv/Logs", At(2024, 1, 29, 0, 0, 1),
         "/srv/Logs/KorvaneDiraVid_2024_01_28.log"},
        {"/srv/KorvaneDiraVid.log", "", At(2024, 3, 1, 23, 59, 59),
         "/srv/KorvaneDiraVid_2024_02_29.log"},
        {"/srv/KorvaneDiraVid.log", "/srv/Logs", At(2025, 1, 1, 6),
         "/srv/Logs/KorvaneDiraVid_2024_12_31.log"},
        {"/srv/protokoll", "", At(2024, 1, 29), "/srv/protokoll_2024_01_28.log"},
        {"/srv/a.b.txt", "", At(2024, 1, 29), "/srv/a.b_2024_01_28.log"},
        {"/srv/x.d/plain", "", At(2024, 1, 29), "/srv/x.d/plain_2024_01_28.log"},
        {"rel.log", "", At(2024, 1, 29), "rel_2024_01_28.log"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DailyRotationTarget(c.log, c.folder, c.now), std::filesystem::path(c.target));
    }
}

TEST(RotationNames, StartupCandidatesCountWithAtLeastThreeDigits) {
    const LocalTime now = At(2024, 1, 29, 14, 5, 9);
    const struct {
        std::string log, folder;
        unsigned n;
        std::string candidate;
    } cases[] = {
        {"/srv/KorvaneDiraVid.log", "/srv/Logs", 0, "/srv/Logs/KorvaneDiraVid_2024_01_29.lastlog"},
        {"/srv/KorvaneDiraVid.log", "/srv/Logs", 1,
         "/srv/Logs/KorvaneDiraVid_2024_01_29_#001.lastlog"},
        {"/srv/KorvaneDiraVid.log", "", 999, "/srv/KorvaneDiraVid_2024_01_29_#999.lastlog"},
        {"/srv/KorvaneDiraVid.log", "", 1000, "/srv/KorvaneDiraVid_2024_01_29_#1000.lastlog"},
        {"/srv/protokoll", "/old", 2, "/old/protokoll_2024_01_29_#002.lastlog"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StartupRotationCandidate(c.log, c.folder, now, c.n),
                  std::filesystem::path(c.candidate));
    }
}

}  // namespace
}  // namespace kdv
