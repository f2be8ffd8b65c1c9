#pragma once
// The forms header values take in a written message: encoded words for text
// outside US-ASCII, address lists, the date, and the multipart boundary.
#include <chrono>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kdv {

class TMailEMailAddressList;
class TMailEMailAddressItem;

// The charset and the letter ("B" base64, "Q" quoted-printable) of encoded
// words; one choice per written message.
struct THeaderEncoding {
    std::string Charset = "UTF-8";
    char Letter = 'B';
};

// True for the names of UTF-8 ("UTF-8", "utf8", any case).
bool IsUtf8CharsetName(std::string_view charset);

// "Q" for ISO-8859-1 (mostly readable even undecoded), "B" for every other charset.
THeaderEncoding HeaderEncodingForCharset(std::string_view charset);
// The encoding of this host's regional settings; the one place that choice is made.
THeaderEncoding HostHeaderEncoding();

// An encoded word may be at most this long (RFC 2047), "=?" to "?=".
inline constexpr std::size_t kMaxEncodedWordLength = 75;

// Where the text stands, which decides the bytes that may stay unencoded.
enum class THeaderWordContext {
    Text,        // subject, organization, file names
    DisplayName  // RFC 822 specials must be encoded too
};

// The UTF-8 text with every run of words holding a byte outside printable
// US-ASCII written as encoded words (adjacent such words share one run; the
// white space before a run stays outside it). A "=" counts as unplain when
// the text would otherwise read back as encoded words. Runs longer than one
// encoded word are split into several, separated by a blank, never inside a
// UTF-8 character. Empty text stays empty.
std::string EncodeHeaderWords(std::string_view text, const THeaderEncoding& encoding,
                              THeaderWordContext context = THeaderWordContext::Text);

// One address for a written header: a display name in double quotes (printable
// US-ASCII, backslash-escaped) or as encoded words, then the address in angle
// brackets; without a display name the bare address. `nameFromAddress` gives a
// nameless item its own address as display name (the "From" form).
std::string FormatAddressItem(const TMailEMailAddressItem& item, const THeaderEncoding& encoding,
                              bool nameFromAddress = false);
// The items in that form joined with ", "; items with neither address nor
// name are left out.
std::string FormatAddressList(const TMailEMailAddressList& list, const THeaderEncoding& encoding,
                              bool nameFromAddress = false);

// "Tue, 1 Jul 2003 10:52:37 +0200": the local time with its offset from UTC.
std::string FormatMailDate(LocalTime local, std::chrono::minutes utcOffset);

// Length of a generated boundary: long and random enough never to occur in a
// part's content by chance.
inline constexpr std::size_t kMimeBoundaryLength = 34;

// A fresh random boundary of kMimeBoundaryLength letters and digits, with "=_"
// at a random place: "=_" can never appear in base64 or quoted-printable
// output, so no encoded content can contain the boundary.
std::string NewMimeBoundary();

// A Message-ID for a mail sent for a journal entry: "<" + a random part + "."
// + the entry's ID + "@" + the domain of the sender address + ">". The random
// part keeps IDs unique across installations and re-sends, also when the
// journal is rebuilt and its IDs start again; the ID lets a reply be traced
// to its entry. The sender may carry a display name. Without a domain that
// can stand in a Message-ID, this machine's host name stands in (and
// "localhost" when that cannot either).
std::string NewMessageId(std::string_view entryId, std::string_view senderAddress);

}  // namespace kdv
