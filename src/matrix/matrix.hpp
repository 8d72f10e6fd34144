// The Matrix record: a dense matrix over GF(2), one byte per cell.
//
// Cells are meant to hold 0 and 1, but nothing enforces it: a record may have
// no rows, empty rows, rows of unequal length and cells from 0 to 255.  Each
// operation says how it treats such records.  Row i is elements[i]; cell
// (i, j) is byte j of row i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillmat {

using Cell = std::uint8_t;
using Row = std::vector<Cell>;
using Rows = std::vector<Row>;
using Index = std::size_t;
using IndexPair = std::pair<Index, Index>;
// (target, source) pairs: row target becomes target + source over GF(2).
using Operations = std::vector<IndexPair>;

struct Matrix {
  Rows elements;

  std::size_t nrows() const noexcept { return elements.size(); }
  // The length of row 0; the other rows are not looked at.
  std::size_t ncols() const noexcept { return elements.empty() ? 0 : elements[0].size(); }

  // Row `row` is bounded by the number of rows, `col` by that row's own length.
  Cell get(Index row, Index col) const;
  Matrix copy() const { return *this; }
  const Rows& to_list() const noexcept { return elements; }
  // "[[1, 0, 1], [0, 1, 1]]": the text of the equivalent Python list of lists.
  std::string repr() const;
};

}  // namespace quillmat
