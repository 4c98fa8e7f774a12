#include "base/structures/b_tree/numeric_key.h"

#include <bit>
#include <cassert>
#include <cmath>

namespace veldrake {

namespace {

constexpr uint16_t kZeroSignExponent = 0x800;
// S of the largest integers (|v| >= 2^63): 0x800 + 1086.
constexpr uint16_t kTopIntegerSignExponent = 0x800 + 1086;
constexpr uint64_t kLeadingBit = uint64_t{1} << 63;
constexpr uint64_t kFractionMask = (uint64_t{1} << 52) - 1;
constexpr int kFractionShift = 11;  // 63 - 52: moves the double fraction just below bit 63

// Mirrors a positive number's encoding to the negative side (and back): negating reverses the
// order, and 0xfff - S, ~M reverse both fields.
OrderedNumber mirrored(OrderedNumber number) {
  return {static_cast<uint16_t>(0xfff - number.sign_exponent), ~number.mantissa};
}

OrderedNumber encode_integer(int64_t value) {
  if (value == 0) return {kZeroSignExponent, 0};
  // Unsigned negation also gives INT64_MIN its magnitude 2^63.
  const uint64_t magnitude =
      value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const int zeros = std::countl_zero(magnitude);
  const OrderedNumber positive{static_cast<uint16_t>(kTopIntegerSignExponent - zeros),
                               magnitude << zeros};
  return value < 0 ? mirrored(positive) : positive;
}

OrderedNumber encode_float(double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const uint64_t exponent = (bits >> 52) & 0x7ff;
  const uint64_t fraction = bits & kFractionMask;
  if (exponent == 0 && fraction == 0) return {kZeroSignExponent, 0};
  // A subnormal (exponent 0) has no implicit leading 1.
  const uint64_t leading = exponent == 0 ? 0 : kLeadingBit;
  const OrderedNumber positive{static_cast<uint16_t>(kZeroSignExponent + exponent),
                               leading | fraction << kFractionShift};
  return (bits >> 63) != 0 ? mirrored(positive) : positive;
}

}  // namespace

bool NumericKey::is_nan() const {
  return kind() == NumericKind::kFloat && std::isnan(as_float());
}

OrderedNumber NumericKey::number() const {
  return kind() == NumericKind::kInteger ? encode_integer(as_integer()) : encode_float(as_float());
}

NumericKey NumericKey::decode(OrderedNumber number, NumericKind kind) {
  const bool negative = number.sign_exponent < kZeroSignExponent;
  const OrderedNumber positive = negative ? mirrored(number) : number;
  if (kind == NumericKind::kFloat) {
    const uint64_t exponent = positive.sign_exponent - kZeroSignExponent;
    const uint64_t fraction = (positive.mantissa >> kFractionShift) & kFractionMask;
    const uint64_t sign = negative ? kLeadingBit : 0;
    return floating(std::bit_cast<double>(sign | exponent << 52 | fraction));
  }
  if (positive.sign_exponent == kZeroSignExponent) return integer(0);
  assert(positive.sign_exponent > kTopIntegerSignExponent - 64 &&
         positive.sign_exponent <= kTopIntegerSignExponent);
  const uint64_t magnitude =
      positive.mantissa >> (kTopIntegerSignExponent - positive.sign_exponent);
  // Two's-complement wrap turns the magnitude 2^63 back into INT64_MIN.
  return integer(static_cast<int64_t>(negative ? 0 - magnitude : magnitude));
}

}  // namespace veldrake
