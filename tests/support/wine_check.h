#pragma once
// Whether the program runs under Wine rather than on Windows itself. Only
// for the few checks that Wine cannot show although Windows does; each such
// place says what Wine lacks.
namespace kdv::testing {

bool RunsUnderWine();

}  // namespace kdv::testing
