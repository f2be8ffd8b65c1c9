// Processor time and peak memory of the bench process (or of the children it
// waited for), the two figures every bench prints beside its wall time.
#pragma once

#include <sys/resource.h>

namespace kdv::bench {

// User plus system time in seconds; `who` is RUSAGE_SELF or RUSAGE_CHILDREN.
inline double CpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Peak resident set size in KiB; `who` as above.
inline long PeakRssKb(int who = RUSAGE_SELF) {
    rusage usage{};
    ::getrusage(who, &usage);
    return usage.ru_maxrss;
}

}  // namespace kdv::bench
