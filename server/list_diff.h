// ListDiff: what replacing one install list by another changes, record by
// record, for the console to show before a new list is stored.
//
// Records are matched by FileName, the name the file is installed under: the
// n-th record of a name in the old list pairs with the n-th of that name in
// the new one. A pair whose values differ in any field (a field one list
// lacks reads as null there) is changed; a record without a partner was
// added or removed. Where a record stands in the list is not compared.
//
// A pure function; safe from any thread.
#ifndef QV_SERVER_LIST_DIFF_H_
#define QV_SERVER_LIST_DIFF_H_

#include <string>
#include <vector>

#include "platform/recordset.h"
#include "platform/variant.h"

namespace qv::server {

struct FieldChange {
  std::string field;
  Variant before;
  Variant after;
};

struct RecordChange {
  enum class Kind { kAdded, kRemoved, kChanged };
  Kind kind = Kind::kChanged;
  std::string file_name;
  // kChanged: the fields that differ, in the new list's field order, then
  // those only the old list has.
  std::vector<FieldChange> fields;
};

// The changes from before to after: the added and changed records in the
// order of after, then the removed ones in the order of before.
std::vector<RecordChange> DiffInstallLists(const Recordset& before, const Recordset& after);

}  // namespace qv::server

#endif  // QV_SERVER_LIST_DIFF_H_
