#pragma once
// The archive copy of an incoming mail's text in the folder "old": one UTF-8
// file per evaluated mail, named after the local time of the evaluation.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kdv {

// How many further names ("_2", "_3", ...) are tried when mails arrive within
// the same second; a mailbox pass handles far fewer mails per second.
inline constexpr std::size_t kMaxArchivNamenVarianten = 1000;

// "mail_dd_mm_yyyy_hh_nn_ss.txt" for the local time `now`.
std::string ArchivDateiname(LocalTime now);

// Writes `text` (lines ended by CR LF) as it stands into a new file in `folder` (created
// with its parents when missing) and returns its path. A name already taken
// within the same second gets "_2", "_3", ... before ".txt", so no earlier
// copy is overwritten. Raises EDiraError or std::filesystem::filesystem_error
// when the folder or the file cannot be written.
std::filesystem::path SchreibeArchivKopie(const std::filesystem::path& folder, LocalTime now,
                                           std::string_view text);

}  // namespace kdv
