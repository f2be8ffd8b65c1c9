#include "support/file_rights_bypass.h"

namespace kdv::testing {

// The read-only attribute holds for administrators as well, and the tests
// take no backup or restore privilege that would pass an access list.
bool BypassesFileRights() { return false; }

}  // namespace kdv::testing
