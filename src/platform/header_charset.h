#pragma once
// The charset this host writes encoded header words in, chosen from its
// regional settings.
#include <string>

namespace kdv {

// Far-East, Russian and Ukrainian Windows locales have their own mail charsets
// ("GB2312", "Big5", "ISO-2022-JP", "csEUCKR", "KOI8-R", "windows-1251");
// every other host, and every Linux host, writes "UTF-8".
std::string LocaleHeaderCharset();

}  // namespace kdv
