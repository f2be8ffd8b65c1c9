#pragma once
// Writing received attachments into the folder of one journal message.
// Files are created new, never over an existing file: two attachments of
// one name become "scan.pdf" and "scan_2.pdf".
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>

#include "mail/mail_message_parts.h"

namespace kdv {

// How many taken names in a row are passed over before the folder counts as
// full: a message's own attachments never need more than one try each, so
// only foreign files can stand in the way.
inline constexpr std::size_t kMaxAnhangNamenVersuche = 1000;

// The text of every failure to write an attachment file; the operating
// system's reason follows it.
inline constexpr const char* kAnlageNichtGespeichert = "Fehler beim Speichern der Anlage.";

class TAttachmentFolder {
public:
    // `folder` is the local path of the message's folder; it must exist.
    explicit TAttachmentFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // Writes the attachment's content into a new file named `name`, or, when
    // that name is taken, "<stem>_2<extension>", "<stem>_3<extension>", ...
    // (names compared without regard to ASCII case, as Windows does), and
    // returns the name used. The file's rights follow the umask. Raises
    // EDiraError kAnlageNichtGespeichert + " " + the reason when the file
    // cannot be written whole; no partial file is left behind.
    std::string Store(TMailAttachment& attachment, const std::string& name);

private:
    std::filesystem::path folder_;
    // The next variant to try per name (lower case), so many attachments of
    // one name do not try every earlier name again.
    std::map<std::string, std::size_t> nextVariant_;
};

// "<stem>_<variant><extension>"; variant 1 is the name itself. The extension
// starts at the last dot that is not the first character.
std::string AnhangNamensVariante(const std::string& name, std::size_t variant);

}  // namespace kdv
