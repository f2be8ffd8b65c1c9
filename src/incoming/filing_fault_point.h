#pragma once
// A seam for the tests that end the process in the middle of filing a mail,
// as a power cut or a kill would: each step of filing names itself, and when
// the environment variable kHaltepunktVariable names that step the process
// ends at once, without unwinding, closing or flushing anything. Unset, as
// in every real run, a step costs one comparison.
#include <string_view>

namespace kdv {

// "<step>" ends the process the first time the step is reached, "<step>:<n>"
// the n-th time.
inline constexpr const char* kHaltepunktVariable = "DIRAVID_TEST_ENDE_BEI";
// The exit code of a process ended at a step, so a test tells it from a
// crash or a normal end.
inline constexpr int kHaltepunktExitCode = 86;

// The steps of filing one mail, in their order.
namespace haltepunkt {
// The journal message is inserted, still marked as being filed.
inline constexpr std::string_view kNachricht = "nachricht";
// The first block of an attachment is in its temporary file.
inline constexpr std::string_view kAnhangTeil = "anhang-teil";
// An attachment file is complete under its final name, without its row.
inline constexpr std::string_view kAnhangDatei = "anhang-datei";
// The attachment's row is inserted, the message not yet flagged ANLAGE=1.
inline constexpr std::string_view kAnhangZeile = "anhang-zeile";
// The reply link is set.
inline constexpr std::string_view kBezug = "bezug";
// The reviewer's delivery row is inserted.
inline constexpr std::string_view kSichter = "sichter";
// The message is marked as filed whole.
inline constexpr std::string_view kAbgeschlossen = "abgeschlossen";
// The mailbox record notes the mail, which is not yet deleted.
inline constexpr std::string_view kVermerkt = "vermerkt";
}  // namespace haltepunkt

// Ends the process with kHaltepunktExitCode when the variable names `step`
// (and this is the named time it is reached).
void Haltepunkt(std::string_view step);

}  // namespace kdv
