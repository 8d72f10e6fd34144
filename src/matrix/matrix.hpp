// The Matrix record: a dense matrix over GF(2), one byte per cell.
//
// Cells are meant to hold 0 and 1, but nothing enforces it: a record may have
// no rows, empty rows, rows of unequal length and cells from 0 to 255.  Each
// operation says how it treats such records.  Row i is elements[i]; cell
// (i, j) is byte j of row i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "matrix/failure.hpp"

namespace quillmat {

using Cell = std::uint8_t;
using Row = std::vector<Cell>;
using Rows = std::vector<Row>;
using Index = std::size_t;
using IndexPair = std::pair<Index, Index>;
using Strings = std::vector<std::string>;
// (target, source) pairs: row target becomes target + source over GF(2).
using Operations = std::vector<IndexPair>;

struct Matrix {
  Rows elements;

  std::size_t nrows() const noexcept { return elements.size(); }
  // The length of row 0; the other rows are not looked at.
  std::size_t ncols() const noexcept { return elements.empty() ? 0 : elements[0].size(); }

  // Row `row` is bounded by the number of rows, `col` by that row's own length.
  Cell get(Index row, Index col) const { return checked_at(checked_at(elements, row), col); }
  Matrix copy() const { return *this; }
  const Rows& to_list() const noexcept { return elements; }
  // "[[1, 0, 1], [0, 1, 1]]": the text of the equivalent Python list of lists.
  std::string repr() const;

  // --- Editing (matrix.cpp) ---

  // Row `target` += row `source` by byte XOR over the first ncols() cells.
  // Either the whole addition happens or, when a row is missing or too short,
  // it fails with the text the column-by-column checks would meet first and
  // nothing changes.
  void add_rows(Index target, Index source);
  // Exchanges the row handles; no cell is copied.
  void swap_rows(Index row1, Index row2);
  bool is_zero_row(Index row) const;
  void append_row(Row v) { elements.push_back(std::move(v)); }
  // Row i gets v[i] at its end; entries beyond the last row are ignored.  A
  // `v` shorter than the number of rows fails before any row changes.
  void append_column(Row v);
  // Rows start .. end-1, copied whole.
  Matrix get_sub_matrix(Index start, Index end) const;

  // --- Reduction (reduce.cpp) ---

  // Gauss-Jordan on a copy: pivots are cells equal to 1, additions byte XOR.
  std::pair<Matrix, Operations> echelon_form() const;
  // Gauss-Jordan on a copy: pivots are non-zero cells, additions keep the
  // lowest bit of the byte sum over the first row's length.
  std::pair<Matrix, Operations> row_echelon_full_matrix() const;
  // A copy whose new last row is worked into the rows above, which are
  // cleared of its pivot columns; "inverting" is printed at each exchange of
  // the main loop.
  std::pair<Matrix, Operations> reduced_echelon_form_last_row() const;
  // The simpler variant: echelon form without clearing, and no output.
  std::pair<Matrix, Operations> echelon_form_last_row_dep() const;
  // The number of distinct leading columns (the rank of an echelon form).
  std::size_t rank() const;
  // A null-space basis of a reduced matrix: one vector per free column.
  Rows kernel() const;

  // --- Evaluation matrices (evaluation.cpp) ---
  // Row r, column c holds monomial c evaluated at point r (str_ops).

  static Rows compute_vandermonde(const Strings& support, const Strings& monomials);
  // A copy grown by one evaluated row per point.
  Matrix fill_rows(const Strings& support_slice, const Strings& monom_slice) const;
  // A copy grown by the column of `monom` at the first nrows() points,
  // replayed through `operations`.
  Matrix construct_and_add_column(const Strings& support, const std::string& monom,
                                  const Operations& operations) const;
  // A copy of an idx x idx matrix grown to (idx + 1) x (idx + 1): the last
  // monomial at points 0 .. idx-1, replayed through `operations`, as a new
  // column; monomials 0 .. idx at the last point as a new row.
  Matrix compute_next(const Strings& monom_slice, const Strings& support_slice, Index idx,
                      const Operations& operations) const;
};

// The first column of `row` holding exactly 1, if any: the row's leading
// position in an echelon form.
std::optional<std::size_t> leading(const Row& row);

}  // namespace quillmat
