#pragma once
// Encodings of the text files an operator edits (settings file, sender list):
// recognised by their byte-order mark, converted to and from the UTF-8 the
// program works in.
#include <string>
#include <string_view>

namespace kdv {

enum class ETextFileEncoding {
    Utf8,     // no byte-order mark
    Utf8Bom,  // EF BB BF
    Utf16LE,  // FF FE
    Utf16BE,  // FE FF
};

// The encoding named by the byte-order mark at the start of bytes; Utf8 without one.
ETextFileEncoding DetectTextFileEncoding(std::string_view bytes);

// Length in bytes of the byte-order mark of an encoding (0 for Utf8).
std::size_t ByteOrderMarkLength(ETextFileEncoding encoding);

// The whole file content (with its mark, if any) as UTF-8 without the mark.
// Never fails: what cannot be decoded becomes U+FFFD (UTF-16), is read as
// Windows-1252 (UTF-8 files), or is read as UnmarkedTextToUtf8 says (files
// without mark).
std::string TextFileToUtf8(std::string_view bytes);

// Text without a byte-order mark is in the system's ANSI code page
// (SystemAnsiCodePage) when that is not UTF-8, as on Windows, unless it holds
// bytes beyond ASCII that are all well-formed UTF-8: a file an editor saved
// as UTF-8 without mark, which read as ANSI would turn every umlaut into two
// wrong characters. Where the ANSI code page is UTF-8 (Linux) such text is
// never ANSI.
bool UnmarkedTextIsAnsi(std::string_view bytes);
// Such text as UTF-8: `ansi` as UnmarkedTextIsAnsi said of the whole file;
// otherwise as Utf8OrWindows1252ToUtf8.
std::string UnmarkedTextToUtf8(std::string_view bytes, bool ansi);
// UTF-8 text for such a file: in the ANSI code page when `ansi` (a character
// it cannot hold becomes "?"), else unchanged.
std::string UnmarkedTextFromUtf8(std::string_view utf8, bool ansi);

// UTF-8 text as the content of a file in the given encoding, with its mark.
// UTF-16 output replaces invalid UTF-8 by U+FFFD; UTF-8 output is unchanged.
std::string TextFileFromUtf8(std::string_view utf8, ETextFileEncoding encoding);

// UTF-16 code units (no mark) to UTF-8; an unpaired surrogate or a lone odd
// last byte becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// UTF-8 to UTF-16 code units without mark; an invalid sequence becomes U+FFFD.
std::string Utf8ToUtf16(std::string_view utf8, bool bigEndian);

// Valid UTF-8 stays as it is; every byte that does not start a valid UTF-8
// sequence is read as Windows-1252, the code page such files carry when they
// were saved on a German Windows machine.
std::string Utf8OrWindows1252ToUtf8(std::string_view bytes);

}  // namespace kdv
