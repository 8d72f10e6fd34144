// The fast algebraic immunity (Courtois 2003's fast algebraic attack):
//
//   FAI(f) = min(2 AI(f), min over g with 1 <= deg g < AI(f) of deg g + deg(f g)).
//
// For g of degree <= e, the products f g span U_e = <f m : deg m <= e>
// (the ANF of each as a row over the monomials).  No nonzero g of degree
// e < AI has f g = 0 (it would annihilate f), so g -> f g is one to one
// there, and every nonzero f g vanishes where f does: it annihilates f + 1,
// so its degree is at least AI.  The least degree of an f g with g not
// constant is then a rank question: with the columns of the monomials of
// degree >= t only, the rows f m have a combination that vanishes there
// exactly when their rank r_t is below D_e; it is not g = 1 alone when two
// independent ones do (D_e - r_t >= 2), or one does and deg f >= t.  One
// echelon form per e, its columns by decreasing degree, gives r_t for
// every t at once: the pivots among the columns of degree >= t.
#pragma once

#include <vector>

#include "engine/control.hpp"
#include "engine/immunity.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

struct FastImmunity {
  int value = 0;                 // FAI(f)
  Immunity immunity;             // AI(f), with its annihilator
  bool from_annihilator = true;  // 2 AI is the least: no g does better
  // Otherwise a witness: g (its terms, canonical order), with
  // deg g + deg(f g) = value.
  std::vector<Mask> g;
  int degree_g = 0, degree_product = 0;
  // For e = 1 .. AI - 1: the least deg(f g) over g of degree <= e, not
  // constant, or -1 when there is none below `searched[e - 1]` (the bound
  // that could still lower the value).
  std::vector<int> least, searched;
};

FastImmunity fast_algebraic_immunity(const TruthTable& f, Control& control, Choice choice = {});

// The bytes the search holds at most: its largest matrix, rows of degree <= AI - 1 and
// columns of degree >= AI + 1, for a function of immunity `ai`.
std::uint64_t fast_immunity_memory(int n, int ai) noexcept;

}  // namespace quillmat::engine
