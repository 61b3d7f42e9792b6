// The built-in setup page and local cabinet, made once on first use.
#include "server/prelude_files.h"

#include "qv_version.h"
#include "server/cab_pack.h"

namespace qv::server {

namespace {

constexpr char kSetupPage[] = R"html(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Quillmark installation</title>
</head>
<body>
<h1>Quillmark installation</h1>
<p>This folder holds a copy of the Quillmark client installation: the install list
(installlist.rst), the installer control (QV_Init_V3.CAB) and the files the list names.</p>
<p>To install from it, start the installer in local mode with this folder as its
download location.</p>
</body>
</html>
)html";

// What the built-in cabinet holds: a setup information file naming the
// control, so that a folder made by a copy-only run is complete.
constexpr char kCabinetEntryName[] = "QV_Init_V3.inf";
constexpr char kCabinetEntryHead[] =
    "[version]\r\n"
    "signature=\"$CHICAGO$\"\r\n"
    "AdvancedINF=2.0\r\n"
    "\r\n"
    "[Add.Code]\r\n"
    "QV_INIT_V3.ocx=QV_INIT_V3.ocx\r\n"
    "\r\n"
    "[QV_INIT_V3.ocx]\r\n"
    "FileVersion=";

std::string CabinetEntry() {
  return std::string(kCabinetEntryHead) + kLibraryFileVersion + "\r\n";
}

BuiltInFile MakeCabinet() {
  std::string cabinet;
  if (!PackBytes(kCabinetEntryName, CabinetEntry(), &cabinet).ok()) cabinet.clear();
  return {"application/vnd.ms-cab-compressed",
          std::make_shared<const std::string>(std::move(cabinet))};
}

}  // namespace

const BuiltInFile* BuiltInPreludeFile(const std::string& url_path) {
  static const BuiltInFile setup_page{"text/html; charset=utf-8",
                                      std::make_shared<const std::string>(kSetupPage)};
  if (url_path == kSetupPagePath) return &setup_page;
  if (url_path == kLocalCabinetPath) {
    static const BuiltInFile cabinet = MakeCabinet();
    return cabinet.bytes->empty() ? nullptr : &cabinet;
  }
  return nullptr;
}

}  // namespace qv::server
