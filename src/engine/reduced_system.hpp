// The reduced linear system whose kernel is the annihilators of a Boolean function.
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

// The rank of point z among the points of its weight in colexicographic
// order (the order of their masks as numbers): the sum of C(c_j, j) over the
// positions c_1 < c_2 < ... of its bits.
std::uint32_t colex(Mask z);

// The next larger mask with as many bits as m != 0 (Gosper's hack).
inline std::uint64_t next_of_same_weight(std::uint64_t m) {
  const std::uint64_t low = m & (~m + 1);
  const std::uint64_t ripple = m + low;
  return ripple | (((ripple ^ m) >> 2) / low);
}

class ReducedSystem {
 public:
  ReducedSystem(const TruthTable& s, int d);

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  // A measure of the work to eliminate it.
  double cost() const noexcept;
  // The bytes its row space holds at most: the index of the unknowns and
  // the matrix (row_space.hpp).
  std::uint64_t memory() const noexcept;

  // The unknowns: their points, by degree and in colexicographic order within
  // a degree, and each point's column by its place among all points of
  // weight <= d, by degree, then colex: the column of point z is
  // column[place(z)], -1 for a point of the support.  Unlike a table over
  // all 2**n points it stays small, and in cache, when d is small.
  struct Columns {
    std::vector<Mask> points;
    std::vector<std::uint32_t> offset;  // per degree 0 .. d+1: offset[d+1] points in all
    std::vector<std::int32_t> column;
    std::size_t place(Mask z) const {
      return offset[static_cast<std::size_t>(engine::degree(z))] + colex(z);
    }
  };
  Columns columns(Control& control) const;
  // Where a reading of the rows is: the next point to look at and the
  // place of the next row among all rows; rows at the places 0, stride,
  // 2 * stride, ... (`sampled` of them), read already, are passed over.
  struct Reading {
    std::uint64_t next = 0;
    std::uint64_t place = 0;
    std::uint64_t stride = 0;  // 0: none passed over
    std::uint64_t sampled = 0;
  };
  // The rows' points x, in increasing order: `count` of them from where
  // `reading` is, which moves past them.
  std::vector<Mask> next_rows(Reading& reading, std::size_t count, Control& control) const;
  // The points of the rows at the places 0, stride, ..., (count - 1) * stride:
  // rows from the whole cube, where the first rows in order lack the high
  // variables.
  std::vector<Mask> sampled_rows(std::uint64_t stride, std::size_t count, Control& control) const;
  // Writes the rows of `points` into rows first, first+1, ... of `matrix`,
  // which has cols() columns.
  void build(const std::vector<Mask>& points, const Columns& columns, BitMatrix& matrix,
             std::size_t first, Control& control) const;

  // The rows of a system of at most tuning::sifted_columns columns, each
  // from a table lookup per byte of its point instead of its subsets: row x
  // holds the columns of the right parity for |x| whose points lie inside
  // x, which are those outside the union of the variables' columns that x
  // lacks.  The same rows as build() writes.
  class NarrowRows {
   public:
    NarrowRows(const ReducedSystem& system, const Columns& columns);
    // Writes row x into words() = Words words at `row`.
    template <std::size_t Words>
    void make(Mask x, Word* row) const noexcept {
      Word outside[Words] = {};
      for (std::size_t b = 0; b < bytes_; ++b) {
        const Word* entry = lacking_.data() + (b * 256 + (x >> (8 * b) & 0xff)) * Words;
        for (std::size_t w = 0; w < Words; ++w) outside[w] |= entry[w];
      }
      const Word* parity = parity_.data() + static_cast<std::size_t>(engine::degree(x)) * Words;
      for (std::size_t w = 0; w < Words; ++w) row[w] = parity[w] & ~outside[w];
    }

   private:
    std::size_t words_;
    std::size_t bytes_;  // of a point: (n + 7) / 8
    std::vector<Word>
        lacking_;  // per byte of x and its value: the columns of the variables it lacks
    std::vector<Word> parity_;  // per weight of x: the columns whose entry is odd there
  };

  // The whole matrix at once (for benchmarks and tests; the engine reads it in chunks).
  BitMatrix matrix(Control& control) const;

  const TruthTable& function() const noexcept { return s_; }
  int degree() const noexcept { return d_; }

 private:
  const TruthTable& s_;
  int d_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
};

}  // namespace quillmat::engine
