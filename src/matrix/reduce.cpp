// Whole-matrix reduction over GF(2): the two Gauss-Jordan eliminations, the
// rank count and the null-space basis.
#include <algorithm>

#include "matrix/reduce.hpp"

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"
#include "matrix/matrix.hpp"
#include "matrix/operations.hpp"
#include "matrix/packed.hpp"

namespace quillmat {
namespace {

// Exchanges rows a and b of `w` and records the exchange.
void exchange(Matrix& w, Index a, Index b, Operations& operations) {
  if (a == b) return;
  w.swap_rows(a, b);
  record_exchange(operations, a, b);
}

}  // namespace

// Packing is a pre-step: a record it takes goes the packed way, which gives
// exactly what the byte-wise way gives; any other goes the byte-wise way.
std::pair<Matrix, Operations> Matrix::echelon_form() const {
  if (auto reduced = packed_gauss_jordan(elements)) return std::move(*reduced);
  return bytewise_echelon_form(*this);
}

std::pair<Matrix, Operations> Matrix::row_echelon_full_matrix() const {
  if (auto reduced = packed_gauss_jordan(elements)) return std::move(*reduced);
  return bytewise_row_echelon_full_matrix(*this);
}

Rows Matrix::kernel() const {
  if (auto basis = packed_kernel(elements)) return std::move(*basis);
  return bytewise_kernel(*this);
}

std::pair<Matrix, Operations> bytewise_echelon_form(const Matrix& m) {
  Matrix w = m.copy();
  Operations operations;
  const std::size_t rows = m.nrows();
  const std::size_t columns = m.ncols();
  // Invariant: rows 0 .. i-1 hold the pivots found so far, each the only 1 in its column.
  std::size_t i = 0;
  for (std::size_t q = 0; q < columns && i < rows; ++q) {
    std::size_t j = i;
    while (j < rows && checked_at(w.elements[j], q) != 1) ++j;
    interruption_point(rows);
    if (j == rows) continue;  // no pivot in this column
    exchange(w, i, j, operations);
    for (std::size_t k = 0; k < rows; ++k) {
      if (k == i || checked_at(w.elements[k], q) != 1) continue;
      w.add_rows(k, i);
      record_addition(operations, k, i);
      interruption_point(columns);
    }
    ++i;
  }
  return {std::move(w), std::move(operations)};
}

std::pair<Matrix, Operations> bytewise_row_echelon_full_matrix(const Matrix& m) {
  Matrix w = m.copy();
  Operations operations;
  const std::size_t rows = m.nrows();
  const std::size_t columns = m.ncols();
  std::size_t q = 0;  // the pivot column
  for (std::size_t r = 0; r < rows && q < columns; ++r, ++q) {
    // The first non-zero cell at or below row r, moving right past empty columns.
    std::size_t j = r;
    while (checked_at(w.elements[j], q) == 0) {
      if (++j == rows) {
        j = r;
        if (++q == columns) return {std::move(w), std::move(operations)};
      }
    }
    exchange(w, r, j, operations);
    interruption_point(rows);
    for (std::size_t k = 0; k < rows; ++k) {
      if (k == r || checked_at(w.elements[k], q) != 1) continue;
      add_row_low_bits(w.elements[k], w.elements[r], columns);
      record_addition(operations, k, r);
      interruption_point(columns);
    }
  }
  return {std::move(w), std::move(operations)};
}

std::size_t Matrix::rank() const {
  std::vector<bool> taken;  // taken[c]: some row leads in column c
  std::size_t count = 0;
  for (const Row& row : elements) {
    const std::optional<std::size_t> column = leading(row);
    if (!column) continue;
    if (*column >= taken.size()) taken.resize(*column + 1);
    if (!taken[*column]) {
      taken[*column] = true;
      ++count;
    }
  }
  return count;
}

Rows bytewise_kernel(const Matrix& m) {
  const Rows& elements = m.elements;
  const std::size_t rows = m.nrows();
  const std::size_t columns = m.ncols();
  // Pivot detection: the pointer r rests on a row until that row shows a 1 in
  // the column visited; rows are never searched for their leading 1.
  std::vector<IndexPair> pivots;  // (pivot column, its row), in increasing column order
  std::vector<std::size_t> free_columns;
  for (std::size_t c = 0, r = 0; c < columns; ++c) {
    if (r < rows && checked_at(elements[r], c) == 1) {
      pivots.emplace_back(c, r++);
    } else {
      free_columns.push_back(c);
    }
  }
  Rows basis;
  basis.reserve(free_columns.size());
  for (const std::size_t l : free_columns) {
    Row v(columns, 0);
    v[l] = 1;
    // Back-substitution: v[p] is the byte XOR, over every column k != p, of
    // v[k] * cell (r, k).  Pivots are filled in increasing column order, and
    // values filled earlier take part in later sums.  v[p] itself is still 0
    // when its sum is taken, so the sum may run over every column.
    for (const auto& [p, r] : pivots) {
      const Row& row = elements[r];
      // Columns are read from the last down, so the last one is the first missing.
      if (row.size() < columns) index_failure(row.size(), columns - 1);
      Cell s = 0;
      for (std::size_t k = 0; k < columns; ++k) s ^= static_cast<Cell>(v[k] * row[k]);
      v[p] = s;
      interruption_point(columns);
    }
    basis.push_back(std::move(v));
  }
  return basis;
}

}  // namespace quillmat
