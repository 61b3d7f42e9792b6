// Recordset: a table of typed fields and ordered records with one cursor, as
// the platform's data-access components offer it, and its persisted form.
//
// The control holds its install list in a Recordset and walks it with the
// members it knows by their data-access names:
//
//   Open(path)          Open
//   save(path)          save
//   SetFilter(text)     Filter = text        (Filter() reads it back)
//   Eof()               EOF                  (EOF itself is a C library macro)
//   AbsolutePosition()  AbsolutePosition
//   recordcount()       recordcount
//   MoveNext()          MoveNext
//   Field(name)         Fields(name).Value   (Value() reports failures)
//
// Field names match without regard to (ASCII) case. Records keep the order in
// which they were added or read; nothing reorders them. A filter hides
// records; position and count refer to the visible records only, and save
// writes every record whatever the filter.
//
// The persisted form is a JSON document:
//
//   {"format": "qv-installlist", "version": 1,
//    "fields": [{"name": "SequenceID", "type": "integer"}, ...],
//    "records": [[1, "x.dll", false], [9999, "client.exe", null]]}
//
// Field types are "integer", "number", "string" and "boolean"; any value may
// be null. A document of another format or a newer version is refused.
// Top-level keys the reader does not know (a list's "signature", say) are
// kept with their JSON values, in the order read, and written again after
// "records": an older reader passes a newer writer's additions on.
//
// The records are kept compactly (platform/record_store.h): a value is
// decoded when it is read. A document is read as it is parsed and written as
// it is made (platform/recordset_reader.h), so that neither a large list's
// JSON tree nor a second copy of its text is ever held.
//
// A Recordset is a plain value owned by one thread; copies are independent.
//
// Text: text values, field names and filters are UTF-8.
#ifndef QV_PLATFORM_RECORDSET_H_
#define QV_PLATFORM_RECORDSET_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/record_store.h"
#include "platform/status.h"
#include "platform/variant.h"

namespace qv {

enum class FieldType { kInteger, kNumber, kString, kBoolean };

// "integer", "number", "string", "boolean".
const char* FieldTypeName(FieldType type);

struct FieldInfo {
  std::string name;
  FieldType type = FieldType::kString;
};

// The document's format name and the newest version this program reads.
inline constexpr char kRecordsetFormat[] = "qv-installlist";
inline constexpr int kRecordsetVersion = 1;

// AbsolutePosition() when there is no current record.
inline constexpr int32_t kPositionEof = -3;

class Recordset {
 public:
  // No fields, no records, no current record.
  Recordset() = default;

  // ---- Building -----------------------------------------------------------

  // Adds a field after the existing ones. Fails when a field of that name
  // (in any case) exists, when the name is empty, or when the recordset
  // already holds records.
  Status AddField(const std::string& name, FieldType type);

  // Appends a record with one value per field, in field order. Each value
  // must be null or suit its field: integer fields take integers (or numbers
  // without a fraction, stored as integers), number fields take numbers or
  // integers (stored as numbers), string fields take text, boolean fields
  // truth values. On failure nothing is added. Afterwards the first visible
  // record is current.
  Status AddRecord(std::vector<Variant> values);

  // Removes every field and record, the extra keys and the filter.
  void Clear();

  // ---- Extra top-level keys -------------------------------------------------

  // The JSON text of a top-level key other than format, version, fields and
  // records, as read or set; null when the document has no such key. Names
  // match exactly, as JSON keys do.
  const std::string* ExtraKey(const std::string& name) const;
  // Sets such a key's value, replacing one of that name; json_text must be
  // one JSON value. REQUIRES: name is none of the four keys above.
  void SetExtraKey(const std::string& name, std::string json_text);
  void RemoveExtraKey(const std::string& name);

  // ---- Layout and contents ------------------------------------------------

  const std::vector<FieldInfo>& fields() const { return fields_; }
  // The number of records, whatever the filter.
  size_t total_records() const { return store_.size(); }
  // The values of the record at index (from 0, whatever the filter), in
  // field order. REQUIRES: index < total_records().
  std::vector<Variant> RecordValues(size_t index) const;
  // The index of the named field, or -1.
  int FieldIndex(const std::string& name) const;
  bool HasField(const std::string& name) const { return FieldIndex(name) >= 0; }

  // ---- Cursor ---------------------------------------------------------------

