#include "matrix/operations.hpp"

#include <algorithm>

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"

namespace quillmat {

Row apply_operations(const Operations& operations, Row column) {
  const std::size_t length = column.size();
  for (const auto& [target, source] : operations) {
    interruption_point(1);
    if (target >= length) index_failure(length, target);
    if (source >= length) index_failure(length, source);
    column[target] = static_cast<Cell>((column[target] + column[source]) & 1);
  }
  return column;
}

void add_row_low_bits(Row& k, const Row& r, std::size_t n) {
  if (const std::size_t reach = std::min(k.size(), r.size()); reach < n) {
    index_failure(k.size() == reach ? k.size() : r.size(), reach);
  }
  Cell* out = k.data();
  const Cell* in = r.data();
  for (std::size_t c = 0; c < n; ++c) out[c] = static_cast<Cell>((out[c] + in[c]) & 1);
}

}  // namespace quillmat
