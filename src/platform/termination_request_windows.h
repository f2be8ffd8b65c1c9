#pragma once
// The one process-wide termination request of the Windows build: set by the
// console's Ctrl-C, Ctrl-Break and close events and by the service manager's
// stop and shutdown, awaited through ITerminationSignal. Only the Windows
// twins of this folder include it.
namespace kdv {

// Raises the request; it stays raised until the process ends.
void RequestTermination();

}  // namespace kdv
