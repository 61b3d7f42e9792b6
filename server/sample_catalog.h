// WriteSampleCatalog: a small server catalog for trying the product out (the
// demo of qvinit): a database with one user and an install list, and a
// files folder with the files the list names.
//
// The list walks through what an install run does:
//
//   qvclient.dll   a DLL with a version resource, put in CLIENTDIR
//   qvcommon.dll   the same, fetched as a ".cmp" archive and expanded,
//                  put in COMMONDIR
//   qvsans.ttf     a font: put in FONTSDIR and registered
//   catalog.mdb    a data file without version resource (install type 5:
//                  its version goes into catalog.mdb.ver beside it), in
//                  QUILLMARKDIR
//   qvsetup.exe    a setup program (install type 3), started from the temp
//                  folder; it appends a line to qvsetup.log beside itself
//   qvlaunch.exe   the client program, put in CLIENTDIR (install type 5)
//   qvlaunch.exe   the launch record (SequenceID 9999): the installed client
//                  started with the server address and the login ID; it
//                  writes its arguments, one a line, to qvlaunch.args beside
//                  itself
//
// The programs are shell scripts named *.exe, which the sandbox machine runs;
// each writes exit code 0 to $QV_EXIT_CODE_FILE when it is set.
//
// Safe to call from any thread for different folders.
#ifndef QV_SERVER_SAMPLE_CATALOG_H_
#define QV_SERVER_SAMPLE_CATALOG_H_

#include <string>
#include <vector>

#include "platform/status.h"

namespace qv::server {

struct SampleRecord {
  int sequence_id = 0;
  std::string file_name;
  std::string download_location;  // below the files folder
  std::string install_location;   // the target folder token
  int install_type = 0;
  std::string file_version;
  bool is_compressed = false;
  bool is_launch = false;  // a launch record
};

struct SampleCatalog {
  std::string db_path;
  std::string files_dir;
  std::string key_name;
  std::string login;
  std::string password;
  std::vector<SampleRecord> records;  // in list order
};

// Writes folder/qvserver.db and folder/files (folder is made when missing;
// neither may exist yet). Fills *catalog.
Status WriteSampleCatalog(const std::string& folder, SampleCatalog* catalog);

// Writes folder/files only and gives the install list as a document, for a
// database that is filled another way ("qvserver sample", then "init",
// "user add" and "list import" on any store). catalog->db_path names the
// file WriteSampleCatalog would make; nothing is there.
Status WriteSampleFiles(const std::string& folder, SampleCatalog* catalog,
                        std::string* list_document);

}  // namespace qv::server

#endif  // QV_SERVER_SAMPLE_CATALOG_H_
