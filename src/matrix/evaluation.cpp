// Evaluation matrices and the verification of polynomials on points.
#include <cstdint>
#include <limits>

#include "matrix/failure.hpp"
#include "matrix/matrix.hpp"
#include "matrix/monomial.hpp"

namespace quillmat {
namespace {

// The row of `point` against every exponent string, made at its exact length.
Row evaluate_row(const std::string& point, const Strings& monomials) {
  Row row(monomials.size());
  for (std::size_t c = 0; c < monomials.size(); ++c) row[c] = str_ops(point, monomials[c]);
  return row;
}

// The last entry of a list; an empty list fails as an index 0 - 1 would.
const std::string& last(const Strings& list) {
  if (list.empty()) index_failure(0, std::numeric_limits<std::size_t>::max());
  return list.back();
}

}  // namespace

Rows Matrix::compute_vandermonde(const Strings& support, const Strings& monomials) {
  Rows rows;
  rows.reserve(support.size());
  for (const std::string& point : support) rows.push_back(evaluate_row(point, monomials));
  return rows;
}

Matrix Matrix::fill_rows(const Strings& support_slice, const Strings& monom_slice) const {
  Matrix grown = copy();
  for (const std::string& point : support_slice) {
    grown.append_row(evaluate_row(point, monom_slice));
  }
  return grown;
}

Matrix Matrix::construct_and_add_column(const Strings& support, const std::string& monom,
                                        const Operations& operations) const {
  Matrix grown = copy();
  Row column(nrows());
  for (std::size_t i = 0; i < column.size(); ++i)
    column[i] = str_ops(checked_at(support, i), monom);
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
  for (std::size_t i = 0; i <= idx; ++i) {
    // The last point is taken before monomial i: as arguments of one call their
    // order would be the compiler's choice (GCC takes monomial i first).
    const std::string& point = last(support_slice);
    row.push_back(str_ops(point, checked_at(monom_slice, i)));
  }
  Row column(idx);
  for (std::size_t i = 0; i < idx; ++i) {
    column[i] = str_ops(checked_at(support_slice, i), last(monom_slice));
  }
  grown.append_column(apply_operations(operations, std::move(column)));
  grown.append_row(std::move(row));
  return grown;
}

Verdict verify(const Strings& z, const Row& g, const Strings& mapping) {
  Row selected;  // the coefficients of the terms that divide the point
  for (std::size_t k = 0; k < z.size(); ++k) {
    selected.clear();
    for (std::size_t i = 0; i < g.size(); ++i) {
      if (is_submonomial(checked_at(mapping, i), z[k])) selected.push_back(g[i]);
    }
    Cell sum = 0;
    for (const Cell coefficient : selected) sum = static_cast<Cell>(sum + coefficient);
    if (sum & 1) return {false, std::pair{k, z[k]}};
  }
  return {true, std::nullopt};
}

Verdict verify_2(const Strings& z, const Row& g, const Strings& mapping) {
  if (g.empty()) return {true, std::nullopt};
  for (std::size_t k = 0; k < z.size(); ++k) {
    Cell sum = 0;  // only its lowest bit, the parity, decides
    for (std::size_t i = 0; i < g.size(); ++i) {
      if (is_submonomial(checked_at(mapping, i), z[k])) sum = static_cast<Cell>(sum + g[i]);
    }
    if (sum & 1) return {false, std::pair{k, z[k]}};
  }
  return {true, std::nullopt};
}

}  // namespace quillmat
