// RecordsetReader: reads an install list document (see recordset.h) from the
// events of a streaming JSON parser (nlohmann::json::sax_parse) straight into
// a Recordset's compact storage, so that a large list is never held as a
// JSON tree, nor as a second text.
//
// The reader takes the events of one JSON value: a whole document, or the
// value of a key inside a larger answer, whose events the caller passes on.
// The small parts of the document (format, version, fields) are kept as
// values; keys it does not know are kept as JSON text for the list (see
// Recordset::ExtraKey); each record is checked
// against the fields as it ends and then stored. After the last event,
// Finish checks the document as Recordset::ParseJson describes, in the same
// order and with the same messages, and hands the list over.
//
// Records can only be checked once the fields are known. When a document
// gives its records before its fields (or its fields again after its
// records), NeedsSecondPass() says so after the last event; the caller then
// passes the same events once more to the reader that ForSecondPass()
// makes, which knows the fields from the start. The writer of the format
// puts the fields first, so a list that it wrote is read in one pass.
//
// Every event handler returns true, except parse_error: the parser goes on
// to the end of the text, so that a fault in its syntax anywhere counts
// before a fault in what it says. A reader is used by one thread.
//
// Text: UTF-8, as JSON is.
#ifndef QV_PLATFORM_RECORDSET_READER_H_
#define QV_PLATFORM_RECORDSET_READER_H_

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/json_value_builder.h"
#include "platform/record_store.h"
#include "platform/recordset.h"
#include "platform/status.h"

namespace qv {

class RecordsetReader {
 public:
  RecordsetReader() = default;
  RecordsetReader(RecordsetReader&&) = default;
  RecordsetReader& operator=(RecordsetReader&&) = default;

  // ---- Parser events (nlohmann::json SAX interface) -------------------------
  bool null();
  bool boolean(bool value);
  bool number_integer(int64_t value);
  bool number_unsigned(uint64_t value);
  bool number_float(double value, const std::string& text);
  bool string(std::string& value);
  bool binary(nlohmann::json::binary_t& value);
  bool start_object(size_t elements);
  bool key(std::string& key);
  bool end_object();
  bool start_array(size_t elements);
  bool end_array();
  bool parse_error(size_t position, const std::string& last_token,
                   const nlohmann::json::exception& error);

  // ---- After the last event ---------------------------------------------------

  // Whether the records came before the fields they must be checked against.
  bool NeedsSecondPass() const { return syntax_error_.empty() && fields_after_records_; }
  // A reader for the same events again, with the fields known from the
  // start. This reader's records are not carried over.
  RecordsetReader ForSecondPass() const;

  // Checks the document and moves the list into *out. On failure *out is
  // unchanged and the status names the first fault, as ParseJson does.
  // REQUIRES: !NeedsSecondPass().
  Status Finish(Recordset* out);

 private:
  // Where the next event belongs.
  enum class Place { kDocument, kTop, kRecords, kRecord, kAfter };
  // The top-level key whose value comes next.
  enum class Key { kFormat, kVersion, kFields, kRecords, kOther };

  // A value inside a record, as the parser gave it.
  struct RawValue {
    enum class Kind { kNull, kBoolean, kInteger, kUnsigned, kFloat, kString, kArray, kObject };
    Kind kind = Kind::kNull;
    bool boolean = false;
    int64_t integer = 0;
    uint64_t unsigned_integer = 0;
    double number = 0.0;
    std::string text;
  };

  // Every event goes through one of these.
  void OnStart(bool object);
  void OnEnd();
  // Fills the raw value that comes next; null when it goes elsewhere.
  RawValue* OnScalar();
  void ScalarDone(RawValue* raw);

  void BeginRecords(bool array);
  void BeginRecord();
  void EndRecord();
  void RecordFault(const std::string& message);
  // Stores the record that ended, or notes why it cannot be stored.
  void CheckRecord();
  void HeadValueDone();
  // Builds the layout from fields_json_ into list_.
  void ApplyFields();

  Place place_ = Place::kDocument;
  Key key_ = Key::kOther;
  std::string other_key_;  // the name, when key_ is kOther
  std::vector<std::pair<std::string, std::string>> extra_keys_;  // in the order read
  int skip_depth_ = 0;  // > 0 inside a value that is passed over
  bool building_ = false;
  JsonValueBuilder builder_;

  std::string syntax_error_;
  bool top_is_object_ = true;
  bool has_format_ = false, has_version_ = false, has_fields_ = false;
  nlohmann::json format_, version_, fields_json_;

  bool second_pass_ = false;
  bool fields_ready_ = false;  // list_ has the fields and records can be checked
  Status fields_error_;
  bool fields_after_records_ = false;

  bool records_present_ = false;
  bool records_is_array_ = false;
  size_t record_number_ = 0;   // of the current record, from 1
  std::string record_fault_;   // the first fault among the records
  std::vector<RawValue> raw_;  // the current record's values; reused
  size_t raw_count_ = 0;
  RawValue scalar_;  // a value that is not inside a record
  RecordEncoder encoder_;

  Recordset list_;  // the fields, and the records once checked
};

}  // namespace qv

#endif  // QV_PLATFORM_RECORDSET_READER_H_
