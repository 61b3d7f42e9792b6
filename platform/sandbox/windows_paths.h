// Windows paths on the sandbox machine: a path taken apart (WinPath), where
// it lies on the host (HostLocation), and the case folding by which names
// are compared.
//
// Machine::ParsePath and Machine::Locate (defined in windows_paths.cc) map a
// Windows path onto the host below the drive folders: "\" and "/" separate
// components, "." and ".." are resolved without leaving the drive, trailing
// dots and blanks of a component are dropped, and components match existing
// names without regard to case or by their short name, as on Windows.
#ifndef QV_PLATFORM_SANDBOX_WINDOWS_PATHS_H_
#define QV_PLATFORM_SANDBOX_WINDOWS_PATHS_H_

#include <string>
#include <vector>

namespace qv::sandbox {

// A Windows path taken apart: drive and components, "." and ".." resolved.
struct WinPath {
  char drive = 'C';
  std::vector<std::string> components;

  // "C:\A\B", or "C:\" for the root.
  std::string ToString() const;
  bool IsRoot() const { return components.empty(); }
  WinPath Parent() const;
};

// Where a Windows path lies on the host.
struct HostLocation {
  WinPath path;           // normalized
  std::string host_path;  // absolute host path
  bool exists = false;    // the whole path exists
  bool parent_exists = false;
  std::string actual_name;  // the last component as stored (when it exists)
};

// Case folding for name comparison (ASCII and Latin-1 letters).
std::string FoldCase(const std::string& name);
bool NamesEqual(const std::string& a, const std::string& b);

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_WINDOWS_PATHS_H_
