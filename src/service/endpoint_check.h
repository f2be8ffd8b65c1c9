#pragma once
// The connectivity check behind "diravid --check": every endpoint the
// settings of a home folder name is tried once, without changing anything
// the service owns. There is no service start (no log rotation, no schema
// bootstrap, no temporary folder), the database connection is one of its own
// without the connect handlers, the IMAP INBOX is opened read-only, nothing
// is sent and the home folder's lock is not taken, so it can run beside the
// service.
#include <filesystem>
#include <ostream>
#include <string>

namespace kdv {

// One check's outcome: what was checked, and the detail that helps (server
// greeting, TLS version, count) or the German text the service would log.
struct TEndpointCheckLine {
    std::string What;
    bool Ok = false;
    std::string Text;
};

// "<What>: OK <Text>" or "<What>: FEHLER: <Text>", on one line whatever
// line breaks the text held.
std::string FormatCheckLine(const TEndpointCheckLine& line);

// Checks the settings file, the database (connection, the journal's tables,
// the status columns, the attachment folder through the [Pfade] mapping and
// whether a file can be made there), the SMTP server (connect, TLS as
// configured, login, QUIT), the POP3 mailbox (login, STAT) when [POP3] Aktiv,
// the IMAP INBOX (login, EXAMINE, count) when [IMAP] Aktiv, and the whitelist
// file. Writes each line to `out` as soon as its check is done, so a server
// that hangs shows where. Returns 0 when every check passed, else 1.
int RunEndpointCheck(const std::filesystem::path& home, std::ostream& out);

}  // namespace kdv
