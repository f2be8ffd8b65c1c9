#include "service/service_runner.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kdv {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

class FakeSteadyClock : public ISteadyClock {
public:
    SteadyTime Now() const override { return now; }
    void Advance(milliseconds d) { now += d; }
    SteadyTime now{};
};

// Lets time pass while the runner waits; the termination request arrives at a
// chosen moment of the fake clock.
class FakeTermination : public ITerminationSignal {
public:
    FakeTermination(FakeSteadyClock& clock, milliseconds stopAt) : clock_(clock), stopAt_(stopAt) {}
    bool Wait(milliseconds timeout) override {
        if (Requested()) return true;
        const milliseconds now = Elapsed();
        if (now + timeout >= stopAt_) {
            clock_.Advance(stopAt_ - now);
            return true;
        }
        clock_.Advance(timeout);
        return false;
    }
    bool Requested() const { return Elapsed() >= stopAt_; }

private:
    milliseconds Elapsed() const {
        return std::chrono::duration_cast<milliseconds>(clock_.now.time_since_epoch());
    }
    FakeSteadyClock& clock_;
    milliseconds stopAt_;
};

// Records what the runner calls and when, in seconds since program start.
class FakeModule : public IServiceModule {
public:
    explicit FakeModule(FakeSteadyClock& clock) : clock_(clock), timer_(clock) {}
    void ServiceStart(bool& Started) override {
        Record("start");
        clock_.Advance(startTakes);
        Started = startSucceeds;
    }
    void ServiceStop(bool&) override { Record("stop"); }
    void mailtimerTimer() override {
        timer_.SetEnabled(false);
        Record("cycle");
        clock_.Advance(cycleTakes);
        if (duringCycle) duringCycle();
        timer_.SetEnabled(true);
    }
    TPollTimer& PollTimer() override { return timer_; }

    std::vector<std::string> events;
    milliseconds startTakes{0};
    milliseconds cycleTakes{0};
    bool startSucceeds = true;
    std::function<void()> duringCycle;

private:
    void Record(const std::string& what) {
        const auto s = std::chrono::duration_cast<std::chrono::seconds>(clock_.now.time_since_epoch());
        events.push_back(what + "@" + std::to_string(s.count()));
    }
    FakeSteadyClock& clock_;
    TPollTimer timer_;
};

struct RunCase {
    const char* name;
    milliseconds startTakes;
    milliseconds cycleTakes;
    milliseconds stopAt;
    std::vector<std::string> expected;
};

class ServiceRunnerSchedule : public ::testing::TestWithParam<RunCase> {};

