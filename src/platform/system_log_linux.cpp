#include "platform/system_log.h"

#include <syslog.h>

#include <cstdio>

namespace kdv {

void ReportToSystemLog(const std::string& source, const std::string& text) {
    // openlog keeps the ident pointer, so it must outlive the call.
    static thread_local std::string ident;
    ident = source;
    openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s", text.c_str());
    closelog();
    std::fprintf(stderr, "%s: %s\n", source.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace kdv
