#pragma once
// The file name under which a received attachment is stored in the
// attachment folder, and recorded in the attachment table.
#include <cstddef>
#include <string>
#include <string_view>

namespace kdv {

// Longest stored file name in bytes: file systems take 255 bytes per name and
// the attachment table's FILENAME column 255 characters; the rest is room.
inline constexpr std::size_t kMaxAnhangNameBytes = 200;

// Longest extension kept when a long name is cut, dot included; anything
// longer is no extension a program would recognise.
inline constexpr std::size_t kMaxAnhangExtensionBytes = 16;

// CleanDateiname of the received name, made safe as one name inside the
// message's folder: path separators and control characters become "_", a
// name longer than kMaxAnhangNameBytes is cut before its extension, an
// empty name or one made only of dots becomes "Anhang" + the part's index,
// and a name the application's Windows programs could not open gets a "_":
// after the stem of a device name ("CON", "PRN", "AUX", "NUL", "COM1" to
// "COM9", "LPT1" to "LPT9", any case, with or without extension: "aux_.txt")
// and after a final dot or blank.
// A name that needs none of this is returned as CleanDateiname gives it.
std::string AnhangDateiname(std::string_view FileName, std::size_t PartIndex);

}  // namespace kdv
