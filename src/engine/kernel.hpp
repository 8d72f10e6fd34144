// The kernel of a reduced system, its Moebius transform into coefficients,
// and the canonical basis of the annihilators it gives.
//
// A kernel vector holds an annihilator's values at the unknowns (the points
// of weight <= d outside the support; it is 0 at the others of weight <= d).
// Its coefficients are those values' Moebius transform: the coefficient of
// monomial y is the sum of the values at the points inside y, all of weight
// <= d, so the transform never leaves those points.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"
#include "engine/eliminate.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

// The kernel of a reduced row echelon form with `echelon`'s pivots, one
// vector per free column (1 there, 0 at the other free columns): as rows, a
// row per column of the system holding that unknown's value in every vector.
BitMatrix kernel_by_unknown(const BitMatrix& reduced, const Echelon& echelon, Control& control);

// The canonical basis of Ann_d(s): for each monomial m that is the highest
// term (in canonical order) of some annihilator, the one annihilator whose
// highest term is m and whose coefficients at the other such monomials are 0.
// Ordered by that highest term; each polynomial is its terms in canonical
// order.  It is the kernel basis that reducing the matrix of all monomials of
// degree <= d against the support points gives, one vector per free column.
enum class Wanted {
  first,  // only the first vector: the annihilator whose highest term comes earliest
  // The same, when s is known to have no annihilator of degree below d: then
  // the highest terms are all of degree d, and less work finds the first.
  first_of_lowest_degree,
  all,
};
std::vector<std::vector<Mask>> annihilator_basis(const TruthTable& s, int d, Wanted wanted,
                                                 Control& control);

// dim Ann_d(s) and, when it is not 0, the first vector of the canonical
// basis, for s known to have no annihilator of degree below d: one pass over
// the reduced system gives both (the row space that proves the rank short of
// the columns is the one whose kernel holds the annihilator).
struct LowestDegree {
  std::uint64_t dimension = 0;
  std::vector<Mask> first;  // empty when the dimension is 0
};
LowestDegree annihilators_of_lowest_degree(const TruthTable& s, int d, Control& control);

}  // namespace quillmat::engine
