#pragma once
// Registration of the service with the system's service manager (a systemd
// unit on Linux, the service control manager on Windows). The caller
// formats the messages; this layer only reports success or the system's
// error text.
#include <chrono>
#include <filesystem>
#include <string>

namespace kdv {

struct TServiceDefinition {
    std::string Name;                    // unit / service name, e.g. "diravid"
    std::string DisplayName;             // the name the Windows service list shows
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

// Folder that receives the unit file (Linux only): $DIRAVID_SYSTEMD_DIR
// when set (tests, packaging), else /etc/systemd/system.
std::filesystem::path ServiceUnitFolder();

// Linux: writes the unit, then has systemd reload its units and enable this
// one ($DIRAVID_SYSTEMCTL names the systemctl to run; with
// $DIRAVID_SYSTEMD_DIR and without it none is run). Fails when the unit
// already exists, and when systemctl fails: the unit is then removed again
// and the error names the command, its exit status and what it said.
// Windows: creates the service (own process, automatic start, LocalSystem,
// the executable with --home when the home is not its folder), writes its
// registry value Description, and registers the event log source `Name`.
// Fails when the service exists; a failed description removes it again.
TInstallOutcome InstallService(const TServiceDefinition& def);

// Disables and removes the unit (Windows: deletes the service and its event
// log source). Fails when it does not exist; a failing disable does not
// keep the unit.
TInstallOutcome UninstallService(const std::string& name);

// The unit file's text for `def` (what InstallService writes; Linux only).
std::string ServiceUnitText(const TServiceDefinition& def);

}  // namespace kdv
