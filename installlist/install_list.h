// The install list: one install record per file that a client installation
// needs, kept in a Recordset (platform/recordset.h) and walked by the install
// run with the list's single cursor.
//
// This file names the record's fields, checks that a list has the fields the
// run cannot do without, and reads the current record into plain values the
// way the run uses them. It shows nothing and touches no file.
//
// Everything here is used on the control's UI thread.
#ifndef QV_INSTALLLIST_INSTALL_LIST_H_
#define QV_INSTALLLIST_INSTALL_LIST_H_

#include <cstdint>
#include <string>

#include "platform/recordset.h"
#include "platform/status.h"

namespace qv {

// Field names of an install record, in the order a new list has them.
inline constexpr char kFieldSequenceID[] = "SequenceID";
inline constexpr char kFieldFileName[] = "FileName";
inline constexpr char kFieldDownloadLocation[] = "DownloadLocation";
inline constexpr char kFieldInstallType[] = "InstallType";
inline constexpr char kFieldFileVersion[] = "FileVersion";
inline constexpr char kFieldAltCheck[] = "AltCheck";
inline constexpr char kFieldAltCheckRegValue[] = "AltCheckRegValue";
inline constexpr char kFieldInstallLocation[] = "InstallLocation";
inline constexpr char kFieldIsQVObject[] = "IsQVObject";
inline constexpr char kFieldDescription[] = "Description";
inline constexpr char kFieldIsCompressed[] = "IsCompressed";
// Optional: what the file is as the server hands it out (the .cmp archive
// of a compressed record), so that a file changed or cut short on its way is
// never installed. FileSHA256 is its SHA-256 as 64 hex digits, FileSize its
// length in bytes. A list without them, or a null value, checks nothing.
// New lists leave them out; the server adds them when it fills them in.
inline constexpr char kFieldFileSHA256[] = "FileSHA256";
inline constexpr char kFieldFileSize[] = "FileSize";

// The file name of a saved list, in the copy folder or the local folder.
inline constexpr char kInstallListFileName[] = "installlist.rst";

// The filter that hides the product's own components from a developer login.
inline constexpr char kDeveloperFilter[] = "IsQVObject = 0";

// A SequenceID from this value on marks a launch record: a program to start.
inline constexpr double kLaunchSequenceID = 9999;

// A new empty list with every field of an install record: SequenceID and
// InstallType integers, IsQVObject and IsCompressed truth values, the rest
// text.
Recordset NewInstallList();

// Checks that the list has the fields the run needs a value from for every
// record: SequenceID, FileName, DownloadLocation, InstallType, FileVersion.
// The first one missing is named in the failure. The other fields may be
// missing; they read as null.
Status ValidateInstallList(const Recordset& list);

// One install record as the run uses it.
struct InstallRecord {
  // Null counts as 0 (below kLaunchSequenceID), as does text that is not a
  // number.
  double sequence_id = 0;
  std::string file_name;
  std::string download_location;
  int16_t install_type = 0;
  // Leading and trailing spaces removed.
  std::string file_version;
  // As stored ("" for null); blank (empty or spaces only) means not used.
  std::string alt_check;
  std::string alt_check_reg_value;
  std::string install_location;
  // Non-zero flags. A null flag is false: an unmarked record is neither one
  // of the product's components nor compressed.
  bool is_qv_object = false;
  std::string description;
  bool is_compressed = false;
  // The served file's digest (lowercase hex) and size; "" and -1 when the
  // list does not state them.
  std::string file_sha256;
  int64_t file_size = -1;

  bool IsLaunchRecord() const { return sequence_id >= kLaunchSequenceID; }
  // The installed version is read from the registry value AltCheckRegValue
  // under the key AltCheck.
  bool HasRegistryCheck() const;
  // Otherwise, when AltCheck is not blank, from the file it names.
  bool HasFileCheck() const;
  // Whether the list states the served file's digest or size.
  bool HasServedFileCheck() const { return !file_sha256.empty() || file_size >= 0; }
};

// Reads the list's current record. Text fields read null as "", numbers as
// text in plain decimal and truth values as "True" / "False".
//
// Fails when there is no current record, when a required field is missing or
// null, or when InstallType is not a whole number from -32768 to 32767 after
// rounding, when FileSHA256 is neither null nor 64 hex digits (upper case is
// taken as lower), or when FileSize is neither null nor a whole number from 0
// on; *record then holds every value that could be read (a failed
// InstallType reads as 0, which installs nothing). The run refuses such a
// record with a message, as any record it cannot read.
Status ReadInstallRecord(const Recordset& list, InstallRecord* record);

// Appends a record with the record's values to a list made by
// NewInstallList, or to any list: fields it lacks are left out, its other
// fields get null, a flag goes into a numeric field as 1 or 0 and a number
// into a text field as text. SequenceID is written as a whole number when it
// is one.
Status AppendInstallRecord(Recordset* list, const InstallRecord& record);

}  // namespace qv

#endif  // QV_INSTALLLIST_INSTALL_LIST_H_
