#include "engine/kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdint>

#include "engine/eliminate.hpp"
#include "engine/memory.hpp"
#include "engine/reduced_system.hpp"
#include "engine/row_space.hpp"
#include "engine/tuning.hpp"

namespace quillmat::engine {

BitMatrix kernel_by_unknown(const BitMatrix& reduced, const Echelon& echelon, Control& control) {
  const std::size_t cols = reduced.cols();
  std::vector<std::int64_t> free_index(cols, 0);
  for (std::uint32_t p : echelon.pivots) free_index[p] = -1;
  std::size_t k = 0;
  for (std::size_t c = 0; c < cols; ++c) {
    if (free_index[c] >= 0) free_index[c] = static_cast<std::int64_t>(k++);
  }
  BitMatrix kernel(cols, k);
  for (std::size_t c = 0; c < cols; ++c) {
    if (free_index[c] >= 0) kernel.set(c, static_cast<std::size_t>(free_index[c]));
  }
  split_among_threads(control, echelon.rank, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (i % tuning::kernel_rows_per_checkpoint == 0) control.checkpoint();
      const Word* row = reduced.row(i);
      const std::size_t unknown = echelon.pivots[i];
      for (std::size_t w = 0; w < reduced.words(); ++w) {
        for (Word set = row[w]; set != 0; set &= set - 1) {
          const std::int64_t j =
              free_index[w * word_bits + static_cast<std::size_t>(std::countr_zero(set))];
          if (j >= 0) kernel.set(unknown, static_cast<std::size_t>(j));
        }
      }
    }
  });
  return kernel;
}

namespace {

// The Moebius transform, in place, of `values`: `chunk` words per point of
// weight <= d, at the point's place (ReducedSystem::Columns::place), of which
// the first `width` are transformed.  Afterwards the entry of y is the sum of
// the entries of the points inside y.  Those points have weight <= d too: the
// transform needs no point beyond them, however many variables there are.
void moebius_up_to(Word* values, std::size_t chunk, std::size_t width, int n, int d,
                   const ReducedSystem::Columns& columns, Control& control) {
  const std::uint64_t end = std::uint64_t{1} << n;
  // Points between two checkpoints: fewer when each carries many words.
  const std::size_t per_checkpoint =
      std::max<std::size_t>(1, tuning::points_per_checkpoint / std::max<std::size_t>(1, width));
  std::size_t since = 0;
  for (int i = 0; i < n; ++i) {
    control.checkpoint();
    const std::uint64_t bit = std::uint64_t{1} << i;
    std::size_t place = 0;  // of x, enumerated in the order of the places
    for (int k = 0; k <= d && k <= n; ++k) {
      for (std::uint64_t x = (std::uint64_t{1} << k) - 1; x < end; ++place) {
        if (++since == per_checkpoint) {
          control.checkpoint();
          since = 0;
        }
        if (x & bit) {
          Word* to = values + place * chunk;
          const Word* from = values + columns.place(static_cast<Mask>(x ^ bit)) * chunk;
          for (std::size_t w = 0; w < width; ++w) to[w] ^= from[w];
        }
        x = x == 0 ? end : next_of_same_weight(x);  // 0 is the only point of weight 0
      }
    }
  }
}

// The coefficients of the kernel vectors at the monomials `wanted`: bit p of
// row j of `into` is the coefficient of wanted[p] in vector j.  Each vector's
// values at the points of weight <= d (zero but at the unknowns of `columns`)
// become its coefficients by the Moebius transform, 64 * chunk vectors at a
// time, and blocks of 64 monomials are transposed into the rows.
void kernel_coefficients(const ReducedSystem::Columns& columns, const BitMatrix& kernel, int n,
                         int d, const std::vector<Mask>& wanted, BitMatrix& into,
                         Control& control) {
  const std::size_t k = kernel.cols();
  const std::size_t points = columns.column.size();
  const std::size_t chunk = std::max<std::size_t>(
      1, std::min<std::size_t>(kernel.words(), tuning::moebius_words / points));
  const MemoryReservation memory(wanted.size() * sizeof(Mask), "the Moebius transform");
  // Zero from calloc, its pages mapped as they are first written.
  const WordBlock buffer(points * chunk);
  Word* const values = buffer.data();
  const std::size_t size = points * chunk;
  std::vector<std::uint32_t> place(wanted.size());
  for (std::size_t p = 0; p < wanted.size(); ++p) {
    place[p] = static_cast<std::uint32_t>(columns.place(wanted[p]));
  }
  for (std::size_t first = 0; first < kernel.words(); first += chunk) {
    const std::size_t width = std::min(chunk, kernel.words() - first);
    // Cleared again after the first vectors, in pieces between checkpoints:
    // the buffer may be hundreds of megabytes.
    for (std::size_t from = 0; first > 0 && from < size; from += tuning::points_per_checkpoint) {
      control.checkpoint();
      std::fill_n(values + from, std::min(size - from, tuning::points_per_checkpoint), Word{0});
    }
    for (std::size_t q = 0; q < columns.points.size(); ++q) {
      if (q % tuning::points_per_checkpoint == 0) control.checkpoint();
      std::copy_n(kernel.row(q) + first, width, values + columns.place(columns.points[q]) * chunk);
    }
    moebius_up_to(values, chunk, width, n, d, columns, control);
    std::array<Word, 64> block;
    for (std::size_t position = 0; position < wanted.size(); position += 64) {
      if (position % tuning::monomials_per_checkpoint == 0) control.checkpoint();
      for (std::size_t w = 0; w < width; ++w) {
        for (std::size_t t = 0; t < 64; ++t) {
          const std::size_t p = position + t;
          block[t] = p < wanted.size() ? values[place[p] * chunk + w] : 0;
        }
        transpose64(block.data());
        for (std::size_t j = 0; j < 64; ++j) {
          const std::size_t vector = (first + w) * 64 + j;
          if (vector < k) into.row(vector)[position / 64] = block[j];
        }
      }
    }
  }
}

// The terms of a row of coefficients at the monomials reversed, in canonical order.
std::vector<Mask> terms_of(const Word* row, const std::vector<Mask>& monomials) {
  std::vector<Mask> terms;
  const std::size_t total = monomials.size();
  for (std::size_t w = (total + 63) / 64; w-- > 0;) {
    for (Word set = row[w]; set != 0;) {
      const unsigned b = 63 - static_cast<unsigned>(std::countl_zero(set));
      set &= ~(Word{1} << b);
      terms.push_back(monomials[total - 1 - (w * 64 + b)]);
    }
  }
  return terms;
}

// The monomials of degree <= d, last first: in a row echelon form of their
// coefficients, the last row leads at the latest monomial, the earliest
// highest term there is.
std::vector<Mask> reversed(const std::vector<Mask>& monomials) {
  return std::vector<Mask>(monomials.rbegin(), monomials.rend());
}

// The first vector of the canonical basis, when there is no annihilator of
// lower degree: the top-degree coefficients alone tell the annihilators
// apart, and an identity beside them records which combination of kernel
// vectors each row of their echelon form is.
std::vector<Mask> first_of_lowest_degree(const RowSpace& space, const BitMatrix& kernel, int n,
                                         int d, Control& control) {
  const std::size_t k = kernel.cols();
  std::vector<Mask> top;
  for (Mask m : monomials_up_to(n, d)) {
    if (degree(m) == d) top.push_back(m);
  }
  std::reverse(top.begin(), top.end());
  BitMatrix tops(k, top.size() + k);
  kernel_coefficients(space.columns, kernel, n, d, top, tops, control);
  for (std::size_t j = 0; j < k; ++j) tops.set(j, top.size() + j);
  const Echelon echelon = echelonize(tops, Form::echelon, control);
  assert(echelon.rank == k && echelon.pivots.back() < top.size());
  // The last row: the earliest highest term, and its combination c of kernel
  // vectors; the annihilator's values at the unknowns are the kernel's rows
  // dotted with c.
  std::vector<Word> combination(kernel.words());
  for (std::size_t j = 0; j < k; ++j) {
    if (tops.get(k - 1, top.size() + j)) combination[j / word_bits] |= Word{1} << (j % word_bits);
  }
  BitMatrix values(kernel.rows(), 1);
  for (std::size_t q = 0; q < kernel.rows(); ++q) {
    Word parity = 0;
    for (std::size_t w = 0; w < kernel.words(); ++w) parity ^= kernel.row(q)[w] & combination[w];
    if (std::popcount(parity) & 1) values.set(q, 0);
  }
  const std::vector<Mask> monomials = monomials_up_to(n, d);
  BitMatrix coefficients(1, monomials.size());
  kernel_coefficients(space.columns, values, n, d, reversed(monomials), coefficients, control);
  return terms_of(coefficients.row(0), monomials);
}

}  // namespace

