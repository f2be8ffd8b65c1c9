#include "platform/termination_signal.h"

#include <csignal>
#include <ctime>

namespace kdv {
namespace {

class TLinuxTerminationSignal final : public ITerminationSignal {
public:
    TLinuxTerminationSignal() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGHUP);
        // Blocked signals stay pending until we wait for them, so a request that
        // arrives during a poll cycle ends the service right after that cycle.
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
    }
    ~TLinuxTerminationSignal() override { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

    bool Wait(std::chrono::milliseconds timeout) override {
        if (requested_) return true;
        if (timeout.count() < 0) timeout = std::chrono::milliseconds{0};
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(timeout.count() / 1000);
        ts.tv_nsec = static_cast<long>((timeout.count() % 1000) * 1000000);
        // EAGAIN (time out) and EINTR (another signal) both mean "no request
        // yet"; the caller recomputes the remaining time and waits again.
        if (sigtimedwait(&set_, nullptr, &ts) > 0) requested_ = true;
        return requested_;
    }

private:
    sigset_t set_{};
    sigset_t old_{};
    bool requested_ = false;
};

}  // namespace

std::unique_ptr<ITerminationSignal> CatchTerminationSignals() {
    return std::make_unique<TLinuxTerminationSignal>();
}

}  // namespace kdv
