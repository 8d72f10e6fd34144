// Monomials and Boolean functions in n variables.
//
// A monomial is a bit mask: bit i stands for x_i, so 0b101 is x0*x2 (the
// exponent string "101").  A point of the cube is a mask in the same way,
// and monomial m is 1 at point x exactly when m is a subset of x.
//
// The canonical order of monomials, used for every list and basis the
// engine returns, is by degree, then in the lexicographic order of the
// variable indices: 1, x0, x1, ..., x0*x1, x0*x2, ..., x1*x2, ...  It is
// the order of itertools.combinations(range(n), degree).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/bit_matrix.hpp"

namespace quillmat::engine {

using Mask = std::uint32_t;
// The most variables a truth table may have: points and monomials fit in a Mask.
inline constexpr int max_variables = 30;

std::uint64_t binomial(int n, int k);
// D_d: the number of monomials of degree at most d.
std::uint64_t monomials_up_to_count(int n, int d);
// Every monomial of degree at most d, in canonical order.
std::vector<Mask> monomials_up_to(int n, int d);

// Points and monomials of up to 64 variables, for point sets given point by
// point (engine/vanishing.hpp) rather than as a truth table.
using WideMask = std::uint64_t;
inline constexpr int max_wide_variables = 64;
std::vector<WideMask> wide_monomials_up_to(int n, int d);

inline int degree(Mask m) {
  return __builtin_popcount(m);
}

// A Boolean function of n variables as its truth table: bit x is f(x), where
// variable x_i is bit i of x.  The bits past 2**n in the last word are zero.
class TruthTable {
 public:
  TruthTable(int n, std::vector<Word> bits);
  int variables() const noexcept { return n_; }
  std::uint64_t points() const noexcept { return std::uint64_t{1} << n_; }
  bool at(std::uint64_t x) const noexcept { return bits_[x / word_bits] >> (x % word_bits) & 1; }
  std::uint64_t weight() const noexcept;
  // Entry w: the points of weight w where f is 1.
  const std::vector<std::uint64_t>& weight_profile() const noexcept { return profile_; }
  TruthTable complement() const;
  const std::vector<Word>& bits() const noexcept { return bits_; }

 private:
  int n_;
  std::vector<Word> bits_;
  std::vector<std::uint64_t> profile_;
};

}  // namespace quillmat::engine
