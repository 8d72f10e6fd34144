// Evaluation matrices: monomials evaluated at points, as rows and columns.
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"
#include "matrix/matrix.hpp"
#include "matrix/monomial.hpp"
#include "matrix/operations.hpp"

namespace quillmat {
namespace {

// The row of `point` against every exponent string, made at its exact length.
Row evaluate_row(const DigitString& point, const std::vector<DigitString>& monomials) {
  interruption_point(monomials.size() + 1);
  Row row(monomials.size());
  for (std::size_t c = 0; c < monomials.size(); ++c) row[c] = evaluate(point, monomials[c]);
  return row;
}

// The last entry of a list; an empty list fails as an index 0 - 1 would.
const std::string& last(const Strings& list) {
  if (list.empty()) index_failure(0, std::numeric_limits<std::size_t>::max());
  return list.back();
}

}  // namespace

Rows Matrix::compute_vandermonde(const Strings& support, const Strings& monomials) {
  const std::vector<DigitString> exponents = read_digit_strings(monomials, monomials.size());
  Rows rows;
  rows.reserve(support.size());
  for (const std::string& point : support)
    rows.push_back(evaluate_row(DigitString(point), exponents));
  return rows;
}

Matrix Matrix::fill_rows(const Strings& support_slice, const Strings& monom_slice) const {
  Matrix grown = copy();
  const std::vector<DigitString> exponents = read_digit_strings(monom_slice, monom_slice.size());
  for (const std::string& point : support_slice) {
    grown.append_row(evaluate_row(DigitString(point), exponents));
  }
  return grown;
}

Matrix Matrix::construct_and_add_column(const Strings& support, const std::string& monom,
                                        const Operations& operations) const {
  Matrix grown = copy();
  const DigitString exponents(monom);
  Row column(nrows());
  for (std::size_t i = 0; i < column.size(); ++i) {
    interruption_point(1);
    column[i] = evaluate(DigitString(checked_at(support, i)), exponents);
  }
  grown.append_column(apply_operations(operations, std::move(column)));
  return grown;
}

Matrix Matrix::compute_next(const Strings& monom_slice, const Strings& support_slice, Index idx,
                            const Operations& operations) const {
  Matrix grown = copy();
  // The new row's idx + 1 cells are reserved before any is computed.
  if (idx >= static_cast<Index>(std::numeric_limits<std::ptrdiff_t>::max())) {
    throw Failure("capacity overflow");
  }
  Row row;
  row.reserve(idx + 1);
  // Every cell of the row pairs the last point with monomial i: an empty
  // support fails at the first cell, before monomial 0 is looked at.
  const DigitString point(last(support_slice));
  for (std::size_t i = 0; i <= idx; ++i) {
    interruption_point(1);
    row.push_back(evaluate(point, DigitString(checked_at(monom_slice, i))));
  }
  // The row read monomial 0, so the monomials are not empty here.
  const DigitString exponents(last(monom_slice));
  Row column(idx);
  for (std::size_t i = 0; i < idx; ++i) {
    interruption_point(1);
    column[i] = evaluate(DigitString(checked_at(support_slice, i)), exponents);
  }
  grown.append_column(apply_operations(operations, std::move(column)));
  grown.append_row(std::move(row));
  return grown;
}

}  // namespace quillmat
