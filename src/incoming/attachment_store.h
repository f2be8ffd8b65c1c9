#pragma once
// Writing received attachments into the folder of one journal message.
// Files never replace an existing file: two attachments of one name become
// "scan.pdf" and "scan_2.pdf". A file gets its name only once it is whole,
// so a process ended while it writes leaves a temporary file (kAnhangTemp*)
// and never a short file under an attachment's name.
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

// The name of an attachment file being written: kAnhangTempPrefix, a random
// number, kAnhangTempEndung. The dot keeps it out of a plain listing.
inline constexpr const char* kAnhangTempPrefix = ".kdv-";
inline constexpr const char* kAnhangTempEndung = ".tmp";

class TAttachmentFolder {
public:
    // `folder` is the local path of the message's folder; it must exist.
    explicit TAttachmentFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // Writes the attachment's content into a temporary file of the folder
    // and, once it is whole and on the disk, gives it the name `name`, or,
    // when that name is taken, "<stem>_2<extension>", "<stem>_3<extension>",
    // ... (names compared without regard to ASCII case, as Windows does);
    // returns the name used. The file's rights follow the umask. Raises
    // EDiraError kAnlageNichtGespeichert + " " + the reason when the file
    // cannot be written whole; no file is left behind then.
    std::string Store(TMailAttachment& attachment, const std::string& name);

    // Removes the temporary files that a process ended while it wrote left
    // in the folder; returns how many. Only one process files a message, so
    // none of them is still being written.
    std::size_t RemoveLeftovers() const;

    const std::filesystem::path& Folder() const { return folder_; }

private:
    std::filesystem::path folder_;
    // The next variant to try per name (lower case), so many attachments of
    // one name do not try every earlier name again.
    std::map<std::string, std::size_t> nextVariant_;
};

// "<stem>_<variant><extension>"; variant 1 is the name itself. The extension
// starts at the last dot that is not the first character.
std::string AnhangNamensVariante(const std::string& name, std::size_t variant);

// True when `file` is a regular file (not a link) holding exactly the
// attachment's content. False also when either cannot be read.
bool SameContent(TMailAttachment& attachment, const std::filesystem::path& file);

}  // namespace kdv
