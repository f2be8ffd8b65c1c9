#include "service/program_main.h"

#include <cstdio>
#include <iostream>
#include <thread>

#include "incoming/mail_import.h"
#include "outgoing/mail_versand.h"
#include "service/connection_time_limit.h"
#include "platform/executable_path.h"
#include "platform/ini_file.h"
#include "platform/operator_message.h"
#include "platform/path_text.h"
#include "platform/service_host.h"
#include "platform/service_installer.h"
#include "platform/system_log.h"
#include "platform/termination_signal.h"
#include "service/command_line.h"
#include "service/diravid_module.h"
#include "service/endpoint_check.h"
#include "service/mail_eingang_jobs.h"
#include "service/oauth_device_sign_in.h"
#include "service/oauth_token_provider.h"
#include "service/service_identity.h"
#include "service/service_runner.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;

fs::path ResolveHome(const TCommandLine& cl) {
    std::error_code ec;
    if (cl.Home) {
        const fs::path abs = fs::absolute(*cl.Home, ec);
        return ec ? *cl.Home : abs;
    }
    return ExecutablePath().parent_path();
}

// The stop of a running service ends after the row or mail in hand. That
// mail may be waiting for its server (one connection time-out), and marking
// it afterwards may wait for the database (another); the rest is the stop
// itself.
std::chrono::seconds StopTimeout(const fs::path& home) {
    const TIniFile ini(home / Tdiravid::kIniFileName);
    return 2 * ReadZeitlimit(ini) + std::chrono::seconds{30};
}

int Install(const TCommandLine& cl) {
    TServiceDefinition def;
    def.Name = kServiceName;
    def.DisplayName = kServiceDisplayName;
    def.Description = kServiceDescription;
    def.Executable = ExecutablePath();
    def.Home = ResolveHome(cl);
    def.StopTimeout = StopTimeout(def.Home);
    const TInstallOutcome r = cl.Install ? InstallService(def) : UninstallService(def.Name);
    if (!r.Ok) {
        ShowOperatorMessage(kServiceDisplayName,
                            std::string("Service \"") + kServiceDisplayName + "\"" +
                                (cl.Install ? " konnte nicht installiert werden; Fehler: "
                                            : " konnte nicht deinstalliert werden; Fehler: ") +
                                "\"" + r.Error + "\"",
                            true);
        return 1;
    }
    if (!cl.Silent) {
        ShowOperatorMessage(kServiceDisplayName,
                            cl.Install ? "Service erfolgreich installiert" : "Service erfolgreich deinstalliert", false);
    }
    return 0;
}

// A home folder that is not there is named, never created: a mistyped --home
// would otherwise start a service without settings in a fresh folder.
bool HomeUsable(const fs::path& home) {
    std::error_code ec;
    const fs::file_status status = fs::status(home, ec);
    if (fs::is_directory(status)) return true;
    std::cerr << "Home-Ordner " << PathToUtf8(home)
              << (fs::exists(status) ? " ist kein Ordner." : " existiert nicht; er wird nicht angelegt.") << std::endl;
    return false;
}

void ReportStartFailure(const Tdiravid& module) {
    std::cerr << "KorvaneDiraVid konnte nicht gestartet werden: " << module.StartError() << "\nEinzelheiten im Log "
              << PathToUtf8(module.Home() / Tdiravid::kLogFileName) << std::endl;
}

// Start steps, then each file evaluated as a mailbox pass would, one line per
// file on stdout, then the stop. The files are read under the home folder's
// lock; a termination request ends the import after the file in hand.
// Status 1 when the start failed, any file was not filed whole, or files were
// left.
int ImportFiles(Tdiravid& module, const std::vector<fs::path>& files, ITerminationSignal& termination) {
    bool started = true;
    module.ServiceStart(started);
    if (!started) {
        ReportStartFailure(module);
        return 1;
    }
    bool anyFailed = false;
    std::size_t done = 0;
    bool locked = false;
    try {
        locked = module.LockHome();
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        anyFailed = true;
    }
    if (locked) {
        TMailEmpfangContext ctx = module.MailEmpfangContext();
        for (; done < files.size() && !termination.StopRequested(); ++done) {
            const TImportErgebnis r = ImportMailDatei(ctx, files[done]);
            std::cout << r.Zeile << std::endl;
            if (NichtVollstaendig(r.Auswertung)) anyFailed = true;
        }
        module.UnlockHome();
    }
    if (done < files.size() && termination.StopRequested()) {
        std::cerr << "Abgebrochen; nicht eingelesen: " << (files.size() - done) << " Datei(en)." << std::endl;
        anyFailed = true;
    }
    bool stopped = true;
    module.ServiceStop(stopped);
    return anyFailed ? 1 : 0;
}

