#include "incoming/pass_limits.h"

#include <string>
#include <utility>

namespace kdv {

TPassLimits::TPassLimits(TMailEmpfangContext& ctx, std::function<bool()> stop_requested,
                         std::chrono::steady_clock::duration time_budget)
    : ctx_(ctx),
      stop_requested_(std::move(stop_requested)),
      end_(std::chrono::steady_clock::now() + time_budget),
      budget_(time_budget) {}

bool TPassLimits::MayGoOn(std::uint64_t left) {
    const std::string rest = std::to_string(left);
    if (stop_requested_ && stop_requested_()) {
        LogQuietly(ctx_, 5, "Abbruch angefordert: die übrigen " + rest +
                         " Mails bleiben für den nächsten Durchgang im Postfach.");
        return false;
    }
    if (consecutive_failures_ >= kMaxConsecutiveFailures) {
        LogQuietly(ctx_, 3, std::to_string(consecutive_failures_) + " Mails in Folge sind gescheitert; die übrigen " + rest +
                         " Mails werden in diesem Durchgang nicht versucht.");
        return false;
    }
    if (std::chrono::steady_clock::now() >= end_) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(budget_).count();
        LogQuietly(ctx_, 5, "Der Durchgang hat seine Zeit von " + std::to_string(seconds) + " Sekunden ausgeschöpft; die übrigen " +
                         rest + " Mails bleiben für den nächsten Durchgang im Postfach.");
        return false;
    }
    return true;
}

}  // namespace kdv
