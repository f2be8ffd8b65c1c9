#pragma once
// The service module: owner of every long-lived object of the process, with
// the start, the poll cycle and the stop. The program's entry assigns the
// jobs of the cycle; they reach the shared objects through the contexts the
// module hands out.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "incoming/mail_empfang_context.h"
#include "log/log_file.h"
#include "outgoing/mail_versand.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/ini_file.h"
#include "platform/termination_signal.h"
#include "service/poll_timer.h"
#include "service/service_database.h"
#include "service/service_module.h"
#include "service/whitelist.h"

namespace kdv {

// The IMAP settings read once at start.
struct TImapStartSettings {
    std::string Host;
    std::string Username;
    std::string Passwort;
    int Port = 143;
    bool SSL = true;
    bool StartTLS = false;
};

TImapStartSettings ReadImapStartSettings(const TIniFile& ini);

// The work of the cycle and of the IMAP set-up, provided by the mail
// subsystems. An empty job is skipped; every job catches and logs its own
// failures.
struct TServiceJobs {
    std::function<void()> SendNachrichten;
    std::function<void()> SendEmpfaengerNachrichten;
    std::function<void()> CheckPOP3Postfach;
    std::function<void()> CheckIMAPPostfach;
    // Connects and logs in; raises on failure.
    std::function<void(const TImapStartSettings&)> ConnectIMAP;
};

class Tdiravid final : public IServiceModule {
public:
    static constexpr int kLogLevel = 7;
    static constexpr const char* kLogFileName = "KorvaneDiraVid.log";
    static constexpr const char* kLogFolder = "Logs";
    static constexpr const char* kIniFileName = "diravid.ini";
    static constexpr const char* kWhitelistFileName = "whitelist.txt";
    // Held by every start, poll cycle and import, so that the processes on
    // one home folder (service, --once, --import, cron jobs) take turns.
    static constexpr const char* kLockFileName = "diravid.lock";
    // How often a waiting process tries the lock again.
    static constexpr std::chrono::milliseconds kLockRetry{200};

    // `home` holds diravid.ini, whitelist.txt, the log and its folders. The
    // poll timer starts counting now.
    explicit Tdiravid(std::filesystem::path home, ISteadyClock& steady = SystemSteadyClock(),
                      IClock& clock = SystemClock());
    ~Tdiravid() override;
    Tdiravid(const Tdiravid&) = delete;
    Tdiravid& operator=(const Tdiravid&) = delete;

    void ServiceStart(bool& Started) override;
    void ServiceStop(bool& Stopped) override;
    void mailtimerTimer() override;
    TPollTimer& PollTimer() override { return mailtimer; }

    std::string getLFPath() { return db_.getLFPath(); }

    // The process's termination requests; none by default. Waiting for the
    // home folder's lock gives up on a request, and StopRequested reports
    // it to the jobs of the cycle, which stop after the row or mail in hand;
    // the jobs not yet begun are left for the next start.
    void SetTermination(ITerminationSignal* termination) { termination_ = termination; }
    bool StopRequested() { return termination_ != nullptr && termination_->StopRequested(); }

    // Takes the home folder's lock (nested calls count), waiting while
    // another process holds it; when it has to wait it logs a level-5 line
    // (also on stderr). Returns false, without the lock, when a termination
    // request arrived while waiting. Raises when the lock file cannot be
    // opened. Needs the log.
    bool LockHome();
    void UnlockHome();

    // Why the last start failed; empty after a successful one.
    const std::string& StartError() const { return start_error_; }
    // The shared objects the incoming side works with; valid after a
    // successful start.
    TMailEmpfangContext MailEmpfangContext();
    // The shared objects the outgoing side works with; valid after a
    // successful start.
    TMailVersandContext MailVersandContext();
    const std::filesystem::path& Home() const { return home_; }

    std::unique_ptr<TLogFile> LogFileSys;
    std::unique_ptr<TIniFile> ini;
    std::unique_ptr<TWhitelist> whitelist;
    TPollTimer mailtimer;
    TServiceJobs Jobs;
    // Opens `database` from the settings at start (see TServiceDatabase::Open);
    // tests replace it to run the start and the cycle without a server.
    std::function<void(const TIniFile&)> OpenDatabase;

private:
    void StartIMAP();
    // A level-5 line for each whitelist entry that admits nobody, and for
    // each that admits everyone without being the bare "*".
    void LogWhitelistNotices();
    // Mails turned away are kept for kAbgewiesenAufbewahrung, automatic
    // mails for kAutomatischAufbewahrung, each with its reason; at the
    // start and at every cycle, so a service that runs for months keeps
    // no more.
    void RemoveOldKeptMails();
    void RunJob(const std::function<void()>& job);

    std::filesystem::path home_;
    // What the outgoing scans of the running poll cycle share.
    TMailVersandCycle versand_cycle_;
    std::filesystem::path temp_folder_;
    IClock& clock_;
    ITerminationSignal* termination_ = nullptr;
    std::unique_ptr<IFileLock> home_lock_;
    int home_lock_depth_ = 0;
    std::string start_error_;
    TServiceDatabase db_;

public:
    TDbConnection& database;
};

}  // namespace kdv
