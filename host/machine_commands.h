// The `qvinit machine ...` commands: make, show and edit a sandbox machine.
//
// Each returns the process exit status (0 on success, 1 on an error, which it
// has printed to err).
#ifndef QV_HOST_MACHINE_COMMANDS_H_
#define QV_HOST_MACHINE_COMMANDS_H_

#include <iosfwd>
#include <optional>
#include <string>

namespace qv::host {

// run_programs: whether programs that runs start are run on the host (unsafe
// for catalogs that are not trusted) rather than recorded.
int MachineInit(const std::string& dir, const std::string& family,
                const std::string& user, bool run_programs, std::ostream& out,
                std::ostream& err);
int MachineShow(const std::string& dir, std::ostream& out, std::ostream& err);
// The next start of the machine: prints the renames carried out, the
// RunOnceEx entries taken up, the problems met and a restart request taken
// up. Problems do not make it fail; a machine that cannot be opened or whose
// registry fails does.
int MachineBoot(const std::string& dir, std::ostream& out, std::ostream& err);
int MachineRegQuery(const std::string& dir, const std::string& key,
                    const std::optional<std::string>& value, std::ostream& out,
                    std::ostream& err);
int MachineRegSet(const std::string& dir, const std::string& key,
                  const std::string& value, const std::string& data,
                  std::ostream& out, std::ostream& err);
int MachineRegExport(const std::string& dir, const std::optional<std::string>& key,
                     std::ostream& out, std::ostream& err);

// The default machine: a folder under the user's data folder
// ($XDG_DATA_HOME/qvinit/machine or ~/.local/share/qvinit/machine).
std::string DefaultMachineDir();

}  // namespace qv::host

#endif  // QV_HOST_MACHINE_COMMANDS_H_
