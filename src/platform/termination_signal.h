#pragma once
// The operating system's request to end the process (SIGTERM, SIGINT on Linux;
// the service manager's stop on Windows), delivered to the thread that waits.
#include <chrono>
#include <memory>

namespace kdv {

class ITerminationSignal {
public:
    virtual ~ITerminationSignal() = default;
    // Waits up to `timeout` for a termination request. Returns true when one
    // arrived, now or at any time before; once true it stays true.
    virtual bool Wait(std::chrono::milliseconds timeout) = 0;
    // Whether a request arrived, without waiting: for work that stops at its
    // next safe point (after the mail or the cycle in hand).
    bool StopRequested() { return Wait(std::chrono::milliseconds{0}); }
};

// Starts catching termination requests for the whole process. Call it before
// any other thread exists, so that every thread inherits the blocked signals
// and the request reaches only the waiting thread.
std::unique_ptr<ITerminationSignal> CatchTerminationSignals();

}  // namespace kdv
