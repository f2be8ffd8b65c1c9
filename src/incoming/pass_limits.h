#pragma once
// What ends a mailbox pass before its last mail: a stop request, the time a
// pass may take in all, or a run of failures. Whatever the server claims
// about its mailbox, a pass then ends with one line that says how many mails
// were left for the next one.
#include <chrono>
#include <cstdint>
#include <functional>

#include "incoming/mail_empfang_context.h"

namespace kdv {

// After this long a pass starts no further mail; the mail in transfer
// finishes within its own time limit. Mails left wait for the next cycle,
// and the outgoing jobs of the cycle are not held up longer.
inline constexpr std::chrono::minutes kPassTimeBudget{10};
// Mails failing one after another mean the server or the database cannot
// serve this pass; trying the rest would only fill the log.
inline constexpr int kMaxConsecutiveFailures = 10;

class TPassLimits {
public:
    TPassLimits(TMailEmpfangContext& ctx, std::function<bool()> stop_requested,
                std::chrono::steady_clock::duration time_budget = kPassTimeBudget);

    // Whether the next mail may be tried, `left` mails (it included) being
    // still untried. Logs once why not.
    bool MayGoOn(std::uint64_t left);
    void Failed() { ++consecutive_failures_; }
    void Succeeded() { consecutive_failures_ = 0; }

private:
    TMailEmpfangContext& ctx_;
    std::function<bool()> stop_requested_;
    std::chrono::steady_clock::time_point end_;
    std::chrono::steady_clock::duration budget_;
    int consecutive_failures_ = 0;
};

}  // namespace kdv
