#include "matrix/matrix.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "matrix/failure.hpp"

namespace quillmat {

std::optional<std::size_t> leading(const Row& row) {
  // An empty row's data() may be null: memchr(nullptr, 1, 0) is undefined.
  if (row.empty()) return std::nullopt;
  const void* one = std::memchr(row.data(), 1, row.size());
  if (one == nullptr) return std::nullopt;
  return static_cast<std::size_t>(static_cast<const Cell*>(one) - row.data());
}

std::string Matrix::repr() const {
  std::string text = "[";
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i != 0) text += ", ";
    text += '[';
    for (std::size_t j = 0; j < elements[i].size(); ++j) {
      if (j != 0) text += ", ";
      char digits[4];
      auto end = std::to_chars(digits, digits + sizeof digits, elements[i][j]).ptr;
      text.append(digits, end);
    }
    text += ']';
  }
  text += ']';
  return text;
}

void Matrix::add_rows(Index target, Index source) {
  const std::size_t n = ncols();
  if (n == 0) return;  // no row is even looked at
  // Column by column the checks run: source row, source cell, target row,
  // target cell.  The row checks meet at column 0; a short row meets its
  // first missing column.  Finding that column first leaves no half-added row.
  const Row& from = checked_at(elements, source);
  if (from.empty()) index_failure(0, 0);
  Row& to = checked_at(elements, target);
  if (const std::size_t reach = std::min(from.size(), to.size()); reach < n) {
    index_failure(from.size() == reach ? from.size() : to.size(), reach);
  }
  // `from` and `to` may be the same row: then its first n cells become 0.
  const Cell* in = from.data();
  Cell* out = to.data();
  for (std::size_t i = 0; i < n; ++i) out[i] ^= in[i];
}

void Matrix::swap_rows(Index row1, Index row2) {
  Row& first = checked_at(elements, row1);
  Row& second = checked_at(elements, row2);
  first.swap(second);
}

bool Matrix::is_zero_row(Index row) const {
  const Row& cells = checked_at(elements, row);
  return std::all_of(cells.begin(), cells.end(), [](Cell cell) { return cell == 0; });
}

void Matrix::append_column(Row v) {
  if (v.size() < elements.size()) index_failure(v.size(), v.size());
  // Room for the new cell in every row first, so that running out of memory
  // leaves every row as it was; the pushes below then cannot fail.
  for (Row& row : elements) {
    if (row.size() == row.capacity())
      row.reserve(row.size() + std::max<std::size_t>(row.size() / 2, 8));
  }
  for (std::size_t i = 0; i < elements.size(); ++i) elements[i].push_back(v[i]);
}

Matrix Matrix::get_sub_matrix(Index start, Index end) const {
  if (end < start) slice_order_failure(start, end);
  if (end > elements.size()) slice_end_failure(end, elements.size());
  return Matrix{Rows(elements.begin() + static_cast<std::ptrdiff_t>(start),
                     elements.begin() + static_cast<std::ptrdiff_t>(end))};
}

}  // namespace quillmat
