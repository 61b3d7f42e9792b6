// RecordStore: records encoded one after another in shared blocks.
#include "platform/record_store.h"

#include <algorithm>
#include <cstring>

namespace qv {

namespace {

// The type byte that starts each value.
enum Tag : uint8_t { kNull, kFalse, kTrue, kInteger, kNumber, kText };

// Blocks start small, so that a short list stays small, and grow to this.
constexpr size_t kFirstBlock = 4096;
constexpr size_t kLargestBlock = 1 << 20;
constexpr int kOffsetBits = 40;

uint64_t ZigZag(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

int64_t UnZigZag(uint64_t value) {
  return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

uint64_t ReadVarint(const char** at, const char* end) {
  uint64_t value = 0;
  for (int shift = 0; *at < end && shift < 64; shift += 7) {
    const uint8_t byte = static_cast<uint8_t>(*(*at)++);
    value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) break;
  }
  return value;
}

// Reads the value at *at and moves past it. A damaged or missing value
// reads as null at the end.
ValueView ReadValue(const char** at, const char* end) {
  ValueView view;
  if (*at >= end) return view;
  switch (static_cast<uint8_t>(*(*at)++)) {
    case kFalse:
      view.type = VariantType::kBoolean;
      break;
    case kTrue:
      view.type = VariantType::kBoolean;
      view.boolean = true;
      break;
    case kInteger:
      view.type = VariantType::kInteger;
      view.integer = UnZigZag(ReadVarint(at, end));
      break;
    case kNumber:
      if (end - *at < static_cast<ptrdiff_t>(sizeof(double))) {
        *at = end;
        break;
      }
      view.type = VariantType::kNumber;
      std::memcpy(&view.number, *at, sizeof(double));
      *at += sizeof(double);
      break;
    case kText: {
      const uint64_t length = ReadVarint(at, end);
      const size_t take = static_cast<size_t>(std::min<uint64_t>(length, end - *at));
      view.type = VariantType::kText;
      view.text = std::string_view(*at, take);
      *at += take;
      break;
    }
    default:
      break;
  }
  return view;
}

}  // namespace

Variant ValueView::ToVariant() const {
  switch (type) {
    case VariantType::kNull:
      return Variant::Null();
    case VariantType::kInteger:
      return Variant::Integer(integer);
    case VariantType::kNumber:
      return Variant::Number(number);
    case VariantType::kText:
      return Variant::Text(std::string(text));
    case VariantType::kBoolean:
      return Variant::Boolean(boolean);
  }
  return Variant::Null();
}

// ---- RecordEncoder ----------------------------------------------------------

void RecordEncoder::AddVarint(uint64_t value) {
  while (value >= 0x80) {
    bytes_.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  bytes_.push_back(static_cast<char>(value));
}

void RecordEncoder::AddNull() { bytes_.push_back(static_cast<char>(kNull)); }

void RecordEncoder::AddBoolean(bool value) {
  bytes_.push_back(static_cast<char>(value ? kTrue : kFalse));
}

void RecordEncoder::AddInteger(int64_t value) {
  bytes_.push_back(static_cast<char>(kInteger));
  AddVarint(ZigZag(value));
}

void RecordEncoder::AddNumber(double value) {
  bytes_.push_back(static_cast<char>(kNumber));
  char raw[sizeof(double)];
  std::memcpy(raw, &value, sizeof(double));
  bytes_.append(raw, sizeof(double));
}

void RecordEncoder::AddText(std::string_view value) {
  bytes_.push_back(static_cast<char>(kText));
  AddVarint(value.size());
  bytes_.append(value);
}

void RecordEncoder::Add(const Variant& value) {
  switch (value.type()) {
    case VariantType::kNull:
      AddNull();
      return;
    case VariantType::kInteger:
      AddInteger(value.integer_value());
      return;
    case VariantType::kNumber:
      AddNumber(value.number_value());
      return;
    case VariantType::kText:
      AddText(value.text_value());
      return;
    case VariantType::kBoolean:
      AddBoolean(value.boolean_value());
      return;
  }
}

// ---- RecordStore --------------------------------------------------------------

RecordStore::RecordStore(const RecordStore& other) : starts_(other.starts_) {
  blocks_.reserve(other.blocks_.size());
  for (const Block& from : other.blocks_) {
    Block block;
    block.data.reset(new char[std::max<size_t>(from.used, 1)]);
    std::memcpy(block.data.get(), from.data.get(), from.used);
    block.used = block.capacity = from.used;
    blocks_.push_back(std::move(block));
  }
}

RecordStore& RecordStore::operator=(const RecordStore& other) {
  if (this != &other) *this = RecordStore(other);
  return *this;
}

void RecordStore::Append(const RecordEncoder& record) {
  const std::string& bytes = record.bytes();
  if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < bytes.size()) {
    const size_t grown =
        blocks_.empty() ? kFirstBlock : std::min(blocks_.back().capacity * 2, kLargestBlock);
    Block block;
    block.capacity = std::max(grown, bytes.size());
    block.data.reset(new char[block.capacity]);
    blocks_.push_back(std::move(block));
  }
  Block& block = blocks_.back();
  starts_.push_back((static_cast<uint64_t>(blocks_.size() - 1) << kOffsetBits) | block.used);
  std::memcpy(block.data.get() + block.used, bytes.data(), bytes.size());
  block.used += bytes.size();
}

void RecordStore::Clear() {
  blocks_.clear();
  starts_.clear();
}

const char* RecordStore::Start(size_t record, const char** end) const {
  const uint64_t start = starts_[record];
  const size_t block_index = static_cast<size_t>(start >> kOffsetBits);
  const Block& block = blocks_[block_index];
  const char* data = block.data.get();
  *end = data + block.used;
  if (record + 1 < starts_.size() &&
      static_cast<size_t>(starts_[record + 1] >> kOffsetBits) == block_index) {
    *end = data + (starts_[record + 1] & ((uint64_t{1} << kOffsetBits) - 1));
  }
  return data + (start & ((uint64_t{1} << kOffsetBits) - 1));
}

ValueView RecordStore::Get(size_t record, size_t field) const {
  const char* end = nullptr;
  const char* at = Start(record, &end);
  for (size_t i = 0; i < field; ++i) ReadValue(&at, end);
  return ReadValue(&at, end);
}

void RecordStore::GetAll(size_t record, size_t count, std::vector<ValueView>* values) const {
  values->clear();
  const char* end = nullptr;
  const char* at = Start(record, &end);
  for (size_t i = 0; i < count; ++i) values->push_back(ReadValue(&at, end));
}

}  // namespace qv
