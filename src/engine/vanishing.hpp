// The polynomials that vanish on a set of points of F_2^n, given point by
// point: the graph of an S-box, a list of millions of points, any support
// too wide for a truth table (n up to 64).
//
// The space V of polynomials spanned by a list of monomials that vanish on
// every point is the left kernel of the evaluation matrix E (a row per
// polynomial of a basis, a column per point).  It is found a batch of points
// at a time: K holds a basis of the polynomials that vanish on every point
// so far, each a row of coefficients, with the batch's products P = K E
// beside it in one matrix [P | K].  The rows of K that P leaves at zero
// still vanish; the rest are brought to echelon form, and those rows whose
// leading 1 lies past P (their P part eliminated to zero) join them.  What
// K spans shrinks to V, and K is empty as soon as nothing vanishes.
//
// Coefficients lie in reverse canonical order (column c of K is monomial
// N - 1 - c), so that the reduced row echelon form of K at the end, whose
// pivots are the leftmost 1s, is the canonical basis: for each monomial that
// is the highest term of some polynomial of V, the one whose highest term it
// is and whose coefficients at the other such monomials are 0.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/control.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

struct VanishingSpace {
  std::uint64_t dimension = 0;
  // The canonical basis, when asked for: each polynomial its terms in
  // canonical order, ordered by highest term.
  std::vector<std::vector<WideMask>> basis;
};

enum class Want { dimension, basis };

// `monomials`: distinct, in canonical order (any subset of the monomials of
// their variables, such as the bi-affine ones).  Every point and monomial
// is a WideMask.  Throws OutOfMemory before allocating what the budget
// refuses (the matrix is about N x N bits for N monomials).
VanishingSpace vanishing_space(std::span<const WideMask> points,
                               const std::vector<WideMask>& monomials, Want want, Control& control);

// The same over every monomial of degree <= d in n variables, with
// OutOfMemory thrown before they are listed when the matrix is too large.
VanishingSpace vanishing_space(std::span<const WideMask> points, int n, int d, Want want,
                               Control& control);

}  // namespace quillmat::engine
