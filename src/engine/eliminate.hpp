// Gaussian elimination over GF(2) on bit-packed matrices.
//
// The elimination goes through the columns in panels of 256.  In each panel
// it finds the pivots by reducing copies of the rows' panel words against the
// pivots found so far (rarely more rows than pivots need be read), and
// records, for every pivot, which of the panel's original pivot rows sum to
// it.  Every other row then needs the sum of the original pivot rows that its
// own panel bits select, and every pivot row the sum that makes it its
// reduced self: one product with the pivot rows, done the Four Russians way,
// with tables of all 256 sums of 8 pivot rows, a tile of columns at a time so
// that the tables stay in cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"

namespace quillmat::engine {

enum class Form {
  echelon,  // rows 0 .. rank-1 lead with their pivots, in increasing columns; the rest are zero
  reduced,  // the same, with each pivot column zero but for its pivot (reduced row echelon form)
};

struct Echelon {
  std::size_t rank = 0;
  // Column of the leading 1 of rows 0 .. rank-1, increasing: the column rank
  // profile (the first non-zero column, then each column independent of those before).
  std::vector<std::uint32_t> pivots;
};

// Brings `matrix` to the form asked, with up to control.threads() threads.
// Cancelled leaves it in some state between the two: a matrix the caller
// discards.
Echelon echelonize(BitMatrix& matrix, Form form, Control& control);
// The same on rows 0 .. rows-1 only; the others stay as they are.
Echelon echelonize(BitMatrix& matrix, std::size_t rows, Form form, Control& control);

// The rank of `matrix`, which it overwrites.
std::size_t rank_of(BitMatrix& matrix, Control& control);

}  // namespace quillmat::engine
