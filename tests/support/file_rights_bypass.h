#pragma once
// Whether this process may read and write files whatever their rights say,
// so that a test of refused access has nothing to show.
namespace kdv::testing {

bool BypassesFileRights();

}  // namespace kdv::testing
