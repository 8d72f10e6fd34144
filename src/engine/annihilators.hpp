// The annihilators of a Boolean function, from a reduced linear system.
//
// An annihilator of s of degree <= d is a polynomial g != 0 of degree <= d
// with g(x) = 0 wherever s(x) = 1.  Its coefficients are determined by its
// values at the points of weight <= d (Moebius inversion: the coefficient of
// monomial y is the sum of g(z) over the points z inside y), and it must
// vanish at the support's points among those.  The unknowns are therefore
// g's values v_z at the points z of weight <= d outside the support.  At a
// point x of the support of weight > d,
//
//   g(x) = sum over y inside x, |y| <= d, of a_y
//        = sum over z inside x, |z| <= d, of v_z * #{y : z inside y inside x, |y| <= d},
//
// and that count, the sum of C(|x| - |z|, j) for j <= d - |z|, is congruent
// to C(|x| - |z| - 1, d - |z|) modulo 2.  The system has a row for each such
// x and a column for each unknown (Dalai and Maitra's reduced system):
//
//   entry (x, z) = [z inside x] * (C(|x| - |z| - 1, d - |z|) mod 2),
//
// and dim Ann_d(s) = columns - rank.  It is about half the size of the
// system of all coefficients against all support points in each direction.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/bit_matrix.hpp"
#include "engine/control.hpp"
#include "engine/monomials.hpp"

namespace quillmat::engine {

class ReducedSystem {
 public:
  ReducedSystem(const TruthTable& s, int d);

  std::size_t rows() const noexcept { return rows_.size(); }
  std::size_t cols() const noexcept { return columns_.size(); }
  // The unknowns' points, in canonical order.
  const std::vector<Mask>& columns() const noexcept { return columns_; }
  // Bytes of the matrix, and a measure of the work to eliminate it.
  std::uint64_t matrix_bytes() const noexcept;
  double cost() const noexcept;

  BitMatrix build(Control& control) const;

 private:
  const TruthTable& s_;
  int d_;
  std::vector<Mask> rows_;
  std::vector<Mask> columns_;
};

// dim Ann_d(s).
std::uint64_t annihilator_dimension(const TruthTable& s, int d, Control& control);

// The canonical basis of Ann_d(s): for each monomial m that is the highest
// term (in canonical order) of some annihilator, the one annihilator whose
// highest term is m and whose coefficients at the other such monomials are 0.
// Ordered by that highest term; each polynomial is its terms in canonical
// order.  It is the kernel basis that reducing the matrix of all monomials of
// degree <= d against the support points gives, one vector per free column.
enum class Wanted {
  first,  // only the first vector: the annihilator whose highest term comes earliest
  all,
};
std::vector<std::vector<Mask>> annihilator_basis(const TruthTable& s, int d, Wanted wanted,
                                                 Control& control);

// Throws OutOfMemory when `bytes` more would exceed what the process may use.
void check_memory(std::uint64_t bytes, const char* what);

}  // namespace quillmat::engine
