#include "platform/system_log.h"

#include <windows.h>

#include <cstdio>

#include "platform/system_log_event.h"
#include "platform/windows_text.h"

namespace kdv {

void ReportToSystemLog(const std::string& source, const std::string& text) {
    // The application event log; the source need not be registered, the
    // text is shown as the entry's inserted string either way.
    const std::wstring wideSource = WideFromUtf8(source);
    if (HANDLE log = ::RegisterEventSourceW(nullptr, wideSource.c_str())) {
        const std::wstring wideText = WideFromUtf8(text);
        const wchar_t* strings[] = {wideText.c_str()};
        ::ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, kSystemLogEventId, nullptr, 1, 0, strings, nullptr);
        ::DeregisterEventSource(log);
    }
    std::fprintf(stderr, "%s: %s\n", source.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace kdv