  // True when there is no current record: the view is empty, or the cursor
  // has moved past its last record.
  bool Eof() const { return position_ >= VisibleCount(); }
  // 1-based ordinal of the current record among the visible records;
  // kPositionEof when there is none.
  int32_t AbsolutePosition() const;
  // The number of visible records.
  int32_t recordcount() const { return static_cast<int32_t>(VisibleCount()); }
  // Makes the next visible record current, or reaches the end. Fails, and
  // changes nothing, when the cursor is already at the end.
  Status MoveNext();
  // Makes the first visible record current (the end when there is none).
  void MoveFirst() { position_ = 0; }

  // The current record's value of the named field. Fails, storing null, when
  // no field has that name or there is no current record.
  Status Value(const std::string& name, Variant* out) const;
  // The same, with null for either failure.
  Variant Field(const std::string& name) const;

  // ---- Filter ---------------------------------------------------------------

  // Restricts the visible records to those matching a condition of the form
  //   Field op literal
  // with op one of = <> < > <= >=, Field a field name (or [a name] in
  // brackets), and literal a number ("0", "-2.5", "1e3"), a text in single
  // quotes ('a''b' for a'b) or True / False. "" shows every record again.
  //
  // Fields of the integer, number and boolean types compare as numbers, a
  // truth value counting as -1 (true) or 0 (false); their literal must be a
  // number, a quoted number, True or False. String fields compare as text
  // without regard to (ASCII) case. A null value matches no condition.
  //
  // Afterwards the first visible record is current. An unknown field, an
  // unsupported condition (AND, OR, LIKE, ...) or an unfit literal fails and
  // leaves filter and cursor as they were.
  Status SetFilter(const std::string& text);
  // The condition set last; "" when none.
  const std::string& Filter() const { return filter_text_; }

  // ---- Persistence ----------------------------------------------------------

  // Replaces the contents with a document (see above). Fails with a message
  // naming the first fault (malformed JSON, another format, a newer version,
  // an unknown field type, a record whose length differs from the fields, a
  // value that does not suit its field) and leaves the recordset unchanged.
  // On success there is no filter and the first record is current.
  Status ParseJson(const std::string& text);
  // The whole list as a document, every record whatever the filter. A number
  // that is not finite is written as null.
  std::string ToJson() const;
  // The document without the extra keys: format, version, fields and
  // records, written the same way for the same fields and values, whatever
  // the text they were read from (what a list's signature covers).
  Status WriteContentJson(const std::function<Status(std::string_view)>& sink) const;
  // The same document, handed to sink piece by piece (each at most a few
  // hundred KiB, with no other bound); stops at sink's first failure and
  // returns it.
  Status WriteJson(const std::function<Status(std::string_view)>& sink) const;

  // Loads a list written by save from a file of the current platform's
  // machine (a Windows path), reading it as it parses; the first record
  // becomes current. On failure the recordset is unchanged.
  Status Open(const std::string& windows_path);
  // Writes the whole list to a file of the current platform's machine,
  // replacing one that is there. The file is written under a temporary name
  // and then moved into place, so an existing file stays intact when the
  // save fails. The document is written as it is made.
  Status save(const std::string& windows_path) const;

 private:
  enum class CompareOp { kEqual, kNotEqual, kLess, kGreater, kLessEqual,
                         kGreaterEqual };
  struct Condition {
    int field = -1;
    CompareOp op = CompareOp::kEqual;
    bool numeric = false;
    double number = 0.0;
    std::string text;
  };

  friend class RecordsetReader;  // fills fields_ and store_ as it reads

  Status WriteDocument(bool with_extra_keys,
                       const std::function<Status(std::string_view)>& sink) const;
  bool Matches(size_t record) const;
  // Rebuilds the visible records and puts the cursor on the first.
  void Refresh();
  // Without a filter every record is visible, and visible_ is not kept.
  size_t VisibleCount() const { return condition_ ? visible_.size() : store_.size(); }
  size_t VisibleRecord(size_t position) const { return condition_ ? visible_[position] : position; }

  std::vector<FieldInfo> fields_;
  RecordStore store_;
  std::vector<std::pair<std::string, std::string>> extra_keys_;  // name, JSON text
  std::string filter_text_;
  std::optional<Condition> condition_;
  std::vector<uint32_t> visible_;  // with a filter: indexes into store_
  size_t position_ = 0;            // index among the visible; VisibleCount() at the end
};

}  // namespace qv

#endif  // QV_PLATFORM_RECORDSET_H_
