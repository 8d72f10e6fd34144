// The byte-wise whole-matrix reductions, on any record.
//
// Matrix::echelon_form, row_echelon_full_matrix and kernel go the packed way
// (packed.hpp) when the record packs, and these ways otherwise; on a record
// that packs, both ways give exactly the same cells and operations.
#pragma once

#include <utility>

#include "matrix/matrix.hpp"

namespace quillmat {

std::pair<Matrix, Operations> bytewise_echelon_form(const Matrix& m);
std::pair<Matrix, Operations> bytewise_row_echelon_full_matrix(const Matrix& m);
Rows bytewise_kernel(const Matrix& m);

}  // namespace quillmat
