#pragma once
// The settings file of the service: a profile file of "[Section]" lines and
// "Key=Value" lines. Section and key names are compared without regard to
// case, blanks around names and values do not count, a value in double quotes
// is returned without them, and a line starting with ";" is a comment.
// A file with a UTF-16 byte-order mark is read and written as UTF-16, a file
// with a UTF-8 mark keeps its mark, any other file is UTF-8 (a byte that is
// no valid UTF-8 is read as Windows-1252, as in files saved on Windows) -
// on Windows it is in the ANSI code page unless it is UTF-8 (see
// UnmarkedTextIsAnsi), and what is written into it is in that code page too.
//
// Nothing is cached: every read goes to the file, so an edit by an operator
// takes effect at the next read. Reads never fail: a missing or unreadable
// file, a missing key or a value that is no number yields the default.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kdv {

// Longest value a read returns, in characters; the platform's own settings
// readers fill a buffer of 2048 characters including the terminating zero.
inline constexpr std::size_t kMaxIniValueChars = 2047;

// Largest settings file that is read at all; a real one holds a few
// kilobytes, and every read loads the whole file, so a far larger file is
// a wrong file and is treated as unreadable.
inline constexpr std::uintmax_t kMaxIniFileBytes = 4u * 1024 * 1024;

class TIniFile {
public:
    explicit TIniFile(std::filesystem::path FileName);

    const std::filesystem::path& FileName() const;

    // The key's value (at most kMaxIniValueChars characters; a longer one is
    // cut), or Default when the file, the section or the key is missing.
    // A key present with an empty value yields the empty text.
    std::string ReadString(const std::string& Section, const std::string& Ident,
                           const std::string& Default) const;

    // A decimal number with optional sign, or a hexadecimal one after "0x"
    // (any case) or "$". A missing or empty value, one that is no such
    // number, or one outside the range of int yields Default.
    int ReadInteger(const std::string& Section, const std::string& Ident, int Default) const;

    // Read as an integer: 0 is false, any other number true; otherwise Default.
    bool ReadBool(const std::string& Section, const std::string& Ident, bool Default) const;

    // Writes the value through to the file at once, creating the file, the
    // section or the key when missing; every other line of the file keeps its
    // bytes and its place. The file is replaced as a whole (written beside it,
    // then renamed over it), so a failed write leaves the old file intact.
    // A value that a read would not give back unchanged (blanks at its ends,
    // enclosing double quotes) is stored in double quotes. Writes from several
    // threads of the process are done one after the other.
    // Raises EDiraError "In <path> kann nicht geschrieben werden" when the
    // write is refused, and also for a section or key name that cannot be
    // stored (empty key, line breaks, "=" in a key, "]" in a section) or a
    // value holding a line break, since those would corrupt the file.
    void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);

private:
    std::filesystem::path FFileName;
};

}  // namespace kdv
