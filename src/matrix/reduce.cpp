// Whole-matrix reduction over GF(2): the two Gauss-Jordan eliminations, the
// rank count and the null-space basis.
#include <algorithm>

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"
#include "matrix/matrix.hpp"
#include "matrix/packed.hpp"

namespace quillmat {
namespace {

// Exchanges rows a and b of `w` and records it as the three additions that
// exchange two 0/1 entries: (a, b), (b, a), (a, b).  A row is never recorded
// as exchanged with itself.
void exchange(Matrix& w, Index a, Index b, Operations& operations) {
  if (a == b) return;
  w.swap_rows(a, b);
  operations.insert(operations.end(), {{a, b}, {b, a}, {a, b}});
}

// Row k += row r over the first `n` cells, keeping the lowest bit of each byte
// sum.  The checks read the target cell before the pivot cell.
void add_row_low_bits(Row& k, const Row& r, std::size_t n) {
  if (const std::size_t reach = std::min(k.size(), r.size()); reach < n) {
    index_failure(k.size() == reach ? k.size() : r.size(), reach);
  }
  Cell* out = k.data();
  const Cell* in = r.data();
  for (std::size_t c = 0; c < n; ++c) out[c] = static_cast<Cell>((out[c] + in[c]) & 1);
}

// On 0/1 cells in rows of one length both reductions are plain Gauss-Jordan
// over GF(2): the packed form takes the same steps 64 cells at a time.
std::optional<std::pair<Matrix, Operations>> packed_reduction(const Rows& rows) {
  std::optional<PackedRows> packed = PackedRows::pack(rows);
  if (!packed) return std::nullopt;
  Operations operations;
  packed->gauss_jordan(operations);
  return std::pair{Matrix{packed->unpack()}, std::move(operations)};
}

}  // namespace

std::pair<Matrix, Operations> Matrix::echelon_form() const {
  if (auto reduced = packed_reduction(elements)) return std::move(*reduced);
  Matrix w = copy();
  Operations operations;
  const std::size_t rows = nrows();
  const std::size_t columns = ncols();
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
      operations.emplace_back(k, i);
      interruption_point(columns);
    }
    ++i;
  }
  return {std::move(w), std::move(operations)};
}

std::pair<Matrix, Operations> Matrix::row_echelon_full_matrix() const {
  if (auto reduced = packed_reduction(elements)) return std::move(*reduced);
  Matrix w = copy();
  Operations operations;
  const std::size_t rows = nrows();
  const std::size_t columns = ncols();
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
      operations.emplace_back(k, r);
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

Rows Matrix::kernel() const {
  if (auto packed = PackedRows::pack(elements)) return packed->kernel();
  const std::size_t rows = nrows();
  const std::size_t columns = ncols();
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
