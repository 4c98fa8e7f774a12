// A numeric attribute value (a 64-bit integer or a double) and its order-preserving encoding.
//
// Integers and floats are compared as exact numbers: 1 == 1.0, and the integer 2^53 + 1 sorts
// above the float 2^53 (no integer is ever rounded through double). The encoding is a 76-bit
// unsigned number whose order is the numeric order:
//
//   S (12 bits): 0x800 + E for a positive number, 0x7ff - E for a negative one, 0x800 for zero;
//   M (64 bits): the significand with its leading 1 at bit 63; replaced by ~M when negative.
//
// E is the double exponent field (bias 1023), extended to integers: an integer with z leading
// zero bits has its top bit at 2^(63 - z), so E = 1023 + 63 - z = 1086 - z and M = |v| << z.
// Both kinds thus share one scale, and M keeps every bit of a 64-bit integer.
//
// Subnormal doubles use IEEE's own form: S = 0x800 (0x7ff when negative) and M = fraction << 11
// without the leading 1. They therefore sort between zero and the smallest normal, in order,
// and decode exactly. The only value not recovered bit for bit is -0.0, which encodes like 0
// (they are equal numbers) and decodes as +0.0.
//
// NaN has an encoding (above +inf / below -inf) but the B-tree never stores or compares it.
#pragma once

#include <compare>
#include <cstdint>
#include <variant>

namespace veldrake {

enum class NumericKind : uint8_t { kInteger = 0, kFloat = 1 };

// The encoded number: ordered by sign_exponent, then mantissa.
struct OrderedNumber {
  uint16_t sign_exponent;  // S, 12 bits
  uint64_t mantissa;       // M

  auto operator<=>(const OrderedNumber&) const = default;
};

class NumericKey {
 public:
  // An integer key.
  static NumericKey integer(int64_t value) { return NumericKey(value); }
  // A float key.
  static NumericKey floating(double value) { return NumericKey(value); }
  // The key of `kind` whose encoding is `number` (exact inverse of number()).
  static NumericKey decode(OrderedNumber number, NumericKind kind);

  // Integer or float.
  NumericKind kind() const { return static_cast<NumericKind>(value_.index()); }
  // The value of an integer key.
  int64_t as_integer() const { return std::get<int64_t>(value_); }
  // The value of a float key.
  double as_float() const { return std::get<double>(value_); }
  // Whether this is a float NaN.
  bool is_nan() const;
  // The order-preserving encoding of the value.
  OrderedNumber number() const;

  // Same kind and same value (so -0.0 == 0.0, and NaN equals nothing).
  bool operator==(const NumericKey&) const = default;

 private:
  explicit NumericKey(std::variant<int64_t, double> value) : value_(value) {}

  std::variant<int64_t, double> value_;
};

}  // namespace veldrake
