// Variant values and their conversions.
#include "platform/variant.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace qv {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Rounds to the nearest integer, halves to the even neighbour.
double RoundHalfEven(double value) {
  const double floor = std::floor(value);
  const double diff = value - floor;
  if (diff < 0.5) return floor;
  if (diff > 0.5) return floor + 1.0;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

}  // namespace

Variant Variant::Integer(int64_t value) {
  Variant v;
  v.type_ = VariantType::kInteger;
  v.integer_ = value;
  return v;
}

Variant Variant::Number(double value) {
  Variant v;
  v.type_ = VariantType::kNumber;
  v.number_ = value;
  return v;
}

Variant Variant::Text(std::string value) {
  Variant v;
  v.type_ = VariantType::kText;
  v.text_ = std::move(value);
  return v;
}

Variant Variant::Boolean(bool value) {
  Variant v;
  v.type_ = VariantType::kBoolean;
  v.boolean_ = value;
  return v;
}

std::string Variant::ToText() const {
  switch (type_) {
    case VariantType::kNull: return "";
    case VariantType::kInteger: return std::to_string(integer_);
    case VariantType::kNumber: return FormatDecimal(number_);
    case VariantType::kText: return text_;
    case VariantType::kBoolean: return boolean_ ? "True" : "False";
  }
  return "";
}

bool Variant::ToDouble(double* out) const {
  *out = 0.0;
  switch (type_) {
    case VariantType::kNull: return false;
    case VariantType::kInteger: *out = static_cast<double>(integer_); return true;
    case VariantType::kNumber: *out = number_; return true;
    case VariantType::kBoolean: *out = boolean_ ? -1.0 : 0.0; return true;
    case VariantType::kText: {
      double value = 0.0;
      if (!ParseDecimal(text_, &value)) return false;
      *out = value;
      return true;
    }
  }
  return false;
}

double Variant::ToNumber() const {
  double value = 0.0;
  return ToDouble(&value) ? value : 0.0;
}

bool Variant::ToInt16(int16_t* out) const {
  *out = 0;
  if (type_ == VariantType::kInteger) {
    if (integer_ < std::numeric_limits<int16_t>::min() ||
        integer_ > std::numeric_limits<int16_t>::max()) {
      return false;
    }
    *out = static_cast<int16_t>(integer_);
    return true;
  }
  double value = 0.0;
  if (!ToDouble(&value) || !std::isfinite(value)) return false;
  const double rounded = RoundHalfEven(value);
  if (rounded < std::numeric_limits<int16_t>::min() ||
      rounded > std::numeric_limits<int16_t>::max()) {
    return false;
  }
  *out = static_cast<int16_t>(rounded);
  return true;
}

bool Variant::IsZero() const {
  double value = 0.0;
  return ToDouble(&value) && value == 0.0;
}

bool Variant::operator==(const Variant& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case VariantType::kNull: return true;
    case VariantType::kInteger: return integer_ == other.integer_;
    case VariantType::kNumber: return number_ == other.number_;
    case VariantType::kText: return text_ == other.text_;
    case VariantType::kBoolean: return boolean_ == other.boolean_;
  }
  return false;
}

bool ParseDecimal(std::string_view text, double* out) {
  *out = 0.0;
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::string_view number = text.substr(begin, end - begin);

  // Check the shape first: from_chars alone would also take "inf" and "nan".
  bool negative = false;
  size_t i = 0;
  if (i < number.size() && (number[i] == '+' || number[i] == '-')) {
    negative = number[i] == '-';
    ++i;
  }
  const size_t digits_start = i;
  size_t digit_count = 0;
  while (i < number.size() && IsDigit(number[i])) ++i, ++digit_count;
  if (i < number.size() && number[i] == '.') {
    ++i;
    while (i < number.size() && IsDigit(number[i])) ++i, ++digit_count;
  }
  if (digit_count == 0) return false;
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    ++i;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < number.size() && IsDigit(number[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  if (i != number.size()) return false;

  const char* first = number.data() + digits_start;
  const char* last = number.data() + number.size();
  double value = 0.0;
  const auto result = std::from_chars(first, last, value);
  if (result.ec != std::errc() || result.ptr != last) return false;
  *out = negative ? -value : value;
  return true;
}

std::string FormatDecimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0.0) return "0";
  // The longest fixed form of a double (the smallest subnormal) takes 326
  // characters.
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value,
                                    std::chars_format::fixed);
  if (result.ec != std::errc()) return "0";
  return std::string(buffer, result.ptr);
}

}  // namespace qv
