// Evaluation matrices and the verification of polynomials on points.
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "matrix/failure.hpp"
#include "matrix/fast_paths.hpp"
#include "matrix/interrupt.hpp"
#include "matrix/matrix.hpp"
#include "matrix/monomial.hpp"
#include "vector_clones.hpp"

namespace quillmat {
namespace {

// The first `count` strings of `list`, read for evaluation.
std::vector<Word> read_words(const Strings& list, std::size_t count) {
  std::vector<Word> words;
  words.reserve(count);
  for (std::size_t i = 0; i < count; ++i) words.emplace_back(list[i]);
  return words;
}

// The row of `point` against every exponent string, made at its exact length.
Row evaluate_row(const Word& point, const std::vector<Word>& monomials) {
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
  const std::vector<Word> exponents = read_words(monomials, monomials.size());
  Rows rows;
  rows.reserve(support.size());
  for (const std::string& point : support) rows.push_back(evaluate_row(Word(point), exponents));
  return rows;
}

Matrix Matrix::fill_rows(const Strings& support_slice, const Strings& monom_slice) const {
  Matrix grown = copy();
  const std::vector<Word> exponents = read_words(monom_slice, monom_slice.size());
  for (const std::string& point : support_slice) {
    grown.append_row(evaluate_row(Word(point), exponents));
  }
  return grown;
}

Matrix Matrix::construct_and_add_column(const Strings& support, const std::string& monom,
                                        const Operations& operations) const {
  Matrix grown = copy();
  const Word exponents(monom);
  Row column(nrows());
  for (std::size_t i = 0; i < column.size(); ++i) {
    interruption_point(1);
    column[i] = evaluate(Word(checked_at(support, i)), exponents);
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
  const Word point(last(support_slice));
  for (std::size_t i = 0; i <= idx; ++i) {
    interruption_point(1);
    row.push_back(evaluate(point, Word(checked_at(monom_slice, i))));
  }
  // The row read monomial 0, so the monomials are not empty here.
  const Word exponents(last(monom_slice));
  Row column(idx);
  for (std::size_t i = 0; i < idx; ++i) {
    interruption_point(1);
    column[i] = evaluate(Word(checked_at(support_slice, i)), exponents);
  }
  grown.append_column(apply_operations(operations, std::move(column)));
  grown.append_row(std::move(row));
  return grown;
}

// Both verifications walk the points in order and, for each, every term in
// order, so they meet the same failures at the same place.
Verdict verify(const Strings& z, const Row& g, const Strings& mapping) {
  const std::vector<Word> terms = read_words(mapping, std::min(g.size(), mapping.size()));
  Row selected;  // the coefficients of the terms that divide the point
  for (std::size_t k = 0; k < z.size(); ++k) {
    interruption_point(g.size() + 1);
    const Word point(z[k]);
    selected.clear();
    for (std::size_t i = 0; i < g.size(); ++i) {
      // Indexing `terms` fails as indexing `mapping` would: they agree below len(g).
      if (submonomial(checked_at(terms, i), point)) selected.push_back(g[i]);
    }
    Cell sum = 0;
    for (const Cell coefficient : selected) sum = static_cast<Cell>(sum + coefficient);
    if (sum & 1) return {false, std::pair{k, z[k]}};
  }
  return {true, std::nullopt};
}

namespace {

// The exponent masks of the terms with an odd coefficient, when every term
// below len(g) is a "0"/"1" string of one length of at most 64 characters
// (then only odd coefficients can change the parity, and a term divides a
// point of that form exactly when it has no 1 where the point has a 0).
std::optional<std::vector<std::uint64_t>> odd_term_masks(const std::vector<Word>& terms,
                                                         const Row& g) {
  if (!fast_paths_enabled()) return std::nullopt;
  if (terms.size() < g.size()) return std::nullopt;  // indexing fails: the general path says how
  std::vector<std::uint64_t> masks;
  for (std::size_t i = 0; i < g.size(); ++i) {
    const Word& term = terms[i];
    if (!term.all_bits() || term.text.size() != terms[0].text.size()) {
      return std::nullopt;
    }
    if (g[i] & 1) masks.push_back(term.ones);
  }
  return masks;
}

// Whether an odd number of the masks have no bit outside `point`.
QUILLMAT_VECTOR_CLONES
bool odd_divisors(const std::uint64_t* masks, std::size_t count, std::uint64_t point) {
  const std::uint64_t missing = ~point;
  std::uint64_t divisors = 0;
  for (std::size_t i = 0; i < count; ++i) divisors += (masks[i] & missing) == 0;
  return divisors & 1;
}

}  // namespace

Verdict verify_2(const Strings& z, const Row& g, const Strings& mapping) {
  if (g.empty()) return {true, std::nullopt};
  const std::vector<Word> terms = read_words(mapping, std::min(g.size(), mapping.size()));
  const auto masks = odd_term_masks(terms, g);
  for (std::size_t k = 0; k < z.size(); ++k) {
    interruption_point(g.size() + 1);
    const Word point(z[k]);
    if (masks && point.all_bits() && point.text.size() == terms[0].text.size()) {
      if (odd_divisors(masks->data(), masks->size(), point.ones)) {
        return {false, std::pair{k, z[k]}};
      }
      continue;
    }
    Cell sum = 0;  // only its lowest bit, the parity, decides
    for (std::size_t i = 0; i < g.size(); ++i) {
      if (submonomial(checked_at(terms, i), point)) sum = static_cast<Cell>(sum + g[i]);
    }
    if (sum & 1) return {false, std::pair{k, z[k]}};
  }
  return {true, std::nullopt};
}

}  // namespace quillmat
