#include "service/command_line.h"

#include <algorithm>

#include "platform/ascii_text.h"

namespace kdv {
namespace {

// "/install", "-INSTALL", "--install" all name the switch "install".
std::optional<std::string> SwitchName(const std::string& arg) {
    if (arg.size() < 2) return std::nullopt;
    if (arg[0] == '/') return ToLowerAscii(arg.substr(1));
    if (arg[0] != '-') return std::nullopt;
    return ToLowerAscii(arg.substr(arg[1] == '-' ? 2 : 1));
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    TCommandLine cl;
    bool importing = false;
    bool importSeen = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto name = SwitchName(arg);
        // An absolute path after --import is a file, not a "/" switch.
        if (name && importing && arg[0] == '/' && *name != "install" && *name != "uninstall" &&
            *name != "silent")
            name.reset();
        if (!name) {
            if (importing) {
                cl.ImportFiles.emplace_back(arg);
                continue;
            }
            cl.Error = "Unbekanntes Argument: " + arg;
            return cl;
        }
        importing = false;
        if (*name == "install") {
            cl.Install = true;
        } else if (*name == "uninstall") {
            cl.Uninstall = true;
        } else if (*name == "silent") {
            cl.Silent = true;
        } else if (*name == "once") {
            cl.Once = true;
        } else if (*name == "help" || *name == "h" || *name == "?") {
            cl.Help = true;
        } else if (*name == "version") {
            cl.Version = true;
        } else if (*name == "check") {
            cl.Check = true;
        } else if (*name == "oauth2-anmelden") {
            cl.OAuthSignIn = "OAuth2";
            if (i + 1 < args.size() && !SwitchName(args[i + 1])) cl.OAuthSignIn = args[++i];
        } else if (*name == "import") {
            importing = true;
            importSeen = true;
        } else if (*name == "home") {
            if (i + 1 >= args.size()) {
                cl.Error = "--home erwartet einen Ordner.";
                return cl;
            }
            cl.Home = std::filesystem::path(args[++i]);
        } else {
            cl.Error = "Unbekannter Schalter: " + arg;
            return cl;
        }
    }
    if (importSeen && cl.ImportFiles.empty()) cl.Error = "--import erwartet mindestens eine Datei.";
    if (cl.Install && cl.Uninstall) cl.Error = "INSTALL und UNINSTALL schließen sich aus.";
    // The check only looks; running or installing the service with it would not.
    if (cl.Check && (cl.Once || importSeen || cl.Install || cl.Uninstall))
        cl.Error = "--check lässt sich nicht mit --once, --import, INSTALL oder UNINSTALL verbinden.";
    if (cl.OAuthSignIn && (cl.Check || cl.Once || importSeen || cl.Install || cl.Uninstall))
        cl.Error = "--oauth2-anmelden lässt sich nicht mit anderen Schaltern außer --home verbinden.";
    return cl;
}

std::string UsageText() {
    return "KorvaneDiraVid: verbindet das Nachrichtenjournal der Lageführung mit E-Mail.\n"
           "\n"
           "Aufruf: diravid [--home ORDNER] [--once | --check | --import DATEI... | --oauth2-anmelden [ABSCHNITT] |\n"
           "               INSTALL [SILENT] | UNINSTALL [SILENT]]\n"
           "\n"
           "  (ohne Schalter)   läuft als Dienst im Vordergrund bis SIGTERM/SIGINT\n"
           "  --home ORDNER     Ordner mit diravid.ini, whitelist.txt, Log, Logs/ und old/\n"
           "                    (Vorgabe: der Ordner des Programms); er muss bestehen\n"
           "  --once            Start, ein Abrufzyklus, Stopp; Status 1, wenn der Start scheitert\n"
           "                    oder SIGINT/SIGTERM den Lauf abbricht\n"
           "  --check           prüft Datenbank, Anhangordner, SMTP, POP3, IMAP und Whitelist, ohne etwas\n"
           "                    zu ändern; eine Zeile je Prüfung, Status 0, wenn alle gelingen, sonst 1\n"
           "  --import DATEI... liest jede Datei als eine E-Mail und legt sie ab wie ein Postfachabruf\n"
           "  --oauth2-anmelden [ABSCHNITT]\n"
           "                    meldet ein Postfach für Verfahren=refresh_token per Gerätecode an (Vorgabe:\n"
           "                    [OAuth2]) und speichert das Refresh-Token im Home-Ordner\n"
           "  INSTALL           richtet die systemd-Unit diravid.service ein und aktiviert sie\n"
           "  UNINSTALL         deaktiviert und entfernt die Unit\n"
           "  SILENT            mit INSTALL/UNINSTALL: keine Erfolgsmeldung\n"
           "  --version         zeigt die Version\n"
           "  --help            zeigt diesen Text\n"
           "\n"
           "Schalter gelten mit \"/\", \"-\" oder \"--\" davor, in beliebiger Schreibweise.\n";
}

}  // namespace kdv
