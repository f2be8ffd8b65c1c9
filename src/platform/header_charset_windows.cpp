#include "platform/header_charset.h"

#include <windows.h>

namespace kdv {

// The regional settings' language decides, as the mail programs of those
// regions expect: Chinese, Japanese, Korean, Russian and Ukrainian have mail
// charsets of their own.
std::string LocaleHeaderCharset() {
    const LANGID language = LANGIDFROMLCID(::GetUserDefaultLCID());
    switch (PRIMARYLANGID(language)) {
        case LANG_CHINESE:
            switch (SUBLANGID(language)) {
                case SUBLANG_CHINESE_TRADITIONAL:
                case SUBLANG_CHINESE_HONGKONG:
                case SUBLANG_CHINESE_MACAU: return "Big5";
                default: return "GB2312";
            }
        case LANG_JAPANESE: return "ISO-2022-JP";
        case LANG_KOREAN: return "csEUCKR";
        case LANG_RUSSIAN: return "KOI8-R";
        case LANG_UKRAINIAN: return "windows-1251";
        default: return "UTF-8";
    }
}

}  // namespace kdv
