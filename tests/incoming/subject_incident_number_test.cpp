#include "incoming/subject_incident_number.h"

#include <gtest/gtest.h>

#include "support/case_name.h"

namespace kdv {
namespace {

struct SubjectCase {
    const char* subject;
    const char* number;
};

class SubjectIncidentNumber : public ::testing::TestWithParam<SubjectCase> {};

TEST_P(SubjectIncidentNumber, TakesTheDigitsOfTheFirstMatch) {
    EXPECT_EQ(LageIdAusBetreff(GetParam().subject), GetParam().number) << GetParam().subject;
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, SubjectIncidentNumber,
    ::testing::Values(SubjectCase{"Lage #12 und #7", "12"},      // the first match wins
                      SubjectCase{"Lage 12 ohne Raute", ""},      // digits without "#"
                      SubjectCase{"# 5, #x und dann #34a", "34"}, // a "#" without a digit is passed over
                      SubjectCase{"##9", "9"},
                      SubjectCase{"#0042", "0042"},               // taken as written
                      SubjectCase{"Lage #\xD9\xA3", ""},          // Arabic-Indic digit is no \d
                      SubjectCase{"", ""}),
    [](const ::testing::TestParamInfo<SubjectCase>& info) {
        return kdv::testing::CaseNameFrom(info.param.subject, info.index);
    });

}  // namespace
}  // namespace kdv
