#pragma once
// What the evaluation and filing of incoming mail need from the service: the
// long-lived objects it owns, handed down so this layer never reaches up.
#include <filesystem>
#include <functional>
#include <string>

#include "db/db_connection.h"
#include "incoming/sender_rules.h"
#include "log/log_file.h"
#include "net/mail_ssl_io_handler.h"
#include "platform/clock.h"
#include "platform/ini_file.h"

namespace kdv {

struct TMailEmpfangContext {
    TLogFile& Log;
    TIniFile& Ini;
    TDbConnection& Database;
    // The permitted senders, parsed from the whitelist's entries.
    TSenderRules Whitelist;
    // The attachment folder as the database stores paths, ending with "\".
    // Raises when it may not be used: no folder configured, a folder that is
    // not there, or the database could not be asked.
    std::function<std::string()> getLFPath;
    // The service's home folder; archive copies go to Home / "old", kept
    // raw mails to Home / kFehlerOrdner, kAbgewiesenOrdner and kAutomatischOrdner.
    std::filesystem::path Home;
    // Local time for the archive copy's name.
    IClock& Clock;
    // Where received attachments are decoded (empty: the system's temporary folder).
    std::filesystem::path TempFolder = {};
    // Whether the journal has the column DIRAVID_MAIL, which marks a message
    // with the raw mail it was filed from; asked at every filing, since a
    // reconnect may have added it. Unset: it has.
    std::function<bool()> HasMailColumn = {};
    // Whether the journal has the column DIRAVID_STATUS, which keeps the
    // outbox off a message still being filed. Unset: it has.
    std::function<bool()> HasStatusColumn = {};
    // How a mailbox server's certificate is checked, and how long a wait of
    // its connection may go without progress; the service reads both from
    // its settings for every pass.
    TCertificateCheck CertificateCheck = {};
    int ConnectionTimeLimitMs = 60000;
};

// What HasMailColumn says, or true when it is unset.
inline bool JournalHasMailColumn(const TMailEmpfangContext& ctx) { return !ctx.HasMailColumn || ctx.HasMailColumn(); }

// What HasStatusColumn says, or true when it is unset.
inline bool JournalHasStatusColumn(const TMailEmpfangContext& ctx) {
    return !ctx.HasStatusColumn || ctx.HasStatusColumn();
}

}  // namespace kdv
