#pragma once
// What the service host drives: start, one poll cycle, stop, and the timer
// that says when the next cycle is due. The host is the only caller, so the
// three never run at the same time.
#include "service/poll_timer.h"

namespace kdv {

class IServiceModule {
public:
    virtual ~IServiceModule() = default;
    virtual void ServiceStart(bool& Started) = 0;
    virtual void ServiceStop(bool& Stopped) = 0;
    virtual void mailtimerTimer() = 0;
    virtual TPollTimer& PollTimer() = 0;
};

}  // namespace kdv
