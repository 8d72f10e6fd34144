// The annihilator system of one side as a black box: products by it and by
// its transpose, with the system never stored.
//
// The direct system M of Ann_d(s) has a row per point x of the support of s
// and a column per monomial m of degree <= d (canonical order), with
// M[x][m] = 1 exactly when m is inside x: M g is g's values on the support,
// so g is an annihilator exactly when M g = 0.  On a vector of words (64
// vectors over GF(2) side by side):
//   - M g is the Moebius transform of g, placed at its monomials, read at
//     the support: value(x) = sum of g(m) over the m inside x;
//   - M^T y is the superset-sum transform of y, placed at the support, read
//     at the monomials: (M^T y)(m) = sum of y(x) over the x holding m.
// Each costs about n 2^(n-1) word operations over a buffer of 2^n words, the
// only memory that grows with n besides the two vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

class DirectSystem {
 public:
  DirectSystem(const TruthTable& s, int d);

  int variables() const noexcept { return n_; }
  int degree() const noexcept { return d_; }
  std::size_t rows() const noexcept { return support_.size(); }
  std::size_t cols() const noexcept { return monomials_.size(); }
  // The monomials of the columns, in canonical order.
  const std::vector<Mask>& monomials() const noexcept { return monomials_; }

  // y = M x: x has cols() words, y rows().
  void apply(const Word* x, Word* y, Control& control);
  // x = M^T y: y has rows() words, x cols().
  void apply_transpose(const Word* y, Word* x, Control& control);

  // The bytes a system of s at degree d holds: the index of its rows and
  // columns and the transform's buffer.
  static std::uint64_t memory(const TruthTable& s, int d);

 private:
  int n_, d_;
  std::vector<Mask> support_;
  std::vector<Mask> monomials_;
  WordBlock buffer_;  // 2^n words
};

// Transforms of a buffer of 2^n words, in place, split among the threads of
// `control`: the Moebius transform (the sum over the subsets of each point)
// and its transpose (over the supersets).
void subset_sum_transform(Word* values, int n, Control& control);
void superset_sum_transform(Word* values, int n, Control& control);

}  // namespace quillmat::engine
