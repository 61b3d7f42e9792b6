// MakePeImage: a small but valid PE32 image (a resource-only Windows DLL for
// the i386) whose only section holds a version resource, for the demo's
// sample files. Windows' loader, its version functions and the resource
// tools read it like any linked DLL.
//
// The version resource (type 16, ID 1, US English) is a VS_VERSIONINFO
// block with the fixed file information (file and product version set to
// major.minor.build.revision), a string table (040904b0) with CompanyName,
// FileDescription, FileVersion ("major.minor.build.revision"),
// InternalName, OriginalFilename, ProductName and ProductVersion, and the
// translation entry.
//
// Pure function of its input; safe from any thread.
#ifndef QV_SERVER_PE_IMAGE_H_
#define QV_SERVER_PE_IMAGE_H_

#include <cstdint>
#include <string>

namespace qv::server {

struct PeImageInfo {
  uint16_t major = 1;
  uint16_t minor = 0;
  uint16_t build = 0;
  uint16_t revision = 0;
  std::string file_name;  // OriginalFilename and InternalName (UTF-8)
  std::string description;
  std::string company = "Ostrel";
  std::string product = "Quillmark";
};

// The image's bytes.
std::string MakePeImage(const PeImageInfo& info);

}  // namespace qv::server

#endif  // QV_SERVER_PE_IMAGE_H_
