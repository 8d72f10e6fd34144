// Operations lists: what the reductions record and the builders replay.
//
// An operations list is the record of a reduction, in the order of its
// steps: a pair (target, source) means "row target += row source" over
// GF(2).  An exchange of two different rows a and b is recorded as the three
// additions (a, b), (b, a), (a, b), which exchange two 0/1 entries; an
// exchange of a row with itself is never recorded.  Replaying a list on a
// column of 0/1 entries moves them as the reduction moved the rows.
#pragma once

#include <cstddef>

#include "matrix/matrix.hpp"

namespace quillmat {

inline void record_addition(Operations& operations, Index target, Index source) {
  operations.emplace_back(target, source);
}

// Nothing when a == b.
inline void record_exchange(Operations& operations, Index a, Index b) {
  if (a == b) return;
  operations.insert(operations.end(), {{a, b}, {b, a}, {a, b}});
}

// Replays the pairs on a column, in order: entry target becomes the lowest
// bit of entry target + entry source.  Each pair checks target against the
// column's length, then source.
Row apply_operations(const Operations& operations, Row column);

// Row k += row r over the first n cells, keeping the lowest bit of each byte
// sum.  Checks both rows reach n cells first, naming the shorter row's
// length (k's when they are equal) and the first missing column; nothing
// changes when they do not.
void add_row_low_bits(Row& k, const Row& r, std::size_t n);

}  // namespace quillmat
