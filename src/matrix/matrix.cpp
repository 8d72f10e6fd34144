#include "matrix/matrix.hpp"

#include <charconv>

#include "matrix/failure.hpp"

namespace quillmat {

Cell Matrix::get(Index row, Index col) const { return checked_at(checked_at(elements, row), col); }

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

}  // namespace quillmat