// Runs the service under the system's service manager. Started by hand
// where the manager must start it (Windows), the program says so and how to
// install it instead of waiting for a manager that never calls.
int RunAsService(Tdiravid& module, ITerminationSignal& termination) {
    const TServiceHostOutcome host = RunServiceHost(
        kServiceName, [&](IServiceStatus& status) { return RunService(module, termination, status); });
    switch (host.Result) {
        case TServiceHostResult::Ran:
            // Nobody watches an unattended service's log at its start: the
            // system's own log (the event log on Windows) says it as well.
            if (!module.StartError().empty()) {
                ReportToSystemLog(kServiceName,
                                  "KorvaneDiraVid konnte nicht gestartet werden! (" + module.StartError() + ")");
            }
            return host.ExitStatus;
        case TServiceHostResult::NoServiceManager: {
            const std::string program = PathToUtf8(ExecutablePath().filename());
            ShowOperatorMessage(kServiceDisplayName,
                                std::string(kServiceDisplayName) +
                                    " läuft als Dienst und wird vom Dienststeuerungs-Manager gestartet, nicht von "
                                    "Hand (" + host.Error + ").\nInstallieren: " + program +
                                    " /INSTALL [--home ORDNER], dann starten: net start " + kServiceName +
                                    "\nEin einzelner Durchlauf ohne Dienst: " + program + " --once",
                                true);
            return 1;
        }
        case TServiceHostResult::Failed: break;
    }
    ShowOperatorMessage(kServiceDisplayName,
                        "Verbindung zum Dienststeuerungs-Manager fehlgeschlagen: " + host.Error, true);
    return 1;
}

// [SMTP] Anmeldung is read before every mail, as the other [SMTP] keys.
std::function<std::shared_ptr<IOAuthTokenSource>()> SmtpTokenSource(const TIniFile& ini) {
    return [&ini]() -> std::shared_ptr<IOAuthTokenSource> {
        const auto oauth = ReadProtocolOAuth(ini, "SMTP");
        return oauth ? OAuthTokenProvider(*oauth) : nullptr;
    };
}

}  // namespace

void AssignServiceJobs(Tdiravid& module, TMailEingangJobs& mailEingang) {
    module.Jobs.SendNachrichten = [&module] {
        TMailVersandContext ctx = module.MailVersandContext();
        ctx.SmtpOAuth = SmtpTokenSource(ctx.Ini);
        SendNachrichten(ctx);
    };
    module.Jobs.SendEmpfaengerNachrichten = [&module] {
        TMailVersandContext ctx = module.MailVersandContext();
        ctx.SmtpOAuth = SmtpTokenSource(ctx.Ini);
        SendEmpfaengerNachrichten(ctx);
    };
    module.Jobs.CheckPOP3Postfach = [&mailEingang] { mailEingang.CheckPOP3(); };
    module.Jobs.CheckIMAPPostfach = [&mailEingang] { mailEingang.CheckIMAP(); };
    module.Jobs.ConnectIMAP = [&mailEingang](const TImapStartSettings& s) { mailEingang.ConnectIMAP(s); };
}

int DiravidMain(const std::vector<std::string>& args) {
    const TCommandLine cl = ParseCommandLine(args);
    if (!cl.Error.empty()) {
        std::cerr << cl.Error << "\n\n" << UsageText();
        return 2;
    }
    if (cl.Help) {
        std::cout << UsageText();
        return 0;
    }
    if (cl.Version) {
        std::cout << kServiceDisplayName << " V " << kServiceVersion << std::endl;
        return 0;
    }
    if (cl.Install || cl.Uninstall) return Install(cl);

    const fs::path home = ResolveHome(cl);
    if (!HomeUsable(home)) return 1;
    // Before any module exists: the check starts nothing of the service.
    if (cl.Check) return RunEndpointCheck(home, std::cout);
    if (cl.OAuthSignIn) {
        return RunOAuthDeviceSignIn(home, *cl.OAuthSignIn, std::cout, MakeHttpsClient(),
                                    [](std::chrono::seconds pause) { std::this_thread::sleep_for(pause); });
    }
    // Before the module or any thread exists, so every thread inherits it.
    std::unique_ptr<ITerminationSignal> termination = CatchTerminationSignals();
    Tdiravid module(home);
    module.SetTermination(termination.get());
    TMailEingangJobs mailEingang(module);
    AssignServiceJobs(module, mailEingang);
    if (!cl.ImportFiles.empty()) return ImportFiles(module, cl.ImportFiles, *termination);
    const int status = cl.Once ? RunOnce(module, *termination) : RunAsService(module, *termination);
    if (!module.StartError().empty()) {
        ReportStartFailure(module);
    } else if (cl.Once && termination->StopRequested()) {
        std::cerr << "Abgebrochen." << std::endl;
    }
    return status;
}

}  // namespace kdv
