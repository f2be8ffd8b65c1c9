#include "incoming/attachment_name.h"

#include "incoming/text_cleanup.h"
#include "mail/mail_text_util.h"
#include "platform/ascii_text.h"
#include "platform/utf8_text.h"

namespace kdv {

namespace {

// The device names Windows reserves in every folder, whatever extension
// follows: a file of such a name cannot be opened by the application's
// Windows programs.
bool IsWindowsDeviceName(std::string_view stem) {
    stem = mailtext::TrimRightBlanks(stem);
    for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
        if (EqualsNoCase(stem, device)) return true;
    }
    return stem.size() == 4 && (StartsWithNoCase(stem, "COM") || StartsWithNoCase(stem, "LPT")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// A name Windows can open: "_" after a device name's stem, and after a
// final dot or blank (Windows drops those, so the name would not be found).
void MakeWindowsSafe(std::string& name) {
    const std::size_t dot = name.find('.');
    const std::size_t stemEnd = dot == std::string::npos ? name.size() : dot;
    if (IsWindowsDeviceName(std::string_view(name).substr(0, stemEnd))) name.insert(stemEnd, "_");
    if (name.back() == '.' || name.back() == ' ') name += '_';
}

}  // namespace

std::string AnhangDateiname(std::string_view FileName, std::size_t PartIndex) {
    std::string name = CleanDateiname(FileName);
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        // A separator would leave the message's folder; a control character
        // is no part of a name any file system or program shows.
        if (c == '\\' || c == '/' || byte < 0x20 || byte == 0x7F) c = '_';
    }
    if (name.size() > kMaxAnhangNameBytes) {
        std::string_view extension;
        const std::size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxAnhangExtensionBytes) {
            extension = std::string_view(name).substr(dot);
        }
        const std::string_view stem = std::string_view(name).substr(0, name.size() - extension.size());
        name = std::string(Utf8PrefixByBytes(stem, kMaxAnhangNameBytes - extension.size())) + std::string(extension);
    }
    if (name.find_first_not_of('.') == std::string::npos) name = "Anhang" + std::to_string(PartIndex);
    MakeWindowsSafe(name);
    return name;
}

}  // namespace kdv
