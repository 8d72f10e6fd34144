// The verification of a polynomial on points: verify and verify_2.
#include "matrix/verify.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "matrix/failure.hpp"
#include "matrix/interrupt.hpp"
#include "matrix/monomial.hpp"
#include "vector_clones.hpp"

namespace quillmat {

// Both verifications walk the points in order and, for each, every term in
// order, so they meet the same failures at the same place.
Verdict verify(const Strings& z, const Row& g, const Strings& mapping) {
  const std::vector<DigitString> terms =
      read_digit_strings(mapping, std::min(g.size(), mapping.size()));
  Row selected;  // the coefficients of the terms that divide the point
  for (std::size_t k = 0; k < z.size(); ++k) {
    interruption_point(g.size() + 1);
    const DigitString point(z[k]);
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
std::optional<std::vector<std::uint64_t>> odd_term_masks(const std::vector<DigitString>& terms,
                                                         const Row& g) {
  if (terms.size() < g.size()) return std::nullopt;  // indexing fails: the general path says how
  std::vector<std::uint64_t> masks;
  for (std::size_t i = 0; i < g.size(); ++i) {
    const DigitString& term = terms[i];
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
  const std::vector<DigitString> terms =
      read_digit_strings(mapping, std::min(g.size(), mapping.size()));
  const auto masks = odd_term_masks(terms, g);
  for (std::size_t k = 0; k < z.size(); ++k) {
    interruption_point(g.size() + 1);
    const DigitString point(z[k]);
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