std::vector<std::vector<Mask>> annihilator_basis(const TruthTable& s, int d, Wanted wanted,
                                                 Control& control) {
  if (d < 0) return {};
  const int n = s.variables();
  const ReducedSystem system(s, d);
  if (system.cols() == 0) return {};
  RowSpace space = row_space(system, Purpose::kernel, control);
  if (space.echelon.rank == system.cols()) return {};  // the basis may not be reduced then
  BitMatrix kernel = kernel_by_unknown(space.basis, space.echelon, control);
  space.basis = BitMatrix();
  if (wanted == Wanted::first_of_lowest_degree) {
    return {first_of_lowest_degree(space, kernel, n, d, control)};
  }
  const std::vector<Mask> monomials = monomials_up_to(n, d);
  BitMatrix coefficients(kernel.cols(), monomials.size());
  kernel_coefficients(space.columns, kernel, n, d, reversed(monomials), coefficients, control);
  kernel = BitMatrix();
  // With the monomials reversed, a row echelon form's last row is zero at
  // every monomial after its pivot, the earliest highest term there is; a
  // reduced form's rows are the canonical basis, last row first.
  const Echelon basis =
      echelonize(coefficients, wanted == Wanted::first ? Form::echelon : Form::reduced, control);
  assert(basis.rank == coefficients.rows());
  std::vector<std::vector<Mask>> result;
  for (std::size_t i = basis.rank; i-- > 0;) {
    result.push_back(terms_of(coefficients.row(i), monomials));
    if (wanted == Wanted::first) break;
  }
  return result;
}

LowestDegree annihilators_of_lowest_degree(const TruthTable& s, int d, Control& control) {
  if (d < 0) return {};
  const ReducedSystem system(s, d);
  if (system.cols() == 0) return {};
  RowSpace space = row_space(system, Purpose::kernel, control);
  const std::uint64_t dimension = system.cols() - space.echelon.rank;
  if (dimension == 0) return {};
  BitMatrix kernel = kernel_by_unknown(space.basis, space.echelon, control);
  space.basis = BitMatrix();
  return {dimension, first_of_lowest_degree(space, kernel, s.variables(), d, control)};
}

}  // namespace quillmat::engine
