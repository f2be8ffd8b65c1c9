#include "platform/service_installer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace kdv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultUnitFolder = "/etc/systemd/system";

// systemd splits ExecStart at blanks unless the word is quoted.
std::string QuoteIfBlank(const std::string& s) {
    if (s.find(' ') == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool UsesStagingFolder() { return std::getenv("DIRAVID_SYSTEMD_DIR") != nullptr; }

// Runs systemctl with the given arguments when the real unit folder is used
// and systemctl exists; its failure is not ours to report (no systemd running
// in a container, for instance), the unit file is what matters.
void RunSystemctl(const std::vector<std::string>& args) {
    if (UsesStagingFolder()) return;
    const char* candidates[] = {"/usr/bin/systemctl", "/bin/systemctl"};
    const char* tool = nullptr;
    for (const char* c : candidates)
        if (::access(c, X_OK) == 0) tool = c;
    if (!tool) return;
    const pid_t pid = ::fork();
    if (pid < 0) return;
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(tool));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(tool, argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

fs::path UnitPath(const std::string& name) { return ServiceUnitFolder() / (name + ".service"); }

}  // namespace

fs::path ServiceUnitFolder() {
    if (const char* dir = std::getenv("DIRAVID_SYSTEMD_DIR")) return fs::path{dir};
    return fs::path{kDefaultUnitFolder};
}

std::string ServiceUnitText(const TServiceDefinition& def) {
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + def.Description + "\n";
    text += "After=network-online.target mariadb.service\n";
    text += "Wants=network-online.target\n\n";
    text += "[Service]\n";
    text += "Type=simple\n";
    text += "ExecStart=" + QuoteIfBlank(def.Executable.string()) + " --home " +
            QuoteIfBlank(def.Home.string()) + "\n";
    text += "WorkingDirectory=" + def.Home.string() + "\n";
    if (def.StopTimeout.count() > 0) text += "TimeoutStopSec=" + std::to_string(def.StopTimeout.count()) + "\n";
    text += "\n";
    text += "[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

TInstallOutcome InstallService(const TServiceDefinition& def) {
    const fs::path unit = UnitPath(def.Name);
    std::error_code ec;
    if (fs::exists(unit, ec)) return {false, "Der Dienst ist bereits installiert (" + unit.string() + ")."};
    fs::create_directories(unit.parent_path(), ec);
    {
        std::ofstream out(unit, std::ios::binary | std::ios::trunc);
        if (!out) return {false, std::strerror(errno) + std::string(" (") + unit.string() + ")"};
        out << ServiceUnitText(def);
        out.flush();
        if (!out) {
            const std::string err = std::strerror(errno);
            out.close();
            fs::remove(unit, ec);
            return {false, err + " (" + unit.string() + ")"};
        }
    }
    RunSystemctl({"daemon-reload"});
    RunSystemctl({"enable", def.Name + ".service"});
    return {true, {}};
}

TInstallOutcome UninstallService(const std::string& name) {
    const fs::path unit = UnitPath(name);
    std::error_code ec;
    if (!fs::exists(unit, ec)) return {false, "Der Dienst ist nicht installiert (" + unit.string() + ")."};
    RunSystemctl({"disable", name + ".service"});
    if (!fs::remove(unit, ec)) return {false, ec.message() + " (" + unit.string() + ")"};
    RunSystemctl({"daemon-reload"});
    return {true, {}};
}

}  // namespace kdv
