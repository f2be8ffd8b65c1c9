#pragma once
// Raw copies of mails kept in a folder of the home folder, so an operator
// can look at them and import them again: mails that could not be filed
// whole ("Fehler"), mails turned away by the whitelist ("Abgewiesen") and
// out-of-office replies and bounces ("Automatisch").
// A copy is named by a hash of the mail's text, so a mail that is retried
// every cycle, or arrives twice, leaves one copy.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace kdv {

// Mails that could not be filed whole.
inline constexpr const char* kFehlerOrdner = "Fehler";
// Mails the whitelist turned away.
inline constexpr const char* kAbgewiesenOrdner = "Abgewiesen";
// How long a mail turned away by the whitelist is kept.
inline constexpr std::chrono::hours kAbgewiesenAufbewahrung{24 * 30};
// Out-of-office replies and bounces, which are not filed.
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

// Where KeepRawMail keeps a mail whose text has the SHA-256 `sha256Hex`.
std::filesystem::path KeptMailPath(const std::filesystem::path& folder, const std::string& sha256Hex);

// Removes the ".eml" files in `folder` last written before `cutoff` and
// returns how many went. A missing folder holds none; a file that cannot be
// removed is left for the next time.
std::size_t RemoveKeptMailsBefore(const std::filesystem::path& folder, std::filesystem::file_time_type cutoff);

}  // namespace kdv
