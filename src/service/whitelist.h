#pragma once
// The list of permitted senders, loaded once at service start from
// whitelist.txt: one entry per line, each line unchanged (no trimming, no
// comments, empty lines and duplicates kept). What the entries admit is
// decided by TSenderRules (incoming/sender_rules.h).
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kdv {

class TWhitelist {
public:
    // Holds the one entry "*": every sender is permitted until a file says otherwise.
    TWhitelist();

    std::vector<std::string> Entries;

    // The entries in order, each followed by CR LF (the empty text for no entries).
    std::string Text() const;

    // Replaces the entries by the lines of text. Lines end with CR LF, LF or
    // CR; a line break at the very end adds no entry; the empty text gives no entry.
    void SetText(std::string_view text);

    // Replaces the entries by the lines of the file. The encoding follows its
    // byte-order mark (UTF-8, UTF-16 little or big endian); a file without one
    // is UTF-8, and a byte that is no valid UTF-8 is read as Windows-1252.
    // Raises EDiraError with a German message when the file cannot be read
    // (missing, no access, a folder, too large); the entries are then unchanged.
    void LoadFromFile(const std::filesystem::path& FileName);

    // The start-up rule: "*" when the file does not exist, otherwise its lines.
    // Raises like LoadFromFile when the file exists but cannot be read, and
    // when it cannot even be told whether the file exists: falling back to "*"
    // would then let every sender in.
    void LoadIfPresent(const std::filesystem::path& FileName);
};

}  // namespace kdv
