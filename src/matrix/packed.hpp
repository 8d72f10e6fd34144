// Bit-packed rows: the fast form of a matrix whose cells are all 0 or 1 and
// whose rows all have the same length.
//
// On such a matrix both Gauss-Jordan reductions and the kernel agree with
// plain arithmetic over GF(2), so they can run on 64 cells per word.  Each
// packed routine takes the same steps as its byte-wise counterpart
// (reduce.hpp), records the same operations in the same order and returns
// the same cells; the core fuzzer compares the two on every 0/1 input.
//
// Layout (check_layout asserts it in builds with asserts on, the sanitizer
// build among them):
//   - row r lives in slot order_[r]: words order_[r] * words_ .. + words_-1 of
//     bits_, and order_ is a permutation of the slots (an exchange swaps two);
//   - cell c of a row is bit c % 64 of its word c / 64, least significant first;
//   - the bits past the last column in a row's last word (the padding) are
//     zero.  The kernel reads whole words, so a set padding bit would be taken
//     for a column that is not there.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "matrix/matrix.hpp"

namespace quillmat {

class PackedRows {
 public:
  // The packed form of `rows`, or nothing when a cell is above 1, a row's
  // length differs from row 0's, or there are no cells at all.
  static std::optional<PackedRows> pack(const Rows& rows);

  // Reduced row echelon form in place, recording exchanges and additions.
  void gauss_jordan(Operations& operations);
  // One null-space vector per free column of a reduced matrix.
  Rows kernel() const;
  Rows unpack() const;

  // Asserts the layout above (a no-op when NDEBUG is defined).
  void check_layout() const;

 private:
  PackedRows(std::size_t rows, std::size_t columns);
  std::uint64_t* row(std::size_t r) { return &bits_[order_[r] * words_]; }
  const std::uint64_t* row(std::size_t r) const { return &bits_[order_[r] * words_]; }
  bool bit(std::size_t r, std::size_t c) const { return row(r)[c / 64] >> (c % 64) & 1; }

  std::size_t rows_, columns_, words_;
  std::vector<std::uint64_t> bits_;  // words_ words per row; cell c is bit c % 64 of word c / 64
  std::vector<std::size_t> order_;   // row r lives at slot order_[r]: exchanges swap slots
};

// The packed way of Matrix::echelon_form and row_echelon_full_matrix: nothing
// when `rows` does not pack.
std::optional<std::pair<Matrix, Operations>> packed_gauss_jordan(const Rows& rows);
// The packed way of Matrix::kernel, likewise.
std::optional<Rows> packed_kernel(const Rows& rows);

}  // namespace quillmat
