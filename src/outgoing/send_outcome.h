#pragma once
// What became of one journal row's mail, decided on the kind of the error,
// so that a scan knows whether to mark the row, keep it, or stop.
#include <exception>
#include <vector>

#include "clients/mail_smtp.h"

namespace kdv {

enum class TSendOutcome {
    soSent,            // accepted for at least one recipient
    soServerUnusable,  // the server, its settings or the database: stop the scan, keep the row
    soNotNow,          // this row cannot go now; keep it and go on
    soFailedForGood,   // this row will never go; mark it failed and go on
};

// A reply that says the server or its settings are at fault, whatever the
// command: 421 (service closing), 530 and every 5.7.x (authentication,
// relaying or policy refused).
bool IsServerFaultReply(int code, const TMailEnhancedStatus& enhanced);

// The outcome of a failing Send, from the error, the step the server refused
// and the recipients it refused. Connect and Authenticate failures never come
// here: they always make the server unusable.
TSendOutcome ClassifySendFailure(const std::exception& error, TSMTPSendStep step,
                                 const std::vector<TSMTPRefusedRecipient>& refused);

}  // namespace kdv
