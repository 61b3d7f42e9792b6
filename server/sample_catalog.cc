// The sample files, the list that names them and the user who may fetch it.
#include "server/sample_catalog.h"

#include <sys/stat.h>

#include "installlist/install_list.h"
#include "installlist/install_types.h"
#include "platform/posix/atomic_file.h"
#include "server/cab_pack.h"
#include "server/host_files.h"
#include "server/pe_image.h"
#include "server/storage.h"

namespace qv::server {

namespace {

constexpr char kKeyName[] = "DEMO";
constexpr char kLogin[] = "demo";
constexpr char kPassword[] = "demo";

constexpr char kSetupScript[] =
    "#!/bin/sh\n"
    "# Quillmark setup helper (sample): notes that it ran, then succeeds.\n"
    "here=$(dirname \"$0\")\n"
    "echo \"qvsetup ran: $*\" >> \"$here/qvsetup.log\"\n"
    "if [ -n \"$QV_EXIT_CODE_FILE\" ]; then echo 0 > \"$QV_EXIT_CODE_FILE\"; fi\n"
    "exit 0\n";

constexpr char kClientScript[] =
    "#!/bin/sh\n"
    "# Quillmark client (sample): keeps the arguments it was started with\n"
    "# (the server address and the login ID), one a line.\n"
    "here=$(dirname \"$0\")\n"
    "printf '%s\\n' \"$@\" > \"$here/qvlaunch.args\"\n"
    "if [ -n \"$QV_EXIT_CODE_FILE\" ]; then echo 0 > \"$QV_EXIT_CODE_FILE\"; fi\n"
    "exit 0\n";

// The start of a TrueType file (version 1.0, no tables) and a name; the
// sandbox takes any existing file as a font.
std::string FontBytes() {
  std::string font("\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
  font += "Quillmark Sans (sample font)\n";
  return font;
}

struct SampleFile {
  SampleRecord record;
  std::string description;
  bool is_qv_object = false;
  std::string bytes;
  mode_t mode = 0644;
};

std::vector<SampleFile> SampleFiles() {
  auto pe = [](const char* name, const char* description, uint16_t major, uint16_t minor,
               uint16_t build, uint16_t revision) {
    PeImageInfo info;
    info.major = major;
    info.minor = minor;
    info.build = build;
    info.revision = revision;
    info.file_name = name;
    info.description = description;
    return MakePeImage(info);
  };
  return {
      {{1, "qvclient.dll", "client/qvclient.dll", "CLIENTDIR", itReplace, "3.0.148.0"},
       "Client library",
       true,
       pe("qvclient.dll", "Quillmark client library", 3, 0, 148, 0)},
      {{2, "qvcommon.dll", "common/qvcommon.dll.cmp", "COMMONDIR", itReplace, "2.1.0.7", true},
       "Common components",
       true,
       pe("qvcommon.dll", "Quillmark common components", 2, 1, 0, 7)},
      {{3, "qvsans.ttf", "fonts/qvsans.ttf", "FONTSDIR", itReplace, "1.0.0.0"},
       "Quillmark Sans font",
       false,
       FontBytes()},
      {{4, "catalog.mdb", "data/catalog.mdb", "QUILLMARKDIR", itReplaceVersioned, "1.4.0.2"},
       "Product catalog",
       false,
       "Quillmark sample catalog data, version 1.4.0.2\n"},
      {{5, "qvsetup.exe", "setup/qvsetup.exe", "TEMPDIR", itRun, "1.0.0.0"},
       "Setup helper",
       false,
       kSetupScript,
       0755},
      {{6, "qvlaunch.exe", "client/qvlaunch.exe", "CLIENTDIR", itReplaceVersioned, "3.0.148.0"},
       "Quillmark client",
       true,
       kClientScript,
       0755},
      {{9999, "qvlaunch.exe", "client/qvlaunch.exe", "CLIENTDIR", itReplace, "3.0.148.0", false,
        true},
       "Start the Quillmark client",
       true,
       ""},
  };
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

Status WriteSampleFiles(const std::string& folder, SampleCatalog* catalog,
                        std::string* list_document) {
  SampleCatalog result;
  result.db_path = folder + "/qvserver.db";
  result.files_dir = folder + "/files";
  result.key_name = kKeyName;
  result.login = kLogin;
  result.password = kPassword;
  if (Exists(result.db_path) || Exists(result.files_dir)) {
    return Status::Error(kErrorAlreadyExists, folder + " holds a catalog already");
  }
  Status status = MakeFolders(result.files_dir);
  if (!status.ok()) return status;

  Recordset list = NewInstallList();
  for (const SampleFile& file : SampleFiles()) {
    const SampleRecord& r = file.record;
    if (!r.is_launch) {
      const std::string path = result.files_dir + "/" + r.download_location;
      status = MakeFolders(path.substr(0, path.find_last_of('/')));
      std::string cabinet;
      if (status.ok() && r.is_compressed) status = PackBytes(r.file_name, file.bytes, &cabinet);
      if (status.ok()) {
        status = WriteFileAtomically(path, r.is_compressed ? cabinet : file.bytes, file.mode);
      }
      if (!status.ok()) return status;
    }
    InstallRecord record;
    record.sequence_id = r.sequence_id;
    record.file_name = r.file_name;
    record.download_location = r.download_location;
    record.install_type = static_cast<int16_t>(r.install_type);
    record.file_version = r.file_version;
    record.install_location = r.install_location;
    record.is_qv_object = file.is_qv_object;
    record.description = file.description;
    record.is_compressed = r.is_compressed;
    const Status appended = AppendInstallRecord(&list, record);
    if (!appended.ok()) {
      return Status::Error(appended.code(), "cannot make the sample list: " + appended.message());
    }
    result.records.push_back(r);
  }
  *list_document = list.ToJson();
  *catalog = std::move(result);
  return Status::OK();
}

Status WriteSampleCatalog(const std::string& folder, SampleCatalog* catalog) {
  SampleCatalog result;
  std::string list;
  Status status = WriteSampleFiles(folder, &result, &list);
  if (!status.ok()) return status;
  StorageOptions options;
  options.path = result.db_path;
  std::unique_ptr<Storage> storage;
  status = Storage::Open(options, Storage::Mode::kCreate, &storage);
  if (status.ok()) status = storage->AddUser(result.key_name, result.login, result.password, false);
  if (status.ok()) status = storage->PutInstallList(result.key_name, list);
  if (status.ok()) *catalog = std::move(result);
  return status;
}

}  // namespace qv::server
