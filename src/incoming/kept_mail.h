#pragma once
// Raw copies of mails kept in a folder of the home folder, so an operator
// can look at them and import them again: mails that could not be filed
// whole ("Fehler"), mails turned away by a rule ("Abgewiesen") and
// out-of-office replies, bounces and the service's own mails come back
// ("Automatisch").
// A copy is named by a hash of the mail's text, so a mail that is retried
// every cycle, or arrives twice, leaves one copy. A turned-away mail has its
// reason beside it, in a text file of the same name.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kdv {

// Mails that could not be filed whole.
inline constexpr const char* kFehlerOrdner = "Fehler";
// Mails turned away by a rule: the whitelist, the subject, no text, no
// incident to file into.
inline constexpr const char* kAbgewiesenOrdner = "Abgewiesen";
// How long such a mail is kept.
inline constexpr std::chrono::hours kAbgewiesenAufbewahrung{24 * 30};
// Out-of-office replies, bounces and the service's own mails come back,
// which are not filed.
inline constexpr const char* kAutomatischOrdner = "Automatisch";
// How long such a mail is kept.
inline constexpr std::chrono::hours kAutomatischAufbewahrung{24 * 30};

// Keeps the raw text held in `rawFile` as "<SHA-256 of the text>.eml" in
// `folder` (created with its parents when missing) and returns that path.
// A copy of the same text that is there already is left as it is. The copy
// is readable by the service's own user only: it may hold anything a
// stranger sent. Raises EDiraError naming the cause (with the operating
// system's reason) when the mail cannot be read or the copy not written;
// no partial file is left behind.
std::filesystem::path KeepRawMail(const std::filesystem::path& folder, const std::filesystem::path& rawFile);

// Keeps a mail that was turned away as KeepRawMail does and writes `reason`
// (one line: line breaks become blanks) into the text file beside the copy
// (KeptReasonPath), replacing the reason of an earlier turn-away of the same
// mail. The copy counts as written now, so its time in the folder starts
// again. Returns the copy's path; raises like KeepRawMail, also when the
// reason cannot be written.
std::filesystem::path KeepTurnedAwayMail(const std::filesystem::path& folder, const std::filesystem::path& rawFile,
                                         std::string_view reason);

// Where KeepRawMail keeps a mail whose text has the SHA-256 `sha256Hex`.
std::filesystem::path KeptMailPath(const std::filesystem::path& folder, const std::string& sha256Hex);

// The text file beside the kept mail `keptMail` that says why it was kept.
std::filesystem::path KeptReasonPath(const std::filesystem::path& keptMail);

// Removes the ".eml" files in `folder` last written before `cutoff`, each
// with the reason beside it, and returns how many mails went. A reason left
// without its mail goes too once it is as old. A missing folder holds none;
// a file that cannot be removed is left for the next time.
std::size_t RemoveKeptMailsBefore(const std::filesystem::path& folder, std::filesystem::file_time_type cutoff);

}  // namespace kdv
