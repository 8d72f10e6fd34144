#include "matrix/monomial.hpp"

#include <array>

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"

namespace quillmat {
namespace {

// powers[b][e] = b**e modulo 256, with 0**0 = 1.
constexpr auto powers = [] {
  std::array<std::array<Cell, 10>, 10> table{};
  for (unsigned base = 0; base < 10; ++base) {
    unsigned power = 1;
    for (unsigned exponent = 0; exponent < 10; ++exponent) {
      table[base][exponent] = static_cast<Cell>(power);
      power = (power * base) & 0xff;
    }
  }
  return table;
}();

unsigned digit(char character) {
  const auto value = static_cast<unsigned>(static_cast<unsigned char>(character) - '0');
  if (value > 9) unwrap_failure();  // includes every byte of a non-ASCII character
  return value;
}

// The next Unicode scalar value of valid UTF-8 text, advancing `at`.
char32_t next_code_point(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at++]);
  if (lead < 0x80) return lead;
  const int continuation = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : 1;
  char32_t value = lead & (0x3f >> continuation);
  for (int i = 0; i < continuation && at < text.size(); ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[at++]) & 0x3f);
  }
  return value;
}

}  // namespace

Cell str_ops(std::string_view point, std::string_view exponents) {
  // Up to the first non-ASCII byte of either string, characters are bytes; and
  // the walk fails at that character if it reaches it, so walking bytes is
  // walking characters.
  const std::size_t walked = std::min(point.size(), exponents.size());
  Cell value = 1;
  for (std::size_t i = 0; i < walked; ++i) {
    const unsigned base = digit(point[i]);
    value = static_cast<Cell>(value * powers[base][digit(exponents[i])]);
  }
  return value;
}

bool is_submonomial(std::string_view sub_monom, std::string_view monom) {
  if (sub_monom.size() != monom.size()) {
    equality_failure("The lengths of sub_monom and monom must be equal", sub_monom.size(),
                     monom.size());
  }
  std::size_t i = 0, j = 0;
  while (i < sub_monom.size() && j < monom.size()) {
    if (next_code_point(sub_monom, i) > next_code_point(monom, j)) return false;
  }
  return true;
}

DigitString::DigitString(std::string_view text) : text(text) {
  while (binary < text.size() && binary < 64 && (text[binary] == '0' || text[binary] == '1')) {
    ones |= std::uint64_t{text[binary] == '1'} << binary;
    ++binary;
  }
}

namespace {

std::uint64_t low_bits(std::size_t count) {
  return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

}  // namespace

std::vector<DigitString> read_digit_strings(const Strings& list, std::size_t count) {
  std::vector<DigitString> strings;
  strings.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    interruption_point(1);
    strings.emplace_back(list[i]);
  }
  return strings;
}

Cell evaluate(const DigitString& point, const DigitString& exponents) {
  // Over "0"/"1" the product is 0 exactly where an exponent 1 meets a point 0.
  const std::size_t walked = std::min(point.text.size(), exponents.text.size());
  if (walked <= point.binary && walked <= exponents.binary) {
    return (exponents.ones & ~point.ones & low_bits(walked)) == 0;
  }
  return str_ops(point.text, exponents.text);
}

bool submonomial(const DigitString& sub_monom, const DigitString& monom) {
  if (sub_monom.all_bits() && monom.all_bits() && sub_monom.text.size() == monom.text.size()) {
    return (sub_monom.ones & ~monom.ones) == 0;
  }
  return is_submonomial(sub_monom.text, monom.text);
}

}  // namespace quillmat
