#include "service/diravid_module.h"

#include <system_error>

#include "platform/dira_error.h"
#include "platform/executable_path.h"
#include "platform/system_log.h"
#include "service/service_identity.h"
#include "service/service_temp_folder.h"

namespace kdv {

Tdiravid* diravid = nullptr;

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
    diravid = this;
}

Tdiravid::~Tdiravid() {
    // Closing the connection at teardown must neither log nor reconnect.
    db_.Silence();
    if (diravid == this) diravid = nullptr;
}

void Tdiravid::ServiceStart(bool& Started) {
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

        temp_folder_ = PrepareServiceTempFolder(home_);
        ini = std::make_unique<TIniFile>(home_ / kIniFileName);
        db_.Open(*ini);

        if (ini->ReadBool("IMAP", "Aktiv", false)) StartIMAP();

        whitelist = std::make_unique<TWhitelist>();
        whitelist->LoadIfPresent(home_ / kWhitelistFileName);

        LogFileSys->Add(5, "KorvaneDiraVid gestartet.");
    } catch (const std::exception& e) {
        Started = false;
        try {
            if (!LogFileSys) throw;
            LogFileSys->Add(0, std::string("KorvaneDiraVid konnte nicht gestartet werden! (") + e.what() + ")");
        } catch (const std::exception& logFailure) {
            ReportToSystemLog(kServiceName, std::string("Service fehlgeschlagen bei start:") + logFailure.what());
        }
    }
}

void Tdiravid::StartIMAP() {
    TImapStartSettings s;
    s.Host = ini->ReadString("IMAP", "Host", "");
    s.Username = ini->ReadString("IMAP", "Username", "");
    s.Passwort = ini->ReadString("IMAP", "Passwort", "");
    s.Port = ini->ReadInteger("IMAP", "Port", 143);
    s.SSL = ini->ReadBool("IMAP", "SSL", true);
    s.StartTLS = ini->ReadBool("StartTLS", "Aktiv", false);
    // Outside the guarded connect: this setting error fails the whole start.
    if (s.StartTLS && !s.SSL) throw EDiraError(kNeedsTlsTransport);
    try {
        if (!Jobs.ConnectIMAP) throw EDiraError(kNoImapClient);
        Jobs.ConnectIMAP(s);
        LogFileSys->Add(5, "e-Mailauswertung IMAP gestartet.");
    } catch (const std::exception& e) {
        LogFileSys->Add(3, std::string("Fehler bei Verbindung zu IMAP-Server: ") + e.what());
    }
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
    TMailEmpfangContext ctx{*LogFileSys, *ini, database, whitelist->Text(),
                            [this]() { return getLFPath(); }, home_, clock_};
    ctx.TempFolder = temp_folder_;
    return ctx;
}

void Tdiravid::RunJob(const std::function<void()>& job) {
    if (job) job();
}

void Tdiravid::mailtimerTimer() {
    mailtimer.SetEnabled(false);
    try {
        if (ini->ReadBool("Mail", "NeuNachricht", false)) RunJob(Jobs.SendNachrichten);
        RunJob(Jobs.SendEmpfaengerNachrichten);
        if (ini->ReadBool("POP3", "Aktiv", false)) RunJob(Jobs.CheckPOP3Postfach);
        if (ini->ReadBool("IMAP", "Aktiv", false)) RunJob(Jobs.CheckIMAPPostfach);
    } catch (const std::exception& e) {
        mailtimer.SetEnabled(true);
        ReportToSystemLog(ExecutablePath().filename().string(), e.what());
        return;
    }
    mailtimer.SetEnabled(true);
}

}  // namespace kdv
