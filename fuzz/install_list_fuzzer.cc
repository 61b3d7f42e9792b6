// Fuzzes the install-list readers: a document parsed from memory
// (Recordset::ParseJson) and the same document opened as installlist.rst on
// a sandbox machine (Recordset::Open, the streaming reader) must agree; a
// list that was read writes back to a document that reads the same; its
// records read as install records and go into a new list; a filter either
// applies or leaves the list as it was.
//
// Input: the document, then optionally a NUL and a filter condition.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "installlist/install_list.h"
#include "platform/recordset.h"

namespace {

using qv::fuzz::Check;

// Reads every visible record; returns how many there were.
int32_t ReadEveryRecord(qv::Recordset& list) {
  int32_t count = 0;
  for (list.MoveFirst(); !list.Eof(); list.MoveNext()) {
    ++count;
    qv::InstallRecord record;
    const bool read = qv::ReadInstallRecord(list, &record).ok();
    qv::Recordset copy = qv::NewInstallList();
    if (!read || !qv::AppendInstallRecord(&copy, record).ok()) continue;
    qv::InstallRecord again;
    Check(qv::ReadInstallRecord(copy, &again).ok(), "an appended record cannot be read");
    Check(again.file_name == record.file_name &&
              again.download_location == record.download_location &&
              again.install_type == record.install_type &&
              again.file_version == record.file_version,
          "an appended record reads back otherwise");
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qv::fuzz::Pieces pieces(data, size);
  const std::string document = pieces.Take('\0');
  const std::string filter(pieces.Rest());

  qv::Recordset parsed;
  const bool parsed_ok = parsed.ParseJson(document).ok();

  auto& machine = qv::fuzz::FuzzMachine();
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\installlist.rst", document);
  qv::Recordset opened;
  const bool opened_ok = opened.Open("C:\\Fuzz\\installlist.rst").ok();
  Check(parsed_ok == opened_ok, "the file and the text are read differently");
  if (!parsed_ok) return 0;

  const std::string written = parsed.ToJson();
  Check(opened.ToJson() == written, "the file and the text give different lists");
  qv::Recordset again;
  Check(again.ParseJson(written).ok(), "a written list cannot be read back");
  Check(again.ToJson() == written, "a written list reads back otherwise");

  qv::ValidateInstallList(parsed);
  Check(ReadEveryRecord(parsed) == parsed.recordcount(), "the cursor missed records");
  if (parsed.SetFilter(qv::kDeveloperFilter).ok()) {
    Check(ReadEveryRecord(parsed) == parsed.recordcount(), "the filtered cursor missed records");
  }
  const std::string before = parsed.Filter();
  if (parsed.SetFilter(filter).ok()) {
    Check(parsed.recordcount() >= 0 &&
              static_cast<size_t>(parsed.recordcount()) <= parsed.total_records(),
          "a filter shows more records than there are");
    ReadEveryRecord(parsed);
  } else {
    Check(parsed.Filter() == before, "a refused filter changed the list's filter");
  }
  return 0;
}
