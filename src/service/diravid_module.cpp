#include "service/diravid_module.h"

#include <iostream>
#include <system_error>
#include <thread>

#include "incoming/kept_mail.h"
#include "incoming/sender_rules.h"
#include "mail/mail_message_parts.h"
#include "platform/attachment_path.h"
#include "platform/dira_error.h"
#include "platform/executable_path.h"
#include "platform/system_log.h"
#include "service/connection_settings.h"
#include "service/service_identity.h"
#include "service/service_temp_folder.h"
#include "service/smtp_settings.h"
#include "platform/path_text.h"

namespace kdv {

namespace {

// What the SSL switch of [IMAP] needs before STARTTLS can be asked for.
constexpr const char* kNeedsTlsTransport = "SSL IOHandler ist für diese Einstellung erforderlich";
constexpr const char* kNoImapClient = "Kein IMAP-Client verfügbar.";

}  // namespace

Tdiravid::Tdiravid(std::filesystem::path home, ISteadyClock& steady, IClock& clock)
    : mailtimer(steady),
      home_(std::move(home)),
      clock_(clock),
      db_([this]() { return LogFileSys.get(); }),
      database(db_.database) {
    OpenDatabase = [this](const TIniFile& settings) { db_.Open(settings); };
    // The attachment folder is checked where this machine reaches it.
    db_.LocalFolder = [this](const std::string& stored) {
        return ini ? LocalAttachmentPath(*ini, stored) : PathFromUtf8(MapStoredPath(stored, "", ""));
    };
}

Tdiravid::~Tdiravid() {
    // Closing the connection at teardown must neither log nor reconnect.
    db_.Silence();
}

void Tdiravid::ServiceStart(bool& Started) {
    start_error_.clear();
    bool locked = false;
    try {
        LogFileSys = std::make_unique<TLogFile>(clock_);
        const std::filesystem::path logFolder = home_ / kLogFolder;
        try {
            std::error_code ec;
            std::filesystem::create_directories(logFolder, ec);
            LogFileSys->SetFolderOldLogFiles(logFolder);
        } catch (...) {
            // A missing folder shows up when the log is opened below.
        }
        LogFileSys->SetRotateLogFileDaily(true);
        LogFileSys->SetRotateLogFileAtStart(true);
        LogFileSys->Open(home_ / kLogFileName, kLogLevel);
        LogFileSys->Add(5, std::string("KorvaneDiraVid V ") + kServiceVersion +
                               " wird gestartet, bitte warten...");
        locked = LockHome();
        if (!locked) {
            start_error_ = "Abbruch angefordert, während ein anderer Vorgang den Home-Ordner sperrte.";
            LogFileSys->Add(5, "Start abgebrochen: " + start_error_);
            Started = false;
            return;
        }

        temp_folder_ = PrepareServiceTempFolder(home_);
        ini = std::make_unique<TIniFile>(home_ / kIniFileName);
        // Only the tests of the installed service shorten the cycle; an
        // operator never sets it, so it is named nowhere but in the README.
        if (const int testInterval = ini->ReadInteger("Test", "IntervallMs", 0); testInterval > 0) {
            mailtimer.SetInterval(std::chrono::milliseconds{testInterval});
        }
        std::error_code noIni;
        const bool iniMissing = !std::filesystem::exists(ini->FileName(), noIni);
        if (iniMissing) {
            LogFileSys->Add(5, "Einstellungsdatei " + PathToUtf8(ini->FileName()) + " fehlt; es gelten die Vorgaben.");
        }
        // Without the file the defaults were tried; the error says which.
        const auto with_defaults_named = [this](const char* message) {
            const std::string port = database.Params.Value("Port");
            return std::string(message) + " (" + kIniFileName + " fehlt; versucht wurde Datenbankserver " +
                   database.Params.Value("Server") + ", Port " + (port.empty() ? "3306" : port) + ")";
        };
        try {
            OpenDatabase(*ini);
        } catch (const EDiraError& e) {
            if (!iniMissing) throw;
            throw EDiraError(e.ErrorKind(), with_defaults_named(e.what()));
        } catch (const std::exception& e) {
            if (!iniMissing) throw;
            throw EDiraError(TErrorKind::ekLocal, with_defaults_named(e.what()));
        }

        if (ini->ReadBool("IMAP", "Aktiv", false)) StartIMAP();

        whitelist = std::make_unique<TWhitelist>();
        whitelist->LoadIfPresent(home_ / kWhitelistFileName);
        LogWhitelistNotices();
        RemoveOldKeptMails();

        LogFileSys->Add(5, "KorvaneDiraVid gestartet.");
        UnlockHome();
    } catch (const std::exception& e) {
        if (locked) UnlockHome();
        Started = false;
        start_error_ = e.what();
        try {
            if (!LogFileSys) throw;
            LogFileSys->Add(0, std::string("KorvaneDiraVid konnte nicht gestartet werden! (") + e.what() + ")");
        } catch (const std::exception& logFailure) {
            ReportToSystemLog(kServiceName, std::string("Service fehlgeschlagen bei start:") + logFailure.what());
        }
    }
}

void Tdiravid::LogWhitelistNotices() {
    for (const std::string& entry : whitelist->Entries) {
        const TSenderEntry parsed = ParseSenderEntry(entry);
        if (parsed.Kind == TSenderEntryKind::Unrecognised) {
            LogFileSys->Add(5, "Whitelist-Eintrag \"" + parsed.Value +
                                   "\" ist weder eine Adresse noch eine Domäne (@domain) und wird nicht beachtet.");
        } else if (parsed.Kind == TSenderEntryKind::Everyone && parsed.Value != "*") {
            LogFileSys->Add(5, "Whitelist-Eintrag \"" + parsed.Value +
                                   "\" enthält \"*\": jeder Absender wird angenommen.");
        }
    }
}

void Tdiravid::RemoveOldKeptMails() {
    struct TKeptFolder {
        const char* folder;
        std::chrono::hours keep;
        const char* what;
    };
    const auto now = std::filesystem::file_time_type::clock::now();
    for (const TKeptFolder& kept : {TKeptFolder{kAbgewiesenOrdner, kAbgewiesenAufbewahrung, "abgewiesene"},
                                    TKeptFolder{kAutomatischOrdner, kAutomatischAufbewahrung, "automatische"}}) {
        const std::size_t removed = RemoveKeptMailsBefore(home_ / kept.folder, now - kept.keep);
        if (removed > 0) {
            LogFileSys->Add(7, std::to_string(removed) + " " + kept.what + " Mails aus " + kept.folder + " gelöscht.");
        }
    }
}

bool Tdiravid::LockHome() {
    if (home_lock_depth_ > 0) {
        ++home_lock_depth_;
        return true;
    }
    const std::filesystem::path path = home_ / kLockFileName;
    if (!home_lock_) home_lock_ = OpenFileLock(path);
    if (!home_lock_->TryLock()) {
        const std::string holder = home_lock_->Holder();
        const std::string notice = "Ein anderer Vorgang" + (holder.empty() ? "" : " (Prozess " + holder + ")") +
                                   " arbeitet mit diesem Home-Ordner; warte auf die Sperre " + PathToUtf8(path) + ".";
        LogFileSys->Add(5, notice);
        std::cerr << notice << std::endl;
        const auto waitOrStop = [this] {
            if (termination_ != nullptr) return termination_->Wait(kLockRetry);
            std::this_thread::sleep_for(kLockRetry);
            return false;
        };
        do {
            if (waitOrStop()) return false;
        } while (!home_lock_->TryLock());
    }
    home_lock_depth_ = 1;
    return true;
}

void Tdiravid::UnlockHome() {
    if (home_lock_depth_ == 0) return;
    if (--home_lock_depth_ == 0) home_lock_->Unlock();
}

void Tdiravid::StartIMAP() {
    const TImapStartSettings s = ReadImapStartSettings(*ini);
    try {
        // A setting that can never work is an IMAP error: the rest of the
        // service (outgoing mail, POP3) does not depend on it.
        if (s.StartTLS && !s.SSL) throw EDiraError(TErrorKind::ekTls, kNeedsTlsTransport);
        if (!Jobs.ConnectIMAP) throw EDiraError(TErrorKind::ekUsage, kNoImapClient);
        Jobs.ConnectIMAP(s);
        LogFileSys->Add(5, "e-Mailauswertung IMAP gestartet.");
    } catch (const std::exception& e) {
        LogFileSys->Add(3, std::string("Fehler bei Verbindung zu IMAP-Server: ") + e.what());
    }
}

TImapStartSettings ReadImapStartSettings(const TIniFile& ini) {
    TImapStartSettings s;
    s.Host = ini.ReadString("IMAP", "Host", "");
    s.Username = ini.ReadString("IMAP", "Username", "");
    s.Passwort = ini.ReadString("IMAP", "Passwort", "");
    s.Port = ini.ReadInteger("IMAP", "Port", 143);
    s.SSL = ini.ReadBool("IMAP", "SSL", true);
    s.StartTLS = ini.ReadBool("StartTLS", "Aktiv", false);
    return s;
}

void Tdiravid::ServiceStop(bool& Stopped) {
    Stopped = true;
    if (!LogFileSys) return;  // a failed start leaves nothing to release
    try {
        LogFileSys->Add(5, "KorvaneDiraVid wird heruntergefahren.");
        LogFileSys->Add(5, "KorvaneDiraVid beendet.");
        db_.Silence();
        RemoveServiceTempFolder(temp_folder_);
        LogFileSys->Close();
        LogFileSys.reset();
    } catch (const std::exception& e) {
        if (LogFileSys) {
            try {
                LogFileSys->Add(3, std::string("KorvaneDiraVid kann nicht gestoppt werden! (") + e.what() + ")");
            } catch (...) {
            }
            db_.Silence();
            LogFileSys.reset();
        }
    }
}

TMailEmpfangContext Tdiravid::MailEmpfangContext() {
    TMailEmpfangContext ctx{*LogFileSys,
                            *ini,
                            database,
                            TSenderRules(whitelist->Entries),
                            [this]() { return getLFPath(); },
                            home_,
                            clock_};
    ctx.TempFolder = temp_folder_;
    ctx.HasMailColumn = [this]() { return db_.HasMailColumn(); };
    ctx.HasStatusColumn = [this]() { return db_.HasStatusColumn(); };
    return ctx;
}

TMailVersandContext Tdiravid::MailVersandContext() {
    TMailVersandContext ctx{*LogFileSys, *ini, database, clock_, [this]() { return StopRequested(); }, home_,
                            &versand_cycle_};
    ctx.SmtpSettings = [this]() { return ReadSmtpSettings(*ini); };
    return ctx;
}

void Tdiravid::RunJob(const std::function<void()>& job) {
    if (job) job();
}

void Tdiravid::mailtimerTimer() {
    mailtimer.SetEnabled(false);
    bool locked = false;
    try {
        locked = LockHome();
    } catch (const std::exception& e) {
        LogFileSys->Add(3, std::string("Abrufzyklus übersprungen: ") + e.what());
    }
    // A termination request while waiting: the cycle is given up.
    if (!locked) {
        mailtimer.SetEnabled(true);
        return;
    }
    try {
        versand_cycle_ = TMailVersandCycle{};
        RemoveOldKeptMails();
        // A stop request ends the cycle after the row or mail in hand (the
        // jobs ask too); a job not yet begun is not begun, so the process
        // ends well inside the service manager's stop time-out.
        bool stopped = false;
        const auto run = [this, &stopped](const std::function<void()>& job) {
            if (!stopped && StopRequested()) stopped = true;
            if (!stopped) RunJob(job);
        };
        if (ini->ReadBool("Mail", "NeuNachricht", false)) run(Jobs.SendNachrichten);
        run(Jobs.SendEmpfaengerNachrichten);
        if (ini->ReadBool("POP3", "Aktiv", false)) run(Jobs.CheckPOP3Postfach);
        if (ini->ReadBool("IMAP", "Aktiv", false)) run(Jobs.CheckIMAPPostfach);
        if (stopped || StopRequested()) {
            LogFileSys->Add(5, "Beenden angefordert: der Abrufzyklus endet vorzeitig; was offen ist, bleibt für den "
                               "nächsten Start.");
        }
    } catch (const std::exception& e) {
        UnlockHome();
        mailtimer.SetEnabled(true);
        ReportToSystemLog(PathToUtf8(ExecutablePath().filename()), e.what());
        return;
    }
    UnlockHome();
    mailtimer.SetEnabled(true);
}

}  // namespace kdv
