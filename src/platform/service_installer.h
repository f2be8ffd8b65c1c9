#pragma once
// Registration of the service with the system's service manager (a systemd
// unit on Linux). The caller formats the messages; this layer only reports
// success or the system's error text.
#include <chrono>
#include <filesystem>
#include <string>

namespace kdv {

struct TServiceDefinition {
    std::string Name;                    // unit / service name, e.g. "diravid"
    std::string Description;             // shown by the service manager
    std::filesystem::path Executable;    // full path of the program
    std::filesystem::path Home;          // its home folder, passed as --home
    // How long the service manager waits after a stop request before it
    // kills the process; zero leaves the manager's default.
    std::chrono::seconds StopTimeout{0};
};

struct TInstallOutcome {
    bool Ok = false;
    std::string Error;                   // the system's error text when !Ok
};

// Folder that receives the unit file: $DIRAVID_SYSTEMD_DIR when set (tests,
// packaging), else /etc/systemd/system.
std::filesystem::path ServiceUnitFolder();

// Writes the unit, then has systemd reload its units and enable this one
// ($DIRAVID_SYSTEMCTL names the systemctl to run; with $DIRAVID_SYSTEMD_DIR
// and without it none is run). Fails when the unit already exists, and when
// systemctl fails: the unit is then removed again and the error names the
// command, its exit status and what it said.
TInstallOutcome InstallService(const TServiceDefinition& def);

// Disables and removes the unit. Fails when it does not exist; a failing
// disable does not keep the unit.
TInstallOutcome UninstallService(const std::string& name);

// The unit file's text for `def` (what InstallService writes).
std::string ServiceUnitText(const TServiceDefinition& def);

}  // namespace kdv
