#pragma once
// Attachment paths as the database keeps them and as this machine reaches
// them. The journal tables hold paths in the form the application's Windows
// programs read ("D:\Anlagen\3\17\Plan.pdf"), so they are stored that way;
// for its own file access the service maps such a path to a local one. Both
// the incoming and the outgoing side reach files this way, so it sits below
// them; on Windows the mapping will be the identity.
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/ascii_text.h"
#include "platform/ini_file.h"

namespace kdv {

inline bool IsStoredPathSeparator(char c) { return c == '\\' || c == '/'; }

// True when `stored` begins with the folder `prefix`: compared without regard
// to ASCII case, "\" and "/" counting as the same separator, and only up to a
// separator, so that the prefix "D:\Anlagen" does not claim "D:\Anlagen2\x".
inline bool StoredPathHasPrefix(std::string_view stored, std::string_view prefix) {
    if (prefix.empty() || stored.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char a = stored[i];
        const char b = prefix[i];
        if (IsStoredPathSeparator(a) && IsStoredPathSeparator(b)) continue;
        if (LowerAscii(a) != LowerAscii(b)) return false;
    }
    return stored.size() == prefix.size() || IsStoredPathSeparator(prefix.back()) ||
           IsStoredPathSeparator(stored[prefix.size()]);
}

// The local form of a stored path: a path beginning with the folder
// `windowsPrefix` gets that prefix replaced by `localFolder`, then every "\"
// becomes "/". An empty prefix maps nothing but the separators.
inline std::string MapStoredPath(std::string_view stored, std::string_view windowsPrefix,
                                 std::string_view localFolder) {
    std::string result;
    if (StoredPathHasPrefix(stored, windowsPrefix)) {
        std::string_view rest = stored.substr(windowsPrefix.size());
        result.assign(localFolder);
        // One separator between folder and rest, whichever side brought it.
        const bool folderEnds = !result.empty() && IsStoredPathSeparator(result.back());
        const bool restStarts = !rest.empty() && IsStoredPathSeparator(rest.front());
        if (folderEnds && restStarts) rest.remove_prefix(1);
        if (!folderEnds && !restStarts && !rest.empty() && !result.empty()) result += '/';
        result += rest;
    } else {
        result.assign(stored);
    }
    for (char& c : result) {
        if (c == '\\') c = '/';
    }
    return result;
}

// MapStoredPath with the prefix and folder of the settings' [Pfade] section
// (keys Windows and Lokal, read at every call).
inline std::filesystem::path LocalAttachmentPath(const TIniFile& ini, std::string_view stored) {
    const std::string windowsPrefix = ini.ReadString("Pfade", "Windows", "");
    const std::string localFolder = ini.ReadString("Pfade", "Lokal", "");
    const std::string mapped = MapStoredPath(stored, windowsPrefix, localFolder);
    return std::filesystem::path(std::u8string(mapped.begin(), mapped.end()));
}

}  // namespace kdv
