#pragma once
// Which processes run: folders and files named after a process can be told
// apart from the leftovers of processes that have ended.
#include <cstdint>

namespace kdv {

// The id of this process.
std::int64_t CurrentProcessId();

// Whether a process with this id runs now (one of another user counts too).
// Ids are reused, so "true" may name another program; "false" is certain.
bool IsProcessAlive(std::int64_t pid);

}  // namespace kdv
