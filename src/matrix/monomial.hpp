// Monomials as exponent strings, points as point strings.
//
// A point string gives each variable's value and an exponent string each
// variable's exponent, one decimal digit character per variable.  Strings are
// UTF-8; a character outside ASCII is never a digit.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "matrix/matrix.hpp"

namespace quillmat {

// The monomial `exponents` evaluated at `point`: the product, modulo 256, of
// each point digit raised to the paired exponent digit (0**0 = 1).  The walk
// pairs characters position by position and ends with the shorter string;
// within it, the point's character must be a digit, then the exponent's.
Cell str_ops(std::string_view point, std::string_view exponents);

// Whether `sub_monom` divides `monom`: strings of equal byte length compared
// character by character as code points, false at the first position where
// the character of `sub_monom` is greater.
bool is_submonomial(std::string_view sub_monom, std::string_view monom);

// A point or exponent string read once, so that evaluating it against many
// others takes a few bit operations when both hold only "0" and "1".  It
// views the text, which must outlive it.
struct DigitString {
  explicit DigitString(std::string_view text);
  // Every character is "0" or "1" (and there are at most 64): `ones` is the whole text.
  bool all_bits() const noexcept { return binary == text.size(); }

  std::string_view text;
  std::uint64_t ones = 0;  // bit i: character i is "1", for the first 64 characters
  std::size_t binary = 0;  // leading characters that are "0" or "1", counted up to 64
};

// The first `count` strings of `list`, read.
std::vector<DigitString> read_digit_strings(const Strings& list, std::size_t count);

// str_ops(point.text, exponents.text): by bit operations where both are
// "0"/"1" over the positions walked, else by str_ops itself.
Cell evaluate(const DigitString& point, const DigitString& exponents);
// is_submonomial(sub_monom.text, monom.text), likewise.
bool submonomial(const DigitString& sub_monom, const DigitString& monom);

}  // namespace quillmat
