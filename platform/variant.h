// Variant: one field value of a recordset.
//
// A value is null, an integer (64-bit), a number (double), text (UTF-8) or a
// truth value. Null, empty text, 0 and false are four different values.
//
// The conversions follow the rules of the control's own scripting language,
// except that they never throw: a conversion that would fail there reports
// the failure through its result instead.
//   - A truth value reads as a number as -1 (true) or 0 (false).
//   - Text reads as a number when, apart from leading and trailing blanks, it
//     is a plain decimal number: an optional sign, digits with an optional
//     fraction, and an optional exponent ("12", " -3.5 ", "1e4"). Anything
//     else, and empty text, is not a number.
//   - Null is neither zero nor non-zero, as a comparison with null is never
//     true.
//
// Variants are plain values and may be copied between threads.
//
// Text: text is UTF-8.
#ifndef QV_PLATFORM_VARIANT_H_
#define QV_PLATFORM_VARIANT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

enum class VariantType { kNull, kInteger, kNumber, kText, kBoolean };

class Variant {
 public:
  // Null.
  Variant() = default;

  static Variant Null() { return Variant(); }
  static Variant Integer(int64_t value);
  static Variant Number(double value);
  static Variant Text(std::string value);
  static Variant Boolean(bool value);

  VariantType type() const { return type_; }
  bool IsNull() const { return type_ == VariantType::kNull; }
  bool IsInteger() const { return type_ == VariantType::kInteger; }
  bool IsNumber() const { return type_ == VariantType::kNumber; }
  bool IsText() const { return type_ == VariantType::kText; }
  bool IsBoolean() const { return type_ == VariantType::kBoolean; }

  // The stored value. Each returns its zero value (0, 0.0, "", false) when
  // the variant holds another type.
  int64_t integer_value() const { return IsInteger() ? integer_ : 0; }
  double number_value() const { return IsNumber() ? number_ : 0.0; }
  const std::string& text_value() const { return text_; }
  bool boolean_value() const { return IsBoolean() && boolean_; }

  // The value as text: "" for null, "True" or "False" for a truth value,
  // numbers in plain decimal notation ("3", "-0.25", "1500000"), the
  // shortest digits that read back as the same number.
  std::string ToText() const;

  // The value as a number. Fails (and stores 0) for null and for text that
  // is not a number.
  bool ToDouble(double* out) const;
  // The value as a number, 0 when ToDouble fails: null counts as 0.
  double ToNumber() const;

  // The value as a 16-bit integer, rounding halves to the even neighbour
  // (2.5 -> 2, 3.5 -> 4). Fails (and stores 0) for null, for text that is
  // not a number, and for values outside -32768..32767 after rounding.
  bool ToInt16(int16_t* out) const;

  // Whether the value is a number equal to 0: 0, 0.0, false or text that
  // reads as 0. Null is not zero.
  bool IsZero() const;
  // Whether the value is present and not zero: any number other than 0,
  // true, and text that is not "0" (also text that is not a number). Null is
  // not non-zero.
  bool IsNonZero() const { return !IsNull() && !IsZero(); }

  // Same type and same value (text compared exactly).
  bool operator==(const Variant& other) const;
  bool operator!=(const Variant& other) const { return !(*this == other); }

 private:
  VariantType type_ = VariantType::kNull;
  int64_t integer_ = 0;
  double number_ = 0.0;
  bool boolean_ = false;
  std::string text_;
};

// Reads text as a plain decimal number (see above); false when it is not one.
bool ParseDecimal(std::string_view text, double* out);

// Plain decimal notation of a number: the shortest digits that read back as
// the same double, never an exponent, "0" for negative zero. Infinities and
// NaN come out as "Infinity", "-Infinity" and "NaN".
std::string FormatDecimal(double value);

}  // namespace qv

#endif  // QV_PLATFORM_VARIANT_H_