TEST_P(ServiceRunnerSchedule, CyclesFollowTheTimer) {
    const RunCase& c = GetParam();
    FakeSteadyClock clock;
    FakeModule module(clock);
    module.startTakes = c.startTakes;
    module.cycleTakes = c.cycleTakes;
    FakeTermination termination(clock, c.stopAt);
    EXPECT_EQ(RunService(module, termination), 0);
    EXPECT_EQ(module.events, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Timing, ServiceRunnerSchedule,
    ::testing::Values(
        // The first cycle is due 90 s after program start, not after the start finished.
        RunCase{"FirstCycleCountsFromProgramStart", 30s, 0s, 200s,
                {"start@0", "cycle@90", "cycle@180", "stop@200"}},
        // A long cycle pushes the next one: 90 s after it ended, missed periods not made up.
        RunCase{"LongCycleDelaysTheNext", 0s, 200s, 600s,
                {"start@0", "cycle@90", "cycle@380", "stop@600"}},
        // A start slower than the interval: the first cycle runs right after it, never before.
        RunCase{"SlowStartRunsNoCycleBeforeItEnds", 120s, 0s, 125s, {"start@0", "cycle@120", "stop@125"}},
        RunCase{"StopBeforeTheFirstCycle", 0s, 0s, 10s, {"start@0", "stop@10"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServiceRunner, StopRequestedDuringACycleWaitsForItsEnd) {
    FakeSteadyClock clock;
    FakeModule module(clock);
    module.cycleTakes = 50s;
    // The request arrives at 100 s, in the middle of the first cycle (90-140 s).
    FakeTermination termination(clock, 100s);
    EXPECT_EQ(RunService(module, termination), 0);
    EXPECT_EQ(module.events, (std::vector<std::string>{"start@0", "cycle@90", "stop@140"}));
}

TEST(ServiceRunner, FailedStartRunsNeitherCycleNorStop) {
    FakeSteadyClock clock;
    FakeModule module(clock);
    module.startSucceeds = false;
    FakeTermination termination(clock, 1000s);
    EXPECT_EQ(RunService(module, termination), 1);
    EXPECT_EQ(module.events, (std::vector<std::string>{"start@0"}));

    FakeModule once(clock);
    once.startSucceeds = false;
    EXPECT_EQ(RunOnce(once, termination), 1);
    EXPECT_EQ(once.events.size(), 1u);
}

// --once: the cycle at once; a termination request skips what has not begun
// and lets what is in hand end, and the status says the run was cut short.
TEST(ServiceRunner, OnceRunsOneCycleAtOnceUnlessStopped) {
    struct TCase {
        const char* Name;
        milliseconds StopAt;
        std::vector<std::string> Expected;
        int Status;
    };
    const TCase cases[] = {
        {"no request", 1000s, {"start@0", "cycle@10", "stop@40"}, 0},
        {"request during the start", 5s, {"start@0", "stop@10"}, 1},
        {"request during the cycle", 20s, {"start@0", "cycle@10", "stop@40"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeSteadyClock clock;
        FakeModule module(clock);
        module.startTakes = 10s;
        module.cycleTakes = 30s;
        FakeTermination termination(clock, c.StopAt);
        EXPECT_EQ(RunOnce(module, termination), c.Status);
        EXPECT_EQ(module.events, c.Expected);
    }
}

// What the service manager hears: running once the start has finished,
// stopping once the request is taken up, each before the work it announces;
// nothing after a failed start, so the manager sees that start fail.
TEST(ServiceRunner, ReportsRunningAfterTheStartAndStoppingBeforeTheStop) {
    class RecordingStatus : public IServiceStatus {
    public:
        explicit RecordingStatus(std::vector<std::string>& events) : events_(events) {}
        void Running() override { events_.push_back("running"); }
        void Stopping() override { events_.push_back("stopping"); }

    private:
        std::vector<std::string>& events_;
    };
    struct TCase {
        const char* Name;
        bool StartSucceeds;
        std::vector<std::string> Expected;
    };
    const TCase cases[] = {
        {"started", true, {"start@0", "running", "cycle@90", "stopping", "stop@100"}},
        {"start failed", false, {"start@0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeSteadyClock clock;
        FakeModule module(clock);
        module.startSucceeds = c.StartSucceeds;
        RecordingStatus status(module.events);
        FakeTermination termination(clock, 100s);
        EXPECT_EQ(RunService(module, termination, status), c.StartSucceeds ? 0 : 1);
        EXPECT_EQ(module.events, c.Expected);
    }
}

TEST(PollTimer, OffWhileSwitchedOffAndCountsAgainFromSwitchOn) {
    FakeSteadyClock clock;
    TPollTimer timer(clock);
    EXPECT_EQ(timer.Remaining(), 90000ms);
    clock.Advance(90s);
    EXPECT_TRUE(timer.Due());
    timer.SetEnabled(false);
    EXPECT_EQ(timer.Remaining(), TPollTimer::kNever);
    clock.Advance(10s);
    timer.SetEnabled(true);
    EXPECT_EQ(timer.Remaining(), 90000ms);
    // Switching on again while on does not restart the count.
    clock.Advance(30s);
    timer.SetEnabled(true);
    EXPECT_EQ(timer.Remaining(), 60000ms);
}

}  // namespace
}  // namespace kdv
