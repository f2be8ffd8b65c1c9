#include "support/wine_check.h"

namespace kdv::testing {

bool RunsUnderWine() { return false; }

}  // namespace kdv::testing
