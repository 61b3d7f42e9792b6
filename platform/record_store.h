// RecordStore: the records of a Recordset, kept compactly.
//
// An install list can hold hundreds of thousands of records of about ten
// values each, most of them short texts. A value of its own (a Variant, with
// room for every type and a text that may need a heap block) costs several
// times the value itself. Here each record is encoded once, its values one
// after another (a type byte; a varint for integers and text lengths, eight
// bytes for numbers; the text's bytes), in large shared blocks, so that a
// record costs about its text and a few bytes a value, and no allocation of
// its own.
//
// The store knows nothing of fields: a record is read back by the position
// of its value, and a caller that asks for a value past the record's last
// one gets null. Values are read as views into the store, valid until the
// store next changes.
//
// A RecordStore is a plain value owned by one thread; copies are independent.
//
// Text: text values are UTF-8.
#ifndef QV_PLATFORM_RECORD_STORE_H_
#define QV_PLATFORM_RECORD_STORE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/variant.h"

namespace qv {

// One stored value, its text not copied.
struct ValueView {
  VariantType type = VariantType::kNull;
  int64_t integer = 0;    // kInteger
  double number = 0.0;    // kNumber
  bool boolean = false;   // kBoolean
  std::string_view text;  // kText

  Variant ToVariant() const;
};

// The values of one record, encoded; reused from record to record.
class RecordEncoder {
 public:
  void Clear() { bytes_.clear(); }
  void AddNull();
  void AddBoolean(bool value);
  void AddInteger(int64_t value);
  void AddNumber(double value);
  void AddText(std::string_view value);
  void Add(const Variant& value);

  const std::string& bytes() const { return bytes_; }

 private:
  void AddVarint(uint64_t value);

  std::string bytes_;
};

class RecordStore {
 public:
  RecordStore() = default;
  RecordStore(const RecordStore& other);
  RecordStore& operator=(const RecordStore& other);
  RecordStore(RecordStore&&) noexcept = default;
  RecordStore& operator=(RecordStore&&) noexcept = default;

  size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }

  // Appends the record encoded in record.
  void Append(const RecordEncoder& record);
  void Clear();

  // The value at position field of record (null past its last value).
  // REQUIRES: record < size().
  ValueView Get(size_t record, size_t field) const;
  // The first count values of record, in order (null past its last value).
  void GetAll(size_t record, size_t count, std::vector<ValueView>* values) const;

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    size_t used = 0;
    size_t capacity = 0;
  };

  // Where record starts and where its block's bytes end.
  const char* Start(size_t record, const char** end) const;

  std::vector<Block> blocks_;
  // Per record: its block in the high 24 bits, its offset there in the low 40.
  std::vector<uint64_t> starts_;
};

}  // namespace qv

#endif  // QV_PLATFORM_RECORD_STORE_H_
