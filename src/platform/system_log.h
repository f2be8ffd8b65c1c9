#pragma once
// Where failures go that the service's own log cannot take: the system log
// (syslog on Linux, the application event log on Windows) and standard error.
#include <string>

namespace kdv {

// `source` names the reporter ("diravid" for start failures, the executable's
// file name for failures escaping a poll cycle). Never throws.
void ReportToSystemLog(const std::string& source, const std::string& text);

}  // namespace kdv
