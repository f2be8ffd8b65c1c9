#pragma once
// [Debug] Laststartcheckmail and Lastendcheckmail: when a mailbox pass last
// started and last ended whole, for an operator looking into the ini.
#include <string>

#include "incoming/mail_empfang_context.h"

namespace kdv {

// "<date> <time>" of the clock, as [Debug] Laststartcheckmail and
// Lastendcheckmail hold it (dd.mm.yyyy hh:mm:ss).
std::string DebugZeitstempel(const TMailEmpfangContext& ctx);

// Writes the clock's time into [Debug] `key`; a failure is logged.
void WriteDebugStamp(TMailEmpfangContext& ctx, const char* key);

}  // namespace kdv
