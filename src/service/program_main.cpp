#include "service/program_main.h"

#include <cstdio>
#include <iostream>

#include "incoming/mail_import.h"
#include "platform/executable_path.h"
#include "platform/service_installer.h"
#include "platform/termination_signal.h"
#include "service/command_line.h"
#include "service/diravid_module.h"
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

int Install(const TCommandLine& cl) {
    TServiceDefinition def;
    def.Name = kServiceName;
    def.Description = kServiceDescription;
    def.Executable = ExecutablePath();
    def.Home = ResolveHome(cl);
    const TInstallOutcome r = cl.Install ? InstallService(def) : UninstallService(def.Name);
    if (!r.Ok) {
        std::cerr << "Service \"" << kServiceDisplayName << "\""
                  << (cl.Install ? " konnte nicht installiert werden; Fehler: "
                                 : " konnte nicht deinstalliert werden; Fehler: ")
                  << "\"" << r.Error << "\"" << std::endl;
        return 1;
    }
    if (!cl.Silent)
        std::cout << (cl.Install ? "Service erfolgreich installiert" : "Service erfolgreich deinstalliert")
                  << std::endl;
    return 0;
}

// Start steps, then each file evaluated as a mailbox pass would, one line per
// file on stdout, then the stop. Status 1 when the start failed or any file
// was not filed whole.
int ImportFiles(Tdiravid& module, const std::vector<fs::path>& files) {
    bool started = true;
    module.ServiceStart(started);
    if (!started) {
        std::cerr << "KorvaneDiraVid konnte nicht gestartet werden; Einzelheiten im Log "
                  << (module.Home() / Tdiravid::kLogFileName).string() << std::endl;
        return 1;
    }
    bool anyFailed = false;
    TMailEmpfangContext ctx = module.MailEmpfangContext();
    for (const fs::path& file : files) {
        const TImportErgebnis r = ImportMailDatei(ctx, file);
        std::cout << r.Zeile << std::endl;
        if (NichtVollstaendig(r.Auswertung)) anyFailed = true;
    }
    bool stopped = true;
    module.ServiceStop(stopped);
    return anyFailed ? 1 : 0;
}

}  // namespace

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

    // Before the module or any thread exists, so every thread inherits it.
    std::unique_ptr<ITerminationSignal> termination = CatchTerminationSignals();
    Tdiravid module(ResolveHome(cl));
    if (!cl.ImportFiles.empty()) return ImportFiles(module, cl.ImportFiles);
    if (cl.Once) return RunOnce(module);
    return RunService(module, *termination);
}

}  // namespace kdv
